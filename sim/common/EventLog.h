// The simulator's event log: one line per event, "<seconds> <device> <text>",
// appended with a single write so lines from device threads never interleave.
#ifndef VELT_SIM_EVENT_LOG_H
#define VELT_SIM_EVENT_LOG_H

#include <chrono>
#include <string>

namespace velt::sim {

class EventLog {
public:
    EventLog() = default;
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // An empty path leaves the log disabled. Throws std::runtime_error.
    void open(const std::string& path);
    bool enabled() const { return fd_ >= 0; }
    void write(const std::string& source, const std::string& event) const;

private:
    int fd_ = -1;
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

} // namespace velt::sim

#endif
