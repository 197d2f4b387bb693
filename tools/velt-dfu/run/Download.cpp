#include "run/Download.h"

#include "Cancel.h"
#include "DeviceSearch.h"
#include "Commands.h"
#include "ImageCommands.h"
#include "Names.h"
#include "run/Attempts.h"
#include "run/TraceLog.h"
#include "run/Transfer.h"

#include <algorithm>

namespace veltdfu {

namespace {

Ending VerifyFailed(Session& session, const std::string& message, const Firmware& firmware,
                    const std::optional<DFU_GETSTATUS_RESULT>& lastReply)
{
    Ending ending = session.fail("verify", 0, message);
    ending.outcome.bytes = firmware.size;
    ending.outcome.verified = false;
    if (lastReply) {
        ending.outcome.dfuStatus = lastReply->bStatus;
        ending.outcome.dfuState = lastReply->bState;
    }
    ending.retryable = true; // the download is repeated, then read back again
    return ending;
}

// Reads the image back (exactly the firmware's length: the device may pad
// the last block) and compares it with what was sent.
Step Verify(Session& session, const Target& target, const Firmware& firmware, const Invocation& invocation,
            uint32_t& recoveries)
{
    const std::string label = "device " + session.device();
    engine::LibraryRequests device(target.device->handle());
    SessionObserver observer(session, invocation.verbose);
    engine::Policy policy = PolicyFor(invocation, session.transferSize);
    policy.uploadSize = firmware.size;
    policy.uploadUntilEmpty = false;
    std::vector<uint8_t> image;
    session.begin("verify", firmware.size);
    const engine::Outcome back = engine::Upload(device, image, policy, observer);
    session.finish();
    recoveries += back.recoveries;
    if (!back.ok())
        return EndFailedRun(session, target.device->handle(), "verify of " + label + ": reading the image back", back);

    const size_t common = std::min(image.size(), firmware.size);
    const auto differ = std::mismatch(image.begin(), image.begin() + static_cast<std::ptrdiff_t>(common),
                                      firmware.file.begin());
    const size_t offset = static_cast<size_t>(differ.first - image.begin());
    if (offset < common) {
        return VerifyFailed(session,
                            "verify of " + label + " failed: first difference at offset " + std::to_string(offset) +
                                " (0x" + Hex(static_cast<unsigned>(offset), 8) + "): sent 0x" +
                                Hex(firmware.file[offset], 2) + ", read back 0x" + Hex(image[offset], 2),
                            firmware, back.lastStatus);
    }
    if (image.size() < firmware.size) {
        return VerifyFailed(session,
                            "verify of " + label + " failed: the device ended its image at offset " +
                                std::to_string(image.size()) + " (0x" + Hex(static_cast<unsigned>(image.size()), 8) +
                                "), short of the " + std::to_string(firmware.size) + " bytes sent",
                            firmware, back.lastStatus);
    }
    session.note(label + ": verified, the " + std::to_string(firmware.size) + " bytes read back match");
    return std::nullopt;
}

// A device that waits for a reset cannot be read back: the download stands,
// the verification was not made.
Ending CannotVerify(Session& session)
{
    Ending ending = session.fail("verify", 0,
                                 "verify of device " + session.device() +
                                     ": not possible, the device waits for a reset (dfuMANIFEST-WAIT-RESET) and "
                                     "answers no UPLOAD; the image was downloaded but not verified");
    ending.outcome.waitReset = true;
    ending.outcome.verified = false;
    return ending;
}

// One download from dfuIDLE through the manifestation, then the read-back.
Ending DownloadAttempt(Session& session, const Target& target, const Firmware& firmware, const Invocation& invocation,
                       const std::string& what)
{
    const DFU_HANDLE handle = target.device->handle();
    if (Step stop = ReadyToTransfer(session, handle, what))
        return *stop;

    engine::LibraryRequests device(handle);
    SessionObserver observer(session, invocation.verbose);
    session.begin("download", firmware.size);
    const engine::Outcome sent = engine::Download(device, firmware.file.data(), firmware.size,
                                                  PolicyFor(invocation, session.transferSize), observer);
    const double seconds = session.finish();
    if (!sent.ok())
        return EndFailedRun(session, handle, what, sent);
    if (sent.waitReset)
        session.note("device " + session.device() +
                     ": the image is written; the device waits for a reset (dfuMANIFEST-WAIT-RESET) and runs "
                     "the new firmware after it");

    uint32_t recoveries = sent.recoveries;
    if (invocation.verify) {
        if (sent.waitReset)
            return CannotVerify(session);
        if (CancelRequested())
            return Cancelled(session, "verify of device " + session.device());
        if (Step stop = Verify(session, target, firmware, invocation, recoveries)) {
            stop->outcome.recoveries = recoveries;
            return *stop;
        }
    }

    Ending ending;
    ending.exitCode = kExitOk;
    TransferOutcome& outcome = ending.outcome;
    outcome.ok = true;
    outcome.bytes = firmware.size;
    outcome.recoveries = recoveries;
    outcome.waitReset = sent.waitReset;
    if (invocation.verify)
        outcome.verified = true;
    outcome.message = "Downloaded " + std::to_string(firmware.size) + " bytes to device " + session.device() + " in " +
                      Seconds(seconds) + " (" + Rate(firmware.size, seconds) + ")" +
                      (invocation.verify ? ", verified" : "") +
                      (recoveries ? ", " + std::to_string(recoveries) + " lost request" +
                                        (recoveries == 1 ? "" : "s") + " recovered"
                                  : "") +
                      (sent.waitReset ? "; it runs after a reset." : ".");
    if (sent.lastStatus) {
        outcome.dfuStatus = sent.lastStatus->bStatus;
        outcome.dfuState = sent.lastStatus->bState;
    }
    return ending;
}

} // namespace

int DownloadTo(Session& session, const DeviceRef& ref, const Firmware& firmware, const Invocation& invocation)
{
    const std::string what = "download to device " + session.device();
    Target target;
    const AttemptDone trace =
        TraceAttempts(invocation, session, target, "download", firmware.path, firmware.sha256, firmware.size);
    if (Step stop = Reach(session, ref, invocation, what, target)) {
        if (trace)
            trace(*stop, 1);
        return session.end(*stop);
    }
    if (Step stop = CheckSuffixDevice(session, target, firmware))
        return session.end(*stop);
    TellTransferSize(session, target, invocation);
    return session.end(WithRetries(
        session, invocation, what,
        [&](const Ending* previous) {
            if (Step stop = ReopenIfLost(session, ref, invocation, what, previous, target))
                return *stop;
            return DownloadAttempt(session, target, firmware, invocation, what);
        },
        TraceAttempts(invocation, session, target, "download", firmware.path, firmware.sha256, firmware.size)));
}

int RunDownload(CommandContext& context)
{
    const Invocation& invocation = context.invocation;
    if (NamesSeveral(invocation.operands[0]))
        return DownloadToSeveral(invocation, invocation.operands[0]);
    const DeviceRef ref = Resolved(ParseDeviceRef(invocation.operands[0]));
    const auto renderer = MakeRenderer(StyleFor(invocation.json, stdout), stdout, stderr);
    Session session(*renderer, ref.path.empty() ? ref.label() : ref.path, ref.label(), "download");
    CancelOnSignal cancelOnSignal;

    Firmware firmware;
    firmware.path = invocation.operands[1];
    if (Step stop = PrepareFirmware(session, "download to device " + ref.label(), invocation, firmware))
        return session.end(*stop);
    return DownloadTo(session, ref, firmware, invocation);
}

} // namespace veltdfu
