// The download: per block a DNLOAD and GETSTATUS until the device has
// written it, then the zero-length DNLOAD and the manifestation phase. A
// request that fails is recovered from the state the device reports.
#include "engine/Transfer.h"

#include <algorithm>
#include <chrono>

namespace veltdfu::engine {

namespace {

using Clock = std::chrono::steady_clock;

enum class Step { Send, Poll, Manifest, Done, WaitReset, Stop };

std::string Describe(Failed request, uint64_t block)
{
    switch (request) {
    case Failed::Dnload: return "DNLOAD of block " + std::to_string(block);
    case Failed::GetStatus: return "GETSTATUS after block " + std::to_string(block);
    case Failed::ClosingDnload: return "the closing zero-length DNLOAD";
    case Failed::ManifestStatus: return "GETSTATUS during the manifestation";
    }
    return "request";
}

class Downloader {
public:
    Downloader(Requests& device, const Policy& policy, Observer& observer, uint64_t blocks)
        : device_(device), policy_(policy), observer_(observer),
          budget_(policy.recoveryBudget != 0 ? policy.recoveryBudget : static_cast<uint32_t>(16 + blocks / 4))
    {
    }

    Outcome outcome;

    // DNLOAD of one block, then GETSTATUS until the device has written it.
    bool Block(uint64_t index, const uint8_t* data, uint16_t length)
    {
        const uint16_t number = static_cast<uint16_t>(index & 0xFFFF);
        uint32_t used = 0;
        Step step = Step::Send;
        while (step == Step::Send || step == Step::Poll) {
            DFU_GETSTATUS_RESULT reply = {};
            if (step == Step::Send) {
                const DFU_STATUS status = device_.Dnload(number, data, length);
                step = status == DFU_STATUS_SUCCESS ? Step::Poll : Recover(Failed::Dnload, index, status, used);
            } else {
                const DFU_STATUS status = device_.GetStatus(reply);
                step = status == DFU_STATUS_SUCCESS ? AfterBlockStatus(reply, index)
                                                    : Recover(Failed::GetStatus, index, status, used);
            }
        }
        return step == Step::Done;
    }

    // The zero-length DNLOAD, then GETSTATUS through the manifestation until
    // the device is in dfuIDLE or waits for a reset.
    bool Close(uint64_t blocks)
    {
        uint32_t used = 0;
        const Clock::time_point began = Clock::now();
        uint64_t askedMs = 0; // what the device asked to be given
        Step step = Step::Send;
        while (step == Step::Send || step == Step::Poll || step == Step::Manifest) {
            if (step == Step::Send) {
                const DFU_STATUS status = device_.Dnload(0, nullptr, 0);
                step = status == DFU_STATUS_SUCCESS ? Step::Poll
                                                    : Recover(Failed::ClosingDnload, blocks, status, used);
                continue;
            }
            if (Clock::now() - began > std::chrono::milliseconds(askedMs + policy_.manifestCapMs)) {
                Stop(Outcome::End::BadState, DFU_STATUS_TIMEOUT, "the manifestation, which did not end in time");
                return false;
            }
            DFU_GETSTATUS_RESULT reply = {};
            const DFU_STATUS status = device_.GetStatus(reply);
            if (status != DFU_STATUS_SUCCESS) {
                step = Recover(Failed::ManifestStatus, blocks, status, used);
                continue;
            }
            askedMs += reply.bwPollTimeout;
            step = AfterManifestStatus(reply, blocks, used);
        }
        outcome.waitReset = step == Step::WaitReset;
        return step == Step::Done || step == Step::WaitReset;
    }

    Outcome Cancel()
    {
        Stop(Outcome::End::Cancelled, DFU_STATUS_CANCELLED, "");
        return outcome;
    }

private:
    Step AfterBlockStatus(const DFU_GETSTATUS_RESULT& reply, uint64_t index)
    {
        outcome.lastStatus = reply;
        switch (reply.bState) {
        case DFU_STATE_DFU_DNBUSY:
            lastPollMs_ = reply.bwPollTimeout;
            device_.Wait(reply.bwPollTimeout);
            return Step::Poll;
        case DFU_STATE_DFU_DNLOAD_IDLE:
        case DFU_STATE_DFU_IDLE:
            return Step::Done;
        case DFU_STATE_DFU_ERROR:
            outcome.failed = "the device reported an error after block " + std::to_string(index);
            return ClearAndFail();
        default:
            return Stop(Outcome::End::BadState, DFU_STATUS_UNEXPECTED_STATE, "GETSTATUS after block " + std::to_string(index));
        }
    }

