// velt-dfu's transfer engine in-process, against the simulator's device
// model behind a line that loses chosen requests, and against scripted
// status replies: what a lost request costs, what the manifestation waits
// for, where an upload ends. No time passes: waits are recorded.
#include "engine/Transfer.h"

#include "dfu_model/DfuModel.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <numeric>

namespace {

using namespace veltdfu::engine;
using velt::sim::ControlResult;
using velt::sim::DfuModel;
using velt::sim::ModelConfig;
using velt::sim::SetupPacket;
using Bytes = std::vector<uint8_t>;

Bytes Pattern(size_t size, uint8_t seed)
{
    Bytes bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + seed + i / 251);
    return bytes;
}

class Quiet : public Observer {
public:
    bool Progress(uint64_t bytes) override
    {
        last = bytes;
        return cancelAt == 0 || bytes < cancelAt;
    }
    void Recovered(const RecoveryNote& note) override { notes.push_back(note); }
    uint64_t last = 0;
    uint64_t cancelAt = 0;
    std::vector<RecoveryNote> notes;
};

// The device model behind a line that loses request n: before the device
// sees it (a request lost on its way) or after (the reply lost).
class ModelLine : public Requests {
public:
    enum class Loss { Before, After };
    explicit ModelLine(const ModelConfig& config) : model(config) {}

    DFU_STATUS Dnload(uint16_t block, const uint8_t* data, uint16_t length) override
    {
        uint16_t ignored = 0;
        return Call(0x21, 1, block, const_cast<uint8_t*>(data), length, ignored);
    }
    DFU_STATUS Upload(uint16_t block, uint8_t* data, uint16_t length, uint16_t& received) override
    {
        return Call(0xA1, 2, block, data, length, received);
    }
    DFU_STATUS GetStatus(DFU_GETSTATUS_RESULT& status) override
    {
        uint8_t raw[6] = {};
        uint16_t got = 0;
        const DFU_STATUS result = Call(0xA1, 3, 0, raw, 6, got);
        if (result == DFU_STATUS_SUCCESS) {
            status.bStatus = raw[0];
            status.bwPollTimeout = static_cast<uint32_t>(raw[1] | raw[2] << 8 | raw[3] << 16);
            status.bState = raw[4];
            status.iString = raw[5];
        }
        return result;
    }
    DFU_STATUS GetState(uint8_t& state) override
    {
        uint16_t got = 0;
        return Call(0xA1, 5, 0, &state, 1, got);
    }
    DFU_STATUS ClearStatus() override
    {
        uint16_t got = 0;
        return Call(0x21, 4, 0, nullptr, 0, got);
    }
    DFU_STATUS Abort() override
    {
        uint16_t got = 0;
        return Call(0x21, 6, 0, nullptr, 0, got);
    }
    void Wait(uint32_t milliseconds) override { waits.push_back(milliseconds); }

    DfuModel model;
    std::map<unsigned, Loss> losses; // by request number, from 1
    std::vector<uint8_t> requests;   // every request that reached the device
    std::vector<uint32_t> waits;

private:
    DFU_STATUS Call(uint8_t type, uint8_t request, uint16_t value, uint8_t* data, uint16_t length, uint16_t& got)
    {
        const auto loss = losses.find(++sent_);
        if (loss != losses.end() && loss->second == Loss::Before)
            return DFU_STATUS_TIMEOUT;
        SetupPacket setup;
        setup.requestType = type;
        setup.request = request;
        setup.value = value;
        setup.length = length;
        requests.push_back(request);
        const ControlResult result = model.handle(setup, (type & 0x80) ? nullptr : data, (type & 0x80) ? 0 : length);
        if (loss != losses.end())
            return DFU_STATUS_TIMEOUT;
        if (result.stall)
            return DFU_STATUS_GENERAL_ERROR;
        if (!result.data.empty() && data != nullptr)
            std::copy(result.data.begin(), result.data.end(), data);
        got = static_cast<uint16_t>(result.data.size());
        return DFU_STATUS_SUCCESS;
    }
    unsigned sent_ = 0;
};

