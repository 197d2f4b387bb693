// The serial device through its pty, driven by a hand-written host.
#include "SimTestHosts.h"

#include <SimProcess.h>
#include <gtest/gtest.h>

using namespace velt::sim::framing;
using simtest::SerialHost;
using velt::sim::SimProcess;

namespace {

const std::vector<uint8_t> kGetState = encodeFrame(requestPayload(5, 0, 0, 1));
const std::vector<uint8_t> kGetStatus = encodeFrame(requestPayload(3, 0, 0, 6));
const std::vector<uint8_t> kAckByte{kAck};
const std::vector<uint8_t> kNakByte{kNak};

std::vector<uint8_t> replyFrame(const std::vector<uint8_t>& payload) { return encodeFrame(payload); }

void setHostRate(const SerialHost& host, speed_t rate)
{
    termios tio{};
    ASSERT_EQ(::tcgetattr(host.fd(), &tio), 0);
    ::cfsetspeed(&tio, rate);
    ASSERT_EQ(::tcsetattr(host.fd(), TCSANOW, &tio), 0);
}

long long msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(SerialDevice, AnswersHandshakeRequestsAndRepeatsRejectedReplies)
{
    SimProcess sim({"--com", "COM5,busy=1,poll=7"});
    SerialHost host(sim.dosDevicesDir() + "/COM5");
    host.sync();

    host.send(kGetStatus);
    EXPECT_EQ(host.receive(1), kAckByte);
    EXPECT_EQ(host.receiveFrame(), replyFrame({0, 0, 0, 0, 2, 0}));
    host.send(kAckByte);

    std::vector<uint8_t> block(4096);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i ^ (i >> 8));
    host.send(encodeFrame(requestPayload(1, 0, 0, 4096, block)));
    EXPECT_EQ(host.receive(1), kAckByte);
    EXPECT_TRUE(host.receive(1, 100).empty()) << "a host-to-device request gets nothing but its acknowledgement";

    host.send(kGetStatus);
    EXPECT_EQ(host.receive(1), kAckByte);
    EXPECT_EQ(host.receiveFrame(), replyFrame({0, 7, 0, 0, 4, 0}));
    host.send(kNakByte);
    EXPECT_EQ(host.receiveFrame(), replyFrame({0, 7, 0, 0, 4, 0})) << "the same reply again after 0xFF";
    host.send(kAckByte);
    host.send(kGetStatus);
    EXPECT_EQ(host.receive(1), kAckByte);
    EXPECT_EQ(host.receiveFrame(), replyFrame({0, 0, 0, 0, 5, 0}));
    host.send(kAckByte);
    host.send(kGetState);
    EXPECT_EQ(host.receive(1), kAckByte);
    EXPECT_EQ(host.receiveFrame(), replyFrame({5}));
}

TEST(SerialDevice, StalledRequestIsRejectedAndLeavesDfuError)
{
    SimProcess sim({"--com", "COM6"});
    SerialHost host(sim.dosDevicesDir() + "/COM6");
    host.sync();
    host.send(encodeFrame(requestPayload(2, 0, 0, 0))); // UPLOAD of length 0
    EXPECT_EQ(host.receive(1), kNakByte);
    host.send(kGetState);
    EXPECT_EQ(host.receive(1), kAckByte);
    EXPECT_EQ(host.receiveFrame(), replyFrame({10}));
    EXPECT_NE(sim.readLog().find("UPLOAD(2) type=0xA1 value=0 index=0 length=0 -> STALL"), std::string::npos);
}

TEST(SerialDevice, ResetNeedsAFreshHandshake)
{
    SimProcess sim({"--com", "COM8"});
    SerialHost host(sim.dosDevicesDir() + "/COM8");
    host.sync();
    host.send(encodeFrame(requestPayload(8, 0, 0, 0)));
    EXPECT_EQ(host.receive(1), kAckByte);
    host.send(kGetState);
    EXPECT_TRUE(host.receive(1, 150).empty());
    host.sync();
    host.send(kGetState);
    EXPECT_EQ(host.receive(1), kAckByte);
}

