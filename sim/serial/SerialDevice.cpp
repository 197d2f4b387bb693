#include "SerialDevice.h"

#include "../common/Files.h"
#include "HostLine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <optional>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace velt::sim {

namespace {

// A frame whose bytes stop coming for this long is abandoned (bytes still
// crossing a paced line are coming). Shorter than any host's time-out, so
// that a frame cut short by the line is gone by the time the host has let
// the line fall quiet and tries again.
constexpr int kPartialFrameMs = 100;
constexpr size_t kMaxPendingOutput = 1 << 20;

std::string readLink(const std::string& path)
{
    char target[PATH_MAX];
    ssize_t n = ::readlink(path.c_str(), target, sizeof target - 1);
    if (n < 0)
        return {};
    return std::string(target, static_cast<size_t>(n));
}

} // namespace

SerialDevice::SerialDevice(const DeviceConfig& cfg, const std::string& dosDevicesDir, const EventLog& eventLog)
    : name_(cfg.comName), linkPath_(dosDevicesDir + "/" + cfg.comName), log_(eventLog),
      model_(cfg.model, [this](const std::string& line) { this->log(line); }),
      protocol_(model_, cfg.faults, [this](const std::string& line) { this->log(line); }), line_(cfg.line),
      baud_(cfg.line.baud), watchHost_(cfg.line.followHost || cfg.line.baud != 0)
{
    try {
        openPty();
        createLink();
    } catch (...) {
        if (slaveFd_ >= 0)
            ::close(slaveFd_);
        if (masterFd_ >= 0)
            ::close(masterFd_);
        shutDown_ = true;
        throw;
    }
    log("up: " + linkPath_ + " -> " + slavePath_);
    if (cfg.faults.random.rate > 0)
        log("random faults: rate " + std::to_string(cfg.faults.random.rate) + " seed " +
            std::to_string(cfg.faults.random.seed));
    followHost();
}

SerialDevice::~SerialDevice()
{
    try {
        SerialDevice::shutdown();
    } catch (...) {
        // Reported by the program's own shutdown() call.
    }
}

void SerialDevice::openPty()
{
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd_ < 0 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0)
        throw std::runtime_error(std::string("cannot open a pty: ") + std::strerror(errno));
    char path[128];
    if (::ptsname_r(masterFd_, path, sizeof path) != 0)
        throw std::runtime_error(std::string("cannot name the pty: ") + std::strerror(errno));
    slavePath_ = path;
    slaveFd_ = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (slaveFd_ < 0)
        throw std::runtime_error("cannot open " + slavePath_ + ": " + std::strerror(errno));
    // Raw both ways: no echo (the device would read its own replies), no line editing, no CR/LF mapping.
    termios tio{};
    if (::tcgetattr(slaveFd_, &tio) != 0)
        throw std::runtime_error(std::string("tcgetattr: ") + std::strerror(errno));
    ::cfmakeraw(&tio);
    ::cfsetspeed(&tio, B115200);
    if (::tcsetattr(slaveFd_, TCSANOW, &tio) != 0)
        throw std::runtime_error(std::string("tcsetattr: ") + std::strerror(errno));
    ::fcntl(masterFd_, F_SETFL, ::fcntl(masterFd_, F_GETFL) | O_NONBLOCK);
}

void SerialDevice::createLink()
{
    makeDirectories(linkPath_.substr(0, linkPath_.rfind('/')));
    struct stat info;
    if (::lstat(linkPath_.c_str(), &info) == 0) {
        if (!S_ISLNK(info.st_mode))
            throw std::runtime_error(linkPath_ + " exists and is not a link");
        std::string target = readLink(linkPath_);
        struct stat port;
        if (::stat(linkPath_.c_str(), &port) == 0)
            throw std::runtime_error(linkPath_ + " already points at the live port " + target);
        ::unlink(linkPath_.c_str()); // dangling: its port is gone
    }
    if (::symlink(slavePath_.c_str(), linkPath_.c_str()) != 0)
        throw std::runtime_error("cannot create " + linkPath_ + ": " + std::strerror(errno));
    linked_ = true;
}

