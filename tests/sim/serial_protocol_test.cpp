// The device's line protocol in process: what it sends for what arrives,
// however the bytes are split, including stalls and resets.
#include "serial/SerialProtocol.h"
#include "serial/framing.h"

#include <gtest/gtest.h>

using namespace velt::sim;
using namespace velt::sim::framing;

namespace {

class Protocol : public ::testing::Test {
protected:
    void make(const DeviceFaults& faults = {}, ModelConfig config = {})
    {
        protocol_.reset();
        model_ = std::make_unique<DfuModel>(config);
        protocol_ = std::make_unique<SerialProtocol>(*model_, faults, [this](const std::string& l) { log_ += l + "\n"; });
    }
    // What the device sends, in order, whatever is held back.
    std::vector<uint8_t> feed(const std::vector<uint8_t>& bytes)
    {
        Output out;
        protocol_->feed(bytes.data(), bytes.size(), out);
        std::vector<uint8_t> all;
        for (const Outgoing& item : out)
            all.insert(all.end(), item.bytes.begin(), item.bytes.end());
        return all;
    }
    std::vector<uint8_t> frame(uint8_t request, uint16_t value, uint16_t length, const std::vector<uint8_t>& data = {})
    {
        return encodeFrame(requestPayload(request, value, 0, length, data));
    }
    static std::vector<uint8_t> ackThen(const std::vector<uint8_t>& payload)
    {
        std::vector<uint8_t> out{kAck};
        auto f = encodeFrame(payload);
        out.insert(out.end(), f.begin(), f.end());
        return out;
    }

    std::unique_ptr<DfuModel> model_;
    std::unique_ptr<SerialProtocol> protocol_;
    std::string log_;
};

} // namespace

TEST_F(Protocol, IgnoresFramesUntilGreetedAndAfterReset)
{
    make();
    EXPECT_TRUE(feed(frame(DFU_REQ_GETSTATE, 0, 1)).empty());
    EXPECT_EQ(feed({kSyncRequest}), std::vector<uint8_t>{kSyncReply});
    EXPECT_EQ(feed(frame(DFU_REQ_GETSTATE, 0, 1)), ackThen({2}));
    EXPECT_EQ(feed({kAck}), std::vector<uint8_t>{});
    EXPECT_EQ(feed(frame(VENDOR_REQ_RESET, 0, 0)), std::vector<uint8_t>{kAck});
    EXPECT_FALSE(protocol_->synchronised());
    EXPECT_TRUE(feed(frame(DFU_REQ_GETSTATE, 0, 1)).empty());
    EXPECT_EQ(feed({kSyncRequest}), std::vector<uint8_t>{kSyncReply});
}

TEST_F(Protocol, ParsesFramesSplitAnywhereAndBackToBack)
{
    make();
    feed({kSyncRequest});
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> stream = frame(DFU_REQ_DNLOAD, 0, 1000, data);
    auto getStatus = frame(DFU_REQ_GETSTATUS, 0, 6);
    stream.insert(stream.end(), getStatus.begin(), getStatus.end());
    std::vector<uint8_t> out;
    for (size_t at = 0; at < stream.size(); at += 7) {
        auto part = feed(std::vector<uint8_t>(stream.begin() + at, stream.begin() + std::min(stream.size(), at + 7)));
        out.insert(out.end(), part.begin(), part.end());
    }
    std::vector<uint8_t> expected{kAck};
    auto reply = ackThen({0, 0, 0, 0, 5, 0});
    expected.insert(expected.end(), reply.begin(), reply.end());
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), model_->flash().bytes().begin()));
    EXPECT_FALSE(protocol_->midFrame());
}

TEST_F(Protocol, RepeatsTheReplyOnRejectionAndAcceptsTheNextFrameWithoutAck)
{
    make();
    feed({kSyncRequest});
    auto first = feed(frame(DFU_REQ_GETSTATE, 0, 1));
    EXPECT_EQ(feed({kNak}), std::vector<uint8_t>(first.begin() + 1, first.end()));
    EXPECT_EQ(feed({kNak}), std::vector<uint8_t>(first.begin() + 1, first.end()));
    // A host that gave up on the reply goes on with its next request.
    EXPECT_EQ(feed(frame(DFU_REQ_GETSTATUS, 0, 6)), ackThen({0, 0, 0, 0, 2, 0}));
}

