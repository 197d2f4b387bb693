// The line model in virtual time: when each byte may cross, and the order
// in which held replies go.
#include "serial/LineModel.h"

#include <gtest/gtest.h>

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

// 10 000 bit/s: one millisecond a byte, bursts queue behind each other.
TEST(LineModel, PacesBothWaysAtTenBitsAByte)
{
    LineModel line(10000);
    const uint8_t host[] = {1, 2, 3, 4};
    line.arrive(host, 4, t0);
    EXPECT_TRUE(received(line, t0 + 999us).empty());
    ASSERT_TRUE(line.nextEvent());
    EXPECT_EQ(*line.nextEvent(), t0 + 1ms);
    EXPECT_EQ(received(line, t0 + 2500us), (std::vector<uint8_t>{1, 2}));
    const uint8_t more[] = {5};
    line.arrive(more, 1, t0 + 3ms);  // behind the two still on the wire
    EXPECT_EQ(received(line, t0 + 4ms), (std::vector<uint8_t>{3, 4}));
    EXPECT_EQ(received(line, t0 + 5ms), (std::vector<uint8_t>{5}));
    EXPECT_FALSE(line.nextEvent());

    const uint8_t device[] = {9, 8, 7};
    line.send(device, 3, t0 + 10ms);
    EXPECT_TRUE(transmitted(line, t0 + 10500us).empty());
    EXPECT_EQ(transmitted(line, t0 + 13ms), (std::vector<uint8_t>{9, 8, 7}));
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
