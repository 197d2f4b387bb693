#include "deadline.h"

#include <algorithm>
#include <cerrno>
#include <climits>

namespace velt::platform {

Deadline Deadline::After(uint64_t ms, Clock::time_point from) {
    constexpr uint64_t kYearMs = 1000ull * 3600 * 24 * 365;
    return Deadline(from + std::chrono::milliseconds(std::min(ms, kYearMs)));
}

Deadline::Clock::duration Deadline::Remaining(Clock::time_point now) const {
    if (!limited_)
        return Clock::duration::max();
    return now >= at_ ? Clock::duration::zero() : at_ - now;
}

int Deadline::PollTimeout(Clock::time_point now) const {
    if (!limited_)
        return -1;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(Remaining(now)).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

Deadline Deadline::Earlier(const Deadline& other) const {
    if (!other.limited_)
        return *this;
    if (!limited_)
        return other;
    return other.at_ < at_ ? other : *this;
}

Readiness PollUntil(int fd, short events, const Deadline& deadline) {
    for (;;) {
        const Deadline::Clock::time_point now = Deadline::Clock::now();
        if (deadline.Expired(now))
            return Readiness::TimedOut;
        struct pollfd p = {fd, events, 0};
        const int r = poll(&p, 1, deadline.PollTimeout(now));
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0)
            return Readiness::Lost;
        // poll's clock is not ours: the deadline alone says when time is up.
        if (r == 0)
            continue;
        if (p.revents & events)
            return (p.revents & (POLLHUP | POLLERR)) ? Readiness::ReadyHungUp : Readiness::Ready;
        return Readiness::Lost;  // POLLHUP, POLLERR or POLLNVAL without the events
    }
}

}  // namespace velt::platform
