// One firmware to several devices at once, each on its own thread with its
// own handle, through the same attempts as a single device.
#include "run/Download.h"

#include "Cancel.h"
#include "DeviceSearch.h"
#include "Runner.h"
#include "devices/Selector.h"

#include <map>

namespace veltdfu {

// "all", or devices separated by commas.
bool NamesSeveral(const std::string& operand)
{
    return operand == "all" || operand.find(',') != std::string::npos;
}

namespace {

// Beside other devices a whole path typed by the user is too long to read:
// its COM name, serial number or index stands for it.
std::string ShortLabel(const DeviceRef& ref)
{
    if (ref.typed.empty() || ref.typed[0] != '\\')
        return ref.label();
    for (const Listed& device : ListDevices()) {
        if (device.path == ref.path)
            return device.shortName();
    }
    return ref.label();
}

std::string Listing(const std::vector<std::string>& ports)
{
    return Join(ports, ", ");
}

// "all": what discovery found, said once; the devices to flash.
std::vector<DeviceRef> FindEveryDevice(Session& session, const Invocation& invocation,
                                       std::vector<std::string>& silent)
{
    const Discovered found = FindAllDevices(invocation);
    std::string text = std::to_string(found.usb) + " USB DFU device" + (found.usb == 1 ? "" : "s") + ", " +
                       std::to_string(found.devices.size() - found.usb) + " COM port" +
                       (found.devices.size() - found.usb == 1 ? "" : "s") + " with a device that answered";
    if (!found.silent.empty())
        text += "; no answer from " + Listing(found.silent);
    if (!found.unopened.empty())
        text += "; could not open " + Listing(found.unopened);
    session.note(text);
    silent = found.silent;
    return found.devices;
}

} // namespace

int DownloadToSeveral(const Invocation& invocation, const std::string& operand)
{
    const bool all = operand == "all";
    std::vector<DeviceRef> refs;
    if (all && invocation.waitSeconds)
        return ReportError("--wait waits for named devices; 'all' takes the devices that are there", kExitUsage);
    if (!all) {
        const std::string error = ParseDeviceList(operand, refs);
        if (!error.empty())
            return ReportError(error, kExitUsage);
        if (const std::string twice = FindDuplicate(refs); !twice.empty())
            return ReportError("device " + twice + " is named twice in '" + operand + "'", kExitUsage);
    }

    const auto renderer = MakeRenderer(StyleFor(invocation.json, stdout), stdout, stderr, true);
    Session session(*renderer, operand, operand, "download");
    CancelOnSignal cancelOnSignal;
    Firmware firmware;
    firmware.path = invocation.operands[1];
    if (Step stop = PrepareFirmware(session, "download to devices " + operand, invocation, firmware))
        return session.end(*stop);

    std::vector<std::string> silent;
    if (all) {
        refs = FindEveryDevice(session, invocation, silent);
        if (refs.empty())
            return session.end(session.fail("absent", DFU_STATUS_DEVICE_NOT_FOUND,
                                            "no devices found: no USB DFU device, no COM port that answered"));
    } else {
        ResolveIndexes(refs); // the threads open by path, never by index
        if (const std::string twice = FindDuplicate(refs); !twice.empty())
            return session.end(session.fail("device", 0, "device " + twice + " is named twice in '" + operand + "'",
                                            kExitUsage));
    }
    if (invocation.expect && refs.size() < *invocation.expect) {
        std::vector<std::string> found;
        found.reserve(refs.size());
        for (const DeviceRef& ref : refs)
            found.push_back(ref.label());
        return session.end(session.fail(
            "absent", DFU_STATUS_DEVICE_NOT_FOUND,
            "expected " + std::to_string(*invocation.expect) + " devices, found " + std::to_string(refs.size()) +
                (found.empty() ? "" : ": " + Listing(found)) + (silent.empty() ? "" : "; no answer from " + Listing(silent)) +
                "; nothing flashed"));
    }
    if (!firmware.plan.empty())
        session.note(firmware.plan);
    firmware.plan.clear(); // said once for every device

    // Serial settings are for the COM ports among the devices; USB devices have none.
    Invocation forUsb = invocation;
    forUsb.line = LineSettings{};
    const auto began = ProgressClock::now();
    // Names are settled here, before any device's thread lists or opens anything.
    std::map<std::string, std::string> labels;
    for (const DeviceRef& ref : refs)
        labels[ref.path.empty() ? ref.label() : ref.path] = ShortLabel(ref);
    const std::vector<DeviceRun> runs = RunOnDevices(
        refs,
        [&](const DeviceRef& ref, ProgressRenderer& events) {
            const std::string id = ref.path.empty() ? ref.label() : ref.path;
            Session device(events, id, labels.at(id), "download");
            const bool serial = ref.byIndex || IsComPath(ref.path);
            return DownloadTo(device, ref, firmware, serial ? invocation : forUsb);
        },
        *renderer);

    RunSummary summary;
    summary.devices = operand;
    summary.silent = silent;
    summary.seconds = std::chrono::duration<double>(ProgressClock::now() - began).count();
    for (const DeviceRun& run : runs)
        summary.results.push_back(run.result);
    renderer->summarize(summary);
    return CombinedExitCode(runs);
}

} // namespace veltdfu
