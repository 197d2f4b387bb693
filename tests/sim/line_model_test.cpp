// The line model in virtual time: when each byte may cross, and the order
// in which held replies go.
#include "serial/LineModel.h"

#include <gtest/gtest.h>

#include <algorithm>

using velt::sim::LineConfig;
using velt::sim::LineModel;
using namespace std::chrono_literals;

namespace {

const LineModel::Clock::time_point t0{std::chrono::seconds(100)};

std::vector<uint8_t> received(LineModel& line, LineModel::Clock::time_point at)
{
    std::vector<uint8_t> out;
    line.receive(out, at);
    return out;
}

std::vector<uint8_t> transmitted(LineModel& line, LineModel::Clock::time_point at)
{
    std::vector<uint8_t> out;
    line.transmit(out, at);
    return out;
}

} // namespace

LineConfig atBaud(uint32_t baud, std::chrono::microseconds latency = 0us)
{
    LineConfig config;
    config.baud = baud;
    config.latency = latency;
    return config;
}

// 10 000 bit/s: one millisecond a byte, bursts queue behind each other. The
// owner is woken when a burst has crossed whole, not byte by byte.
TEST(LineModel, PacesBothWaysAtTenBitsAByte)
{
    LineModel line(atBaud(10000));
    const uint8_t host[] = {1, 2, 3, 4};
    line.arrive(host, 4, t0);
    EXPECT_TRUE(received(line, t0 + 999us).empty());
    ASSERT_TRUE(line.nextEvent());
    EXPECT_EQ(*line.nextEvent(), t0 + 4ms);
    EXPECT_EQ(received(line, t0 + 2500us), (std::vector<uint8_t>{1, 2}));
    const uint8_t more[] = {5};
    line.arrive(more, 1, t0 + 3ms);  // behind the two still on the wire
    EXPECT_EQ(received(line, t0 + 4ms), (std::vector<uint8_t>{3, 4}));
    EXPECT_EQ(received(line, t0 + 5ms), (std::vector<uint8_t>{5}));
    EXPECT_FALSE(line.nextEvent());

    // Towards the host the first byte is due as soon as it has crossed, the
    // rest a slice later or at the end of the burst.
    const uint8_t device[] = {9, 8, 7};
    line.send(device, 3, t0 + 10ms);
    EXPECT_EQ(*line.nextEvent(), t0 + 11ms);
    EXPECT_TRUE(transmitted(line, t0 + 10500us).empty());
    EXPECT_EQ(transmitted(line, t0 + 11ms), (std::vector<uint8_t>{9}));
    EXPECT_EQ(*line.nextEvent(), t0 + 12ms);
    EXPECT_EQ(transmitted(line, t0 + 13ms), (std::vector<uint8_t>{8, 7}));

    LineModel fast(atBaud(1000000));
    std::vector<uint8_t> reply(150, 0x11);
    fast.send(reply.data(), reply.size(), t0);
    EXPECT_EQ(*fast.nextEvent(), t0 + 10us);
    EXPECT_EQ(transmitted(fast, t0 + 10us).size(), 1u);
    EXPECT_EQ(*fast.nextEvent(), t0 + 10us + LineModel::kSlice);
    EXPECT_EQ(transmitted(fast, t0 + 10us + LineModel::kSlice).size(), 100u);
    EXPECT_EQ(*fast.nextEvent(), t0 + 1500us) << "the end of the burst comes before another slice";
    EXPECT_EQ(transmitted(fast, t0 + 1500us).size(), 49u);
    fast.send(reply.data(), 12, t0 + 2ms);
    EXPECT_EQ(*fast.nextEvent(), t0 + 2120us) << "a burst shorter than a slice goes whole";
}

// What the device receives comes with the moment its last byte crossed, so
// that an answer is timed from then however late the owner looked.
TEST(LineModel, ReceiveTellsWhenTheBytesArrived)
{
    LineModel line(atBaud(10000, 500us));
    const uint8_t frame[] = {1, 2, 3};
    line.arrive(frame, 3, t0);
    std::vector<uint8_t> got;
    EXPECT_EQ(line.receive(got, t0 + 10ms), t0 + 3500us);
    EXPECT_EQ(got.size(), 3u);
    EXPECT_EQ(line.receive(got, t0 + 20ms), t0 + 20ms) << "nothing new";
    line.arrive(frame, 3, t0 + 30ms);
    got.clear();
    EXPECT_EQ(line.receive(got, t0 + 32ms), t0 + 31500us);
    EXPECT_EQ(got.size(), 1u);
}

TEST(LineModel, InstantLineDeliversAtOnce)
{
    LineModel line;
    const uint8_t bytes[] = {1, 2, 3};
    line.arrive(bytes, 3, t0);
    EXPECT_EQ(received(line, t0), (std::vector<uint8_t>{1, 2, 3}));
    line.send(bytes, 2, t0);
    EXPECT_EQ(transmitted(line, t0), (std::vector<uint8_t>{1, 2}));
    EXPECT_FALSE(line.nextEvent());
}

// A held reply goes when due; acknowledgements pass it, later replies do not.
TEST(LineModel, HeldRepliesKeepTheirOrderAndLetAcknowledgementsPass)
{
    LineModel line;
    const uint8_t ack[] = {0x00};
    line.send(ack, 1, t0);
    line.sendReply({0x3A, 1}, 200ms, t0);
    line.send(ack, 1, t0 + 50ms);
    line.sendReply({0x3A, 2}, 0ms, t0 + 50ms);
    EXPECT_EQ(transmitted(line, t0 + 60ms), (std::vector<uint8_t>{0x00, 0x00}));
    ASSERT_TRUE(line.nextEvent());
    EXPECT_EQ(*line.nextEvent(), t0 + 200ms);
    EXPECT_TRUE(transmitted(line, t0 + 199ms).empty());
    EXPECT_EQ(transmitted(line, t0 + 200ms), (std::vector<uint8_t>{0x3A, 1, 0x3A, 2}));
}