TEST_F(Protocol, RejectsBadFramesWithoutReachingTheModel)
{
    make();
    feed({kSyncRequest});
    auto bad = frame(DFU_REQ_DNLOAD, 0, 2, {1, 2});
    bad[7] ^= 0xFF;
    EXPECT_EQ(feed(bad), std::vector<uint8_t>{kNak});
    EXPECT_EQ(feed(encodeFrame(std::vector<uint8_t>{3, 0, 0})), std::vector<uint8_t>{kNak}) << "shorter than a request";
    EXPECT_EQ(feed(frame(DFU_REQ_DNLOAD, 0, 4, {1, 2})), std::vector<uint8_t>{kNak}) << "data shorter than Length";
    EXPECT_EQ(feed(frame(DFU_REQ_GETSTATUS, 0, 6, {1})), std::vector<uint8_t>{kNak}) << "data on an IN request";
    EXPECT_EQ(model_->state(), DfuState::DfuIdle);
    EXPECT_EQ(model_->flash().imageEnd(), 0u);
}

TEST_F(Protocol, StalledRequestIsRejectedAndItsRepetitionsDoNotReachTheModel)
{
    make();
    feed({kSyncRequest});
    auto misuse = frame(DFU_REQ_DNLOAD, 0, 0); // zero-length DNLOAD in dfuIDLE
    EXPECT_EQ(feed(misuse), std::vector<uint8_t>{kNak});
    EXPECT_EQ(model_->state(), DfuState::DfuError);
    size_t lines = std::count(log_.begin(), log_.end(), '\n');
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(feed(misuse), std::vector<uint8_t>{kNak});
    EXPECT_EQ(std::count(log_.begin(), log_.end(), '\n'), static_cast<long>(lines)) << log_;
    EXPECT_EQ(feed(frame(DFU_REQ_GETSTATUS, 0, 6)), ackThen({0x0F, 0, 0, 0, 10, 0}));
}

// A host frame sent again because its acknowledgement reached the host
// damaged: acknowledged again, carried out once; a device without the rule
// (repeats=execute) takes it as a second DNLOAD and stalls into dfuERROR.
TEST_F(Protocol, AHostFrameRepeatedAfterItsAcknowledgementIsCarriedOutOnce)
{
    const auto block = frame(DFU_REQ_DNLOAD, 0, 4, {1, 2, 3, 4});
    make();
    feed({kSyncRequest});
    EXPECT_EQ(feed(block), std::vector<uint8_t>{kAck});
    EXPECT_EQ(feed(block), std::vector<uint8_t>{kAck});
    EXPECT_EQ(model_->state(), DfuState::DnloadSync);
    EXPECT_NE(log_.find("not carried out twice"), std::string::npos) << log_;
    EXPECT_EQ(feed(frame(DFU_REQ_GETSTATUS, 0, 6)), ackThen({0, 0, 0, 0, 5, 0}));
    // Only the very next frame can be a repetition: after the GETSTATUS the
    // same block is a new DNLOAD, as a host resends a block that was lost.
    EXPECT_EQ(feed(block), std::vector<uint8_t>{kAck});
    EXPECT_EQ(model_->state(), DfuState::DnloadSync);

    DeviceFaults naive;
    naive.executeRepeats = true;
    make(naive);
    feed({kSyncRequest});
    EXPECT_EQ(feed(block), std::vector<uint8_t>{kAck});
    EXPECT_EQ(feed(block), std::vector<uint8_t>{kNak});
    EXPECT_EQ(model_->state(), DfuState::DfuError);
}

TEST_F(Protocol, IncompleteFrameIsDroppedAfterAPause)
{
    make();
    feed({kSyncRequest});
    auto f = frame(DFU_REQ_GETSTATE, 0, 1);
    feed(std::vector<uint8_t>(f.begin(), f.begin() + 5));
    EXPECT_TRUE(protocol_->midFrame());
    protocol_->dropPartial();
    EXPECT_EQ(feed({kSyncRequest}), std::vector<uint8_t>{kSyncReply});
    EXPECT_EQ(feed(f), ackThen({2}));
}

