// The serial ports the kernel reports, read from sysfs and /dev.
#ifndef VELT_PLATFORM_SERIAL_DISCOVERY_H
#define VELT_PLATFORM_SERIAL_DISCOVERY_H

#include <string>
#include <vector>

namespace velt::platform {

struct SerialDevice {
    std::string tty;   // "ttyUSB0"
    std::string node;  // "/dev/ttyUSB0"
    // What stays the same for one adapter across replugs and reboots:
    // "by-id:<name in /dev/serial/by-id>", else "sysfs:<device path>".
    std::string key;
};

// USB-serial adapters (ttyUSB), CDC-ACM devices (ttyACM) and on-board UARTs
// (ttyS) that have a device behind them and a node in /dev, by tty name.
std::vector<SerialDevice> DiscoverSerialDevices();

}  // namespace velt::platform

#endif