// Latency delays every burst by the same time in both directions, on top of
// the line time; bursts sent back to back still arrive back to back.
TEST(LineModel, LatencyDelaysEveryBurstBothWays)
{
    LineModel line(atBaud(10000, 500us));
    const uint8_t frame[] = {1, 2};
    line.arrive(frame, 2, t0);
    ASSERT_TRUE(line.nextEvent());
    EXPECT_EQ(*line.nextEvent(), t0 + 2500us);
    EXPECT_TRUE(received(line, t0 + 1499us).empty());
    EXPECT_EQ(received(line, t0 + 1500us), (std::vector<uint8_t>{1}));
    const uint8_t ack[] = {0};
    line.send(ack, 1, t0 + 3ms);
    EXPECT_TRUE(transmitted(line, t0 + 4499us).empty());
    EXPECT_EQ(transmitted(line, t0 + 4500us), (std::vector<uint8_t>{0}));

    // Without a rate a burst arrives whole, latency after it was sent.
    LineModel fast(atBaud(0, 1000us));
    EXPECT_TRUE(fast.paced());
    fast.arrive(frame, 2, t0);
    fast.arrive(frame, 1, t0 + 200us);
    EXPECT_EQ(*fast.nextEvent(), t0 + 1000us);
    EXPECT_TRUE(received(fast, t0 + 999us).empty());
    EXPECT_EQ(received(fast, t0 + 1000us), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(*fast.nextEvent(), t0 + 1200us);
    EXPECT_EQ(received(fast, t0 + 1200us), (std::vector<uint8_t>{1}));
    fast.sendReply({0x3A}, 5ms, t0);
    EXPECT_EQ(*fast.nextEvent(), t0 + 5ms);
    EXPECT_TRUE(transmitted(fast, t0 + 5ms).empty()) << "a held reply still has the latency to cross";
    EXPECT_EQ(transmitted(fast, t0 + 6ms), (std::vector<uint8_t>{0x3A}));
}

// baud=host: the character time follows the host's rate and frame; bytes
// already on the wire keep the time they were sent with.
TEST(LineModel, FollowsTheHostsRateAndFrame)
{
    LineConfig config;
    config.followHost = true;
    LineModel line(config);
    EXPECT_FALSE(line.paced()) << "no rate known yet";
    EXPECT_TRUE(line.hostLine(10000, 10));
    EXPECT_FALSE(line.hostLine(10000, 10)) << "nothing changed";
    const uint8_t bytes[] = {1, 2};
    line.arrive(bytes, 2, t0);
    EXPECT_TRUE(line.hostLine(10000, 12)); // 8E2
    line.arrive(bytes, 1, t0);
    EXPECT_EQ(received(line, t0 + 2ms), (std::vector<uint8_t>{1, 2}));
    EXPECT_TRUE(received(line, t0 + 3100us).empty());
    EXPECT_EQ(received(line, t0 + 3200us), (std::vector<uint8_t>{1}));
    EXPECT_FALSE(line.garbled());
}

// A fixed rate the host does not match: the device receives garbage that is
// never a handshake or a start byte; within 2 % the line is understood.
TEST(LineModel, AHostAtAnotherRateIsGarbled)
{
    LineModel line(atBaud(115200));
    line.hostLine(115200 + 2000, 10);
    EXPECT_FALSE(line.garbled());
    line.hostLine(9600, 10);
    EXPECT_TRUE(line.garbled());
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = static_cast<uint8_t>(i);
    line.arrive(all.data(), all.size(), t0);
    const std::vector<uint8_t> got = received(line, t0 + 1s);
    ASSERT_EQ(got.size(), all.size());
    EXPECT_EQ(std::count(got.begin(), got.end(), 0x55), 0);
    EXPECT_EQ(std::count(got.begin(), got.end(), 0x3A), 0);
    line.hostLine(115200, 10);
    EXPECT_FALSE(line.garbled());
    line.arrive(all.data(), 1, t0 + 1s);
    EXPECT_EQ(received(line, t0 + 2s), (std::vector<uint8_t>{0}));
}

// Bytes sent right behind a burst that has not begun to cross travel with
// it: an acknowledgement and its reply frame arrive together.
TEST(LineModel, BytesBackToBackAreOneBurst)
{
    LineModel line(atBaud(1000000, 1000us));
    const uint8_t ack[] = {0x00};
    line.send(ack, 1, t0);
    line.sendReply({0x3A, 0, 1, 0, 2, 0x3E, 0x4C}, 0ms, t0);
    EXPECT_EQ(*line.nextEvent(), t0 + 1080us);
    EXPECT_TRUE(transmitted(line, t0 + 1079us).empty());
    EXPECT_EQ(transmitted(line, t0 + 1080us).size(), 8u);

    // A burst sent after a gap on the wire is a burst of its own.
    line.send(ack, 1, t0 + 2ms);
    line.send(ack, 1, t0 + 2100us);
    EXPECT_EQ(*line.nextEvent(), t0 + 3010us);
    EXPECT_EQ(transmitted(line, t0 + 3010us).size(), 1u);
    EXPECT_EQ(*line.nextEvent(), t0 + 3110us);
}
