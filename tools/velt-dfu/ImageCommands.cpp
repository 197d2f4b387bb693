#include "ImageCommands.h"

#include "Cancel.h"
#include "Commands.h"
#include "DfuSuffix.h"
#include "ImageFiles.h"
#include "Names.h"
#include "Progress.h"
#include "Recovery.h"
#include "TransferSize.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
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

// One device command's reporting: every line it shows goes to the renderer.
class Session {
public:
    Session(const Invocation& invocation, std::string device, const char* operation)
        : renderer_(MakeRenderer(StyleFor(invocation.json, stdout), stdout, stderr)),
          device_(std::move(device)), operation_(operation)
    {
    }

    const std::string& device() const { return device_; }
    uint16_t transferSize = 0;

    void note(const std::string& text) { render(ProgressEvent::Kind::Note, text); }
    void problem(const std::string& text) { render(ProgressEvent::Kind::Problem, text); }

    void begin(const char* what, std::optional<uint64_t> total)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Begin, what);
        event.total = total;
        event.transferSize = transferSize;
        renderer_->render(event);
        transferBegan_ = event.at;
    }
    void advance(uint64_t bytes)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Advance, "");
        event.bytes = bytes;
        renderer_->render(event);
    }
    // Seconds since begin().
    double finish()
    {
        ProgressEvent event = make(ProgressEvent::Kind::Finish, "");
        renderer_->render(event);
        return std::chrono::duration<double>(event.at - transferBegan_).count();
    }

    int result(TransferOutcome outcome, int exitCode)
    {
        ProgressEvent event = make(ProgressEvent::Kind::Result, "");
        outcome.seconds = std::chrono::duration<double>(event.at - began_).count();
        event.operation = operation_;
        event.transferSize = transferSize;
        event.outcome = std::move(outcome);
        renderer_->render(event);
        return exitCode;
    }

    // A failure found before or around a transfer: said once, reported once.
    int fail(const std::string& reason, uint8_t status, const std::string& message, int exitCode = kExitFailure)
    {
        problem(message);
        TransferOutcome outcome;
        outcome.reason = reason;
        outcome.status = status;
        outcome.message = message;
        return result(outcome, exitCode);
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
    void render(ProgressEvent::Kind kind, const std::string& text) { renderer_->render(make(kind, text)); }

    std::unique_ptr<ProgressRenderer> renderer_;
    std::string device_;
    const char* operation_;
    ProgressClock::time_point began_ = ProgressClock::now();
    ProgressClock::time_point transferBegan_ = began_;
};

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

