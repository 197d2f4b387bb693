// The USB GUID mapping file: which device interface class a real device
// joins when it declares none itself (what a driver package's INF does on
// Windows). $VELT_USB_GUIDS, default $HOME/.velt/usb-guids; one binding a
// line:
//   VID:PID {GUID}        the device (its DFU interface, else its first)
//   VID:PID/IF {GUID}     interface number IF (decimal) of the device
// VID and PID are 1 to 4 hexadecimal digits. '#' starts a comment; lines
// that do not have this form are ignored.
#ifndef VELT_PLATFORM_USB_GUID_MAP_H
#define VELT_PLATFORM_USB_GUID_MAP_H

#include <windows.h>

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

namespace velt::platform {

struct GuidBinding {
    uint16_t vid;
    uint16_t pid;
    int interfaceNumber;  // -1: the device as a whole
    GUID guid;
};

std::vector<GuidBinding> ParseGuidMap(std::istream& in);

std::string GuidMapPath();

// The bindings of the file at GuidMapPath(); none when it cannot be read.
std::vector<GuidBinding> LoadGuidMap();

}  // namespace velt::platform

#endif
