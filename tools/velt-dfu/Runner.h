// Several devices at once: each on its own thread with its own library
// handle, all reporting to the one renderer, which only the calling thread
// touches (renderers keep state and write streams, and are not thread-safe).
#ifndef VELT_DFU_TOOL_RUNNER_H
#define VELT_DFU_TOOL_RUNNER_H

#include "Device.h"
#include "Progress.h"

#include <functional>
#include <vector>

namespace veltdfu {

// What one device's thread runs: everything it has to say goes to `events`,
// ending in one Result event; it returns the device's exit code.
using DeviceJob = std::function<int(const DeviceRef& device, ProgressRenderer& events)>;

struct DeviceRun {
    int exitCode = kExitFailure;
    ProgressEvent result; // the device's Result event
};

// Runs `job` for every device at once and renders their events, in the order
// each device produced them, on the calling thread as they come. One device
// failing does not stop the others. Returns one entry per device, in order.
std::vector<DeviceRun> RunOnDevices(const std::vector<DeviceRef>& devices, const DeviceJob& job,
                                    ProgressRenderer& renderer);

// 130 when any device was cancelled, else 1 when any failed, else 0.
int CombinedExitCode(const std::vector<DeviceRun>& runs);

} // namespace veltdfu

#endif
