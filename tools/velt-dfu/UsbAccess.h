// What a failed USB open may have been that the library's status cannot
// say: on Linux, a board whose device node this user may not write.
#ifndef VELT_DFU_TOOL_USBACCESS_H
#define VELT_DFU_TOOL_USBACCESS_H

#include "Device.h"

#include <string>

namespace veltdfu {

// "" when the device is no USB device, or when every node of its VID:PID is
// writable; else a one-line explanation naming the node and the fix.
std::string UsbPermissionProblem(const DeviceRef& ref);

} // namespace veltdfu

#endif
