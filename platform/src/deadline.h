// Waits with a time limit: the point a wait must not pass, and the one
// poll(2) loop that serial ports and USB sockets wait in.
#ifndef VELT_PLATFORM_DEADLINE_H
#define VELT_PLATFORM_DEADLINE_H

#include <poll.h>

#include <chrono>
#include <cstdint>

namespace velt::platform {

// A point on the steady clock, or none for a wait without limit. It has
// expired from that point on: a wait of 0 ms is over before it starts.
// `now` is a parameter so that a caller looks at the clock once per step.
class Deadline {
public:
    using Clock = std::chrono::steady_clock;

    static Deadline Never() { return Deadline(); }
    static Deadline At(Clock::time_point at) { return Deadline(at); }
    // ms after from. Time-outs built from MAXDWORD-scale products are held
    // to a year, so that no sum overflows the clock.
    static Deadline After(uint64_t ms, Clock::time_point from = Clock::now());

    bool Limited() const { return limited_; }
    bool Expired(Clock::time_point now = Clock::now()) const { return limited_ && now >= at_; }
    // Zero once expired; Clock::duration::max() without a limit.
    Clock::duration Remaining(Clock::time_point now = Clock::now()) const;
    // The time left as a poll(2) time-out: whole milliseconds rounded up, so
    // that a wait never ends just short of the deadline; -1 without a limit.
    int PollTimeout(Clock::time_point now = Clock::now()) const;
    Deadline Earlier(const Deadline& other) const;

private:
    Deadline() = default;
    explicit Deadline(Clock::time_point at) : limited_(true), at_(at) {}

    bool limited_ = false;
    Clock::time_point at_{};
};

enum class Readiness {
    Ready,        // the events asked for
    ReadyHungUp,  // those, and the other end hung up: what is left may still be read
    TimedOut,     // the deadline came first
    Lost,         // the descriptor failed, or hung up with nothing for the events
};

inline bool IsReady(Readiness r) { return r == Readiness::Ready || r == Readiness::ReadyHungUp; }

// Waits until fd is ready for events or the deadline passes. A signal does
// not end the wait: it goes on for the time that is left.
Readiness PollUntil(int fd, short events, const Deadline& deadline);

}  // namespace velt::platform

#endif