ModelConfig SmallDevice()
{
    ModelConfig config;
    config.flashSize = 64 * 1024;
    return config;
}

Policy Blocks(uint16_t size)
{
    Policy policy;
    policy.transferSize = size;
    return policy;
}

TEST(EngineRecovery, TheSameStateMeansWhatTheFailedRequestMakesOfIt)
{
    const struct {
        Failed request;
        uint8_t state;
        bool first;
        Action action;
    } cases[] = {
        {Failed::Dnload, DFU_STATE_DFU_DNLOAD_SYNC, false, Action::Poll},
        {Failed::Dnload, DFU_STATE_DFU_DNBUSY, false, Action::Poll},
        {Failed::Dnload, DFU_STATE_DFU_DNLOAD_IDLE, false, Action::Resend},
        {Failed::Dnload, DFU_STATE_DFU_IDLE, true, Action::Resend},
        {Failed::Dnload, DFU_STATE_DFU_IDLE, false, Action::Fail},
        {Failed::GetStatus, DFU_STATE_DFU_DNLOAD_SYNC, false, Action::Poll},
        {Failed::GetStatus, DFU_STATE_DFU_DNBUSY, false, Action::WaitAndPoll},
        {Failed::GetStatus, DFU_STATE_DFU_DNLOAD_IDLE, false, Action::BlockDone},
        {Failed::GetStatus, DFU_STATE_DFU_IDLE, false, Action::Fail},
        {Failed::ClosingDnload, DFU_STATE_DFU_DNLOAD_IDLE, false, Action::Resend},
        {Failed::ClosingDnload, DFU_STATE_DFU_MANIFEST_SYNC, false, Action::Manifest},
        {Failed::ClosingDnload, DFU_STATE_DFU_MANIFEST, false, Action::Manifest},
        {Failed::ClosingDnload, DFU_STATE_DFU_IDLE, false, Action::Manifest},
        {Failed::ClosingDnload, DFU_STATE_DFU_MANIFEST_WAIT_RESET, false, Action::WaitReset},
        {Failed::ManifestStatus, DFU_STATE_DFU_MANIFEST, false, Action::WaitAndPoll},
        {Failed::ManifestStatus, DFU_STATE_DFU_IDLE, false, Action::Manifested},
        {Failed::ManifestStatus, DFU_STATE_DFU_MANIFEST_WAIT_RESET, false, Action::WaitReset},
        {Failed::ManifestStatus, DFU_STATE_DFU_DNLOAD_IDLE, false, Action::Resend},
        {Failed::ManifestStatus, DFU_STATE_APP_IDLE, false, Action::Fail},
        {Failed::Dnload, DFU_STATE_DFU_UPLOAD_IDLE, false, Action::Fail},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DecideRecovery(c.request, c.state, c.first), c.action)
            << FailedName(c.request) << " in state " << int(c.state);
    }
    for (Failed request : {Failed::Dnload, Failed::GetStatus, Failed::ClosingDnload, Failed::ManifestStatus})
        EXPECT_EQ(DecideRecovery(request, DFU_STATE_DFU_ERROR, true), Action::ClearAndFail) << FailedName(request);
}

