// The serial line's frame as bytes alone, apart from the port that carries
// them:
//   0x3A, 0x00, payload length N (LE16), payload[N], CRC-16 (low byte first)
// The CRC covers the four header bytes and the payload. The second byte is
// 0x00 from the host; from the device it counts only towards the CRC.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr uint8_t FRAME_START = 0x3A;
constexpr size_t FRAME_HEADER_SIZE = 4;
constexpr size_t FRAME_TRAILER_SIZE = 2;
constexpr size_t FRAME_OVERHEAD = FRAME_HEADER_SIZE + FRAME_TRAILER_SIZE;
constexpr size_t MAX_FRAME_PAYLOAD = 0xFFFF;

// What goes on the wire before and after a payload.
struct SerialFrameEnvelope {
    uint8_t header[FRAME_HEADER_SIZE];
    uint8_t trailer[FRAME_TRAILER_SIZE];
};

// The envelope of a host frame; length is at most MAX_FRAME_PAYLOAD.
SerialFrameEnvelope FrameEnvelope(const uint8_t* payload, size_t length);

// The payload length a frame's four header bytes announce.
size_t FramePayloadLength(const uint8_t* header);

enum class FrameParse {
    Ok,
    NoStart, // the first byte is not FRAME_START
    Short,   // fewer bytes than the header, or than the header announces
    TooLong, // the payload would not fit the receiver's capacity
    BadCrc,
};

struct SerialFrameView {
    FrameParse result;
    // Into the parsed bytes; with Ok only.
    const uint8_t* payload;
    size_t length;
    // Bytes the frame occupies, CRC included; with Ok and BadCrc.
    size_t size;
};

// Takes apart the frame at the start of bytes[0, size), for a receiver that
// can take at most capacity payload bytes. Bytes after the frame are not
// looked at.
SerialFrameView ParseFrame(const uint8_t* bytes, size_t size, size_t capacity);
