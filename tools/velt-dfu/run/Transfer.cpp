#include "run/Transfer.h"

#include "Cancel.h"
#include "Names.h"
#include "run/Attempts.h"

namespace veltdfu {

engine::Policy PolicyFor(const Invocation& invocation, uint16_t transferSize)
{
    engine::Policy policy;
    policy.transferSize = transferSize;
    policy.recover = !invocation.noRecovery;
    policy.uploadUntilEmpty = invocation.untilEmpty;
    if (invocation.uploadSize)
        policy.uploadSize = *invocation.uploadSize;
    return policy;
}

bool SessionObserver::Progress(uint64_t bytes)
{
    session_.advance(bytes);
    return !CancelRequested();
}

void SessionObserver::Recovered(const engine::RecoveryNote& note)
{
    if (!verbose_)
        return;
    std::string text = "device " + session_.device() + ": " + engine::FailedName(note.request);
    if (note.request == engine::Failed::Dnload || note.request == engine::Failed::GetStatus)
        text += " of block " + std::to_string(note.block);
    text += " failed (" + LibraryStatusText(note.status) + "); ";
    text += note.state ? std::string("the device is in ") + DfuStateName(*note.state) : std::string("GETSTATE failed too");
    text += ": " + std::string(engine::ActionName(note.action));
    session_.note(text);
}

void SessionObserver::Restarted(uint64_t bytesLost)
{
    session_.note("device " + session_.device() + ": a request failed after " + std::to_string(bytesLost) +
                  " bytes; reading again from the first block");
}

std::string FailureDetail(const engine::Outcome& run)
{
    using End = engine::Outcome::End;
    std::string text = run.failed;
    if (run.status != DFU_STATUS_SUCCESS)
        text += (text.empty() ? "" : ": ") + LibraryStatusText(run.status);
    switch (run.end) {
    case End::Budget: text += ", more failed requests than recovery allows"; break;
    case End::DeviceStatus: text += ", the device reported an error status"; break;
    default: break;
    }
    return text;
}

Ending EndFailedRun(Session& session, DFU_HANDLE handle, const std::string& what, const engine::Outcome& run)
{
    const std::string detail = run.end == engine::Outcome::End::Cancelled ? "" : FailureDetail(run);
    Ending ending = EndFailedTransfer(session, handle, what, run.status, run.lastStatus, run.bytes, detail);
    ending.outcome.recoveries = run.recoveries;
    return ending;
}

} // namespace veltdfu
