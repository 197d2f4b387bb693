// The serial line's frame format as a device sees it: the simulated device's
// codec, and the one tests, fuzz targets and benchmarks use to play either
// end of the line. It is written apart from the library's own codec
// (dfu/transport/SerialFrame), as a device is an outside party, so that each
// checks the other:
//   3A  flags  N-lo N-hi  payload[N]  CRC-lo CRC-hi
// The CRC is CRC-16/CCITT-FALSE (poly 0x1021, init 0xFFFF, no reflection, no
// final XOR) over the four header bytes and the payload. The host sends flags
// 0x00 and so does the device.
#ifndef VELT_SIM_FRAMING_H
#define VELT_SIM_FRAMING_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace velt::sim::framing {

constexpr uint8_t kStart = 0x3A;
constexpr uint8_t kAck = 0x00;
constexpr uint8_t kNak = 0xFF;
constexpr uint8_t kSyncRequest = 0x55;
constexpr uint8_t kSyncReply = 0xAA;
constexpr size_t kHeaderSize = 4;
constexpr size_t kOverhead = kHeaderSize + 2;
constexpr size_t kRequestHeaderSize = 7; // Request, Value, Index, Length

inline const std::array<uint16_t, 256>& crcTable()
{
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t crc = static_cast<uint16_t>(i << 8);
            for (int bit = 0; bit < 8; ++bit)
                crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
            t[i] = crc;
        }
        return t;
    }();
    return table;
}

inline uint16_t crc16(const uint8_t* data, size_t size, uint16_t crc = 0xFFFF)
{
    const auto& table = crcTable();
    for (size_t i = 0; i < size; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

inline std::vector<uint8_t> encodeFrame(const uint8_t* payload, size_t size, uint8_t flags = 0x00)
{
    std::vector<uint8_t> frame;
    frame.reserve(size + kOverhead);
    frame.push_back(kStart);
    frame.push_back(flags);
    frame.push_back(static_cast<uint8_t>(size));
    frame.push_back(static_cast<uint8_t>(size >> 8));
    frame.insert(frame.end(), payload, payload + size);
    uint16_t crc = crc16(frame.data(), frame.size());
    frame.push_back(static_cast<uint8_t>(crc));
    frame.push_back(static_cast<uint8_t>(crc >> 8));
    return frame;
}

inline std::vector<uint8_t> encodeFrame(const std::vector<uint8_t>& payload, uint8_t flags = 0x00)
{
    return encodeFrame(payload.data(), payload.size(), flags);
}

// The request header a host puts in front of every request frame.
inline std::vector<uint8_t> requestPayload(uint8_t request, uint16_t value, uint16_t index, uint16_t length,
                                           const std::vector<uint8_t>& data = {})
{
    std::vector<uint8_t> payload{request,
                                 static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                 static_cast<uint8_t>(index), static_cast<uint8_t>(index >> 8),
                                 static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8)};
    payload.insert(payload.end(), data.begin(), data.end());
    return payload;
}

enum class DecodeStatus {
    Incomplete, // more bytes needed
    Ok,
    BadCrc,
    NoStart,    // data does not begin with the start byte
};

struct Decoded {
    DecodeStatus status = DecodeStatus::Incomplete;
    size_t frameSize = 0;      // bytes the frame occupies (Ok and BadCrc)
    const uint8_t* payload = nullptr;
    size_t payloadSize = 0;
};

// Decodes the frame at the start of data without copying; payload points into data.
inline Decoded decodeFrame(const uint8_t* data, size_t size)
{
    Decoded result;
    if (size == 0)
        return result;
    if (data[0] != kStart) {
        result.status = DecodeStatus::NoStart;
        return result;
    }
    if (size < kHeaderSize)
        return result;
    size_t n = static_cast<size_t>(data[2] | data[3] << 8);
    if (size < n + kOverhead)
        return result;
    uint16_t received = static_cast<uint16_t>(data[kHeaderSize + n] | data[kHeaderSize + n + 1] << 8);
    result.status = crc16(data, kHeaderSize + n) == received ? DecodeStatus::Ok : DecodeStatus::BadCrc;
    result.frameSize = n + kOverhead;
    result.payload = data + kHeaderSize;
    result.payloadSize = n;
    return result;
}

} // namespace velt::sim::framing

#endif
