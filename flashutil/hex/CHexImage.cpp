#include "hex/CHexImage.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace {

// Value of a hexadecimal digit, or 0xFF for any other character.
struct HexDigitTable {
    uint8_t value[256];
    constexpr HexDigitTable() : value() {
        for (int c = 0; c < 256; ++c) value[c] = 0xFF;
        for (int c = '0'; c <= '9'; ++c) value[c] = static_cast<uint8_t>(c - '0');
        for (int c = 'A'; c <= 'F'; ++c) value[c] = static_cast<uint8_t>(c - 'A' + 10);
        for (int c = 'a'; c <= 'f'; ++c) value[c] = static_cast<uint8_t>(c - 'a' + 10);
    }
};
constexpr HexDigitTable kHexDigit;

// Count, two address bytes, type and checksum around the data bytes.
constexpr size_t kRecordOverhead = 5;
constexpr size_t kMaxRecordBytes = 255 + kRecordOverhead;

constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeExtendedSegment = 0x02;
constexpr uint8_t kTypeExtendedLinear = 0x04;

enum AddressMode { kModeNone = 0, kModeSegment = 1, kModeLinear = 2 };

bool IsLineSpace(char c) {
    return c == '\r' || c == '\n' || c == '\t' || c == ' ';
}

} // namespace

CHexImage::CHexImage(uint32_t pageSize_, bool padMissingPages_, uint8_t fillByte_,
                     const ADIU_HANDLE* adapterHandleRef_, ReadBlockFunction readBlock_)
    : pageSize(pageSize_), padMissingPages(padMissingPages_), fillByte(fillByte_),
      adapterHandleRef(adapterHandleRef_), readBlock(readBlock_) {
    if (pageSize < 2) throw std::invalid_argument("CHexImage: page size must be at least 2");
}

CHexImage::CHexImage(const CHexImage& other)
    : pageSize(other.pageSize), padMissingPages(other.padMissingPages), fillByte(other.fillByte),
      pages(other.pages), adapterHandleRef(other.adapterHandleRef), readBlock(other.readBlock) {}

// cppcheck-suppress operatorEqVarError ; the record address state lives within one LoadFromText, which resets it
CHexImage& CHexImage::operator=(const CHexImage& other) {
    if (this == &other) return *this;
    pageSize = other.pageSize;
    padMissingPages = other.padMissingPages;
    fillByte = other.fillByte;
    pages = other.pages;
    adapterHandleRef = other.adapterHandleRef;
    readBlock = other.readBlock;
    cachedNumber = -1;
    cachedPage = nullptr;
    return *this;
}

CHexImage::CHexImage(CHexImage&& other) noexcept
    : pageSize(other.pageSize), padMissingPages(other.padMissingPages), fillByte(other.fillByte),
      pages(std::move(other.pages)), adapterHandleRef(other.adapterHandleRef), readBlock(other.readBlock) {
    other.pages.clear();
    other.cachedNumber = -1;
    other.cachedPage = nullptr;
}

// cppcheck-suppress operatorEqVarError ; as above
CHexImage& CHexImage::operator=(CHexImage&& other) noexcept {
    if (this == &other) return *this;
    pageSize = other.pageSize;
    padMissingPages = other.padMissingPages;
    fillByte = other.fillByte;
    pages = std::move(other.pages);
    adapterHandleRef = other.adapterHandleRef;
    readBlock = other.readBlock;
    cachedNumber = -1;
    cachedPage = nullptr;
    other.pages.clear();
    other.cachedNumber = -1;
    other.cachedPage = nullptr;
    return *this;
}

std::string CHexImage::ReadWholeFile(FILE* file) {
    if (file == nullptr) return {};
    if (std::fseek(file, 0, SEEK_END) != 0) return {};
    const long length = std::ftell(file);
    if (length < 0 || std::fseek(file, 0, SEEK_SET) != 0) return {};
    std::string text(static_cast<size_t>(length), '\0');
    if (length > 0 && std::fread(&text[0], 1, text.size(), file) != text.size()) return {};
    return text;
}

int CHexImage::LoadFromText(const std::string& text) {
    pages.clear();
    cachedNumber = -1;
    cachedPage = nullptr;
    addressMode = kModeNone;
    segmentBase = 0;
    upperLinearAddress = 0;
    if (text.empty()) return kLoadEmpty;

    const char* const data = text.data();
    const size_t size = text.size();
    size_t pos = 0;
    while (pos < size) {
        // A last line without a line feed is still a line: dropping it would
        // silently lose the data it carries.
        const void* feed = std::memchr(data + pos, '\n', size - pos);
        const size_t end = feed ? static_cast<size_t>(static_cast<const char*>(feed) - data) + 1 : size;
        const char* line = data + pos;
        size_t length = end - pos;
        pos = end;

        while (length > 0 && IsLineSpace(line[length - 1])) --length;
        while (length > 0 && IsLineSpace(*line)) {
            ++line;
            --length;
        }
        if (length == 0) continue;

        const int result = ParseRecordLine(line, length);
        if (result != kLoadOk) return result;
    }
    return kLoadOk;
}

