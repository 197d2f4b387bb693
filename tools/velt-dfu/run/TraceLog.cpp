#include "run/TraceLog.h"

#include "Json.h"
#include "Names.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>

#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

namespace veltdfu {

namespace {

int OpenForAppend(const std::string& path)
{
#ifdef _WIN32
    return _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_APPEND | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
#endif
}

// "2026-12-08T16:20:01Z"
std::string UtcNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc = {};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

JsonObject& OrNull(JsonObject& line, const char* key, const std::string& value)
{
    return value.empty() ? line.addNull(key) : line.add(key, value);
}

} // namespace

AttemptDone TraceAttempts(const Invocation& invocation, Session& session, const Target& target,
                          const char* operation, const std::string& image, const std::string& sha256, uint64_t size)
{
    if (!invocation.logPath)
        return {};
    const std::string path = *invocation.logPath;
    return [path, &session, &target, operation, image, sha256, size](const Ending& ending, uint32_t number) {
        TraceEntry entry;
        entry.operation = operation;
        entry.target = target.device ? &target : nullptr;
        entry.device = session.device();
        entry.image = image;
        entry.transferSize = session.transferSize;
        entry.attempt = number;
        TransferOutcome outcome = ending.outcome;
        if (!sha256.empty()) {
            outcome.sha256 = sha256;
            outcome.bytes = size;
        }
        const std::string error = AppendTraceLine(path, entry, outcome);
        if (!error.empty())
            session.problem("cannot append to the log " + path + ": " + error);
    };
}

std::string CheckTraceLog(const std::string& path)
{
    const int fd = OpenForAppend(path);
    if (fd < 0)
        return std::strerror(errno);
#ifdef _WIN32
    _close(fd);
#else
    ::close(fd);
#endif
    return "";
}

std::string AppendTraceLine(const std::string& path, const TraceEntry& entry, const TransferOutcome& outcome)
{
    JsonObject line;
    line.add("time", UtcNow()).add("operation", entry.operation).add("device", entry.device);
    const Target* target = entry.target;
    OrNull(line, "path", target ? target->path : "");
    OrNull(line, "vid_pid", target ? target->vidPid : "");
    OrNull(line, "serial", target ? target->serial : "");
    OrNull(line, "com", target ? target->comName : "");
    line.add("image", entry.image).add("image_size", outcome.bytes);
    OrNull(line, "sha256", outcome.sha256);
    line.add("transfer_size", static_cast<unsigned>(entry.transferSize))
        .add("attempt", entry.attempt)
        .add("ok", outcome.ok)
        .add("status", static_cast<unsigned>(outcome.status))
        .add("status_name", LibraryStatusName(outcome.status));
    OrNull(line, "reason", outcome.ok ? "" : outcome.reason);
    if (outcome.dfuState)
        line.add("dfu_state", static_cast<unsigned>(*outcome.dfuState)).add("dfu_state_name", DfuStateName(*outcome.dfuState));
    else
        line.addNull("dfu_state").addNull("dfu_state_name");
    line.add("recoveries", outcome.recoveries).add("verified", outcome.verified).add("elapsed_s", outcome.seconds, 3);

    const std::string text = line.str() + "\n";
    const int fd = OpenForAppend(path);
    if (fd < 0)
        return std::strerror(errno);
    // One write: with O_APPEND the line lands whole after every other.
#ifdef _WIN32
    const bool whole = _write(fd, text.data(), static_cast<unsigned>(text.size())) == static_cast<int>(text.size());
    _close(fd);
#else
    const bool whole = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
#endif
    return whole ? "" : std::string("short write");
}

} // namespace veltdfu
