// The wire between a host and a simulated serial device: at a bit rate each
// byte takes its character time (10 bits) in both directions, back to back,
// and reply frames can be held back before they go on the wire. A pty
// carries bytes at once; the model decides when the device may see what
// the host wrote and when the host may see what the device sent.
//
// Time is passed in, never read, so the model is driven the same way by a
// device's event loop and by a test. The owner sleeps until nextEvent()
// (a timer or a poll deadline, never a busy loop), rounded up to kSlice so
// that a fast line is served in batches rather than byte by byte.
#ifndef VELT_SIM_LINE_MODEL_H
#define VELT_SIM_LINE_MODEL_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace velt::sim {

class LineModel {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::microseconds kSlice{1000};

    // baud 0: an instant line (only held replies wait).
    explicit LineModel(uint32_t baud = 0);

    bool paced() const { return charTime_.count() != 0; }

    // Host to device: bytes that came out of the pty at now.
    void arrive(const uint8_t* data, size_t size, Clock::time_point now);
    // Appends to into the host's bytes whose last bit has arrived by now.
    void receive(std::vector<uint8_t>& into, Clock::time_point now);

    // Device to host: bytes sent at once (acknowledgements, handshake
    // replies), and reply frames. A reply goes delay after now, and never
    // before a reply the device decided on earlier.
    void send(const uint8_t* data, size_t size, Clock::time_point now);
    void sendReply(const std::vector<uint8_t>& bytes, std::chrono::milliseconds delay, Clock::time_point now);
    // Appends to into the device's bytes whose last bit has reached the
    // host by now.
    void transmit(std::vector<uint8_t>& into, Clock::time_point now);

    // When the next byte completes or a held reply is due; none when idle.
    std::optional<Clock::time_point> nextEvent() const;

private:
    // Bytes on the wire one way, back to back from start.
    struct Burst {
        std::vector<uint8_t> bytes;
        size_t done = 0;
        Clock::time_point start;
    };
    struct Held {
        std::vector<uint8_t> bytes;
        Clock::time_point due;
    };
    struct Direction {
        std::deque<Burst> bursts;
        std::vector<uint8_t> instant;  // an instant line's bytes, not yet taken
        Clock::time_point free{};      // when the wire is next idle
    };

    void put(Direction& way, const uint8_t* data, size_t size, Clock::time_point at);
    void take(Direction& way, std::vector<uint8_t>& into, Clock::time_point now);
    std::optional<Clock::time_point> next(const Direction& way) const;
    void releaseDue(Clock::time_point now);

    std::chrono::nanoseconds charTime_;
    Direction toDevice_;
    Direction toHost_;
    std::deque<Held> held_;
    Clock::time_point lastDue_{};
};

} // namespace velt::sim

#endif
