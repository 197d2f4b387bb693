#include "hex/HexWriter.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kTypeData = 0x00;
constexpr uint8_t kTypeEndOfFile = 0x01;
constexpr uint8_t kTypeExtendedLinear = 0x04;
constexpr size_t kDataBytesPerRecord = 16;

// The two upper-case digits of every byte value, so that a line is built by
// copying pairs instead of formatting.
struct HexPairTable {
    char pairs[512];
    constexpr HexPairTable() : pairs() {
        constexpr char digits[] = "0123456789ABCDEF";
        for (int b = 0; b < 256; ++b) {
            pairs[2 * b] = digits[b >> 4];
            pairs[2 * b + 1] = digits[b & 0xF];
        }
    }
};
constexpr HexPairTable kHexPairs;

// Characters of a record line with n bytes in its list: ':', the pairs, the
// checksum pair, CR LF.
constexpr size_t LineLength(size_t listBytes) {
    return 1 + 2 * listBytes + 2 + 2;
}

char* PutBytes(char* out, const uint8_t* bytes, size_t count, uint8_t& sum) {
    for (size_t i = 0; i < count; ++i) {
        std::memcpy(out, &kHexPairs.pairs[2 * bytes[i]], 2);
        out += 2;
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return out;
}

// Writes one whole line: a 4-byte header and its data.
char* PutRecord(char* out, const uint8_t header[4], const uint8_t* data, size_t count) {
    uint8_t sum = 0;
    *out++ = ':';
    out = PutBytes(out, header, 4, sum);
    out = PutBytes(out, data, count, sum);
    const uint8_t checksum = static_cast<uint8_t>(0x100 - sum);
    std::memcpy(out, &kHexPairs.pairs[2 * checksum], 2);
    out[2] = '\r';
    out[3] = '\n';
    return out + 4;
}

struct PageSpan {
    uint32_t number;
    const uint8_t* bytes;
    size_t size;
};

// The pages that carry data, in ascending order. With padMissingPages every
// number from 0 to the highest is written, absent ones as fill bytes.
std::vector<PageSpan> PagesToWrite(const CHexImage& image, const std::vector<uint8_t>& fillPage) {
    std::vector<PageSpan> spans;
    const auto& pages = image.Pages();
    if (!image.PadMissingPages()) {
        spans.reserve(pages.size());
        for (const auto& [number, bytes] : pages) {
            if (number >= 0 && !bytes.empty()) spans.push_back({static_cast<uint32_t>(number), bytes.data(), bytes.size()});
        }
        return spans;
    }
    auto it = pages.lower_bound(0);
    const int32_t highest = image.HighestPageNumber();
    for (int32_t number = 0; number <= highest; ++number) {
        const std::vector<uint8_t>* bytes = &fillPage;
        if (it != pages.end() && it->first == number) {
            bytes = &it->second;
            ++it;
        }
        if (!bytes->empty()) spans.push_back({static_cast<uint32_t>(number), bytes->data(), bytes->size()});
    }
    return spans;
}

} // namespace

std::vector<uint8_t> MakeRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> record;
    record.reserve(4 + data.size());
    record.push_back(static_cast<uint8_t>(data.size()));
    record.push_back(static_cast<uint8_t>(address >> 8));
    record.push_back(static_cast<uint8_t>(address));
    record.push_back(type);
    record.insert(record.end(), data.begin(), data.end());
    return record;
}

std::vector<uint8_t> MakeDataRecord(uint16_t address, const std::vector<uint8_t>& data) {
    return MakeRecord(kTypeData, address, data);
}

std::vector<uint8_t> MakeExtendedLinearAddressRecord(uint16_t upperAddress) {
    return MakeRecord(kTypeExtendedLinear, 0, {static_cast<uint8_t>(upperAddress >> 8), static_cast<uint8_t>(upperAddress)});
}

std::vector<uint8_t> MakeEndOfFileRecord() {
    return MakeRecord(kTypeEndOfFile, 0, {});
}

void AppendRecordLine(const std::vector<uint8_t>& record, std::string& text) {
    const size_t start = text.size();
    text.resize(start + LineLength(record.size()));
    char* out = &text[start];
    uint8_t sum = 0;
    *out++ = ':';
    out = PutBytes(out, record.data(), record.size(), sum);
    const uint8_t checksum = static_cast<uint8_t>(0x100 - sum);
    std::memcpy(out, &kHexPairs.pairs[2 * checksum], 2);
    out[2] = '\r';
    out[3] = '\n';
}

// Sizes the text for the worst case first and fills it through a pointer, so
// a 16 MiB image costs one allocation of the output and no formatting calls.
//
// With the 1024-byte pages of this system a page never crosses a 64 KiB
// block, so each page gets exactly one type 04 record. For other page sizes a
// page may cross one; a fresh type 04 record is written there and no data
// record spans the boundary, so every byte keeps its address.
std::string ToHexText(const CHexImage& image) {
    const std::vector<uint8_t> fillPage =
        image.PadMissingPages() ? std::vector<uint8_t>(image.PageSize(), image.FillByte()) : std::vector<uint8_t>();
    const std::vector<PageSpan> spans = PagesToWrite(image, fillPage);

    size_t bound = LineLength(4); // end of file
    for (const PageSpan& span : spans) {
        const size_t blocks = span.size / 0x10000 + 2;
        bound += blocks * LineLength(4 + 2);
        bound += (span.size / kDataBytesPerRecord + 1 + blocks) * LineLength(4 + kDataBytesPerRecord);
    }

    std::string text(bound, '\0');
    char* const begin = &text[0];
    char* out = begin;
    for (const PageSpan& span : spans) {
        const uint64_t base = uint64_t{span.number} * image.PageSize();
        if (base > 0xFFFFFFFFu) continue;
        const uint64_t size = std::min<uint64_t>(span.size, (uint64_t{1} << 32) - base);
        uint32_t block = 0xFFFFFFFFu; // upper 16 bits of the last type 04 record; none yet
        uint64_t m = 0;
        while (m < size) {
            const uint32_t address = static_cast<uint32_t>(base + m);
            if (address >> 16 != block) {
                block = address >> 16;
                const uint8_t header[4] = {2, 0, 0, kTypeExtendedLinear};
                const uint8_t upper[2] = {static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
                out = PutRecord(out, header, upper, 2);
            }
            const size_t count = static_cast<size_t>(
                std::min<uint64_t>({kDataBytesPerRecord, size - m, 0x10000 - (address & 0xFFFF)}));
            const uint8_t header[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8),
                                       static_cast<uint8_t>(address), kTypeData};
            out = PutRecord(out, header, span.bytes + m, count);
            m += count;
        }
    }
    const uint8_t endHeader[4] = {0, 0, 0, kTypeEndOfFile};
    out = PutRecord(out, endHeader, nullptr, 0);
    text.resize(static_cast<size_t>(out - begin));
    return text;
}