// One trimmed record line. Every record must be well formed: an even number
// of hexadecimal digits, a count that matches the length, and a checksum that
// sums the record to zero. A record that passed with a bad byte would be
// written back out with a fresh, valid checksum and programmed into flash.
int CHexImage::ParseRecordLine(const char* line, size_t length) {
    if (line[0] != ':') return kLoadMalformed;
    const size_t digits = length - 1;
    if (digits % 2 != 0) return kLoadMalformed;
    const size_t byteCount = digits / 2;
    if (byteCount < kRecordOverhead || byteCount > kMaxRecordBytes) return kLoadMalformed;

    uint8_t b[kMaxRecordBytes];
    uint8_t sum = 0;
    const unsigned char* hex = reinterpret_cast<const unsigned char*>(line + 1);
    for (size_t i = 0; i < byteCount; ++i) {
        const uint8_t high = kHexDigit.value[hex[2 * i]];
        const uint8_t low = kHexDigit.value[hex[2 * i + 1]];
        if ((high | low) & 0xF0) return kLoadMalformed;
        b[i] = static_cast<uint8_t>(high << 4 | low);
        sum = static_cast<uint8_t>(sum + b[i]);
    }
    const size_t count = b[0];
    if (byteCount != count + kRecordOverhead) return kLoadMalformed;
    if (sum != 0) return kLoadMalformed;

    const uint32_t address = static_cast<uint32_t>(b[1]) << 8 | b[2];
    const uint8_t type = b[3];
    switch (type) {
    case kTypeData: {
        uint32_t base = address;
        if (addressMode == kModeSegment) {
            base = ((static_cast<uint32_t>(segmentBase) << 4) + address) & 0xFFFFF;
        } else if (addressMode == kModeLinear) {
            base = static_cast<uint32_t>(upperLinearAddress) << 16 | address;
        }
        // Data runs on past a 64 KiB (or 1 MiB) boundary rather than wrapping.
        SetBytes(base, b + 4, count);
        return kLoadOk;
    }
    case kTypeExtendedSegment:
        if (count != 2) return kLoadMalformed;
        segmentBase = static_cast<uint16_t>(b[4] << 8 | b[5]);
        addressMode = kModeSegment;
        return kLoadOk;
    case kTypeExtendedLinear:
        if (count != 2) return kLoadMalformed;
        upperLinearAddress = static_cast<uint16_t>(b[4] << 8 | b[5]);
        addressMode = kModeLinear;
        return kLoadOk;
    default:
        // End of file and start addresses carry nothing the image keeps. An
        // end-of-file record does not end parsing.
        return kLoadOk;
    }
}

void CHexImage::SetByte(uint32_t address, uint8_t value) {
    SetBytes(address, &value, 1);
}

void CHexImage::SetBytes(uint32_t address, const uint8_t* data, size_t count) {
    while (count > 0) {
        const int32_t pageNumber = static_cast<int32_t>(address / pageSize);
        const uint32_t offset = address % pageSize;
        // Stay within the page and below the 4 GiB wrap.
        const uint64_t untilWrap = (uint64_t{1} << 32) - address;
        const size_t chunk = static_cast<size_t>(
            std::min<uint64_t>({count, uint64_t{pageSize} - offset, untilWrap}));
        std::vector<uint8_t>& page = PageForWrite(pageNumber);
        std::memcpy(page.data() + offset, data, chunk);
        address += static_cast<uint32_t>(chunk);
        data += chunk;
        count -= chunk;
    }
}

std::vector<uint8_t>& CHexImage::PageForWrite(int32_t pageNumber) {
    if (cachedPage != nullptr && cachedNumber == pageNumber) return *cachedPage;
    auto it = pages.find(pageNumber);
    if (it == pages.end()) {
        it = pages.emplace(pageNumber, std::vector<uint8_t>(pageSize, fillByte)).first;
        if (adapterHandleRef != nullptr) LoadFromTarget(pageNumber, it->second);
    } else if (it->second.size() < pageSize) {
        // A short page (end of a dump) grows to full size before a byte lands
        // beyond its end.
        it->second.resize(pageSize, fillByte);
    }
    cachedNumber = pageNumber;
    cachedPage = &it->second;
    return it->second;
}

// A new page starts as what the target's flash holds there, so that writing a
// few bytes of it does not erase the rest when the page is programmed.
void CHexImage::LoadFromTarget(int32_t pageNumber, std::vector<uint8_t>& page) {
    if (readBlock == nullptr) return;
    std::vector<uint8_t> flash(pageSize);
    const uint32_t address = static_cast<uint32_t>(pageNumber) * pageSize;
    if (readBlock(*adapterHandleRef, address, flash.data(), pageSize, nullptr, nullptr) == 0) {
        page = std::move(flash);
    }
}

std::vector<uint8_t> CHexImage::GetPage(int32_t pageNumber) const {
    const auto it = pages.find(pageNumber);
    if (it != pages.end()) return it->second;
    if (padMissingPages) return std::vector<uint8_t>(pageSize, fillByte);
    return {};
}

int32_t CHexImage::HighestPageNumber() const {
    return pages.empty() ? -1 : pages.rbegin()->first;
}

void CHexImage::PutPage(int32_t pageNumber, std::vector<uint8_t> bytes) {
    if (bytes.size() > pageSize) bytes.resize(pageSize);
    pages[pageNumber] = std::move(bytes);
    if (cachedNumber == pageNumber) {
        cachedNumber = -1;
        cachedPage = nullptr;
    }
}
