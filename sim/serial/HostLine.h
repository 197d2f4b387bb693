// The line settings the host gave its end of a pty, read from the master:
// on Linux the master's termios calls reach the slave's settings.
#ifndef VELT_SIM_HOST_LINE_H
#define VELT_SIM_HOST_LINE_H

#include <cstdint>
#include <optional>

namespace velt::sim {

struct HostLineSettings {
    uint32_t baud = 0;
    unsigned bitsPerChar = 10; // start, data, parity and stop bits
};

std::optional<HostLineSettings> readHostLine(int masterFd);

} // namespace velt::sim

#endif
