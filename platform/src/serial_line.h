// What a tty line tells a serial port beyond its bytes: the error marks the
// kernel puts into the input (PARMRK), and how long the output queue takes
// to empty.
#ifndef VELT_PLATFORM_SERIAL_LINE_H
#define VELT_PLATFORM_SERIAL_LINE_H

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <thread>

#include "deadline.h"

namespace velt::platform {

// Undoes PARMRK marking in place: 0xFF 0xFF is a data byte 0xFF; 0xFF 0x00 X
// is X received with a parity or framing error, and 0xFF 0x00 0x00 a break
// (Linux does not tell those apart in the stream; the caller may refine them
// from the driver's counters). A mark split across reads is completed by the
// next call.
class ParmrkDecoder {
public:
    struct Marks {
        unsigned errors = 0;  // bytes received with a parity or framing error
        unsigned breaks = 0;
    };

    // Returns the data bytes left at the front of data.
    size_t Decode(unsigned char* data, size_t size, Marks& marks) {
        size_t out = 0;
        for (size_t i = 0; i < size; ++i) {
            const unsigned char c = data[i];
            switch (state_) {
            case State::Data:
                if (c == 0xFF)
                    state_ = State::Escape;
                else
                    data[out++] = c;
                break;
            case State::Escape:
                if (c == 0xFF) {
                    data[out++] = 0xFF;
                    state_ = State::Data;
                } else if (c == 0x00) {
                    state_ = State::Marked;
                } else {
                    // Not a mark the kernel writes: keep both bytes.
                    data[out++] = 0xFF;
                    data[out++] = c;
                    state_ = State::Data;
                }
                break;
            case State::Marked:
                // The character of a parity or framing error is kept, as a
                // Windows driver keeps it; a break carries no character.
                if (c == 0x00) {
                    ++marks.breaks;
                } else {
                    ++marks.errors;
                    data[out++] = c;
                }
                state_ = State::Data;
                break;
            }
        }
        return out;
    }

    void Reset() { state_ = State::Data; }

private:
    enum class State { Data, Escape, Marked };
    State state_ = State::Data;
};

// Waits until queued() reports an empty output queue or the deadline passes,
// sleeping for about as long as the queued bytes need on the wire between
// looks. Returns what is still queued.
template <typename Queued>
int WaitForOutputDrain(Queued queued, const Deadline& deadline, std::chrono::microseconds perByte) {
    using namespace std::chrono;
    for (;;) {
        const int left = queued();
        if (left <= 0)
            return 0;
        const Deadline::Clock::time_point now = Deadline::Clock::now();
        if (deadline.Expired(now))
            return left;
        const microseconds nap = std::clamp<microseconds>(perByte * left, microseconds(200), milliseconds(50));
        std::this_thread::sleep_until(now + std::min<Deadline::Clock::duration>(nap, deadline.Remaining(now)));
    }
}

// Records line errors (CE_ flags) on an open port, as its receive path does
// when the tty marks them. Returns FALSE when h is no serial port.
BOOL RecordLineErrors(HANDLE h, DWORD errors);

}  // namespace velt::platform

#endif
