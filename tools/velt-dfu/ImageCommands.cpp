#include "ImageCommands.h"

#include "Cancel.h"
#include "Commands.h"
#include "DeviceSearch.h"
#include "DfuSuffix.h"
#include "ImageFiles.h"
#include "Names.h"
#include "Progress.h"
#include "Recovery.h"
#include "Runner.h"
#include "TransferSize.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

namespace veltdfu {

namespace {

namespace fs = std::filesystem;

constexpr uint8_t kStateDfuIdle = 2;
constexpr uint8_t kNoReply = 0xFF; // bState of a GETSTATUS record the library did not fill

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string DeviceStatusText(const DFU_GETSTATUS_RESULT& reply)
{
    return std::string("device status ") + DfuStatusName(reply.bStatus) + " (" + std::to_string(reply.bStatus) +
           "), state " + DfuStateName(reply.bState) + " (" + std::to_string(reply.bState) + ")";
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

// How a device command ends: its result for the renderer and its exit code,
// and whether a fresh attempt could end differently.
struct Ending {
    TransferOutcome outcome;
    int exitCode = kExitFailure;
    bool retryable = false;  // a failure of the transfer or of the device, not of the input
    bool deviceLost = false; // the device did not answer afterwards: reopen before trying again
};

// One device command's reporting: every line it shows goes to the renderer.
class Session {
public:
    Session(ProgressRenderer& renderer, std::string device, const char* operation)
        : renderer_(renderer), device_(std::move(device)), operation_(operation)
    {
    }

    const std::string& device() const { return device_; }
    const char* operation() const { return operation_; }
    uint16_t transferSize = 0;

    void note(const std::string& text) { render(ProgressEvent::Kind::Note, text); }
    void problem(const std::string& text) { render(ProgressEvent::Kind::Problem, text); }

    void begin(const char* what, std::optional<uint64_t> total)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Begin, what);
        event.total = total;
        event.transferSize = transferSize;
        renderer_.render(event);
        transferBegan_ = event.at;
    }
    void advance(uint64_t bytes)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Advance, "");
        event.bytes = bytes;
        renderer_.render(event);
    }
    // Seconds since begin().
    double finish()
    {
        ProgressEvent event = make(ProgressEvent::Kind::Finish, "");
        renderer_.render(event);
        return std::chrono::duration<double>(event.at - transferBegan_).count();
    }

    void retry(uint32_t attempt, uint32_t attempts, const std::string& text, const TransferOutcome& failure)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Retry, text);
        event.operation = operation_;
        event.attempt = attempt;
        event.attempts = attempts;
        event.outcome = failure;
        renderer_.render(event);
    }

    // The device's last event; gives the exit code.
    int end(Ending ending)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Result, "");
        ending.outcome.seconds = std::chrono::duration<double>(event.at - began_).count();
        event.operation = operation_;
        event.transferSize = transferSize;
        event.outcome = std::move(ending.outcome);
        renderer_.render(event);
        return ending.exitCode;
    }

    // A failure that no other attempt would change: said once.
    Ending fail(const std::string& reason, uint8_t status, const std::string& message, int exitCode = kExitFailure)
    {
        problem(message);
        Ending ending;
        ending.outcome.reason = reason;
        ending.outcome.status = status;
        ending.outcome.message = message;
        ending.exitCode = exitCode;
        return ending;
    }

private:
    ProgressEvent make(ProgressEvent::Kind kind, const std::string& text) const
    {
        ProgressEvent event;
        event.kind = kind;
        event.device = device_;
        event.text = text;
        return event;
    }
    void render(ProgressEvent::Kind kind, const std::string& text) { renderer_.render(make(kind, text)); }

    ProgressRenderer& renderer_;
    std::string device_;
    const char* operation_;
    ProgressClock::time_point began_ = ProgressClock::now();
    ProgressClock::time_point transferBegan_ = began_;
};

using Step = std::optional<Ending>; // nothing: go on with the next step

// What the progress callback needs; its address is the callback's userData.
struct Transfer {
    Session* session;
    uint16_t transferSize;
    std::optional<uint64_t> total; // bytes are capped here; an upload has none
    uint64_t blocks = 0;

    uint64_t bytes() const
    {
        const uint64_t moved = blocks * transferSize;
        return total ? std::min(moved, *total) : moved;
    }
};

