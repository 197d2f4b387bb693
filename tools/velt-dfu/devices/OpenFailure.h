// Why a COM port could not be opened or reached, which the library's status
// cannot say: no such port, a port another program holds, a port this user
// may not open, a device that does not answer the link handshake.
#ifndef VELT_DFU_TOOL_OPENFAILURE_H
#define VELT_DFU_TOOL_OPENFAILURE_H

#include "Device.h"

#include <VELT_DFU.h>

#include <string>

namespace veltdfu {

// After a failed open: "" when the device is no COM port or nothing more can
// be told; else one line naming the port, what stands in the way and the fix.
std::string SerialOpenProblem(const DeviceRef& ref);

// On an open COM port, one exchange to see that a device answers (the
// library opens a port without a word to the device). Any other handle
// passes. On failure `why` holds the explanation, if there is one.
DFU_STATUS ConfirmSerialLink(DFU_HANDLE handle, std::string& why);

} // namespace veltdfu

#endif