void SerialDevice::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    // Remove the link only while it is still ours.
    if (linked_ && readLink(linkPath_) == slavePath_)
        ::unlink(linkPath_.c_str());
    ::close(slaveFd_);
    ::close(masterFd_);
    slaveFd_ = masterFd_ = -1;
    model_.saveFlash();
}

bool SerialDevice::flushOutput()
{
    size_t sent = 0;
    while (sent < output_.size()) {
        ssize_t n = ::write(masterFd_, output_.data() + sent, output_.size() - sent);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            break;
        if (n < 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    output_.erase(output_.begin(), output_.begin() + static_cast<std::ptrdiff_t>(sent));
    if (output_.size() > kMaxPendingOutput) {
        log("host does not read: " + std::to_string(output_.size()) + " pending bytes dropped");
        output_.clear();
    }
    return true;
}

void SerialDevice::advance(LineModel::Clock::time_point now)
{
    delivered_.clear();
    // The device answers when the bytes arrived, not when this loop woke.
    const LineModel::Clock::time_point arrived = line_.receive(delivered_, now);
    if (!delivered_.empty()) {
        lastInput_ = now;
        sent_.clear();
        protocol_.feed(delivered_.data(), delivered_.size(), sent_);
        for (const Outgoing& item : sent_) {
            if (item.reply)
                line_.sendReply(item.bytes, std::chrono::milliseconds(item.delayMs), arrived);
            else
                line_.send(item.bytes.data(), item.bytes.size(), arrived);
        }
    }
    line_.transmit(output_, now);
}

// The host may change its rate at any time; what it wrote was sent at the
// rate in effect when it wrote it.
void SerialDevice::followHost()
{
    if (!watchHost_)
        return;
    std::optional<HostLineSettings> host = readHostLine(masterFd_);
    if (!host || !line_.hostLine(host->baud, host->bitsPerChar))
        return;
    std::string event = "host line " + std::to_string(host->baud) + " bit/s, " + std::to_string(host->bitsPerChar) +
                        " bits a character";
    if (line_.garbled())
        event += ": the device runs at " + std::to_string(baud_) + ", what it receives is garbled";
    log(event);
}

void SerialDevice::run(int stopFd)
{
    using Clock = LineModel::Clock;
    // The line's times are kept to the microsecond; the kernel's default
    // slack of 50 us on every timed sleep would add to every crossing.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    const auto partialFrame = std::chrono::milliseconds(kPartialFrameMs);
    std::vector<uint8_t> chunk(65536);
    while (true) {
        Clock::time_point now = Clock::now();
        advance(now);
        if (!output_.empty() && !flushOutput()) {
            log("pty write failed: " + std::string(std::strerror(errno)));
            return;
        }
        const bool stalled = protocol_.midFrame() && !line_.carryingToDevice();
        if (stalled && now - lastInput_ >= partialFrame)
            protocol_.dropPartial();

        // Sleep until the line has something to do, the host writes, or an
        // incomplete frame has stalled long enough to be dropped.
        std::optional<Clock::time_point> wake = line_.nextEvent();
        if (stalled && protocol_.midFrame() && (!wake || lastInput_ + partialFrame < *wake))
            wake = lastInput_ + partialFrame;
        timespec timeout{};
        timespec* limit = nullptr;
        if (wake) {
            auto wait = std::max<Clock::duration>(*wake - now, Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            limit = &timeout;
        }
        short events = static_cast<short>(POLLIN | (output_.empty() ? 0 : POLLOUT));
        pollfd fds[2] = {{stopFd, POLLIN, 0}, {masterFd_, events, 0}};
        int n = ::ppoll(fds, 2, limit, nullptr);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[0].revents)
            return;
        if (n == 0)
            continue;
        if (fds[1].revents & POLLIN) {
            ssize_t got = ::read(masterFd_, chunk.data(), chunk.size());
            if (got > 0) {
                followHost();
                line_.arrive(chunk.data(), static_cast<size_t>(got), Clock::now());
            }
        } else if (fds[1].revents & (POLLHUP | POLLERR)) {
            ::poll(nullptr, 0, 10); // no slave open: nothing to do but wait for one
        }
    }
}

} // namespace velt::sim