    Step AfterManifestStatus(const DFU_GETSTATUS_RESULT& reply, uint64_t blocks, uint32_t& used)
    {
        outcome.lastStatus = reply;
        switch (reply.bState) {
        case DFU_STATE_DFU_IDLE:
            if (reply.bStatus != DFU_DEVICE_STATUS_OK)
                return Stop(Outcome::End::DeviceStatus, DFU_STATUS_DOWNLOAD_FAILED, "the manifestation");
            return Step::Done;
        case DFU_STATE_DFU_MANIFEST_WAIT_RESET:
            return Step::WaitReset;
        case DFU_STATE_DFU_MANIFEST_SYNC:
        case DFU_STATE_DFU_MANIFEST:
        case DFU_STATE_DFU_DNBUSY:
            lastPollMs_ = reply.bwPollTimeout;
            device_.Wait(reply.bwPollTimeout);
            return Step::Poll;
        case DFU_STATE_DFU_DNLOAD_IDLE:
            // The device took no closing DNLOAD: the line lost it after all.
            return Recover(Failed::ClosingDnload, blocks, DFU_STATUS_UNEXPECTED_STATE, used,
                           DFU_STATE_DFU_DNLOAD_IDLE);
        case DFU_STATE_DFU_ERROR:
            outcome.failed = "the device reported an error during the manifestation";
            return ClearAndFail();
        default:
            return Stop(Outcome::End::BadState, DFU_STATUS_UNEXPECTED_STATE, "GETSTATUS during the manifestation");
        }
    }

    // After a failed request: GETSTATE, which changes nothing in the device,
    // and the action its state calls for. `known` is a state already seen.
    Step Recover(Failed request, uint64_t block, DFU_STATUS status, uint32_t& used,
                 std::optional<uint8_t> known = std::nullopt)
    {
        const std::string what = Describe(request, block);
        if (!policy_.recover)
            return Stop(Outcome::End::Request, status, what);
        if (used >= policy_.recoveriesPerBlock || outcome.recoveries >= budget_)
            return Stop(Outcome::End::Budget, status, what);
        ++used;
        ++outcome.recoveries;
        // A lost GETSTATUS reply may have sent the device into dfuDNBUSY or
        // dfuMANIFEST, where it hears nothing until its poll time is over.
        if (!known && (request == Failed::GetStatus || request == Failed::ManifestStatus))
            device_.Wait(lastPollMs_);
        RecoveryNote note{request, block, status, known ? known : AskState(), Action::Fail};
        if (note.state)
            note.action = DecideRecovery(request, *note.state, block == 0);
        observer_.Recovered(note);
        switch (note.action) {
        case Action::Poll: return Step::Poll;
        case Action::WaitAndPoll: device_.Wait(lastPollMs_); return Step::Poll;
        case Action::Resend: return Step::Send;
        case Action::BlockDone:
        case Action::Manifested: return Step::Done;
        case Action::Manifest: return Step::Manifest;
        case Action::WaitReset: return Step::WaitReset;
        case Action::ClearAndFail: outcome.failed = what + ", then the device reported an error"; return ClearAndFail();
        case Action::Fail: break;
        }
        if (note.state)
            return Stop(Outcome::End::BadState, DFU_STATUS_UNEXPECTED_STATE, what);
        return Stop(Outcome::End::Request, status, what);
    }

    std::optional<uint8_t> AskState()
    {
        for (uint32_t attempt = 0; attempt < kStateAttempts; ++attempt) {
            uint8_t state = 0;
            if (device_.GetState(state) == DFU_STATUS_SUCCESS)
                return state;
        }
        return std::nullopt;
    }

    // dfuERROR is the device's verdict on what it was sent, not the line's:
    // the attempt ends. Its status is read for the report; clearing it is
    // the caller's, with the rest of bringing the device back to dfuIDLE.
    Step ClearAndFail()
    {
        DFU_GETSTATUS_RESULT reply = {};
        if (device_.GetStatus(reply) == DFU_STATUS_SUCCESS)
            outcome.lastStatus = reply;
        return Stop(Outcome::End::DeviceError, DFU_STATUS_UNEXPECTED_STATE, outcome.failed);
    }

    Step Stop(Outcome::End end, DFU_STATUS status, const std::string& failed)
    {
        outcome.end = end;
        outcome.status = status;
        outcome.failed = failed;
        return Step::Stop;
    }

    Requests& device_;
    const Policy& policy_;
    Observer& observer_;
    const uint32_t budget_;
    uint32_t lastPollMs_ = kLostPollMs;
};

} // namespace

Outcome Download(Requests& device, const uint8_t* image, size_t size, const Policy& policy, Observer& observer)
{
    const size_t blockSize = policy.transferSize;
    const uint64_t blocks = (size + blockSize - 1) / blockSize;
    Downloader run(device, policy, observer, blocks);
    std::vector<uint8_t> last(blockSize, 0xFF); // the final block, filled out
    for (uint64_t i = 0; i < blocks; ++i) {
        const size_t at = static_cast<size_t>(i) * blockSize;
        const size_t length = std::min(blockSize, size - at);
        const uint8_t* data = image + at;
        if (length < blockSize) {
            std::copy(image + at, image + size, last.begin());
            data = last.data();
        }
        if (!run.Block(i, data, policy.transferSize))
            return run.outcome;
        run.outcome.bytes = at + length;
        if (!observer.Progress(run.outcome.bytes))
            return run.Cancel();
    }
    run.Close(blocks);
    return run.outcome;
}

} // namespace veltdfu::engine
