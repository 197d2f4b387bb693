// CRC-16/CCITT-FALSE of the serial frames: polynomial 0x1021, initial value
// 0xFFFF, most significant bit first, no reflection, no final XOR.
#pragma once

#include <cstddef>
#include <cstdint>

uint16_t Crc16Update(uint16_t crc, const uint8_t* data, size_t length);

inline uint16_t Crc16(const uint8_t* data, size_t length)
{
    return Crc16Update(0xFFFF, data, length);
}
