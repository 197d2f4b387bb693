#include "DfuSuffix.h"

#include <array>

namespace veltdfu {

namespace {

std::array<uint32_t, 256> MakeCrcTable()
{
    std::array<uint32_t, 256> table{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        table[i] = crc;
    }
    return table;
}

uint16_t Le16(const uint8_t* p)
{
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const uint8_t* p)
{
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

} // namespace

uint32_t DfuSuffixCrc(const uint8_t* data, size_t size)
{
    static const std::array<uint32_t, 256> table = MakeCrcTable();
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

SuffixCheck CheckDfuSuffix(const uint8_t* data, size_t size)
{
    SuffixCheck check;
    check.firmwareSize = size;
    if (size < kDfuSuffixSize)
        return check;
    // Read back to front: dwCRC, bLength, the signature "UFD" ("DFU" reversed), bcdDFU, ids.
    const uint8_t* tail = data + size - kDfuSuffixSize;
    if (tail[8] != 'U' || tail[9] != 'F' || tail[10] != 'D')
        return check;
    check.suffix.bcdDevice = Le16(tail);
    check.suffix.idProduct = Le16(tail + 2);
    check.suffix.idVendor = Le16(tail + 4);
    check.suffix.bcdDfu = Le16(tail + 6);
    check.suffix.length = tail[11];
    check.suffix.storedCrc = Le32(tail + 12);
    // A longer suffix carries more fields before the standard 16 bytes; a
    // shorter one is not a suffix this format defines.
    if (check.suffix.length < kDfuSuffixSize || check.suffix.length > size) {
        check.kind = SuffixCheck::Kind::BadLength;
        return check;
    }
    check.computedCrc = DfuSuffixCrc(data, size - 4);
    check.firmwareSize = size - check.suffix.length;
    check.kind = check.computedCrc == check.suffix.storedCrc ? SuffixCheck::Kind::Valid
                                                             : SuffixCheck::Kind::BadCrc;
    return check;
}

} // namespace veltdfu
