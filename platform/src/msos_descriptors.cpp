#include "msos_descriptors.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "usb_devices.h"

namespace velt::platform {
namespace {

constexpr uint8_t kBosType = 0x0F;
constexpr uint8_t kDeviceCapabilityType = 0x10;
constexpr uint8_t kPlatformCapability = 0x05;
// {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F} as it travels.
constexpr uint8_t kMsOs20PlatformUuid[16] = {0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                                             0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};

constexpr uint16_t kSetHeader = 0x00;
constexpr uint16_t kFunctionSubset = 0x02;
constexpr uint16_t kRegistryProperty = 0x04;

constexpr uint32_t kRegSz = 1;
constexpr uint32_t kRegMultiSz = 7;

uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t Le32(const uint8_t* p) { return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16) | static_cast<uint32_t>(p[3]) << 24; }

// UTF-16LE bytes to text; nullopt if any character is not ASCII.
std::optional<std::string> Ascii16(const uint8_t* p, size_t bytes) {
    std::string out;
    for (size_t i = 0; i + 1 < bytes; i += 2) {
        const uint16_t c = Le16(p + i);
        if (c > 0x7F)
            return std::nullopt;
        out.push_back(static_cast<char>(c));
    }
    return out;
}

bool IsInterfaceGuidName(const uint8_t* name, size_t bytes) {
    std::optional<std::string> text = Ascii16(name, bytes);
    if (!text)
        return false;
    while (!text->empty() && text->back() == 0)
        text->pop_back();
    std::string folded;
    for (char c : *text)
        folded.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    // Registry value names compare without regard to case.
    return folded == "deviceinterfaceguids" || folded == "deviceinterfaceguid";
}

// The GUIDs of a REG_SZ or REG_MULTI_SZ value; text that is not a GUID is
// skipped.
std::vector<GUID> GuidsOfValue(uint32_t type, const uint8_t* data, size_t bytes) {
    std::vector<GUID> out;
    if (type != kRegSz && type != kRegMultiSz)
        return out;
    std::optional<std::string> text = Ascii16(data, bytes);
    if (!text)
        return out;
    size_t start = 0;
    while (start < text->size()) {
        size_t end = text->find('\0', start);
        if (end == std::string::npos)
            end = text->size();
        if (std::optional<GUID> g = ParseGuid(text->substr(start, end - start)))
            out.push_back(*g);
        start = end + 1;
    }
    return out;
}

}  // namespace

std::optional<MsOs20Location> FindMsOs20Set(const uint8_t* bos, size_t length) {
    if (length < 5 || bos[1] != kBosType)
        return std::nullopt;
    const size_t total = std::min<size_t>(Le16(bos + 2), length);
    std::optional<MsOs20Location> best;
    uint32_t bestVersion = 0;
    for (size_t at = bos[0]; at + 3 <= total;) {
        const uint8_t* cap = bos + at;
        if (cap[0] < 3 || at + cap[0] > total)
            break;
        if (cap[1] == kDeviceCapabilityType && cap[2] == kPlatformCapability && cap[0] >= 20 &&
            std::memcmp(cap + 4, kMsOs20PlatformUuid, 16) == 0) {
            for (size_t s = 20; s + 8 <= cap[0]; s += 8) {
                const uint32_t version = Le32(cap + s);
                if (!best || version > bestVersion) {
                    bestVersion = version;
                    best = MsOs20Location{cap[s + 6], Le16(cap + s + 4)};
                }
            }
        }
        at += cap[0];
    }
    return best;
}

std::vector<DeclaredGuid> ParseMsOs20Set(const uint8_t* set, size_t length) {
    std::vector<DeclaredGuid> out;
    if (length < 10 || Le16(set) != 10 || Le16(set + 2) != kSetHeader)
        return out;
    const size_t total = std::min<size_t>(Le16(set + 8), length);
    int function = -1;
    size_t functionEnd = 0;
    for (size_t at = 10; at + 4 <= total;) {
        const uint8_t* d = set + at;
        const size_t len = Le16(d);
        if (len < 4 || at + len > total)
            break;
        if (function >= 0 && at >= functionEnd)
            function = -1;
        const uint16_t type = Le16(d + 2);
        if (type == kFunctionSubset && len >= 8) {
            function = d[4];
            functionEnd = at + Le16(d + 6);
        } else if (type == kRegistryProperty && len >= 10) {
            const uint32_t dataType = Le16(d + 4);
            const size_t nameBytes = Le16(d + 6);
            if (8 + nameBytes + 2 <= len && IsInterfaceGuidName(d + 8, nameBytes)) {
                const size_t dataBytes = Le16(d + 8 + nameBytes);
                if (10 + nameBytes + dataBytes <= len)
                    for (const GUID& g : GuidsOfValue(dataType, d + 10 + nameBytes, dataBytes))
                        out.push_back(DeclaredGuid{function, g});
            }
        }
        at += len;
    }
    return out;
}

std::optional<uint8_t> MsOs10VendorCode(const uint8_t* string, size_t length) {
    static const uint8_t kSignature[14] = {'M', 0, 'S', 0, 'F', 0, 'T', 0, '1', 0, '0', 0, '0', 0};
    if (length < 18 || string[0] < 18 || string[1] != 0x03 || std::memcmp(string + 2, kSignature, 14) != 0)
        return std::nullopt;
    return string[16];
}

std::vector<GUID> ParseMsOs10Properties(const uint8_t* d, size_t length) {
    std::vector<GUID> out;
    if (length < 10 || Le16(d + 6) != kMsOs10ExtendedProperties)
        return out;
    const size_t total = std::min<size_t>(Le32(d), length);
    const unsigned count = Le16(d + 8);
    size_t at = 10;
    for (unsigned i = 0; i < count && at + 14 <= total; ++i) {
        const size_t size = Le32(d + at);
        if (size < 14 || size > total - at)
            break;
        const uint8_t* s = d + at;
        const uint32_t dataType = Le32(s + 4);
        const size_t nameBytes = Le16(s + 8);
        if (10 + nameBytes + 4 <= size && IsInterfaceGuidName(s + 10, nameBytes)) {
            const size_t dataBytes = Le32(s + 10 + nameBytes);
            if (dataBytes <= size - 14 - nameBytes)
                for (const GUID& g : GuidsOfValue(dataType, s + 14 + nameBytes, dataBytes))
                    out.push_back(g);
        }
        at += size;
    }
    return out;
}

}  // namespace velt::platform