int OpenTarget(Session& session, const DeviceRef& ref, const Invocation& invocation, Target& target)
{
    int exitCode = kExitOk;
    DFU_STATUS status = DFU_STATUS_SUCCESS;
    target.device = OpenConfigured(ref, invocation, exitCode, &status);
    if (!target.device) {
        // OpenConfigured has said what failed; programs still get their result.
        TransferOutcome outcome;
        outcome.reason = "device";
        outcome.status = status;
        outcome.message = "cannot open device " + ref.label();
        return session.result(outcome, exitCode);
    }
    uint8_t kind = DFU_INTERFACE_USB;
    DFU_GetOpenedInterface(target.device->handle(), &kind);
    target.usb = kind == DFU_INTERFACE_USB;
    return kExitOk;
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
int MakeReady(Session& session, DFU_HANDLE handle)
{
    const Recovery recovery = ReturnToIdle(handle);
    const std::string label = "device " + session.device();
    if (recovery.first && recovery.first->bState != kStateDfuIdle && !recovery.actions.empty()) {
        session.note(label + " was in " + DfuStateName(recovery.first->bState) + " (status " +
                     DfuStatusName(recovery.first->bStatus) + "): " + Join(recovery.actions, ", then ") +
                     (recovery.idle ? "; it is in dfuIDLE now" : ""));
    }
    if (recovery.idle)
        return kExitOk;
    std::string message = label + " is not ready for a transfer: " + recovery.problem;
    if (recovery.status != DFU_STATUS_SUCCESS)
        message += ": " + LibraryStatusText(recovery.status);
    TransferOutcome outcome;
    session.problem(message);
    outcome.reason = "device";
    outcome.status = recovery.status;
    outcome.message = message;
    if (recovery.first) {
        outcome.dfuStatus = recovery.first->bStatus;
        outcome.dfuState = recovery.first->bState;
    }
    return session.result(outcome, kExitFailure);
}

// After a transfer that failed or was cancelled: says what failed with the
// device's last word on it, and brings the device back to dfuIDLE so that
// the next run starts clean.
int EndFailedTransfer(Session& session, DFU_HANDLE handle, const std::string& what, DFU_STATUS status,
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

    TransferOutcome outcome;
    outcome.reason = cancelled ? "cancelled" : "transfer";
    outcome.status = status;
    outcome.message = message;
    outcome.bytes = bytes;
    if (lastReply) {
        outcome.dfuStatus = lastReply->bStatus;
        outcome.dfuState = lastReply->bState;
    }
    return session.result(outcome, cancelled ? kExitCancelled : kExitFailure);
}

// What a download sends: the firmware, and where the library reads it from.
struct Firmware {
    std::vector<uint8_t> file;
    size_t size = 0;                 // bytes of `file` that are firmware
    std::optional<DfuSuffix> suffix; // valid suffix after them
};

int CheckSuffix(Session& session, const std::string& path, const Invocation& invocation, Firmware& firmware)
{
    const std::string where = "download to device " + session.device() + ": " + path;
    const char* hint = " (--no-suffix sends the file as it is)";
    if (invocation.noSuffix) {
        firmware.size = firmware.file.size();
        session.note(path + ": --no-suffix, sending all " + std::to_string(firmware.size) + " bytes as they are");
        return kExitOk;
    }
    const SuffixCheck check = CheckDfuSuffix(firmware.file.data(), firmware.file.size());
    firmware.size = check.firmwareSize;
    switch (check.kind) {
    case SuffixCheck::Kind::None:
        session.note(path + " has no DFU suffix; sending all " + std::to_string(firmware.size) + " bytes");
        return kExitOk;
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
    return kExitOk;
}

std::string IdText(uint16_t vid, uint16_t pid)
{
    return Hex(vid, 4) + ":" + Hex(pid, 4);
}

// A suffix names the device it is for; 0xFFFF stands for any.
int CheckSuffixDevice(Session& session, const std::string& path, const Target& target, const Firmware& firmware)
{
    if (!firmware.suffix)
        return kExitOk;
    const DfuSuffix& suffix = *firmware.suffix;
    const std::string sending = "sending the " + std::to_string(firmware.size) + " bytes of firmware before it";
    if (!target.usb) {
        session.note(path + ": DFU suffix CRC good; its VID:PID " + IdText(suffix.idVendor, suffix.idProduct) +
                     " is not checked on a COM port, which has none; " + sending);
        return kExitOk;
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
    return kExitOk;
}

// Reads the image back and compares it with what was sent, over the
// firmware's length (the device may pad the last block).
int Verify(Session& session, const Target& target, const Firmware& firmware, const DFU_GETSTATUS_RESULT& lastReply)
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
        return kExitOk;
    }
    std::string message = "verify of " + label + " failed: first difference at offset " + std::to_string(offset) +
                          " (0x" + Hex(static_cast<unsigned>(offset), 8) + "): sent 0x" + Hex(firmware.file[offset], 2);
    message += offset < image.size() ? ", read back 0x" + Hex(image[offset], 2)
                                     : ", but the device returned only " + std::to_string(image.size()) + " bytes";
    session.problem(message);
    TransferOutcome outcome;
    outcome.reason = "verify";
    outcome.message = message;
    outcome.bytes = firmware.size;
    outcome.dfuStatus = lastReply.bStatus;
    outcome.dfuState = lastReply.bState;
    return session.result(outcome, kExitFailure);
}

int Cancelled(Session& session, const std::string& what)
{
    return session.fail("cancelled", DFU_STATUS_CANCELLED, what + " cancelled", kExitCancelled);
}

} // namespace

