// The wire between a host and a simulated serial device: at a bit rate each
// byte takes its character time in both directions, back to back; every
// burst reaches the other side a fixed latency after it was sent (what a
// USB-serial adapter's latency timer adds); and reply frames can be held
// back before they go on the wire. A pty carries bytes at once; the model
// decides when the device may see what the host wrote and when the host may
// see what the device sent.
//
// Time is passed in, never read, so the model is driven the same way by a
// device's event loop and by a test. The owner sleeps until nextEvent() (a
// timer or a poll deadline, never a busy loop). Towards the device that is
// when the first burst in flight has crossed whole: the device can do
// nothing with part of a frame, so a paced line costs it a wake-up per
// burst, not one per byte. Towards the host it is when the first byte of a
// burst has crossed, then every kSlice and at the burst's end: a host times
// its reads from the first byte it sees, and a long reply must start to
// arrive when it would on a real line (a burst shorter than a slice goes
// whole at its end).
#ifndef VELT_SIM_LINE_MODEL_H
#define VELT_SIM_LINE_MODEL_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

namespace velt::sim {

// How the device's UART runs. baud 0 with followHost false: as fast as the
// pty. followHost: at whatever rate the host set on its port.
struct LineConfig {
    uint32_t baud = 0;
    bool followHost = false;
    std::chrono::microseconds latency{0};
};

class LineModel {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned kDefaultBitsPerChar = 10; // 8N1: start, 8 data, stop
    static constexpr std::chrono::microseconds kSlice{1000};

    explicit LineModel(const LineConfig& config = {});

    bool paced() const { return charTime_.count() != 0 || latency_.count() != 0; }
    // A fixed rate the host's rate does not match: what the device receives
    // is garbage, as on a real line.
    bool garbled() const { return garbled_; }

    // The host's line settings as its port shows them (rate, and bits per
    // character from the data, parity and stop bits). They set the character
    // time of the bytes put on the wire from now on; bytes already on it
    // keep theirs. Returns true when the line changed.
    bool hostLine(uint32_t baud, unsigned bitsPerChar);

    // Host to device: bytes that came out of the pty at now.
    void arrive(const uint8_t* data, size_t size, Clock::time_point now);
    // Appends to into the host's bytes whose last bit has arrived by now.
    // Returns when the last of them arrived (now when none did): a device
    // answers at that moment, however late its owner woke to look.
    Clock::time_point receive(std::vector<uint8_t>& into, Clock::time_point now);

    // Device to host: bytes sent at once (acknowledgements, handshake
    // replies), and reply frames. A reply goes delay after now, and never
    // before a reply the device decided on earlier.
    void send(const uint8_t* data, size_t size, Clock::time_point now);
    void sendReply(const std::vector<uint8_t>& bytes, std::chrono::milliseconds delay, Clock::time_point now);
    // Appends to into the device's bytes whose last bit has reached the
    // host by now.
    void transmit(std::vector<uint8_t>& into, Clock::time_point now);

    // Bytes from the host still on their way to the device.
    bool carryingToDevice() const { return !toDevice_.bursts.empty() || !toDevice_.instant.empty(); }

    // When the owner should call in next (see above), or a held reply is
    // due; none when idle.
    std::optional<Clock::time_point> nextEvent() const;

    // What a receiver sampling at the wrong rate makes of a byte: never a
    // handshake or a start byte, whose top bit is clear.
    static uint8_t garble(uint8_t byte) { return static_cast<uint8_t>(0x80 | byte >> 1); }

private:
    // Bytes on the wire one way, back to back from start; byte k (from 1)
    // has crossed at start + k * charTime + latency.
    struct Burst {
        std::vector<uint8_t> bytes;
        size_t done = 0;
        Clock::time_point start;
        std::chrono::nanoseconds charTime;
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
    // Returns when the last byte taken crossed (now when none was).
    // wholeShort: a burst shorter than kSlice is taken only once all of it
    // has crossed (towards the host, as next() wakes for it).
    Clock::time_point take(Direction& way, std::vector<uint8_t>& into, Clock::time_point now, bool wholeShort);
    std::optional<Clock::time_point> next(const Direction& way, bool progressive) const;
    void releaseDue(Clock::time_point now);
    void retime();

    LineConfig config_;
    uint32_t hostBaud_ = 0;
    unsigned bitsPerChar_ = kDefaultBitsPerChar;
    std::chrono::nanoseconds charTime_{0};
    std::chrono::nanoseconds latency_;
    bool garbled_ = false;
    Direction toDevice_;
    Direction toHost_;
    std::deque<Held> held_;
    Clock::time_point lastDue_{};
};

} // namespace velt::sim

#endif
