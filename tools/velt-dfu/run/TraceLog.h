// The traceability log of a production line (--log FILE): one JSON line per
// device and attempt, appended with one write to a file opened for append,
// so several velt-dfu processes can share one log without mixing lines.
#ifndef VELT_DFU_TOOL_RUN_TRACELOG_H
#define VELT_DFU_TOOL_RUN_TRACELOG_H

#include "CommandLine.h"
#include "run/Attempts.h"
#include "run/Session.h"

#include <string>

namespace veltdfu {

// Opens (creating it) for append and closes again: "" or why the log cannot be written.
std::string CheckTraceLog(const std::string& path);

struct TraceEntry {
    const char* operation = "";
    const Target* target = nullptr; // null when the device was never opened
    std::string device;             // what the user named
    std::string image;              // the firmware file, or the upload's file
    uint16_t transferSize = 0;
    uint32_t attempt = 1;
};

// Appends the line of one attempt: "" or why it could not be written.
std::string AppendTraceLine(const std::string& path, const TraceEntry& entry, const TransferOutcome& outcome);

// With --log, what WithRetries is given: each attempt's line, appended; a
// line that cannot be written is said, and the transfer goes on. The image's
// size and digest, where given, stand for a download's.
AttemptDone TraceAttempts(const Invocation& invocation, Session& session, const Target& target,
                          const char* operation, const std::string& image, const std::string& sha256 = "",
                          uint64_t size = 0);

} // namespace veltdfu

#endif
