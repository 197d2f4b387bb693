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

// After a request on an open COM port timed out: the likely cause, in one
// line, with the rate in use ("" for USB devices and other failures). The
// library opens a port without a word to the device, so a device on another
// rate shows only here: it hears garbage and never answers the handshake.
std::string NoAnswerHint(DFU_HANDLE handle, DFU_STATUS status);

} // namespace veltdfu

#endif
