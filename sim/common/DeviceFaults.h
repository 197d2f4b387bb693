// Faults a simulated device can be told to commit, for testing how a host
// copes with a misbehaving device: the serial line's scripted ones, and
// random ones on either kind of device.
#ifndef VELT_SIM_DEVICE_FAULTS_H
#define VELT_SIM_DEVICE_FAULTS_H

#include "RandomFaults.h"

#include <cstdint>
#include <optional>

namespace velt::sim {

struct DeviceFaults {
    // Serial devices only.
    unsigned noise = 0;              // junk bytes before every reply frame
    unsigned nak = 0;                // reject the host's next K good frames
    unsigned badCrc = 0;             // send the next K reply frames with a wrong CRC
    unsigned badAck = 0;             // the host's next K acknowledgements of replies arrive as 0x04
    bool noSync = false;             // never answer the 0x55 handshake
    std::optional<uint8_t> badSync;  // answer the handshake with this byte instead of 0xAA
    bool silent = false;             // accept frames but never send a reply frame
    bool longReply = false;          // reply frames carry more bytes than the request's Length
    uint32_t delayMs = 0;            // reply frames go this long after the acknowledgement
    unsigned delayOnly = 0;          // 0: every reply is delayed; N: only that of the Nth request acknowledged
    bool executeRepeats = false;     // repeats=execute: a host frame sent again after its acknowledgement
                                     // was damaged is carried out a second time
    // faults=RATE[:SEED], on USB devices too: each frame either way hit by
    // one of noise, a flipped bit, a dropped byte, a lost or corrupted
    // acknowledgement, or a rejection (USB: the equivalents for a control
    // transfer).
    RandomFaultConfig random;
};

} // namespace velt::sim

#endif
