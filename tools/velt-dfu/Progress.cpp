#include "Progress.h"

#include "Json.h"
#include "Names.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define VELT_ISATTY(fd) _isatty(fd)
#define VELT_FILENO(f) _fileno(f)
#else
#include <sys/ioctl.h>
#include <unistd.h>
#define VELT_ISATTY(fd) isatty(fd)
#define VELT_FILENO(f) fileno(f)
#endif

namespace veltdfu {

namespace {

using Seconds = std::chrono::duration<double>;

constexpr size_t kNoWidth = 100000;
constexpr size_t kLabelColumns = 16; // a device's name in a bar or a table row, at most

// The terminal's width, asked again each time: the window may change.
size_t Columns(std::FILE* out)
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
    (void)out;
#else
    struct winsize size = {};
    if (ioctl(VELT_FILENO(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    // Not a terminal: a file or a pipe has no width to keep to.
    return kNoWidth;
}

// A name cut to `width` in the middle, where two paths of one family differ
// least: "\\?\usb#vi~15a62bfa307b}".
std::string Fit(const std::string& text, size_t width)
{
    if (text.size() <= width)
        return text;
    if (width < 3)
        return text.substr(0, width);
    const size_t head = (width - 1) / 2;
    return text.substr(0, head) + "~" + text.substr(text.size() - (width - 1 - head));
}

// What a renderer remembers of one device's current transfer.
struct Transfer {
    std::string label; // the device, as people know it
    std::string operation;
    std::optional<uint64_t> total;
    uint64_t bytes = 0;
    ProgressClock::time_point began;
    ProgressClock::time_point lastShown;
    int lastShownPercent = -1;
    uint64_t lastShownBytes = 0;

    double seconds(ProgressClock::time_point at) const { return Seconds(at - began).count(); }
    double rate(ProgressClock::time_point at) const
    {
        const double s = seconds(at);
        return s > 0 ? static_cast<double>(bytes) / s : 0;
    }
    std::optional<int> percent() const
    {
        if (!total)
            return std::nullopt;
        if (*total == 0)
            return 100;
        return static_cast<int>(std::min<uint64_t>(bytes, *total) * 100 / *total);
    }
};

std::string Rate(double bytesPerSecond)
{
    if (bytesPerSecond <= 0)
        return "-- KiB/s"; // nothing moved yet: no rate to speak of
    return FormatBytes(static_cast<uint64_t>(bytesPerSecond)) + "/s";
}

std::string Clock(double seconds)
{
    const long whole = std::lround(seconds);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
}

const std::string& Shown(const ProgressEvent& event)
{
    return event.label.empty() ? event.device : event.label;
}

// "COM7: text" when several devices share the output, else the text. A line
// that already begins "device COM7: " just loses the word.
std::string Tagged(bool tag, const ProgressEvent& event, const std::string& text)
{
    const std::string& name = Shown(event);
    if (!tag || name.empty())
        return text;
    const std::string lead = "device " + name + ": ";
    if (text.compare(0, lead.size(), lead) == 0)
        return name + ": " + text.substr(lead.size());
    return name + ": " + text;
}

std::string SecondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", seconds);
    return text;
}

struct Tally {
    size_t succeeded = 0, failed = 0, cancelled = 0;

    explicit Tally(const RunSummary& summary)
    {
        for (const ProgressEvent& result : summary.results) {
            if (result.outcome.ok)
                ++succeeded;
            else if (result.outcome.reason == "cancelled")
                ++cancelled;
            else
                ++failed;
        }
    }
};

// Shared by the two renderers for people: they differ only in how a line is shown.
class HumanRenderer : public ProgressRenderer {
public:
    HumanRenderer(std::FILE* out, std::FILE* err, bool tag) : out_(out), err_(err), tag_(tag) {}

    // Device, result, bytes, seconds: columns as wide as their widest cell.
    void summarize(const RunSummary& summary) override
    {
        std::vector<std::vector<std::string>> rows = {{"device", "result", "bytes", "seconds"}};
        for (const ProgressEvent& result : summary.results) {
            rows.push_back({Shown(result), ResultText(result.outcome), std::to_string(result.outcome.bytes),
                            SecondsText(result.outcome.seconds)});
        }
        size_t widths[4] = {};
        for (const auto& row : rows)
            for (size_t i = 0; i < 4; ++i)
                widths[i] = std::max(widths[i], row[i].size());
        // A table that would wrap on the terminal cuts long names, then the
        // end of its longest results.
        const size_t room = Columns(out_) - 1;
        if (widths[0] + widths[1] + widths[2] + widths[3] + 6 > room && widths[0] > kLabelColumns) {
            widths[0] = std::max(kLabelColumns, std::string("device").size());
            for (auto& row : rows)
                row[0] = Fit(row[0], kLabelColumns);
        }
        const size_t others = widths[0] + widths[2] + widths[3] + 6;
        if (others + widths[1] > room && room > others + 12) {
            widths[1] = room - others;
            for (auto& row : rows)
                if (row[1].size() > widths[1])
                    row[1] = row[1].substr(0, widths[1] - 1) + "~";
        }
        for (const auto& row : rows) {
            std::fprintf(out_, "%-*s  %-*s  %*s  %*s\n", static_cast<int>(widths[0]), row[0].c_str(),
                         static_cast<int>(widths[1]), row[1].c_str(), static_cast<int>(widths[2]), row[2].c_str(),
                         static_cast<int>(widths[3]), row[3].c_str());
        }
        const Tally tally(summary);
        std::string tail = std::to_string(summary.results.size()) + " devices in " + SecondsText(summary.seconds) +
                           " s: " + std::to_string(tally.succeeded) + " succeeded, " + std::to_string(tally.failed) +
                           " failed";
        if (tally.cancelled)
            tail += ", " + std::to_string(tally.cancelled) + " cancelled";
        if (!summary.silent.empty()) {
            std::string ports;
            for (const std::string& port : summary.silent)
                ports += (ports.empty() ? "" : ", ") + port;
            tail += "; no answer from " + ports;
        }
        std::fprintf(out_, "%s\n", tail.c_str());
        std::fflush(out_);
    }

protected:
    std::map<std::string, Transfer> transfers_;
    std::FILE* out_;
    std::FILE* err_;
    bool tag_;

    std::string text(const ProgressEvent& event, const std::string& line) const { return Tagged(tag_, event, line); }

    Transfer& begin(const ProgressEvent& event)
    {
        Transfer& t = transfers_[event.device];
        t = Transfer{};
        t.label = Shown(event);
        t.operation = event.text;
        t.total = event.total;
        t.began = t.lastShown = event.at;
        return t;
    }

    void problem(const std::string& text) const
    {
        std::fflush(out_);
        std::fprintf(err_, "velt-dfu: %s\n", text.c_str());
        std::fflush(err_);
    }
};

class LinesRenderer : public HumanRenderer {
public:
    using HumanRenderer::HumanRenderer;

    void render(const ProgressEvent& event) override
    {
        switch (event.kind) {
        case ProgressEvent::Kind::Note:
            std::fprintf(out_, "%s\n", text(event, event.text).c_str());
            break;
        case ProgressEvent::Kind::Problem:
        case ProgressEvent::Kind::Retry:
            problem(text(event, event.text));
            break;
        case ProgressEvent::Kind::Begin:
            show(event.device, begin(event), event.at);
            break;
        case ProgressEvent::Kind::Advance: {
            auto found = transfers_.find(event.device);
            if (found == transfers_.end())
                break;
            Transfer& t = found->second;
            t.bytes = event.bytes;
            const auto percent = t.percent();
            const bool nextTenth = percent && *percent / 10 > t.lastShownPercent / 10;
            const bool aSecondOn = event.at - t.lastShown >= std::chrono::seconds(1) && t.bytes != t.lastShownBytes;
            if (nextTenth || aSecondOn)
                show(event.device, t, event.at);
            break;
        }
        case ProgressEvent::Kind::Finish: {
            auto found = transfers_.find(event.device);
            if (found != transfers_.end()) {
                if (found->second.bytes != found->second.lastShownBytes)
                    show(event.device, found->second, event.at);
                transfers_.erase(found);
            }
            break;
        }
        case ProgressEvent::Kind::Result:
            if (event.outcome.ok)
                std::fprintf(out_, "%s\n", text(event, event.outcome.message).c_str());
            break;
        }
        std::fflush(out_);
    }

private:
    void show(const std::string&, Transfer& t, ProgressClock::time_point at)
    {
        const auto percent = t.percent();
        if (percent) {
            std::fprintf(out_, "%s: %s %3d%% (%llu of %llu bytes, %s)\n", t.label.c_str(), t.operation.c_str(),
                         *percent, static_cast<unsigned long long>(t.bytes),
                         static_cast<unsigned long long>(*t.total), Rate(t.rate(at)).c_str());
        } else {
            std::fprintf(out_, "%s: %s %llu bytes received (%s)\n", t.label.c_str(), t.operation.c_str(),
                         static_cast<unsigned long long>(t.bytes), Rate(t.rate(at)).c_str());
        }
        t.lastShown = at;
        t.lastShownPercent = percent.value_or(-1);
        t.lastShownBytes = t.bytes;
    }
};

// One line per running transfer, in the order they began, redrawn in place.
// A single line needs only a carriage return; several move the cursor up.
class BarRenderer : public HumanRenderer {
public:
    using HumanRenderer::HumanRenderer;

    void render(const ProgressEvent& event) override
    {
        switch (event.kind) {
        case ProgressEvent::Kind::Note:
            clear();
            std::fprintf(out_, "%s\n", text(event, event.text).c_str());
            redraw(event.at);
            break;
        case ProgressEvent::Kind::Problem:
        case ProgressEvent::Kind::Retry:
            clear();
            problem(text(event, event.text));
            redraw(event.at);
            break;
        case ProgressEvent::Kind::Begin:
            begin(event);
            order_.erase(std::remove(order_.begin(), order_.end(), event.device), order_.end());
            order_.push_back(event.device);
            redraw(event.at);
            break;
        case ProgressEvent::Kind::Advance: {
            auto found = transfers_.find(event.device);
            if (found == transfers_.end())
                break;
            found->second.bytes = event.bytes;
            // Redrawing every block of a fast transfer would cost more than the block.
            if (event.at - lastDraw_ >= std::chrono::milliseconds(100) || found->second.percent() == 100)
                redraw(event.at);
            break;
        }
        case ProgressEvent::Kind::Finish:
            if (transfers_.count(event.device)) {
                // The finished bar stays on the screen, above the ones still running.
                const std::string line = Line(transfers_[event.device], event.at, Columns(out_));
                transfers_.erase(event.device);
                order_.erase(std::remove(order_.begin(), order_.end(), event.device), order_.end());
                const size_t width = drawn_.empty() ? 0 : drawn_[0];
                clear();
                std::fprintf(out_, "%s%*s\n", line.c_str(),
                             static_cast<int>(width > line.size() ? width - line.size() : 0), "");
                redraw(event.at);
            }
            break;
        case ProgressEvent::Kind::Result:
            if (event.outcome.ok) {
                clear();
                std::fprintf(out_, "%s\n", text(event, event.outcome.message).c_str());
                redraw(event.at);
            }
            break;
        }
        std::fflush(out_);
    }

private:
    // The fullest line that fits the terminal: the bar narrows, then the
    // time left, the rate and the sizes give way, and a long name is cut.
    static std::string Line(const Transfer& t, ProgressClock::time_point at, size_t columns)
    {
        const size_t room = columns > 1 ? columns - 1 : columns; // the last column would wrap on some terminals
        const std::string label = (t.label.size() + 60 > room ? Fit(t.label, kLabelColumns) : t.label) + ": ";
        char op[16];
        std::snprintf(op, sizeof op, "%-8s", t.operation.c_str());
        const auto percent = t.percent();
        const double rate = t.rate(at);
        std::vector<std::string> tails;
        std::string head = label + op;
        int width = 24;
        if (percent) {
            const uint64_t left = *t.total - std::min(t.bytes, *t.total);
            const std::string eta = rate > 0 ? Clock(static_cast<double>(left) / rate) + " left" : "--:-- left";
            const std::string sizes = FormatBytes(t.bytes) + " of " + FormatBytes(*t.total);
            tails = {"  " + sizes + "  " + Rate(rate) + "  " + eta, "  " + sizes + "  " + Rate(rate), "  " + sizes, ""};
        } else {
            const std::string got = " " + FormatBytes(t.bytes) + " received";
            tails = {got + "  " + Rate(rate) + "  " + Clock(t.seconds(at)), got + "  " + Rate(rate), got, ""};
        }
        for (const std::string& tail : tails) {
            for (width = 24; width >= 10; width -= 2) {
                std::string line = head;
                if (percent) {
                    const int filled = *percent * width / 100;
                    char pct[8];
                    std::snprintf(pct, sizeof pct, " %3d%%", *percent);
                    line += " [" + std::string(static_cast<size_t>(filled), '#') +
                            std::string(static_cast<size_t>(width - filled), '.') + "]" + pct;
                }
                line += tail;
                if (line.size() <= room)
                    return line;
                if (!percent)
                    break;
            }
        }
        return (head + (percent ? " " + std::to_string(*percent) + "%" : "")).substr(0, room);
    }

    // Takes the cursor back to the start of the first bar and blanks the bars.
    void clear()
    {
        if (drawn_.empty())
            return;
        if (drawn_.size() > 1)
            std::fprintf(out_, "\x1b[%zuA", drawn_.size() - 1);
        for (size_t i = 0; i < drawn_.size(); ++i)
            std::fprintf(out_, "\r%*s%s", static_cast<int>(drawn_[i]), "", i + 1 < drawn_.size() ? "\n" : "");
        if (drawn_.size() > 1)
            std::fprintf(out_, "\x1b[%zuA", drawn_.size() - 1);
        std::fprintf(out_, "\r");
        drawn_.clear();
    }

    void redraw(ProgressClock::time_point at)
    {
        if (drawn_.size() > 1)
            std::fprintf(out_, "\x1b[%zuA", drawn_.size() - 1);
        std::vector<size_t> widths;
        const size_t columns = Columns(out_);
        for (size_t i = 0; i < order_.size(); ++i) {
            const std::string line = Line(transfers_[order_[i]], at, columns);
            // Pad over what the previous, possibly longer, line left behind.
            const size_t before = i < drawn_.size() ? drawn_[i] : 0;
            const int pad = static_cast<int>(before > line.size() ? before - line.size() : 0);
            std::fprintf(out_, "\r%s%*s%s", line.c_str(), pad, "", i + 1 < order_.size() ? "\n" : "");
            widths.push_back(line.size());
        }
        drawn_ = widths;
        lastDraw_ = at;
    }

    std::vector<std::string> order_;
    std::vector<size_t> drawn_; // widths of the bar lines on the screen
    ProgressClock::time_point lastDraw_{};
};

class JsonRenderer : public ProgressRenderer {
public:
    JsonRenderer(std::FILE* out, std::FILE* err, bool tag) : out_(out), err_(err), tag_(tag) {}

    void summarize(const RunSummary& summary) override
    {
        std::vector<JsonObject> results;
        for (const ProgressEvent& result : summary.results) {
            const TransferOutcome& o = result.outcome;
            results.push_back(JsonObject()
                                  .add("device", result.device)
                                  .add("label", Shown(result))
                                  .add("ok", o.ok)
                                  .add("status", static_cast<unsigned>(o.status))
                                  .add("status_name", LibraryStatusName(o.status))
                                  .add("result", ResultText(o))
                                  .add("bytes", o.bytes)
                                  .add("elapsed_s", o.seconds, 3));
        }
        const Tally tally(summary);
        emit(JsonObject()
                 .add("type", "summary")
                 .add("device", summary.devices)
                 .add("devices", static_cast<uint64_t>(summary.results.size()))
                 .add("succeeded", static_cast<uint64_t>(tally.succeeded))
                 .add("failed", static_cast<uint64_t>(tally.failed))
                 .add("cancelled", static_cast<uint64_t>(tally.cancelled))
                 .add("elapsed_s", summary.seconds, 3)
                 .add("silent", summary.silent)
                 .add("results", results));
    }

    void render(const ProgressEvent& event) override
    {
        switch (event.kind) {
        case ProgressEvent::Kind::Note:
            std::fprintf(err_, "%s\n", Tagged(tag_, event, event.text).c_str());
            break;
        case ProgressEvent::Kind::Problem:
            std::fprintf(err_, "velt-dfu: %s\n", Tagged(tag_, event, event.text).c_str());
            break;
        case ProgressEvent::Kind::Begin: {
            Transfer& t = transfers_[event.device];
            t = Transfer{};
            t.operation = event.text;
            t.total = event.total;
            t.began = t.lastShown = event.at;
            emit(JsonObject()
                     .add("type", "start")
                     .add("device", event.device)
                     .add("operation", event.text)
                     .add("total", event.total)
                     .add("transfer_size", static_cast<unsigned>(event.transferSize)));
            break;
        }
        case ProgressEvent::Kind::Advance: {
            auto found = transfers_.find(event.device);
            if (found == transfers_.end())
                break;
            Transfer& t = found->second;
            t.bytes = event.bytes;
            // One line per whole percent, or four a second when the total is unknown.
            const auto percent = t.percent();
            if (percent ? *percent != t.lastShownPercent
                        : event.at - t.lastShown >= std::chrono::milliseconds(250))
                progress(event.device, t, event.at);
            break;
        }
        case ProgressEvent::Kind::Finish: {
            auto found = transfers_.find(event.device);
            if (found == transfers_.end())
                break;
            if (found->second.bytes != found->second.lastShownBytes)
                progress(event.device, found->second, event.at);
            transfers_.erase(found);
            break;
        }
        case ProgressEvent::Kind::Retry:
            std::fprintf(err_, "velt-dfu: %s\n", Tagged(tag_, event, event.text).c_str());
            emit(JsonObject()
                     .add("type", "retry")
                     .add("device", event.device)
                     .add("operation", event.operation)
                     .add("attempt", event.attempt)
                     .add("of", event.attempts)
                     .add("status", static_cast<unsigned>(event.outcome.status))
                     .add("status_name", LibraryStatusName(event.outcome.status))
                     .add("reason", event.outcome.reason)
                     .add("message", event.outcome.message));
            break;
        case ProgressEvent::Kind::Result:
            result(event);
            break;
        }
        std::fflush(err_);
    }

private:
    void emit(const JsonObject& object)
    {
        std::fprintf(out_, "%s\n", object.str().c_str());
        std::fflush(out_);
    }

    void progress(const std::string& device, Transfer& t, ProgressClock::time_point at)
    {
        const auto percent = t.percent();
        emit(JsonObject()
                 .add("type", "progress")
                 .add("device", device)
                 .add("operation", t.operation)
                 .add("percent", percent)
                 .add("bytes", t.bytes)
                 .add("total", t.total));
        t.lastShown = at;
        t.lastShownPercent = percent.value_or(-1);
        t.lastShownBytes = t.bytes;
    }

    void result(const ProgressEvent& event)
    {
        const TransferOutcome& o = event.outcome;
        JsonObject line;
        line.add("type", "result")
            .add("device", event.device)
            .add("label", Shown(event))
            .add("operation", event.operation)
            .add("ok", o.ok)
            .add("status", static_cast<unsigned>(o.status))
            .add("status_name", LibraryStatusName(o.status))
            .add("message", o.message);
        if (!o.ok)
            line.add("reason", o.reason);
        line.add("bytes", o.bytes).add("elapsed_s", o.seconds, 3);
        if (o.attempts)
            line.add("attempts", o.attempts);
        line.add("recoveries", o.recoveries);
        if (event.operation == "download")
            line.add("wait_reset", o.waitReset).add("verified", o.verified);
        if (o.serial.empty())
            line.addNull("serial");
        else
            line.add("serial", o.serial);
        if (o.vidPid.empty())
            line.addNull("vid_pid");
        else
            line.add("vid_pid", o.vidPid);
        if (event.transferSize)
            line.add("transfer_size", static_cast<unsigned>(event.transferSize));
        else
            line.addNull("transfer_size");
        if (o.dfuStatus && o.dfuState) {
            line.add("dfu_status", static_cast<unsigned>(*o.dfuStatus))
                .add("dfu_status_name", DfuStatusName(*o.dfuStatus))
                .add("dfu_state", static_cast<unsigned>(*o.dfuState))
                .add("dfu_state_name", DfuStateName(*o.dfuState));
        } else {
            line.addNull("dfu_status").addNull("dfu_status_name").addNull("dfu_state").addNull("dfu_state_name");
        }
        emit(line);
    }

    std::map<std::string, Transfer> transfers_;
    std::FILE* out_;
    std::FILE* err_;
    bool tag_;
};

} // namespace

ProgressStyle StyleFor(bool json, std::FILE* out)
{
    if (json)
        return ProgressStyle::Json;
    return VELT_ISATTY(VELT_FILENO(out)) ? ProgressStyle::Bar : ProgressStyle::Lines;
}

std::unique_ptr<ProgressRenderer> MakeRenderer(ProgressStyle style, std::FILE* out, std::FILE* err, bool tagDevices)
{
    switch (style) {
    case ProgressStyle::Bar: return std::make_unique<BarRenderer>(out, err, tagDevices);
    case ProgressStyle::Lines: return std::make_unique<LinesRenderer>(out, err, tagDevices);
    case ProgressStyle::Json: break;
    }
    return std::make_unique<JsonRenderer>(out, err, tagDevices);
}

std::string ResultText(const TransferOutcome& outcome)
{
    if (outcome.ok || outcome.status != 0) {
        std::string text = LibraryStatusName(outcome.status);
        if (!outcome.ok && outcome.dfuStatus && *outcome.dfuStatus != 0)
            text += std::string(" (") + DfuStatusName(*outcome.dfuStatus) + ")";
        return text;
    }
    if (outcome.reason == "verify")
        return "verify mismatch";
    if (outcome.reason == "suffix")
        return "suffix mismatch";
    return outcome.reason.empty() ? "failed" : outcome.reason;
}

std::string FormatBytes(uint64_t bytes)
{
    char text[32];
    if (bytes < 1024)
        std::snprintf(text, sizeof text, "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return text;
}

} // namespace veltdfu