int RunDownload(CommandContext& context)
{
    const Invocation& invocation = context.invocation;
    const DeviceRef ref = ParseDeviceRef(invocation.operands[0]);
    const std::string& path = invocation.operands[1];
    Session session(invocation, ref.label(), "download");
    CancelOnSignal cancelOnSignal;
    const std::string what = "download to device " + ref.label();

    // Everything about the file is settled before the device is opened.
    Firmware firmware;
    std::string error;
    firmware.file = ReadWholeFile(path, error);
    if (!error.empty())
        return session.fail("file", DFU_STATUS_FILE_READ_ERROR, what + ": cannot read " + path + ": " + error);
    if (int exitCode = CheckSuffix(session, path, invocation, firmware); exitCode != kExitOk)
        return exitCode;
    if (firmware.size == 0)
        return session.fail("file", DFU_STATUS_FILE_READ_ERROR, what + ": " + path + " holds no firmware; nothing sent");

    Target target;
    if (int exitCode = OpenTarget(session, ref, invocation, target); exitCode != kExitOk)
        return exitCode;
    if (int exitCode = CheckSuffixDevice(session, path, target, firmware); exitCode != kExitOk)
        return exitCode;
    TellTransferSize(session, target, invocation);

    // The library reads the image from a file: one without the suffix when there is one.
    TempFile stripped;
    std::string imagePath = path;
    if (firmware.size != firmware.file.size()) {
        if (!stripped.create("", "velt-dfu-image", error) || !stripped.write(firmware.file.data(), firmware.size, error))
            return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": temporary copy of the firmware: " + error);
        imagePath = stripped.path();
    }

    const DFU_HANDLE handle = target.device->handle();
    if (int exitCode = MakeReady(session, handle); exitCode != kExitOk)
        return exitCode;
    if (CancelRequested())
        return Cancelled(session, what);

    Transfer transfer{&session, session.transferSize, firmware.size};
    DFU_GETSTATUS_RESULT lastReply = {};
    lastReply.bState = kNoReply;
    session.begin("download", firmware.size);
    const DFU_STATUS status = DFU_DownloadImage(handle, session.transferSize, imagePath.c_str(), OnProgress,
                                                UserData(transfer), &lastReply);
    const double seconds = session.finish();
    const auto reply = lastReply.bState == kNoReply ? std::nullopt : std::optional(lastReply);
    if (status != DFU_STATUS_SUCCESS)
        return EndFailedTransfer(session, handle, what, status, reply, transfer.bytes());

    if (invocation.verify) {
        if (CancelRequested())
            return Cancelled(session, "verify of device " + ref.label());
        if (int exitCode = Verify(session, target, firmware, lastReply); exitCode != kExitOk)
            return exitCode;
    }

    TransferOutcome outcome;
    outcome.ok = true;
    outcome.bytes = firmware.size;
    outcome.message = "Downloaded " + std::to_string(firmware.size) + " bytes to device " + ref.label() + " in " +
                      Seconds(seconds) + " (" +
                      FormatBytes(static_cast<uint64_t>(seconds > 0 ? static_cast<double>(firmware.size) / seconds : 0)) +
                      "/s)" + (invocation.verify ? ", verified." : ".");
    if (reply) {
        outcome.dfuStatus = reply->bStatus;
        outcome.dfuState = reply->bState;
    }
    return session.result(outcome, kExitOk);
}

int RunUpload(CommandContext& context)
{
    const Invocation& invocation = context.invocation;
    const DeviceRef ref = ParseDeviceRef(invocation.operands[0]);
    const std::string& path = invocation.operands[1];
    Session session(invocation, ref.label(), "upload");
    CancelOnSignal cancelOnSignal;
    const std::string what = "upload from device " + ref.label();

    // The image goes to a file beside the target and replaces it only when
    // complete, so a failed upload leaves no half file and an existing file
    // as it was. A target that is not a regular file (a device, a pipe) is
    // written directly.
    std::error_code code;
    const fs::file_status existing = fs::status(path, code);
    if (fs::is_directory(existing))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": " + path + " is a directory");
    const bool direct = fs::exists(existing) && !fs::is_regular_file(existing);
    std::string error;
    TempFile partial;
    if (!direct) {
        if (fs::exists(existing)) {
            std::FILE* probe = std::fopen(path.c_str(), "r+b"); // opens for writing without emptying it
            if (probe == nullptr)
                return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR,
                                    what + ": cannot write " + path + ": " + std::strerror(errno));
            std::fclose(probe);
        }
        if (!partial.create(DirectoryOf(path), "." + fs::path(path).filename().string() + ".part", error))
            return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": cannot create " + path + " (" + error + ")");
    }
    const std::string writePath = direct ? path : partial.path();

    Target target;
    if (int exitCode = OpenTarget(session, ref, invocation, target); exitCode != kExitOk)
        return exitCode;
    TellTransferSize(session, target, invocation);
    const DFU_HANDLE handle = target.device->handle();
    if (int exitCode = MakeReady(session, handle); exitCode != kExitOk)
        return exitCode;
    if (CancelRequested())
        return Cancelled(session, what);

    Transfer transfer{&session, session.transferSize, std::nullopt};
    session.begin("upload", std::nullopt);
    const DFU_STATUS status =
        DFU_UploadImage(handle, session.transferSize, writePath.c_str(), OnProgress, UserData(transfer));
    const double seconds = session.finish();
    if (status != DFU_STATUS_SUCCESS)
        return EndFailedTransfer(session, handle, what, status, std::nullopt, transfer.bytes());

    const uint64_t size = direct ? transfer.bytes() : static_cast<uint64_t>(fs::file_size(writePath, code));
    if (!direct && !partial.moveTo(path, error))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": cannot replace " + path + ": " + error);

    TransferOutcome outcome;
    outcome.ok = true;
    outcome.bytes = size;
    outcome.message = "Uploaded " + std::to_string(size) + " bytes from device " + ref.label() + " to " + path +
                      " in " + Seconds(seconds) + " (" +
                      FormatBytes(static_cast<uint64_t>(seconds > 0 ? static_cast<double>(size) / seconds : 0)) +
                      "/s).";
    DFU_GETSTATUS_RESULT reply = {};
    if (DFU_DfuGetStatus(handle, &reply) == DFU_STATUS_SUCCESS) {
        outcome.dfuStatus = reply.bStatus;
        outcome.dfuState = reply.bState;
    }
    return session.result(outcome, kExitOk);
}

} // namespace veltdfu
