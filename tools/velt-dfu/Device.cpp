#include "Device.h"
#include "UsbAccess.h"
#include "devices/OpenFailure.h"
#include "devices/Selector.h"
#include "devices/PortNodes.h"

#include "Names.h"

#include <cstdio>

namespace veltdfu {

int ReportFailure(const std::string& what, DFU_STATUS status)
{
    std::fprintf(stderr, "velt-dfu: %s: %s\n", what.c_str(), LibraryStatusText(status).c_str());
    return kExitFailure;
}

int ReportDeviceFailure(const OpenDevice& device, const std::string& what, DFU_STATUS status)
{
    ReportFailure(what, status);
    const std::string hint = NoAnswerHint(device.handle(), status);
    if (!hint.empty())
        std::fprintf(stderr, "velt-dfu: %s\n", hint.c_str());
    return kExitFailure;
}

int ReportError(const std::string& message, int code)
{
    std::fprintf(stderr, "velt-dfu: %s\n", message.c_str());
    return code;
}

std::string DeviceRef::label() const
{
    if (!typed.empty())
        return typed;
    return byIndex ? std::to_string(index) : path;
}

DeviceRef ParseDeviceRef(const std::string& text)
{
    DeviceRef ref;
    ref.typed = text;
    if (auto index = ParseUnsigned(text, UINT32_MAX)) {
        ref.byIndex = true;
        ref.index = *index;
        return ref;
    }
    if (NeedsListing(text)) {
        ref.match = text;
        return ref;
    }
    // "COM7" is what people call the port; the library wants its DOS path.
    const bool bareComName = text.size() > 3 && (text[0] == 'C' || text[0] == 'c') &&
                             (text[1] == 'O' || text[1] == 'o') && (text[2] == 'M' || text[2] == 'm') &&
                             ParseUnsigned(text.substr(3), UINT32_MAX).has_value();
    ref.path = bareComName ? "\\\\.\\COM" + text.substr(3) : text;
    return ref;
}

OpenDevice::~OpenDevice()
{
    DFU_Close(handle_);
}

namespace {

// Says a failure once, where the caller wants it, and gives the exit code.
struct Complaint {
    const ProblemSink& sink;

    int operator()(const std::string& message, int code = kExitFailure) const
    {
        if (sink)
            sink(message);
        else
            std::fprintf(stderr, "velt-dfu: %s\n", message.c_str());
        return code;
    }
    int failure(const std::string& what, DFU_STATUS status) const
    {
        return (*this)(what + ": " + LibraryStatusText(status));
    }
};

DFU_STATUS OpenRef(const DeviceRef& ref, DFU_HANDLE* handle, int& exitCode, const Complaint& complain)
{
    if (!ref.match.empty()) {
        const Selection selection = Select(ref.match, ListDevices());
        if (selection.matches.size() != 1) {
            exitCode = complain(SelectionProblem(ref.match, selection),
                                selection.matches.empty() && selection.error.empty() ? kExitFailure : kExitUsage);
            return DFU_STATUS_DEVICE_NOT_FOUND;
        }
        return DFU_OpenByDevicePath(handle, selection.matches[0].path.c_str());
    }
    if (!ref.byIndex)
        return DFU_OpenByDevicePath(handle, LibraryPathOf(ref.path).c_str());

    // Indexes only mean something after a count.
    uint32_t count = 0;
    DFU_STATUS status = DFU_GetNumDevices(&count);
    if (status != DFU_STATUS_SUCCESS)
        return status;
    if (ref.index >= count) {
        exitCode = complain("no device at index " + std::to_string(ref.index) + " (" + std::to_string(count) +
                            " found; 'velt-dfu list' shows them)");
        return DFU_STATUS_DEVICE_NOT_FOUND;
    }
    return DFU_OpenByIndex(handle, ref.index);
}

// Changes only the settings the user gave; the rest stay as the port has them.
int ApplyLineSettings(const OpenDevice& device, const LineSettings& wanted, const Complaint& complain)
{
    uint8_t kind = DFU_INTERFACE_USB;
    DFU_GetOpenedInterface(device.handle(), &kind);
    if (kind != DFU_INTERFACE_UART) {
        return complain("serial options apply to COM-port devices only; device " + device.label() +
                            " is a USB device",
                        kExitUsage);
    }
    const DFU_STATUS status = ConfigureLine(device.handle(), wanted);
    if (status != DFU_STATUS_SUCCESS)
        return complain.failure("cannot apply the serial settings to device " + device.label(), status);
    return kExitOk;
}

} // namespace

DFU_STATUS ConfigureLine(DFU_HANDLE handle, const LineSettings& wanted)
{
    uint32_t baud = 0;
    uint8_t dataBits = 0, parity = 0, stopBits = 0, flow = 0;
    DFU_STATUS status = DFU_GetUartConfig(handle, &baud, &dataBits, &parity, &stopBits, &flow);
    if (status != DFU_STATUS_SUCCESS)
        return status;
    return DFU_SetUartConfig(handle, wanted.baudRate.value_or(baud), wanted.dataBits.value_or(dataBits),
                             wanted.parity.value_or(parity), wanted.stopBits.value_or(stopBits),
                             wanted.flowControl.value_or(flow));
}

std::unique_ptr<OpenDevice> OpenConfigured(const DeviceRef& ref, const Invocation& invocation,
                                           int& exitCode, DFU_STATUS* statusOut, const ProblemSink& problem)
{
    const Complaint complain{problem};
    exitCode = kExitOk;
    DFU_HANDLE handle = nullptr;
    DFU_STATUS status = OpenRef(ref, &handle, exitCode, complain);
    if (statusOut != nullptr)
        *statusOut = status;
    if (exitCode != kExitOk)
        return nullptr;
    if (status != DFU_STATUS_SUCCESS) {
        exitCode = complain.failure("cannot open device " + ref.label(), status);
        for (const std::string& why : {UsbPermissionProblem(ref), SerialOpenProblem(ref)}) {
            if (!why.empty())
                complain(why);
        }
        return nullptr;
    }
    auto device = std::make_unique<OpenDevice>(handle, ref.label());

    if (invocation.timeoutMs) {
        // The library takes 0 on a serial line as "reads return at once":
        // no handshake reply can be there yet, so nothing could ever work.
        uint8_t kind = DFU_INTERFACE_USB;
        DFU_GetOpenedInterface(handle, &kind);
        if (*invocation.timeoutMs == 0 && kind == DFU_INTERFACE_UART) {
            exitCode = complain("--timeout 0 would fail every transfer on COM-port device " + ref.label() +
                                    " (reads return at once); give at least 1 ms",
                                kExitUsage);
            return nullptr;
        }
        status = DFU_SetTransferTimeout(handle, *invocation.timeoutMs);
        if (statusOut != nullptr)
            *statusOut = status;
        if (status != DFU_STATUS_SUCCESS) {
            exitCode = complain.failure("cannot set the time-out of device " + ref.label(), status);
            return nullptr;
        }
    }
    if (invocation.line.any()) {
        exitCode = ApplyLineSettings(*device, invocation.line, complain);
        if (exitCode != kExitOk)
            return nullptr;
    }
    return device;
}

} // namespace veltdfu
