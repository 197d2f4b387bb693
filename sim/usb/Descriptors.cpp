#include "Descriptors.h"

namespace velt::sim {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> textDescriptor(const std::string& text)
{
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), kDescString};
    for (char c : text)
        put16(out, static_cast<uint8_t>(c));
    return out;
}

constexpr uint8_t kDescDfuFunctional = 0x21;

void put32(std::vector<uint8_t>& out, uint32_t value)
{
    put16(out, static_cast<uint16_t>(value));
    put16(out, static_cast<uint16_t>(value >> 16));
}

void utf16(std::vector<uint8_t>& out, const std::string& text)
{
    for (char c : text)
        put16(out, static_cast<uint8_t>(c));
    put16(out, 0);
}

void patch16(std::vector<uint8_t>& out, size_t at, size_t value)
{
    out[at] = static_cast<uint8_t>(value);
    out[at + 1] = static_cast<uint8_t>(value >> 8);
}

bool composite(const UsbIdentity& id) { return id.dfuInterface > 0; }

constexpr uint32_t kWindows81 = 0x06030000; // the oldest Windows that reads MS OS 2.0 descriptors

// DeviceInterfaceGUIDs, REG_MULTI_SZ: the GUID and the empty string that closes the list.
std::vector<uint8_t> guidProperty(const std::string& guid)
{
    std::vector<uint8_t> name, data;
    utf16(name, "DeviceInterfaceGUIDs");
    utf16(data, guid);
    put16(data, 0);
    std::vector<uint8_t> out;
    put16(out, static_cast<uint16_t>(10 + name.size() + data.size()));
    put16(out, 0x04); // MS_OS_20_FEATURE_REG_PROPERTY
    put16(out, 7);    // REG_MULTI_SZ
    put16(out, static_cast<uint16_t>(name.size()));
    out.insert(out.end(), name.begin(), name.end());
    put16(out, static_cast<uint16_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

} // namespace

std::vector<uint8_t> deviceDescriptor(const UsbIdentity& id)
{
    std::vector<uint8_t> out{18, kDescDevice};
    put16(out, composite(id) ? 0x0201 : 0x0200); // bcdUSB: 2.01 announces a BOS descriptor
    out.insert(out.end(), {0x00, 0x00, 0x00}); // class, subclass, protocol: per interface
    out.push_back(64);                        // bMaxPacketSize0
    put16(out, id.vid);
    put16(out, id.pid);
    put16(out, id.bcdDevice);
    out.insert(out.end(), {1, 2, 3, 1});      // iManufacturer, iProduct, iSerialNumber, configurations
    return out;
}

std::vector<uint8_t> interfaceDescriptor(uint8_t number)
{
    // Alternate 0, no endpoints, DFU class in DFU mode, iInterface = product string.
    return {9, kDescInterface, number, 0, 0, 0xFE, 0x01, 0x02, 2};
}

std::vector<uint8_t> configurationDescriptor(const UsbIdentity& id)
{
    // wTotalLength (bytes 2 and 3) is filled in once everything is appended.
    const DfuFunctional& functional = id.functional;
    const auto interfaces = static_cast<uint8_t>(id.dfuInterface + 1);
    std::vector<uint8_t> out{9, kDescConfiguration, 0, 0, interfaces, 1, 0, 0x80, 50};
    for (uint8_t n = 0; n < id.dfuInterface; ++n)
        out.insert(out.end(), {9, kDescInterface, n, 0, 0, 0xFF, 0x00, 0x00, 0}); // vendor-specific
    auto interface = interfaceDescriptor(id.dfuInterface);
    out.insert(out.end(), interface.begin(), interface.end());
    out.insert(out.end(), {9, kDescDfuFunctional, functional.attributes});
    put16(out, functional.detachTimeoutMs);
    put16(out, functional.transferSize);
    put16(out, 0x0110); // bcdDFUVersion
    out[2] = static_cast<uint8_t>(out.size());
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

std::optional<std::vector<uint8_t>> bosDescriptor(const UsbIdentity& id)
{
    auto set = msOs20DescriptorSet(id);
    if (!set)
        return std::nullopt;
    // BOS header, then the platform capability with the MS OS 2.0 UUID
    // {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F}.
    std::vector<uint8_t> out{5, kDescBos, 0, 0, 1, 28, 0x10, 0x05, 0,
                             0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                             0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
    put32(out, kWindows81);
    put16(out, static_cast<uint16_t>(set->size()));
    out.insert(out.end(), {kMsOs20VendorCode, 0}); // no alternate enumeration
    patch16(out, 2, out.size());
    return out;
}

// Set header, configuration subset, function subset of the DFU interface
// with its DeviceInterfaceGUIDs: Windows gives that interface alone the GUID.
std::optional<std::vector<uint8_t>> msOs20DescriptorSet(const UsbIdentity& id)
{
    if (!composite(id))
        return std::nullopt;
    const auto property = guidProperty(id.guid);
    std::vector<uint8_t> function{8, 0, 0x02, 0, id.dfuInterface, 0};
    put16(function, static_cast<uint16_t>(8 + property.size()));
    function.insert(function.end(), property.begin(), property.end());
    std::vector<uint8_t> out{10, 0, 0x00, 0};
    put32(out, kWindows81);
    put16(out, 0); // wTotalLength, patched below
    out.insert(out.end(), {8, 0, 0x01, 0, 0, 0}); // configuration subset of configuration index 0
    put16(out, static_cast<uint16_t>(8 + function.size()));
    out.insert(out.end(), function.begin(), function.end());
    patch16(out, 8, out.size());
    return out;
}

std::optional<std::vector<uint8_t>> stringDescriptor(const UsbIdentity& id, uint8_t index)
{
    switch (index) {
    case 0: return std::vector<uint8_t>{4, kDescString, 0x09, 0x04}; // US English
    case 1: return textDescriptor("Velt");
    case 2: return textDescriptor("Velt DFU simulator");
    case 3: return textDescriptor(id.serial);
    default: return std::nullopt;
    }
}

std::optional<std::vector<uint8_t>> descriptor(const UsbIdentity& id, uint8_t type, uint8_t index)
{
    switch (type) {
    case kDescDevice: return index == 0 ? std::optional(deviceDescriptor(id)) : std::nullopt;
    case kDescConfiguration: return index == 0 ? std::optional(configurationDescriptor(id)) : std::nullopt;
    case kDescString: return stringDescriptor(id, index);
    case kDescBos: return index == 0 ? bosDescriptor(id) : std::nullopt;
    default: return std::nullopt;
    }
}

} // namespace velt::sim
