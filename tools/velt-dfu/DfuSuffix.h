// The DFU file suffix of USB DFU 1.1: 16 bytes at the end of a firmware file
// that name the device it is for and carry a CRC of the whole file. Pure
// functions over bytes, no I/O, so any input can be thrown at them.
#ifndef VELT_DFU_TOOL_DFUSUFFIX_H
#define VELT_DFU_TOOL_DFUSUFFIX_H

#include <cstddef>
#include <cstdint>

namespace veltdfu {

constexpr size_t kDfuSuffixSize = 16;
constexpr uint16_t kSuffixAnyId = 0xFFFF; // idVendor/idProduct that match every device

struct DfuSuffix {
    uint16_t bcdDevice = 0;
    uint16_t idProduct = 0;
    uint16_t idVendor = 0;
    uint16_t bcdDfu = 0;
    uint8_t length = 0;     // bLength: the suffix's size, dwCRC included
    uint32_t storedCrc = 0; // dwCRC as the file holds it
};

struct SuffixCheck {
    enum class Kind {
        None,      // no "UFD" signature where a suffix would be: plain firmware
        Valid,     // signature, a usable bLength and a matching CRC
        BadCrc,    // signature and bLength fine, dwCRC does not match the file
        BadLength, // signature present but bLength below 16 or beyond the file
    } kind = Kind::None;
    DfuSuffix suffix;         // filled for every kind but None
    uint32_t computedCrc = 0; // over everything but the last 4 bytes (Valid, BadCrc)
    size_t firmwareSize = 0;  // bytes before the suffix (Valid, BadCrc); the whole file for None
};

SuffixCheck CheckDfuSuffix(const uint8_t* data, size_t size);

// The suffix's CRC-32: reflected polynomial 0xEDB88320, initial value
// 0xFFFFFFFF, no final inversion (so it is the complement of the usual CRC-32).
uint32_t DfuSuffixCrc(const uint8_t* data, size_t size);

} // namespace veltdfu

#endif
