#include "hex/HexWriter.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

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

void PutPair(char* out, uint8_t byte) {
    std::memcpy(out, &kHexPairs.pairs[size_t{byte} * 2], 2);
}

char* PutBytes(char* out, const uint8_t* bytes, size_t count, uint8_t& sum) {
    for (size_t i = 0; i < count; ++i) {
        PutPair(out + 2 * i, bytes[i]);
        sum = static_cast<uint8_t>(sum + bytes[i]);
    }
    return out + 2 * count;
}

char* PutChecksumAndEnd(char* out, uint8_t sum) {
    PutPair(out, static_cast<uint8_t>(0x100 - sum));
    out[2] = '\r';
    out[3] = '\n';
    return out + 4;
}

// Writes one whole line: a 4-byte header and its data.
char* PutRecord(char* out, const uint8_t header[4], const uint8_t* data, size_t count) {
    uint8_t sum = 0;
    *out++ = ':';
    out = PutBytes(out, header, 4, sum);
    out = PutBytes(out, data, count, sum);
    return PutChecksumAndEnd(out, sum);
}

// Nearly every line of a large image is a full data record; with the count
// fixed the compiler unrolls the loop into straight table copies.
char* PutFullDataRecord(char* out, uint16_t address, const uint8_t* source) {
    // A local copy tells the compiler the output cannot overwrite the data.
    uint8_t data[kDataBytesPerRecord];
    std::memcpy(data, source, sizeof data);
    const uint8_t high = static_cast<uint8_t>(address >> 8);
    const uint8_t low = static_cast<uint8_t>(address);
    std::memcpy(out, ":10", 3); // NOLINT(bugprone-not-null-terminated-result): a record line, ended by CR LF below
    PutPair(out + 3, high);
    PutPair(out + 5, low);
    out[7] = '0';
    out[8] = '0';
    unsigned sum = static_cast<unsigned>(kDataBytesPerRecord) + high + low;
    char* digits = out + 9;
#if defined(__GNUC__)
#pragma GCC unroll 16
#endif
    for (size_t i = 0; i < kDataBytesPerRecord; ++i) {
        PutPair(digits + 2 * i, data[i]);
        sum += data[i];
    }
    return PutChecksumAndEnd(digits + 2 * kDataBytesPerRecord, static_cast<uint8_t>(sum));
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

// Formats records into a buffer that stays in the processor's cache and hands
// it to the sink whenever it is nearly full, so that output of any size costs
// no more memory than the buffer. 512 KiB measured best for writing files:
// smaller pieces pay more per write call, larger ones fall out of the cache.
class RecordStream {
public:
    // cppcheck-suppress uninitMemberVar ; only buffer_[0, used_) is ever read, and clearing 512 KiB per image would cost
    explicit RecordStream(const HexTextSink& sink) : sink_(sink) {}

    void Put(const uint8_t header[4], const uint8_t* data, size_t count) {
        if (kBufferSize - used_ < kLongestLine && !Flush()) return;
        used_ = static_cast<size_t>(PutRecord(buffer_ + used_, header, data, count) - buffer_);
    }

    void PutFullData(uint16_t address, const uint8_t* data) {
        if (kBufferSize - used_ < kLongestLine && !Flush()) return;
        used_ = static_cast<size_t>(PutFullDataRecord(buffer_ + used_, address, data) - buffer_);
    }

    bool Flush() {
        if (failed_) return false;
        if (used_ > 0 && !sink_(buffer_, used_)) failed_ = true;
        used_ = 0;
        return !failed_;
    }

private:
    static constexpr size_t kBufferSize = 512 * 1024;
    static constexpr size_t kLongestLine = LineLength(4 + 255);

    const HexTextSink& sink_;
    char buffer_[kBufferSize];
    size_t used_ = 0;
    bool failed_ = false;
};

// With the 1024-byte pages of this system a page never crosses a 64 KiB
// block, so each page gets exactly one type 04 record. For other page sizes a
// page may cross one; a fresh type 04 record is written there and no data
// record spans the boundary, so every byte keeps its address.
void PutPage(RecordStream& stream, const PageSpan& span, uint32_t pageSize) {
    const uint64_t base = uint64_t{span.number} * pageSize;
    if (base > 0xFFFFFFFFu) return;
    const uint64_t size = std::min<uint64_t>(span.size, (uint64_t{1} << 32) - base);
    uint32_t block = 0xFFFFFFFFu; // upper 16 bits of the last type 04 record; none yet
    uint64_t m = 0;
    while (m < size) {
        const uint32_t address = static_cast<uint32_t>(base + m);
        if (address >> 16 != block) {
            block = address >> 16;
            const uint8_t header[4] = {2, 0, 0, kTypeExtendedLinear};
            const uint8_t upper[2] = {static_cast<uint8_t>(block >> 8), static_cast<uint8_t>(block)};
            stream.Put(header, upper, 2);
        }
        const size_t count = static_cast<size_t>(
            std::min<uint64_t>({kDataBytesPerRecord, size - m, 0x10000 - (address & 0xFFFF)}));
        if (count == kDataBytesPerRecord) {
            stream.PutFullData(static_cast<uint16_t>(address), span.bytes + m);
        } else {
            const uint8_t header[4] = {static_cast<uint8_t>(count), static_cast<uint8_t>(address >> 8),
                                       static_cast<uint8_t>(address), kTypeData};
            stream.Put(header, span.bytes + m, count);
        }
        m += count;
    }
}

} // namespace

bool WriteHexText(const CHexImage& image, const HexTextSink& sink) {
    const std::vector<uint8_t> fillPage =
        image.PadMissingPages() ? std::vector<uint8_t>(image.PageSize(), image.FillByte()) : std::vector<uint8_t>();
    auto stream = std::make_unique<RecordStream>(sink);
    for (const PageSpan& span : PagesToWrite(image, fillPage)) PutPage(*stream, span, image.PageSize());
    const uint8_t endHeader[4] = {0, 0, 0, kTypeEndOfFile};
    stream->Put(endHeader, nullptr, 0);
    return stream->Flush();
}

std::string ToHexText(const CHexImage& image) {
    // Reserving the exact-or-larger size up front keeps the appends from
    // reallocating: 16 data bytes take 45 characters, plus one base record
    // per page.
    size_t estimate = LineLength(4);
    for (const auto& [number, bytes] : image.Pages()) {
        estimate += LineLength(6) + (bytes.size() / kDataBytesPerRecord + 1) * LineLength(4 + kDataBytesPerRecord);
    }
    std::string text;
    if (!image.PadMissingPages()) text.reserve(estimate);
    WriteHexText(image, [&text](const char* data, size_t size) {
        text.append(data, size);
        return true;
    });
    return text;
}