// Counts blocks rather than trusting blockIndex, which an upload counts in 16 bits.
int OnProgress(int32_t, int32_t inProgress, int32_t blockIndex, uintptr_t userData)
{
    Transfer& transfer = *reinterpret_cast<Transfer*>(userData);
    if (inProgress != 0 && blockIndex >= 0) {
        ++transfer.blocks;
        transfer.session->advance(transfer.bytes());
    }
    return CancelRequested() ? 0 : 1;
}

uintptr_t UserData(Transfer& transfer)
{
    return reinterpret_cast<uintptr_t>(&transfer);
}

// The device and how it is reached, once it is open.
struct Target {
    std::unique_ptr<OpenDevice> device;
    bool usb = true;
};

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
    uint8_t kind = DFU_INTERFACE_USB;
    DFU_GetOpenedInterface(target.device->handle(), &kind);
    target.usb = kind == DFU_INTERFACE_USB;
    return std::nullopt;
}

Ending Cancelled(Session& session, const std::string& what)
{
    return session.fail("cancelled", DFU_STATUS_CANCELLED, what + " cancelled", kExitCancelled);
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

std::string Join(const std::vector<std::string>& parts, const char* between)
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : between) + part;
    return text;
}

// Before a transfer: a device left mid-transfer or in dfuERROR by an earlier
// run is brought back to dfuIDLE, and the user is told.
Step MakeReady(Session& session, DFU_HANDLE handle)
{
    const Recovery recovery = ReturnToIdle(handle);
    const std::string label = "device " + session.device();
    if (recovery.first && recovery.first->bState != kStateDfuIdle && !recovery.actions.empty()) {
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
    if (recovery.first) {
        ending.outcome.dfuStatus = recovery.first->bStatus;
        ending.outcome.dfuState = recovery.first->bState;
    }
    // A request that failed may pass next time; a device in the wrong mode stays there.
    ending.retryable = recovery.status != DFU_STATUS_SUCCESS;
    ending.deviceLost = !recovery.first;
    return ending;
}

// After a transfer that failed or was cancelled: says what failed with the
// device's last word on it, and brings the device back to dfuIDLE so that
// the next run, or the next attempt, starts clean.
Ending EndFailedTransfer(Session& session, DFU_HANDLE handle, const std::string& what, DFU_STATUS status,
                         std::optional<DFU_GETSTATUS_RESULT> lastReply, uint64_t bytes)
{
    const bool cancelled = status == DFU_STATUS_CANCELLED && CancelRequested();
    const Recovery recovery = ReturnToIdle(handle);
    if (!lastReply)
        lastReply = recovery.first;

    std::string message = cancelled ? what + " cancelled" : what + " failed: " + LibraryStatusText(status);
    if (lastReply)
        message += "; " + DeviceStatusText(*lastReply);
    session.problem(message);
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
std::string Cause(const TransferOutcome& failure)
{
    if (failure.reason == "verify")
        return "a read-back that did not match";
    std::string cause = LibraryStatusText(failure.status);
    if (failure.dfuStatus && *failure.dfuStatus != 0)
        cause += std::string(", device status ") + DfuStatusName(*failure.dfuStatus);
    return cause;
}

// An attempt is given the failed one before it (none the first time).
using Attempt = std::function<Ending(const Ending* previous)>;

// The one place attempts are repeated: after a failure of the transfer or of
// the device (never of the input, never after a cancel) the failed attempt
// has already brought the device back to dfuIDLE, and the next one starts
// over, until one succeeds or the retries are used up.
Ending WithRetries(Session& session, const Invocation& invocation, const std::string& what, const Attempt& attempt)
{
    const uint32_t retries = invocation.retries.value_or(0);
    Ending ending = attempt(nullptr);
    uint32_t made = 1;
    for (; made <= retries && !ending.outcome.ok && ending.retryable && !CancelRequested(); ++made) {
        session.retry(made, retries,
                      what + ": retry " + std::to_string(made) + " of " + std::to_string(retries) + " after " +
                          Cause(ending.outcome),
                      ending.outcome);
        const Ending previous = ending;
        ending = attempt(&previous);
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

// What a download sends: the firmware, and where the library reads it from.
struct Firmware {
    std::vector<uint8_t> file;
    size_t size = 0;                 // bytes of `file` that are firmware
    std::optional<DfuSuffix> suffix; // valid suffix after them
    std::string path;                // as the user gave it
    std::string imagePath;           // what the library reads: `path`, or a copy without the suffix
    TempFile stripped;
};

Step CheckSuffix(Session& session, const std::string& what, const Invocation& invocation, Firmware& firmware)
{
    const std::string& path = firmware.path;
    const std::string where = what + ": " + path;
    const char* hint = " (--no-suffix sends the file as it is)";
    if (invocation.noSuffix) {
        firmware.size = firmware.file.size();
        session.note(path + ": --no-suffix, sending all " + std::to_string(firmware.size) + " bytes as they are");
        return std::nullopt;
    }
    const SuffixCheck check = CheckDfuSuffix(firmware.file.data(), firmware.file.size());
    firmware.size = check.firmwareSize;
    switch (check.kind) {
    case SuffixCheck::Kind::None:
        session.note(path + " has no DFU suffix; sending all " + std::to_string(firmware.size) + " bytes");
        return std::nullopt;
    case SuffixCheck::Kind::BadLength:
        return session.fail("suffix", 0,
                            where + " ends in a DFU suffix signature with bLength " +
                                std::to_string(check.suffix.length) + ", which no DFU suffix has; nothing sent" + hint);
    case SuffixCheck::Kind::BadCrc:
        return session.fail("suffix", 0,
                            where + ": DFU suffix CRC mismatch (the suffix says 0x" + Hex(check.suffix.storedCrc, 8) +
                                ", the file gives 0x" + Hex(check.computedCrc, 8) + "); nothing sent" + hint);
    case SuffixCheck::Kind::Valid:
        break;
    }
    firmware.suffix = check.suffix;
    return std::nullopt;
}

// Everything about the file is settled before a device is opened.
Step PrepareFirmware(Session& session, const std::string& what, const Invocation& invocation, Firmware& firmware)
{
    std::string error;
    firmware.file = ReadWholeFile(firmware.path, error);
    if (!error.empty())
        return session.fail("file", DFU_STATUS_FILE_READ_ERROR, what + ": cannot read " + firmware.path + ": " + error);
    if (Step stop = CheckSuffix(session, what, invocation, firmware))
        return stop;
    if (firmware.size == 0)
        return session.fail("file", DFU_STATUS_FILE_READ_ERROR,
                            what + ": " + firmware.path + " holds no firmware; nothing sent");
    // The library reads the image from a file: one without the suffix when there is one.
    firmware.imagePath = firmware.path;
    if (firmware.size != firmware.file.size()) {
        if (!firmware.stripped.create("", "velt-dfu-image", error) ||
            !firmware.stripped.write(firmware.file.data(), firmware.size, error))
            return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": temporary copy of the firmware: " + error);
        firmware.imagePath = firmware.stripped.path();
    }
    return std::nullopt;
}

std::string IdText(uint16_t vid, uint16_t pid)
{
    return Hex(vid, 4) + ":" + Hex(pid, 4);
}

// A suffix names the device it is for; 0xFFFF stands for any.
Step CheckSuffixDevice(Session& session, const Target& target, const Firmware& firmware)
{
    if (!firmware.suffix)
        return std::nullopt;
    const std::string& path = firmware.path;
    const DfuSuffix& suffix = *firmware.suffix;
    const std::string sending = "sending the " + std::to_string(firmware.size) + " bytes of firmware before it";
    if (!target.usb) {
        session.note(path + ": DFU suffix CRC good; its VID:PID " + IdText(suffix.idVendor, suffix.idProduct) +
                     " is not checked on a COM port, which has none; " + sending);
        return std::nullopt;
    }
    uint16_t vid = 0, pid = 0;
    const DFU_STATUS status = DFU_GetOpenedVidPid(target.device->handle(), &vid, &pid);
    if (status != DFU_STATUS_SUCCESS)
        return session.fail("device", status,
                            "cannot read the VID:PID of device " + session.device() + ": " + LibraryStatusText(status));
    const bool vidMatches = suffix.idVendor == kSuffixAnyId || suffix.idVendor == vid;
    const bool pidMatches = suffix.idProduct == kSuffixAnyId || suffix.idProduct == pid;
    if (!vidMatches || !pidMatches) {
        return session.fail("suffix", 0,
                            "download to device " + session.device() + ": " + path + " is for VID:PID " +
                                IdText(suffix.idVendor, suffix.idProduct) + ", the device is " + IdText(vid, pid) +
                                "; nothing sent (--no-suffix sends the file as it is)");
    }
    session.note(path + ": DFU suffix for " + IdText(suffix.idVendor, suffix.idProduct) + ", CRC good; " + sending);
    return std::nullopt;
}

// Reads the image back and compares it with what was sent, over the
// firmware's length (the device may pad the last block).
Step Verify(Session& session, const Target& target, const Firmware& firmware, const DFU_GETSTATUS_RESULT& lastReply)
{
    const std::string label = "device " + session.device();
    std::string error;
    TempFile readBack;
    if (!readBack.create("", "velt-dfu-verify", error))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, "verify of " + label + ": " + error);
    Transfer transfer{&session, session.transferSize, firmware.size};
    session.begin("verify", firmware.size);
    const DFU_STATUS status = DFU_UploadImage(target.device->handle(), session.transferSize, readBack.path().c_str(),
                                              OnProgress, UserData(transfer));
    session.finish();
    if (status != DFU_STATUS_SUCCESS)
        return EndFailedTransfer(session, target.device->handle(), "verify of " + label + ": reading the image back",
                                 status, std::nullopt, firmware.size);

    const std::vector<uint8_t> image = ReadWholeFile(readBack.path(), error);
    if (!error.empty())
        return session.fail("file", DFU_STATUS_FILE_READ_ERROR, "verify of " + label + ": " + error);
    const size_t common = std::min(image.size(), firmware.size);
    const auto differ = std::mismatch(firmware.file.begin(), firmware.file.begin() + static_cast<std::ptrdiff_t>(common),
                                      image.begin());
    const size_t offset = static_cast<size_t>(differ.first - firmware.file.begin());
    if (offset == firmware.size) {
        session.note(label + ": verified, the " + std::to_string(firmware.size) + " bytes read back match");
        return std::nullopt;
    }
    std::string message = "verify of " + label + " failed: first difference at offset " + std::to_string(offset) +
                          " (0x" + Hex(static_cast<unsigned>(offset), 8) + "): sent 0x" + Hex(firmware.file[offset], 2);
    message += offset < image.size() ? ", read back 0x" + Hex(image[offset], 2)
                                     : ", but the device returned only " + std::to_string(image.size()) + " bytes";
    Ending ending = session.fail("verify", 0, message);
    ending.outcome.bytes = firmware.size;
    ending.outcome.dfuStatus = lastReply.bStatus;
    ending.outcome.dfuState = lastReply.bState;
    ending.retryable = true; // the download is repeated, then read back again
    return ending;
}

std::string Rate(uint64_t bytes, double seconds)
{
    return FormatBytes(static_cast<uint64_t>(seconds > 0 ? static_cast<double>(bytes) / seconds : 0)) + "/s";
}

// One download from dfuIDLE to the closing GETSTATUS, then the read-back.
Ending DownloadAttempt(Session& session, const Target& target, const Firmware& firmware, const Invocation& invocation,
                       const std::string& what)
{
    const DFU_HANDLE handle = target.device->handle();
    if (Step stop = MakeReady(session, handle))
        return *stop;
    if (CancelRequested())
        return Cancelled(session, what);

    Transfer transfer{&session, session.transferSize, firmware.size};
    DFU_GETSTATUS_RESULT lastReply = {};
    lastReply.bState = kNoReply;
    session.begin("download", firmware.size);
    const DFU_STATUS status = DFU_DownloadImage(handle, session.transferSize, firmware.imagePath.c_str(), OnProgress,
                                                UserData(transfer), &lastReply);
    const double seconds = session.finish();
    const auto reply = lastReply.bState == kNoReply ? std::nullopt : std::optional(lastReply);
    if (status != DFU_STATUS_SUCCESS)
        return EndFailedTransfer(session, handle, what, status, reply, transfer.bytes());

    if (invocation.verify) {
        if (CancelRequested())
            return Cancelled(session, "verify of device " + session.device());
        if (Step stop = Verify(session, target, firmware, lastReply))
            return *stop;
    }

    Ending ending;
    ending.exitCode = kExitOk;
    TransferOutcome& outcome = ending.outcome;
    outcome.ok = true;
    outcome.bytes = firmware.size;
    outcome.message = "Downloaded " + std::to_string(firmware.size) + " bytes to device " + session.device() + " in " +
                      Seconds(seconds) + " (" + Rate(firmware.size, seconds) + ")" +
                      (invocation.verify ? ", verified." : ".");
    if (reply) {
        outcome.dfuStatus = reply->bStatus;
        outcome.dfuState = reply->bState;
    }
    return ending;
}

// The firmware to one device, with its own handle; the session gets the result.
int DownloadTo(Session& session, const DeviceRef& ref, const Firmware& firmware, const Invocation& invocation)
{
    const std::string what = "download to device " + ref.label();
    Target target;
    if (Step stop = Reach(session, ref, invocation, what, target))
        return session.end(*stop);
    if (Step stop = CheckSuffixDevice(session, target, firmware))
        return session.end(*stop);
    TellTransferSize(session, target, invocation);
    return session.end(WithRetries(session, invocation, what, [&](const Ending* previous) {
        if (Step stop = ReopenIfLost(session, ref, invocation, what, previous, target))
            return *stop;
        return DownloadAttempt(session, target, firmware, invocation, what);
    }));
}


// "all", or devices separated by commas.
bool NamesSeveral(const std::string& operand)
{
    return operand == "all" || operand.find(',') != std::string::npos;
}

std::string Listing(const std::vector<std::string>& ports)
{
    return Join(ports, ", ");
}

// "all": what discovery found, said once; the devices to flash.
std::vector<DeviceRef> FindEveryDevice(Session& session, const Invocation& invocation)
{
    const Discovered found = FindAllDevices(invocation);
    std::string text = std::to_string(found.usb) + " USB DFU device" + (found.usb == 1 ? "" : "s") + ", " +
                       std::to_string(found.devices.size() - found.usb) + " COM port" +
                       (found.devices.size() - found.usb == 1 ? "" : "s") + " with a device that answered";
    if (!found.silent.empty())
        text += "; no answer from " + Listing(found.silent);
    if (!found.unopened.empty())
        text += "; could not open " + Listing(found.unopened);
    session.note(text);
    return found.devices;
}

int DownloadToSeveral(const Invocation& invocation, const std::string& operand)
{
    const bool all = operand == "all";
    std::vector<DeviceRef> refs;
    if (all && invocation.waitSeconds)
        return ReportError("--wait waits for named devices; 'all' takes the devices that are there", kExitUsage);
    if (!all) {
        const std::string error = ParseDeviceList(operand, refs);
        if (!error.empty())
            return ReportError(error, kExitUsage);
        if (const std::string twice = FindDuplicate(refs); !twice.empty())
            return ReportError("device " + twice + " is named twice in '" + operand + "'", kExitUsage);
    }

    const auto renderer = MakeRenderer(StyleFor(invocation.json, stdout), stdout, stderr, true);
    Session session(*renderer, operand, "download");
    CancelOnSignal cancelOnSignal;
    Firmware firmware;
    firmware.path = invocation.operands[1];
    if (Step stop = PrepareFirmware(session, "download to devices " + operand, invocation, firmware))
        return session.end(*stop);

    if (all) {
        refs = FindEveryDevice(session, invocation);
        if (refs.empty())
            return session.end(session.fail("absent", DFU_STATUS_DEVICE_NOT_FOUND,
                                            "no devices found: no USB DFU device, no COM port that answered"));
    } else {
        ResolveIndexes(refs); // the threads open by path, never by index
        if (const std::string twice = FindDuplicate(refs); !twice.empty())
            return session.end(session.fail("device", 0, "device " + twice + " is named twice in '" + operand + "'",
                                            kExitUsage));
    }

    // Serial settings are for the COM ports among the devices; USB devices have none.
    Invocation forUsb = invocation;
    forUsb.line = LineSettings{};
    const auto began = ProgressClock::now();
    const std::vector<DeviceRun> runs = RunOnDevices(
        refs,
        [&](const DeviceRef& ref, ProgressRenderer& events) {
            Session device(events, ref.label(), "download");
            const bool serial = ref.byIndex || IsComPath(ref.path);
            return DownloadTo(device, ref, firmware, serial ? invocation : forUsb);
        },
        *renderer);

    RunSummary summary;
    summary.devices = operand;
    summary.seconds = std::chrono::duration<double>(ProgressClock::now() - began).count();
    for (const DeviceRun& run : runs)
        summary.results.push_back(run.result);
    renderer->summarize(summary);
    return CombinedExitCode(runs);
}

} // namespace

int RunDownload(CommandContext& context)
{
    const Invocation& invocation = context.invocation;
    if (NamesSeveral(invocation.operands[0]))
        return DownloadToSeveral(invocation, invocation.operands[0]);
    const DeviceRef ref = ParseDeviceRef(invocation.operands[0]);
    const auto renderer = MakeRenderer(StyleFor(invocation.json, stdout), stdout, stderr);
    Session session(*renderer, ref.label(), "download");
    CancelOnSignal cancelOnSignal;

    Firmware firmware;
    firmware.path = invocation.operands[1];
    if (Step stop = PrepareFirmware(session, "download to device " + ref.label(), invocation, firmware))
        return session.end(*stop);
    return DownloadTo(session, ref, firmware, invocation);
}

namespace {

// Where an upload's bytes go: a file beside the target that replaces it only
// when complete, so a failed upload leaves no half file and an existing file
// as it was; a target that is not a regular file (a device, a pipe) is
// written directly.
struct UploadFile {
    std::string path;
    bool direct = false;
    TempFile partial;

    const std::string& writePath() const { return direct ? path : partial.path(); }
};

Step PrepareUploadFile(Session& session, const std::string& what, UploadFile& file)
{
    std::error_code code;
    const fs::file_status existing = fs::status(file.path, code);
    if (fs::is_directory(existing))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": " + file.path + " is a directory");
    file.direct = fs::exists(existing) && !fs::is_regular_file(existing);
    if (file.direct)
        return std::nullopt;
    std::string error;
    if (fs::exists(existing)) {
        std::FILE* probe = std::fopen(file.path.c_str(), "r+b"); // opens for writing without emptying it
        if (probe == nullptr)
            return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR,
                                what + ": cannot write " + file.path + ": " + std::strerror(errno));
        std::fclose(probe);
    }
    if (!file.partial.create(DirectoryOf(file.path), "." + fs::path(file.path).filename().string() + ".part", error))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR,
                            what + ": cannot create " + file.path + " (" + error + ")");
    return std::nullopt;
}

