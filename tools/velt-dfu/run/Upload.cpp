// The upload command: the device's image read through the engine into
// memory, then into the file, which is replaced only by a whole image.
#include "Cancel.h"
#include "DeviceSearch.h"
#include "Commands.h"
#include "ImageCommands.h"
#include "ImageFiles.h"
#include "run/Attempts.h"
#include "run/Download.h"
#include "Sha256.h"
#include "run/TraceLog.h"
#include "run/Transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace veltdfu {

namespace {

namespace fs = std::filesystem;

// Where an upload's bytes go: a file beside the target that replaces it only
// when complete, so a failed upload leaves no half file and an existing file
// as it was; a target that is not a regular file (a device, a pipe) is
// written directly.
struct UploadFile {
    std::string path;
    bool direct = false;
};

std::string PartStem(const UploadFile& file)
{
    return "." + fs::path(file.path).filename().string() + ".part";
}

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
    // A file beside the target must be possible; it is made, and removed
    // again at once: the real one exists only while the image is written,
    // so an upload killed mid-transfer leaves nothing behind.
    TempFile probe;
    if (!probe.create(DirectoryOf(file.path), PartStem(file), error))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR,
                            what + ": cannot create " + file.path + " (" + error + ")");
    return std::nullopt;
}

// The bytes read go to the file only once the upload has ended well.
Step Store(Session& session, const std::string& what, UploadFile& file, const std::vector<uint8_t>& image)
{
    std::string error;
    if (file.direct) {
        std::FILE* out = std::fopen(file.path.c_str(), "wb");
        const bool written = out != nullptr && std::fwrite(image.data(), 1, image.size(), out) == image.size();
        if (out == nullptr || (std::fclose(out) != 0) || !written)
            return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR,
                                what + ": cannot write " + file.path + ": " + std::strerror(errno));
        return std::nullopt;
    }
    TempFile partial;
    if (!partial.create(DirectoryOf(file.path), PartStem(file), error) ||
        !partial.write(image.data(), image.size(), error) || !partial.moveTo(file.path, error))
        return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR, what + ": cannot replace " + file.path + ": " + error);
    return std::nullopt;
}

Ending UploadAttempt(Session& session, const Target& target, UploadFile& file, const Invocation& invocation,
                     const std::string& what)
{
    const DFU_HANDLE handle = target.device->handle();
    if (Step stop = ReadyToTransfer(session, handle, what))
        return *stop;

    engine::LibraryRequests device(handle);
    SessionObserver observer(session, invocation.verbose);
    std::vector<uint8_t> image;
    session.begin("upload", invocation.uploadSize);
    const engine::Outcome read = engine::Upload(device, image, PolicyFor(invocation, session.transferSize), observer);
    const double seconds = session.finish();
    if (read.end == engine::Outcome::End::TooLong) {
        Ending ending = session.fail("limit", 0,
                                     what + " failed: the device sent more than " +
                                         std::to_string(engine::kMaxUploadBytes) +
                                         " bytes without ending its image; --upload-size N reads N bytes");
        ending.outcome.bytes = read.bytes;
        return ending;
    }
    if (!read.ok())
        return EndFailedRun(session, handle, what, read);
    if (image.empty()) {
        // Nothing to keep: success would empty the file for no image.
        return session.fail("empty", 0,
                            what + " failed: the device sent no image (its first block was empty); " + file.path +
                                " is left as it was");
    }
    if (Step stop = Store(session, what, file, image))
        return *stop;

    Ending ending;
    ending.exitCode = kExitOk;
    TransferOutcome& outcome = ending.outcome;
    outcome.ok = true;
    outcome.bytes = image.size();
    outcome.recoveries = read.recoveries;
    outcome.sha256 = Sha256Hex(image.data(), image.size());
    outcome.message = "Uploaded " + std::to_string(image.size()) + " bytes from device " + session.device() + " to " +
                      file.path + " in " + Seconds(seconds) + " (" + Rate(image.size(), seconds) + ")" +
                      (read.restarts ? ", read again from the start " + std::to_string(read.restarts) + " time" +
                                           (read.restarts == 1 ? "" : "s")
                                     : "") +
                      ".";
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
    const DeviceRef ref = Resolved(ParseDeviceRef(invocation.operands[0]));
    const auto renderer = MakeRenderer(StyleFor(invocation.json, stdout), stdout, stderr);
    Session session(*renderer, ref.path.empty() ? ref.label() : ref.path, ref.label(), "upload");
    CancelOnSignal cancelOnSignal;
    const std::string what = "upload from device " + ref.label();

    UploadFile file;
    file.path = invocation.operands[1];
    if (Step stop = PrepareUploadFile(session, what, file))
        return session.end(*stop);
    if (invocation.logPath) {
        if (const std::string error = CheckTraceLog(*invocation.logPath); !error.empty())
            return session.end(session.fail("file", DFU_STATUS_FILE_WRITE_ERROR,
                                            what + ": cannot write the log " + *invocation.logPath + ": " + error));
    }
    Target target;
    if (Step stop = Reach(session, ref, invocation, what, target))
        return session.end(*stop);
    TellTransferSize(session, target, invocation);
    return session.end(WithRetries(
        session, invocation, what,
        [&](const Ending* previous) {
            if (Step stop = ReopenIfLost(session, ref, invocation, what, previous, target))
                return *stop;
            return UploadAttempt(session, target, file, invocation, what);
        },
        TraceAttempts(invocation, session, target, "upload", file.path)));
}

} // namespace veltdfu
