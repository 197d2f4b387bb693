// Finding devices before a transfer: waiting for one that is not there yet
// (a board re-enumerating into its DFU mode, a fixture still closing).
#ifndef VELT_DFU_TOOL_DEVICESEARCH_H
#define VELT_DFU_TOOL_DEVICESEARCH_H

#include "Device.h"

#include <chrono>

namespace veltdfu {

// Whether the library's discovery lists the device: an index below the
// count, or a path among the listed ones (letter case aside, as on Windows).
bool IsListed(const DeviceRef& ref);

enum class Presence { Listed, Absent, Cancelled };

// Polls discovery until the device is listed, `limit` has passed or a
// cancellation is requested; a device already there is found at once.
Presence WaitForDevice(const DeviceRef& ref, std::chrono::milliseconds limit);

} // namespace veltdfu

#endif
