#include "transport/SerialFrame.h"

#include "transport/Crc16.h"

namespace {

uint16_t FrameCrc(const uint8_t* header, const uint8_t* payload, size_t length)
{
    return Crc16Update(Crc16(header, FRAME_HEADER_SIZE), payload, length);
}

} // namespace

SerialFrameEnvelope FrameEnvelope(const uint8_t* payload, size_t length)
{
    SerialFrameEnvelope envelope = {
        {FRAME_START, 0x00, static_cast<uint8_t>(length & 0xFF), static_cast<uint8_t>(length >> 8)}, {}};
    const uint16_t crc = FrameCrc(envelope.header, payload, length);
    envelope.trailer[0] = static_cast<uint8_t>(crc & 0xFF);
    envelope.trailer[1] = static_cast<uint8_t>(crc >> 8);
    return envelope;
}

size_t FramePayloadLength(const uint8_t* header)
{
    return static_cast<size_t>(header[3]) * 256 + header[2];
}

SerialFrameView ParseFrame(const uint8_t* bytes, size_t size, size_t capacity)
{
    SerialFrameView view = {FrameParse::Short, nullptr, 0, 0};
    if (size == 0)
        return view;
    if (bytes[0] != FRAME_START) {
        view.result = FrameParse::NoStart;
        return view;
    }
    if (size < FRAME_HEADER_SIZE)
        return view;
    const size_t n = FramePayloadLength(bytes);
    if (n > capacity) {
        view.result = FrameParse::TooLong;
        return view;
    }
    if (size < n + FRAME_OVERHEAD)
        return view;
    const uint8_t* payload = bytes + FRAME_HEADER_SIZE;
    const uint16_t received = static_cast<uint16_t>(payload[n + 1] * 256 + payload[n]);
    view.size = n + FRAME_OVERHEAD;
    if (received != FrameCrc(bytes, payload, n)) {
        view.result = FrameParse::BadCrc;
        return view;
    }
    view.result = FrameParse::Ok;
    view.payload = payload;
    view.length = n;
    return view;
}