// Every single request of a download lost, on its way or its reply: the
// image arrives whole, no block twice, one recovery.
TEST(EngineDownload, AnyOneLostRequestIsRecoveredInPlace)
{
    const Bytes image = Pattern(3000, 5);
    ModelLine clean(SmallDevice());
    Quiet quiet;
    ASSERT_TRUE(Download(clean, image.data(), image.size(), Blocks(1024), quiet).ok());
    const size_t requests = clean.requests.size(); // 3 x (DNLOAD, GETSTATUS), closing DNLOAD, GETSTATUS

    for (unsigned n = 1; n <= requests; ++n) {
        for (ModelLine::Loss loss : {ModelLine::Loss::Before, ModelLine::Loss::After}) {
            ModelLine line(SmallDevice());
            line.losses[n] = loss;
            Quiet observer;
            const Outcome outcome = Download(line, image.data(), image.size(), Blocks(1024), observer);
            const std::string where = "request " + std::to_string(n) + (loss == ModelLine::Loss::Before ? " lost" : " reply lost");
            ASSERT_TRUE(outcome.ok()) << where << ": " << outcome.failed;
            EXPECT_EQ(outcome.recoveries, 1u) << where;
            ASSERT_EQ(observer.notes.size(), 1u) << where;
            EXPECT_NE(observer.notes[0].action, Action::Fail) << where;
            EXPECT_EQ(line.model.state(), velt::sim::DfuState::DfuIdle) << where;
            Bytes flash(image.size());
            line.model.flash().read(0, image.size(), image.size(), flash.data());
            EXPECT_EQ(flash, image) << where;
            EXPECT_EQ(std::count(line.requests.begin(), line.requests.end(), 1), 4) << where << ": every DNLOAD once";
        }
    }
}

TEST(EngineDownload, RecoveryIsBoundedAndCanBeTurnedOff)
{
    const Bytes image = Pattern(4096, 9);
    ModelLine off(SmallDevice());
    off.losses[3] = ModelLine::Loss::After;
    Policy policy = Blocks(1024);
    policy.recover = false;
    Quiet quiet;
    Outcome outcome = Download(off, image.data(), image.size(), policy, quiet);
    EXPECT_EQ(outcome.end, Outcome::End::Request);
    EXPECT_EQ(outcome.status, DFU_STATUS_TIMEOUT);
    EXPECT_EQ(outcome.failed, "DNLOAD of block 1");
    EXPECT_EQ(outcome.recoveries, 0u);

    // A line that loses block 2's DNLOAD every time: five tries, then the attempt fails.
    ModelLine lossy(SmallDevice());
    for (unsigned n = 5; n < 5 + 2 * 8; n += 2)
        lossy.losses[n] = ModelLine::Loss::Before;
    outcome = Download(lossy, image.data(), image.size(), Blocks(1024), quiet);
    EXPECT_EQ(outcome.end, Outcome::End::Budget);
    EXPECT_EQ(outcome.failed, "DNLOAD of block 2");
    EXPECT_EQ(outcome.recoveries, Policy().recoveriesPerBlock);
}

TEST(EngineDownload, TheDevicesVerdictEndsTheAttemptWithItsStatus)
{
    ModelConfig config = SmallDevice();
    config.flashSize = 2048;
    ModelLine line(config);
    const Bytes image = Pattern(5000, 1);
    Quiet quiet;
    const Outcome outcome = Download(line, image.data(), image.size(), Blocks(1024), quiet);
    EXPECT_EQ(outcome.end, Outcome::End::DeviceError);
    EXPECT_EQ(outcome.status, DFU_STATUS_UNEXPECTED_STATE);
    ASSERT_TRUE(outcome.lastStatus);
    EXPECT_EQ(outcome.lastStatus->bStatus, 8); // errADDRESS
    EXPECT_EQ(outcome.recoveries, 0u);
    EXPECT_EQ(quiet.last, 2048u);
}

// Status replies from a script, for the manifestation of standard devices.
class ScriptedStatus : public ModelLine {
public:
    ScriptedStatus() : ModelLine(SmallDevice()) {}
    DFU_STATUS Dnload(uint16_t, const uint8_t*, uint16_t) override { return DFU_STATUS_SUCCESS; }
    DFU_STATUS GetStatus(DFU_GETSTATUS_RESULT& status) override
    {
        if (replies.empty())
            return DFU_STATUS_TIMEOUT;
        status = replies.front();
        replies.pop_front();
        ++asked;
        return DFU_STATUS_SUCCESS;
    }
    static DFU_GETSTATUS_RESULT Reply(uint8_t state, uint32_t pollMs, uint8_t status = 0)
    {
        DFU_GETSTATUS_RESULT reply = {};
        reply.bState = state;
        reply.bwPollTimeout = pollMs;
        reply.bStatus = status;
        return reply;
    }
    std::deque<DFU_GETSTATUS_RESULT> replies;
    int asked = 0;
};

