// COM port names on Linux as the platform layer hands them out: the entries
// of the dosdevices directory first, then the serial ports the kernel
// reports (USB-serial adapters, CDC-ACM devices, on-board UARTs that are
// really there), each under the name the COM port database keeps for it.
//
// The library only ever sees the names, through QueryDosDeviceW and
// CreateFileW("\\.\COMn"). velt-dfu also asks here which device node a name
// opens, to show it and to take a /dev path as a device; that is why this
// part is a small library of its own with no Win32 functions in it.
#ifndef VELT_COM_PORTS_H
#define VELT_COM_PORTS_H

#include <string>
#include <vector>

namespace velt {

struct ComPort {
    std::string name;         // "COM7", as listed
    std::string node;         // what it opens: the entry's link target, or "/dev/ttyUSB0"
    bool discovered = false;  // found in sysfs rather than made in the dosdevices directory
};

// The COM port database: $VELT_COMPORTS, else $HOME/.velt/comports. Empty
// when VELT_COMPORTS is "none", which turns discovery off (only the
// dosdevices entries are COM ports then).
std::string ComPortDatabasePath();

// Every COM port of this host, dosdevices entries first (by name), then the
// discovered ports by number.
std::vector<ComPort> ListComPorts();

// The port a name leads to (names ignore ASCII case, as on Windows); the
// node is empty when no port has that name.
ComPort FindComPort(const std::string& name);

// The port whose node is the device that `path` names (a /dev/tty node, a
// /dev/serial/by-id link, a dosdevices entry's pty); the name is empty when
// no listed port is that device.
ComPort ComPortOfNode(const std::string& path);

}  // namespace velt

#endif
