#include "DeviceSearch.h"

#include "Cancel.h"
#include "Names.h"
#include "devices/Selector.h"

#include <algorithm>
#include <cctype>
#include <thread>
#include <vector>

namespace veltdfu {

namespace {

// Often enough that a board is used soon after it appears; seldom enough
// that enumerating costs the host nothing to speak of.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

// Long enough for a GETSTATE on a slow line or a loaded host, short enough
// that a port with nothing behind it costs little.
constexpr uint32_t kProbeTimeoutMs = 250;

bool SamePath(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

enum class Probe { Answered, Silent, Unopened };

struct ProbeResult {
    Probe probe = Probe::Silent;
    DFU_STATUS status = DFU_STATUS_SUCCESS;
};

ProbeResult ProbePort(const std::string& path, const Invocation& invocation)
{
    ProbeResult result;
    DFU_HANDLE handle = nullptr;
    result.status = DFU_OpenByDevicePath(&handle, path.c_str());
    if (result.status != DFU_STATUS_SUCCESS) {
        result.probe = Probe::Unopened;
        return result;
    }
    const OpenDevice device(handle, path);
    uint8_t state = 0;
    const uint32_t timeout = invocation.timeoutMs && *invocation.timeoutMs > 0 ? *invocation.timeoutMs : kProbeTimeoutMs;
    if (DFU_SetTransferTimeout(handle, timeout) == DFU_STATUS_SUCCESS &&
        (!invocation.line.any() || ConfigureLine(handle, invocation.line) == DFU_STATUS_SUCCESS) &&
        DFU_DfuGetState(handle, &state) == DFU_STATUS_SUCCESS)
        result.probe = Probe::Answered;
    return result;
}

} // namespace

bool SameDevice(const DeviceRef& a, const DeviceRef& b)
{
    if (!a.match.empty() || !b.match.empty())
        return SamePath(a.match, b.match);
    if (a.byIndex || b.byIndex)
        return a.byIndex == b.byIndex && a.index == b.index;
    return SamePath(a.path, b.path);
}

bool IsComPath(const std::string& path)
{
    return path.size() > 7 && SamePath(path.substr(0, 7), "\\\\.\\COM");
}

std::string ParseDeviceList(const std::string& list, std::vector<DeviceRef>& refs)
{
    size_t from = 0;
    for (;;) {
        const size_t comma = list.find(',', from);
        const std::string name = list.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
        if (name.empty())
            return "an empty device name in '" + list + "'";
        refs.push_back(ParseDeviceRef(name));
        if (comma == std::string::npos)
            break;
        from = comma + 1;
    }
    return "";
}

std::string FindDuplicate(const std::vector<DeviceRef>& refs)
{
    for (size_t i = 0; i < refs.size(); ++i)
        for (size_t j = i + 1; j < refs.size(); ++j)
            if (SameDevice(refs[i], refs[j]))
                return refs[j].label();
    return "";
}

void ResolveIndexes(std::vector<DeviceRef>& refs)
{
    uint32_t count = 0;
    if (DFU_GetNumDevices(&count) != DFU_STATUS_SUCCESS)
        return;
    const std::vector<Listed> devices = ListDevices();
    for (DeviceRef& ref : refs) {
        char path[DFU_PATH_SIZE] = {};
        if (ref.byIndex && ref.index < count && DFU_GetDevicePath(ref.index, path) == DFU_STATUS_SUCCESS) {
            ref.byIndex = false;
            ref.path = path;
        } else if (!ref.match.empty()) {
            // A name that fits one device now; otherwise its open says why not.
            const Selection selection = Select(ref.match, devices);
            if (selection.matches.size() == 1) {
                ref.path = selection.matches[0].path;
                ref.match.clear();
            }
        }
    }
}

// A device found by discovery is known by its short name (COM name, serial
// number, index); its path opens it.
DeviceRef Found(const Listed& device)
{
    DeviceRef ref;
    ref.path = device.path;
    ref.typed = device.shortName();
    return ref;
}

DeviceRef Resolved(DeviceRef ref)
{
    std::vector<DeviceRef> one{std::move(ref)};
    ResolveIndexes(one);
    return one[0];
}

Discovered FindAllDevices(const Invocation& invocation)
{
    Discovered found;
    std::vector<Listed> ports;
    for (const Listed& device : ListDevices()) {
        if (device.usb)
            found.devices.push_back(Found(device));
        else
            ports.push_back(device);
    }
    found.usb = found.devices.size();

    // A port with nothing behind it costs a whole time-out: all at once.
    std::vector<ProbeResult> results(ports.size());
    std::vector<std::thread> probes;
    for (size_t i = 0; i < ports.size(); ++i)
        probes.emplace_back([&, i] { results[i] = ProbePort(ports[i].path, invocation); });
    for (std::thread& probe : probes)
        probe.join();
    for (size_t i = 0; i < ports.size(); ++i) {
        switch (results[i].probe) {
        case Probe::Answered: found.devices.push_back(Found(ports[i])); break;
        case Probe::Silent: found.silent.push_back(ports[i].comName); break;
        case Probe::Unopened:
            found.unopened.push_back(ports[i].comName + " (" + LibraryStatusText(results[i].status) + ")");
            break;
        }
    }
    return found;
}

bool IsListed(const DeviceRef& ref)
{
    uint32_t count = 0;
    if (DFU_GetNumDevices(&count) != DFU_STATUS_SUCCESS)
        return false;
    if (ref.byIndex)
        return ref.index < count;
    if (!ref.match.empty())
        return Select(ref.match, ListDevices()).matches.size() == 1;
    for (uint32_t index = 0; index < count; ++index) {
        char path[DFU_PATH_SIZE] = {};
        if (DFU_GetDevicePath(index, path) == DFU_STATUS_SUCCESS && SamePath(path, ref.path))
            return true;
    }
    return false;
}

Presence WaitForDevice(const DeviceRef& ref, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (CancelRequested())
            return Presence::Cancelled;
        if (IsListed(ref))
            return Presence::Listed;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return Presence::Absent;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now));
    }
}

} // namespace veltdfu
