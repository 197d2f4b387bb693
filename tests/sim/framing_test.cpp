// Frame encoding, decoding and the CRC-16 against frames a host produces.
#include "serial/framing.h"

#include <gtest/gtest.h>

using namespace velt::sim::framing;

namespace {

std::vector<uint8_t> hex(const std::string& text)
{
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 3)
        bytes.push_back(static_cast<uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

TEST(Framing, CrcMatchesTheStandardCheckValue)
{
    const char check[] = "123456789";
    EXPECT_EQ(crc16(reinterpret_cast<const uint8_t*>(check), 9), 0x29B1);
}

TEST(Framing, EncodesKnownFrames)
{
    EXPECT_EQ(encodeFrame(requestPayload(3, 0, 0, 6)), hex("3A 00 07 00 03 00 00 00 00 06 00 FA EA"));
    EXPECT_EQ(encodeFrame(std::vector<uint8_t>{}), hex("3A 00 00 00 82 C0"));
    EXPECT_EQ(encodeFrame(std::vector<uint8_t>{2}), hex("3A 00 01 00 02 3E 4C"));
    EXPECT_EQ(encodeFrame(requestPayload(1, 0, 0, 2, {0xAA, 0xBB})),
              hex("3A 00 09 00 01 00 00 00 00 02 00 AA BB C5 0A"));
    EXPECT_EQ(encodeFrame(requestPayload(7, 0, 0, 48)), hex("3A 00 07 00 07 00 00 00 00 30 00 0F 84"));
    EXPECT_EQ(encodeFrame(requestPayload(8, 0, 0, 0)), hex("3A 00 07 00 08 00 00 00 00 00 00 73 0B"));
}

TEST(Framing, DecodesAFrameAndReportsWhatFollows)
{
    std::vector<uint8_t> bytes = hex("3A 00 01 00 02 3E 4C 55");
    Decoded d = decodeFrame(bytes.data(), bytes.size());
    ASSERT_EQ(d.status, DecodeStatus::Ok);
    EXPECT_EQ(d.frameSize, 7u);
    ASSERT_EQ(d.payloadSize, 1u);
    EXPECT_EQ(d.payload[0], 2);
}

TEST(Framing, NeedsTheWholeFrameBeforeDeciding)
{
    std::vector<uint8_t> bytes = encodeFrame(std::vector<uint8_t>(300, 0x42));
    for (size_t cut : {size_t(1), size_t(3), size_t(4), size_t(200), bytes.size() - 1})
        EXPECT_EQ(decodeFrame(bytes.data(), cut).status, DecodeStatus::Incomplete) << cut;
    EXPECT_EQ(decodeFrame(bytes.data(), bytes.size()).status, DecodeStatus::Ok);
}

TEST(Framing, DetectsCorruptionAnywhereInTheFrame)
{
    std::vector<uint8_t> good = hex("3A 00 09 00 01 00 00 00 00 02 00 AA BB C5 0A");
    for (size_t i = 1; i < good.size(); ++i) {
        if (i == 2 || i == 3)
            continue; // a changed length changes the frame's extent instead
        std::vector<uint8_t> bad = good;
        bad[i] ^= 0x01;
        EXPECT_EQ(decodeFrame(bad.data(), bad.size()).status, DecodeStatus::BadCrc) << "byte " << i;
    }
    std::vector<uint8_t> noise = hex("00 3A");
    EXPECT_EQ(decodeFrame(noise.data(), noise.size()).status, DecodeStatus::NoStart);
}