TEST(SerialDevice, InjectsEveryFault)
{
    SimProcess sim({"--com", "COM11,noise=5", "--com", "COM12,nak=2", "--com", "COM13,badcrc=1", "--com",
                    "COM14,nosync", "--com", "COM15,badsync=0x42", "--com", "COM16,silent", "--com", "COM17,long"});
    auto port = [&](const char* name) { return sim.dosDevicesDir() + "/" + name; };
    {
        SCOPED_TRACE("noise");
        SerialHost host(port("COM11"));
        host.sync();
        host.send(kGetState);
        auto bytes = host.receive(1 + 5 + 7);
        ASSERT_EQ(bytes.size(), 13u);
        EXPECT_EQ(bytes[0], kAck);
        for (int i = 1; i <= 5; ++i)
            EXPECT_NE(bytes[i], kStart);
        EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 6, bytes.end()), replyFrame({2}));
    }
    {
        SCOPED_TRACE("nak");
        SerialHost host(port("COM12"));
        host.sync();
        host.send(kGetState);
        EXPECT_EQ(host.receive(1), kNakByte);
        host.send(kGetState);
        EXPECT_EQ(host.receive(1), kNakByte);
        host.send(kGetState);
        EXPECT_EQ(host.receive(1), kAckByte);
        EXPECT_EQ(host.receiveFrame(), replyFrame({2}));
    }
    {
        SCOPED_TRACE("badcrc");
        SerialHost host(port("COM13"));
        host.sync();
        host.send(kGetState);
        EXPECT_EQ(host.receive(1), kAckByte);
        auto bad = host.receiveFrame();
        ASSERT_EQ(bad.size(), 7u);
        EXPECT_NE(bad, replyFrame({2}));
        host.send(kNakByte);
        EXPECT_EQ(host.receiveFrame(), replyFrame({2}));
    }
    {
        SCOPED_TRACE("nosync");
        SerialHost host(port("COM14"));
        host.send({kSyncRequest});
        EXPECT_TRUE(host.receive(1, 150).empty());
    }
    {
        SCOPED_TRACE("badsync");
        SerialHost host(port("COM15"));
        host.send({kSyncRequest});
        EXPECT_EQ(host.receive(1), std::vector<uint8_t>{0x42});
    }
    {
        SCOPED_TRACE("silent");
        SerialHost host(port("COM16"));
        host.sync();
        host.send(kGetState);
        EXPECT_EQ(host.receive(1), kAckByte);
        EXPECT_TRUE(host.receive(1, 150).empty());
    }
    {
        SCOPED_TRACE("long");
        SerialHost host(port("COM17"));
        host.sync();
        host.send(kGetStatus);
        EXPECT_EQ(host.receive(1), kAckByte);
        auto frame = host.receiveFrame();
        ASSERT_GE(frame.size(), 4u);
        EXPECT_GT(frame[2] | frame[3] << 8, 6);
        EXPECT_EQ(std::vector<uint8_t>(frame.begin() + 4, frame.begin() + 10), std::vector<uint8_t>({0, 0, 0, 0, 2, 0}));
    }
    std::string log = sim.readLog();
    for (const char* fault : {"fault noise", "fault nak", "fault badcrc", "fault nosync", "fault badsync", "fault silent",
                              "fault long"})
        EXPECT_NE(log.find(fault), std::string::npos) << fault;
}

// Through the pty: a 9600 bit/s device takes a 1 KiB frame in about 1.08 s
// and its reply reaches the host no faster; a delayed reply comes late.
TEST(SerialDevice, PacedLineAndDelayedReply)
{
    SimProcess sim({"--com", "COM5,baud=9600,delay=300@2"});
    SerialHost host(sim.dosDevicesDir() + "/COM5");
    setHostRate(host, B9600);
    host.sync();
    std::vector<uint8_t> block(1024, 0x5A);
    const auto start = std::chrono::steady_clock::now();
    host.send(encodeFrame(requestPayload(1, 0, 0, 1024, block)));
    EXPECT_EQ(host.receive(1, 3000), kAckByte);
    auto ms = [&] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    };
    EXPECT_GE(ms(), 1000) << "1037 bytes at 9600 bit/s cannot arrive sooner";

    host.send(kGetStatus);  // the second request: its reply is held back
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_EQ(host.receive(1, 1000), kAckByte);
    EXPECT_EQ(host.receiveFrame(2000), replyFrame({0, 0, 0, 0, 5, 0}));
    const auto waited =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked).count();
    EXPECT_GE(waited, 300);
}

// baud=host: the line runs at the rate the host set on its port, and follows
// it when the host changes it.
TEST(SerialDevice, LineFollowsTheHostsRate)
{
    SimProcess sim({"--com", "COM5,baud=host"});
    SerialHost host(sim.dosDevicesDir() + "/COM5");
    setHostRate(host, B9600);
    host.sync();
    std::vector<uint8_t> block(1024, 0x5A);
    auto start = std::chrono::steady_clock::now();
    host.send(encodeFrame(requestPayload(1, 0, 0, 1024, block)));
    EXPECT_EQ(host.receive(1, 3000), kAckByte);
    EXPECT_GE(msSince(start), 1000) << "1037 bytes at 9600 bit/s";

    setHostRate(host, B230400);
    start = std::chrono::steady_clock::now();
    host.send(encodeFrame(requestPayload(1, 1, 0, 1024, block)));
    EXPECT_EQ(host.receive(1, 3000), kNakByte) << "a second DNLOAD before GETSTATUS is stalled";
    EXPECT_LT(msSince(start), 700) << "still paced at 9600";
    EXPECT_NE(sim.readLog().find("host line 230400 bit/s"), std::string::npos) << sim.readLog();
}

// A host whose rate is not the device's is not understood: the handshake
// goes unanswered until the host uses the device's rate.
TEST(SerialDevice, AHostAtTheWrongRateIsNotUnderstood)
{
    SimProcess sim({"--com", "COM5,baud=115200"});
    SerialHost host(sim.dosDevicesDir() + "/COM5");
    setHostRate(host, B9600);
    host.send({kSyncRequest});
    EXPECT_TRUE(host.receive(1, 300).empty());
    EXPECT_NE(sim.readLog().find("garbled"), std::string::npos) << sim.readLog();
    setHostRate(host, B115200);
    host.sync();
}

// latency=US holds every burst back by that long, both ways: a handshake
// is a round trip, two crossings.
TEST(SerialDevice, LatencyDelaysEachCrossing)
{
    SimProcess sim({"--com", "COM5,latency=100000"});
    SerialHost host(sim.dosDevicesDir() + "/COM5");
    const auto start = std::chrono::steady_clock::now();
    host.sync();
    EXPECT_GE(msSince(start), 200);
}
