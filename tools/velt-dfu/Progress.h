// Progress and results of transfers, and the one renderer that shows them.
//
// Commands never print a transfer's progress themselves: they describe what
// happens as ProgressEvents and hand them to a ProgressRenderer. Events are
// plain values stamped by whoever produced them, so a transfer running on
// another thread can queue them for the thread that owns the renderer, and a
// renderer keeps its state per device, so several transfers can report to one.
#ifndef VELT_DFU_TOOL_PROGRESS_H
#define VELT_DFU_TOOL_PROGRESS_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltdfu {

using ProgressClock = std::chrono::steady_clock;

// How a device command ended, for people (message) and programs (the rest).
struct TransferOutcome {
    bool ok = false;
    uint8_t status = 0;               // the library's status; 0 when the library did not fail
    std::string message;              // one line
    std::string reason;               // failures only: "file", "suffix", "device", "transfer", "verify", "cancelled"
    uint64_t bytes = 0;               // firmware bytes sent, or bytes received
    double seconds = 0;               // since the command began
    std::optional<uint8_t> dfuStatus; // last GETSTATUS reply, when there is one
    std::optional<uint8_t> dfuState;
    uint32_t attempts = 0;            // with --retries: attempts made; 0 when not counted
    uint32_t recoveries = 0;          // lost requests recovered without starting over
    bool waitReset = false;           // downloaded; the device runs it after a reset
    std::optional<bool> verified;     // --verify's verdict; none without --verify
    std::string serial;               // the device's serial number, where it has one
    std::string vidPid;               // "F055:D0F1" of a USB device
    std::string sha256;               // of the image sent or received, where there is one
};

struct ProgressEvent {
    enum class Kind {
        Note,    // information for people: `text`
        Problem, // what failed, for people: `text`; always on standard error
        Begin,   // a transfer starts: operation `text`, `total` bytes if known
        Advance, // `bytes` done so far
        Finish,  // the transfer is over (successful or not)
        Retry,   // a failed attempt is followed by attempt `attempt` of `attempts`: `text` for
                 // people, `outcome` the failure that caused it
        Result,  // the command's outcome; the last event of a device
    } kind = Kind::Note;
    std::string device;            // the device's path where known: what programs match on
    std::string label;             // the name people know it by (what they typed); "" means `device`
    ProgressClock::time_point at = ProgressClock::now();
    std::string text;
    uint64_t bytes = 0;
    std::optional<uint64_t> total; // an upload does not know its size
    uint16_t transferSize = 0;     // Begin and Result
    std::string operation;         // Retry, Result: "download" or "upload"
    TransferOutcome outcome;       // Retry, Result
    uint32_t attempt = 0;          // Retry: the retry about to start, from 1
    uint32_t attempts = 0;         // Retry: retries allowed
};

// The end of a run over several devices: each device's Result event, in
// the order the devices were named.
struct RunSummary {
    std::string devices; // as the user named them
    std::vector<std::string> silent; // ports probed for "all" whose device did not answer
    std::vector<ProgressEvent> results;
    double seconds = 0;
};

class ProgressRenderer {
public:
    virtual ~ProgressRenderer() = default;
    virtual void render(const ProgressEvent& event) = 0;
    // A table for people, a "summary" line for programs.
    virtual void summarize(const RunSummary&) {}
};

enum class ProgressStyle {
    Bar,   // a terminal: one bar per transfer, redrawn in place
    Lines, // a pipe or file: plain lines, at most one per 10 % or per second
    Json,  // JSON Lines on `out`, nothing else there; people's text on `err`
};

// Bar when `out` is a terminal, else Lines; Json when asked for.
ProgressStyle StyleFor(bool json, std::FILE* out);

// With `tagDevices` (several devices at once) every line for people starts
// with the device it is about, as progress lines always do.
std::unique_ptr<ProgressRenderer> MakeRenderer(ProgressStyle style, std::FILE* out, std::FILE* err,
                                               bool tagDevices = false);

// The result column of the summary: the library's status by name, with the
// device's own status when it has one to add, or what the tool found.
std::string ResultText(const TransferOutcome& outcome);

// "12.5 KiB", "3.0 MiB", "512 bytes": sizes as people read them.
std::string FormatBytes(uint64_t bytes);

} // namespace veltdfu

#endif