Ending UploadAttempt(Session& session, const Target& target, UploadFile& file, const std::string& what)
{
    const DFU_HANDLE handle = target.device->handle();
    if (Step stop = MakeReady(session, handle))
        return *stop;
    if (CancelRequested())
        return Cancelled(session, what);

    Transfer transfer{&session, session.transferSize, std::nullopt};
    session.begin("upload", std::nullopt);
    const DFU_STATUS status =
        DFU_UploadImage(handle, session.transferSize, file.writePath().c_str(), OnProgress, UserData(transfer));
    const double seconds = session.finish();
    if (status != DFU_STATUS_SUCCESS) {
        Ending ending = EndFailedTransfer(session, handle, what, status, std::nullopt, transfer.bytes());
        // A file is written afresh by the next attempt; a pipe already has these bytes.
        ending.retryable = ending.retryable && !file.direct;
        return ending;
    }

    std::error_code code;
    const uint64_t size = file.direct ? transfer.bytes() : static_cast<uint64_t>(fs::file_size(file.writePath(), code));
    std::string error;
    if (!file.direct && !file.partial.moveTo(file.path, error))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": cannot replace " + file.path + ": " + error);

    Ending ending;
    ending.exitCode = kExitOk;
    TransferOutcome& outcome = ending.outcome;
    outcome.ok = true;
    outcome.bytes = size;
    outcome.message = "Uploaded " + std::to_string(size) + " bytes from device " + session.device() + " to " +
                      file.path + " in " + Seconds(seconds) + " (" + Rate(size, seconds) + ").";
    DFU_GETSTATUS_RESULT reply = {};
    if (DFU_DfuGetStatus(handle, &reply) == DFU_STATUS_SUCCESS) {
        outcome.dfuStatus = reply.bStatus;
        outcome.dfuState = reply.bState;
    }
    return ending;
}

} // namespace

int RunUpload(CommandContext& context)
{
    const Invocation& invocation = context.invocation;
    if (NamesSeveral(invocation.operands[0]))
        return ReportError("an upload reads one device into one file; name one device", kExitUsage);
    const DeviceRef ref = ParseDeviceRef(invocation.operands[0]);
    const auto renderer = MakeRenderer(StyleFor(invocation.json, stdout), stdout, stderr);
    Session session(*renderer, ref.label(), "upload");
    CancelOnSignal cancelOnSignal;
    const std::string what = "upload from device " + ref.label();

    UploadFile file;
    file.path = invocation.operands[1];
    if (Step stop = PrepareUploadFile(session, what, file))
        return session.end(*stop);
    Target target;
    if (Step stop = Reach(session, ref, invocation, what, target))
        return session.end(*stop);
    TellTransferSize(session, target, invocation);
    return session.end(WithRetries(session, invocation, what, [&](const Ending* previous) {
        if (Step stop = ReopenIfLost(session, ref, invocation, what, previous, target))
            return *stop;
        return UploadAttempt(session, target, file, what);
    }));
}

} // namespace veltdfu
