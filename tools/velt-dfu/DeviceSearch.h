// Finding devices before a transfer: waiting for one that is not there yet
// (a board re-enumerating into its DFU mode, a fixture still closing), and
// every device there is, for a production line that flashes them all.
#ifndef VELT_DFU_TOOL_DEVICESEARCH_H
#define VELT_DFU_TOOL_DEVICESEARCH_H

#include "Device.h"

#include <chrono>
#include <string>
#include <vector>

namespace veltdfu {

// Whether the library's discovery lists the device: an index below the
// count, or a path among the listed ones (letter case aside, as on Windows).
bool IsListed(const DeviceRef& ref);

enum class Presence { Listed, Absent, Cancelled };

// Polls discovery until the device is listed, `limit` has passed or a
// cancellation is requested; a device already there is found at once.
Presence WaitForDevice(const DeviceRef& ref, std::chrono::milliseconds limit);

// Whether two references name one device: one index, or one path (letter
// case aside).
bool SameDevice(const DeviceRef& a, const DeviceRef& b);

// A path of a COM port as the library lists it ("\\.\COM7").
bool IsComPath(const std::string& path);

// The devices of a comma-separated list, in order; "" or what is wrong.
std::string ParseDeviceList(const std::string& list, std::vector<DeviceRef>& refs);

// The label of the first device named a second time, or "".
std::string FindDuplicate(const std::vector<DeviceRef>& refs);

// Indexes, and names that fit one listed device, become the paths they
// stand for now, so that what a later count
// (on any thread) does to the index space cannot change which device an
// index opens. An index past the count stays as it is.
void ResolveIndexes(std::vector<DeviceRef>& refs);
// The same for one device.
DeviceRef Resolved(DeviceRef ref);

struct Discovered {
    std::vector<DeviceRef> devices;   // the USB DFU devices, then the COM ports that answered
    size_t usb = 0;                   // how many of them are USB devices
    std::vector<std::string> silent;  // COM ports that did not answer, by name
    std::vector<std::string> unopened; // COM ports that could not be opened, with the reason
};

// Every USB DFU device the library lists, and every COM port whose device
// answers a GETSTATE within the probe time-out (--timeout, else 250 ms),
// with the invocation's serial settings. The ports are probed at once.
Discovered FindAllDevices(const Invocation& invocation);

} // namespace veltdfu

#endif