TEST(EngineDownload, ManifestationIsPolledAsTheDeviceAsksAndEndsInIdleOrWaitReset)
{
    const Bytes image = Pattern(100, 2);
    Quiet quiet;
    ScriptedStatus tolerant;
    tolerant.replies = {ScriptedStatus::Reply(DFU_STATE_DFU_DNBUSY, 15),
                        ScriptedStatus::Reply(DFU_STATE_DFU_DNLOAD_IDLE, 0),
                        ScriptedStatus::Reply(DFU_STATE_DFU_MANIFEST_SYNC, 0),
                        ScriptedStatus::Reply(DFU_STATE_DFU_MANIFEST, 30),
                        ScriptedStatus::Reply(DFU_STATE_DFU_MANIFEST, 30),
                        ScriptedStatus::Reply(DFU_STATE_DFU_IDLE, 0)};
    Outcome outcome = Download(tolerant, image.data(), image.size(), Blocks(128), quiet);
    ASSERT_TRUE(outcome.ok()) << outcome.failed;
    EXPECT_FALSE(outcome.waitReset);
    EXPECT_EQ(tolerant.waits, (std::vector<uint32_t>{15, 0, 30, 30})) << "each poll time, no more and no less";
    EXPECT_TRUE(tolerant.replies.empty());

    ScriptedStatus waitsForReset;
    waitsForReset.replies = {ScriptedStatus::Reply(DFU_STATE_DFU_DNLOAD_IDLE, 0),
                             ScriptedStatus::Reply(DFU_STATE_DFU_MANIFEST_SYNC, 5),
                             ScriptedStatus::Reply(DFU_STATE_DFU_MANIFEST_WAIT_RESET, 0)};
    outcome = Download(waitsForReset, image.data(), image.size(), Blocks(128), quiet);
    ASSERT_TRUE(outcome.ok()) << outcome.failed;
    EXPECT_TRUE(outcome.waitReset);
    EXPECT_EQ(waitsForReset.asked, 3);

    // A failed manifestation is the device's word: DFU_STATUS_DOWNLOAD_FAILED.
    ScriptedStatus failing;
    failing.replies = {ScriptedStatus::Reply(DFU_STATE_DFU_DNLOAD_IDLE, 0),
                       ScriptedStatus::Reply(DFU_STATE_DFU_IDLE, 0, 0x07)};
    outcome = Download(failing, image.data(), image.size(), Blocks(128), quiet);
    EXPECT_EQ(outcome.end, Outcome::End::DeviceStatus);
    EXPECT_EQ(outcome.status, DFU_STATUS_DOWNLOAD_FAILED);

    // A device that never ends its manifestation is given its poll times and the cap, then fails.
    ScriptedStatus endless;
    endless.replies = {ScriptedStatus::Reply(DFU_STATE_DFU_DNLOAD_IDLE, 0)};
    for (int i = 0; i < 1000; ++i)
        endless.replies.push_back(ScriptedStatus::Reply(DFU_STATE_DFU_MANIFEST, 0));
    Policy capped = Blocks(128);
    capped.manifestCapMs = 0;
    outcome = Download(endless, image.data(), image.size(), capped, quiet);
    EXPECT_EQ(outcome.end, Outcome::End::BadState);
    EXPECT_EQ(outcome.status, DFU_STATUS_TIMEOUT);
}

