#include "EventLog.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <unistd.h>

namespace velt::sim {

EventLog::~EventLog()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void EventLog::open(const std::string& path)
{
    if (path.empty())
        return;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd_ < 0)
        throw std::runtime_error("cannot open log file " + path + ": " + std::strerror(errno));
}

void EventLog::write(const std::string& source, const std::string& event) const
{
    if (fd_ < 0)
        return;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%.6f ", seconds);
    std::string line = stamp + source + " " + event + "\n";
    // O_APPEND makes each write land whole at the end of the file.
    ssize_t ignored = ::write(fd_, line.data(), line.size());
    (void)ignored;
}

} // namespace velt::sim
