#include "run/Attempts.h"

#include "Cancel.h"
#include "DeviceSearch.h"
#include "Names.h"
#include "TransferSize.h"
#include "devices/OpenFailure.h"
#include "devices/Selector.h"
#include "engine/Idle.h"

namespace veltdfu {

namespace {

Step OpenTarget(Session& session, const DeviceRef& ref, const Invocation& invocation, Target& target)
{
    int exitCode = kExitOk;
    DFU_STATUS status = DFU_STATUS_SUCCESS;
    target.device = OpenConfigured(ref, invocation, exitCode, &status,
                                   [&](const std::string& text) { session.problem(text); });
    if (!target.device) {
        // OpenConfigured has said what failed; programs still get their result.
        Ending ending;
        ending.outcome.reason = "device";
        ending.outcome.status = status;
        ending.outcome.message = "cannot open device " + ref.label();
        ending.exitCode = exitCode;
        return ending;
    }
    const DFU_HANDLE handle = target.device->handle();
    uint8_t kind = DFU_INTERFACE_USB;
    DFU_GetOpenedInterface(handle, &kind);
    target.usb = kind == DFU_INTERFACE_USB;
    char path[DFU_PATH_SIZE] = {};
    if (DFU_GetOpenedDevicePath(handle, path) == DFU_STATUS_SUCCESS)
        target.path = path;
    uint16_t vid = 0, pid = 0;
    if (target.usb && DFU_GetOpenedVidPid(handle, &vid, &pid) == DFU_STATUS_SUCCESS)
        target.vidPid = Hex(vid, 4) + ":" + Hex(pid, 4);
    if (target.usb)
        target.serial = SerialOfPath(target.path);
    else
        target.comName = target.path.substr(target.path.find_last_of('\\') + 1);
    session.identify(target.serial, target.vidPid);
    return std::nullopt;
}

// With --wait, a device that is not listed yet is waited for.
Step AwaitDevice(Session& session, const DeviceRef& ref, const Invocation& invocation, const std::string& what)
{
    if (!invocation.waitSeconds || IsListed(ref))
        return std::nullopt;
    const std::string seconds = std::to_string(*invocation.waitSeconds) + " s";
    session.note("waiting up to " + seconds + " for device " + ref.label() + " to appear");
    const auto began = ProgressClock::now();
    switch (WaitForDevice(ref, std::chrono::seconds(*invocation.waitSeconds))) {
    case Presence::Listed:
        session.note("device " + ref.label() + " appeared after " +
                     Seconds(std::chrono::duration<double>(ProgressClock::now() - began).count()));
        return std::nullopt;
    case Presence::Cancelled:
        return Cancelled(session, what);
    case Presence::Absent:
        break;
    }
    return session.fail("absent", DFU_STATUS_DEVICE_NOT_FOUND,
                        "no device " + ref.label() + " appeared within " + seconds);
}

} // namespace

// Opens the device once it is there.
Step Reach(Session& session, const DeviceRef& ref, const Invocation& invocation, const std::string& what, Target& target)
{
    if (Step stop = AwaitDevice(session, ref, invocation, what))
        return stop;
    return OpenTarget(session, ref, invocation, target);
}

void TellTransferSize(Session& session, const Target& target, const Invocation& invocation)
{
    const TransferSizeChoice choice = ChooseTransferSize(target.device->handle(), target.usb, invocation.transferSize);
    session.transferSize = choice.size;
    session.note("device " + session.device() + ": " + choice.why);
}

// Before a transfer: a device left mid-transfer or in dfuERROR by an earlier
// run is brought back to dfuIDLE, and the user is told.
Step MakeReady(Session& session, DFU_HANDLE handle)
{
    engine::LibraryRequests requests(handle);
    const engine::Recovery recovery = ReturnToIdle(requests);
    const std::string label = "device " + session.device();
    if (recovery.first && recovery.first->bState != DFU_STATE_DFU_IDLE && !recovery.actions.empty()) {
        session.note(label + " was in " + DfuStateName(recovery.first->bState) + " (status " +
                     DfuStatusName(recovery.first->bStatus) + "): " + Join(recovery.actions, ", then ") +
                     (recovery.idle ? "; it is in dfuIDLE now" : ""));
    }
    if (recovery.idle)
        return std::nullopt;
    std::string message = label + " is not ready for a transfer: " + recovery.problem;
    if (recovery.status != DFU_STATUS_SUCCESS)
        message += ": " + LibraryStatusText(recovery.status);
    Ending ending = session.fail("device", recovery.status, message);
    if (const std::string hint = NoAnswerHint(handle, recovery.status); !hint.empty())
        session.problem(hint);
    if (recovery.first) {
        ending.outcome.dfuStatus = recovery.first->bStatus;
        ending.outcome.dfuState = recovery.first->bState;
    }
    // A request that failed may pass next time; a device in the wrong mode stays there.
    ending.retryable = recovery.status != DFU_STATUS_SUCCESS;
    ending.deviceLost = !recovery.first;
    return ending;
}

Step ReadyToTransfer(Session& session, DFU_HANDLE handle, const std::string& what)
{
    if (Step stop = MakeReady(session, handle))
        return stop;
    if (CancelRequested())
        return Cancelled(session, what);
    return std::nullopt;
}

// After a transfer that failed or was cancelled: says what failed with the
// device's last word on it, and brings the device back to dfuIDLE so that
// the next run, or the next attempt, starts clean.
Ending EndFailedTransfer(Session& session, DFU_HANDLE handle, const std::string& what, DFU_STATUS status,
                         std::optional<DFU_GETSTATUS_RESULT> lastReply, uint64_t bytes, const std::string& detail)
{
    const bool cancelled = status == DFU_STATUS_CANCELLED && CancelRequested();
    engine::LibraryRequests requests(handle);
    const engine::Recovery recovery = ReturnToIdle(requests);
    if (!lastReply)
        lastReply = recovery.first;

    std::string message =
        cancelled ? what + " cancelled" : what + " failed: " + (detail.empty() ? LibraryStatusText(status) : detail);
    if (lastReply)
        message += "; " + DeviceStatusText(*lastReply);
    session.problem(message);
    if (const std::string hint = NoAnswerHint(handle, status); !hint.empty())
        session.problem(hint);
    const std::string label = "device " + session.device();
    if (!recovery.actions.empty())
        session.note(label + ": " + Join(recovery.actions, ", then ") + (recovery.idle ? "; it is in dfuIDLE now" : ""));
    if (!recovery.idle) {
        session.problem(label + " was not brought back to dfuIDLE: " + recovery.problem +
                        (recovery.status != DFU_STATUS_SUCCESS ? ": " + LibraryStatusText(recovery.status) : ""));
    }

    Ending ending;
    ending.outcome.reason = cancelled ? "cancelled" : "transfer";
    ending.outcome.status = status;
    ending.outcome.message = message;
    ending.outcome.bytes = bytes;
    if (lastReply) {
        ending.outcome.dfuStatus = lastReply->bStatus;
        ending.outcome.dfuState = lastReply->bState;
    }
    ending.exitCode = cancelled ? kExitCancelled : kExitFailure;
    ending.retryable = !cancelled;
    ending.deviceLost = !recovery.first;
    return ending;
}

// What made an attempt fail, as the retry line says it.
namespace {

std::string Cause(const TransferOutcome& failure)
{
    if (failure.reason == "verify")
        return "a read-back that did not match";
    std::string cause = LibraryStatusText(failure.status);
    if (failure.dfuStatus && *failure.dfuStatus != 0)
        cause += std::string(", device status ") + DfuStatusName(*failure.dfuStatus);
    return cause;
}

} // namespace


// The one place attempts are repeated: after a failure of the transfer or of
// the device (never of the input, never after a cancel) the failed attempt
// has already brought the device back to dfuIDLE, and the next one starts
// over, until one succeeds or the retries are used up.
Ending WithRetries(Session& session, const Invocation& invocation, const std::string& what, const Attempt& attempt,
                   const AttemptDone& done)
{
    const uint32_t retries = invocation.retries.value_or(0);
    // Each attempt timed on its own, for whoever keeps a record of attempts.
    const auto timed = [&](const Ending* previous, uint32_t number) {
        const auto began = ProgressClock::now();
        Ending ending = attempt(previous);
        ending.outcome.seconds = std::chrono::duration<double>(ProgressClock::now() - began).count();
        if (done)
            done(ending, number);
        return ending;
    };
    Ending ending = timed(nullptr, 1);
    uint32_t made = 1;
    for (; made <= retries && !ending.outcome.ok && ending.retryable && !CancelRequested(); ++made) {
        session.retry(made, retries,
                      what + ": retry " + std::to_string(made) + " of " + std::to_string(retries) + " after " +
                          Cause(ending.outcome),
                      ending.outcome);
        const Ending previous = ending;
        ending = timed(&previous, made + 1);
    }
    if (invocation.retries)
        ending.outcome.attempts = made;
    return ending;
}

// A device that stopped answering gets a fresh handle (after waiting for it
// again with --wait: a board that dropped off the bus comes back as new).
Step ReopenIfLost(Session& session, const DeviceRef& ref, const Invocation& invocation, const std::string& what,
                  const Ending* previous, Target& target)
{
    if (previous == nullptr || !previous->deviceLost)
        return std::nullopt;
    target.device.reset();
    session.note("device " + ref.label() + " did not answer; opening it again");
    Step stop = Reach(session, ref, invocation, what, target);
    if (stop && stop->exitCode != kExitCancelled) {
        stop->retryable = true;
        stop->deviceLost = true;
    }
    return stop;
}

} // namespace veltdfu