ModelLine Holding(const Bytes& image)
{
    ModelLine line(SmallDevice());
    line.model.handle({0x21, 1, 0, 0, static_cast<uint16_t>(image.size())}, image.data(), image.size());
    line.model.handle({0xA1, 3, 0, 0, 6}, nullptr, 0);
    line.model.handle({0x21, 6, 0, 0, 0}, nullptr, 0);
    line.requests.clear();
    return line;
}

TEST(EngineUpload, EndsAtTheFirstShortBlockOrWhereAsked)
{
    const Bytes image = Pattern(5000, 4);
    Quiet quiet;
    Bytes read;
    ModelLine line = Holding(image);
    ASSERT_TRUE(Upload(line, read, Blocks(1024), quiet).ok());
    EXPECT_EQ(read, image);
    EXPECT_EQ(line.requests.size(), 5u) << "four whole blocks and the short one";

    Policy capped = Blocks(1024);
    capped.uploadSize = 3000;
    ModelLine part = Holding(image);
    ASSERT_TRUE(Upload(part, read, capped, quiet).ok());
    EXPECT_EQ(read, Bytes(image.begin(), image.begin() + 3000));
    EXPECT_EQ(part.model.state(), velt::sim::DfuState::DfuIdle) << "an upload stopped early is aborted";

    Policy untilEmpty = Blocks(1024);
    untilEmpty.uploadUntilEmpty = true;
    ModelLine whole = Holding(image);
    ASSERT_TRUE(Upload(whole, read, untilEmpty, quiet).ok());
    EXPECT_EQ(read, image);
    EXPECT_EQ(whole.requests.size(), 6u) << "the short block, then an empty one";

    // A device that never ends its image: the hard cap ends the upload with an error.
    ModelConfig endless = SmallDevice();
    endless.flashSize = kMaxUploadBytes + 0x10000;
    endless.uploadSize = endless.flashSize;
    ModelLine huge(endless);
    const Outcome outcome = Upload(huge, read, Blocks(0x8000), quiet);
    EXPECT_EQ(outcome.end, Outcome::End::TooLong);
    EXPECT_EQ(read.size(), kMaxUploadBytes);
    EXPECT_EQ(huge.model.state(), velt::sim::DfuState::DfuIdle);
}

TEST(EngineUpload, AFailedRequestStartsTheImageOverAndNeverMixesTwoPasses)
{
    const Bytes image = Pattern(5000, 6);
    for (unsigned n = 1; n <= 5; ++n) {
        for (ModelLine::Loss loss : {ModelLine::Loss::Before, ModelLine::Loss::After}) {
            ModelLine line = Holding(image);
            line.losses[n] = loss;
            Quiet quiet;
            Bytes read;
            const Outcome outcome = Upload(line, read, Blocks(1024), quiet);
            ASSERT_TRUE(outcome.ok()) << "UPLOAD " << n << ": " << outcome.failed;
            EXPECT_EQ(read, image) << "UPLOAD " << n;
            EXPECT_EQ(outcome.restarts, 1u);
        }
    }
    Policy off = Blocks(1024);
    off.recover = false;
    ModelLine line = Holding(image);
    line.losses[2] = ModelLine::Loss::After;
    Quiet quiet;
    Bytes read;
    const Outcome outcome = Upload(line, read, off, quiet);
    EXPECT_EQ(outcome.end, Outcome::End::Request);
    EXPECT_EQ(outcome.failed, "UPLOAD of block 1");
}

TEST(EngineTransfer, ProgressCanCancelBetweenBlocks)
{
    const Bytes image = Pattern(4096, 3);
    ModelLine line(SmallDevice());
    Quiet quiet;
    quiet.cancelAt = 2048;
    const Outcome outcome = Download(line, image.data(), image.size(), Blocks(1024), quiet);
    EXPECT_EQ(outcome.end, Outcome::End::Cancelled);
    EXPECT_EQ(outcome.bytes, 2048u);
    EXPECT_EQ(std::count(line.requests.begin(), line.requests.end(), 1), 2);
}

} // namespace