TEST_F(Protocol, DelayHoldsBackOnlyTheReplyOfTheNthRequest)
{
    DeviceFaults faults;
    faults.delayMs = 1200;
    faults.delayOnly = 2;
    make(faults);
    feed({kSyncRequest});
    auto itemsFor = [&](const std::vector<uint8_t>& bytes) {
        Output out;
        protocol_->feed(bytes.data(), bytes.size(), out);
        return out;
    };
    Output first = itemsFor(frame(DFU_REQ_GETSTATE, 0, 1));
    ASSERT_EQ(first.size(), 2u);
    EXPECT_EQ(first[0].bytes, std::vector<uint8_t>{kAck});
    EXPECT_EQ(first[1].delayMs, 0u);
    itemsFor({kAck});
    Output second = itemsFor(frame(DFU_REQ_GETSTATE, 0, 1));
    ASSERT_EQ(second.size(), 2u);
    EXPECT_FALSE(second[0].reply) << "the acknowledgement goes at once";
    EXPECT_TRUE(second[1].reply);
    EXPECT_EQ(second[1].delayMs, 1200u);
    EXPECT_EQ(second[1].bytes, encodeFrame(std::vector<uint8_t>{2}));
    // A repetition after a rejection is not held back again.
    Output again = itemsFor({kNak});
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].delayMs, 0u);
}

namespace {

// A host that greets the device and then downloads and polls, answering
// every reply with an acknowledgement, through a protocol with random faults.
struct FaultyRun {
    std::vector<uint8_t> sent;
    std::string log;
};

FaultyRun runFaulty(double rate, uint64_t seed, unsigned blocks)
{
    DeviceFaults faults;
    faults.random.rate = rate;
    faults.random.seed = seed;
    faults.random.seeded = true;
    DfuModel model(ModelConfig{});
    FaultyRun run;
    SerialProtocol protocol(model, faults, [&run](const std::string& l) { run.log += l + "\n"; });
    auto feed = [&](const std::vector<uint8_t>& bytes) {
        Output out;
        protocol.feed(bytes.data(), bytes.size(), out);
        for (const Outgoing& item : out)
            run.sent.insert(run.sent.end(), item.bytes.begin(), item.bytes.end());
    };
    feed({kSyncRequest});
    std::vector<uint8_t> data(64);
    for (unsigned block = 0; block < blocks; ++block) {
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = static_cast<uint8_t>(block * 31 + i);
        feed(encodeFrame(requestPayload(DFU_REQ_DNLOAD, static_cast<uint16_t>(block), 0, 64, data)));
        feed(encodeFrame(requestPayload(DFU_REQ_GETSTATUS, 0, 0, 6)));
        feed({kAck});
        protocol.dropPartial(); // what the device does once the host pauses
    }
    return run;
}

size_t countOf(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

// The same seed replays the same faults byte for byte; another seed does not;
// a rate of 0 changes nothing.
TEST(ProtocolRandomFaults, ASeedReplaysTheSameFaults)
{
    const FaultyRun a = runFaulty(0.3, 1234, 200);
    const FaultyRun b = runFaulty(0.3, 1234, 200);
    const FaultyRun c = runFaulty(0.3, 99, 200);
    EXPECT_EQ(a.sent, b.sent);
    EXPECT_EQ(a.log, b.log);
    EXPECT_NE(a.log, c.log);
    EXPECT_GT(countOf(a.log, "fault "), 40u) << a.log;

    const FaultyRun clean = runFaulty(0, 1234, 50);
    EXPECT_EQ(countOf(clean.log, "fault "), 0u);
    std::vector<uint8_t> expected{kSyncReply};
    for (int block = 0; block < 50; ++block) {
        expected.push_back(kAck);
        const auto reply = encodeFrame(std::vector<uint8_t>{0, 0, 0, 0, 5, 0});
        expected.push_back(kAck);
        expected.insert(expected.end(), reply.begin(), reply.end());
    }
    EXPECT_EQ(clean.sent, expected);
}

// Every kind is dealt, both ways, each named in the log; the rate is honoured
// within what chance allows.
TEST(ProtocolRandomFaults, EveryKindIsDealtAndNamed)
{
    const FaultyRun run = runFaulty(1.0, 7, 400);
    for (const char* kind : {"fault noise: ", "fault bitflip: host frame", "fault drop: host frame",
                             "fault lost-ack: acknowledgement", "fault bad-ack: acknowledgement", "fault reject: ",
                             "bytes before the reply", "fault bitflip: reply", "fault drop: reply",
                             "fault lost-ack: the host's", "fault bad-ack: the host's"})
        EXPECT_GT(countOf(run.log, kind), 0u) << kind;

    const FaultyRun tenth = runFaulty(0.1, 11, 1000);
    const size_t hits = countOf(tenth.log, "fault ");
    EXPECT_GT(hits, 150u);
    EXPECT_LT(hits, 450u);
}
