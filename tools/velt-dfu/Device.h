// Finding, opening and configuring the device a command works on.
#ifndef VELT_DFU_TOOL_DEVICE_H
#define VELT_DFU_TOOL_DEVICE_H

#include "CommandLine.h"

#include <VELT_DFU.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace veltdfu {

// Exit codes shared by every command.
enum ExitCode { kExitOk = 0, kExitFailure = 1, kExitUsage = 2, kExitCancelled = 130 };

// Prints "velt-dfu: WHAT: STATUS_NAME (0xNN)" on stderr; returns kExitFailure.
int ReportFailure(const std::string& what, DFU_STATUS status);

class OpenDevice;

// ReportFailure, then, for a COM port that did not answer, the likely cause.
int ReportDeviceFailure(const OpenDevice& device, const std::string& what, DFU_STATUS status);

// Prints "velt-dfu: MESSAGE" on stderr; returns `code`.
int ReportError(const std::string& message, int code = kExitFailure);

// What the user named: a library index ("3"), a COM port ("COM7", any case,
// taken as the path \\.\COM7), a device or /dev path, used as given, or a
// name that only the device list can turn into a path: a serial number,
// VID:PID[:SERIAL] or a bus-port path (devices/Selector.h).
struct DeviceRef {
    bool byIndex = false;
    uint32_t index = 0;
    std::string path;
    std::string match; // a name to look up in the device list; path is empty until then
    std::string typed; // as the user wrote it

    std::string label() const; // as the user would recognise it in a message
};

DeviceRef ParseDeviceRef(const std::string& text);

// An open library handle, closed when the object goes.
class OpenDevice {
public:
    OpenDevice(DFU_HANDLE handle, std::string label) : handle_(handle), label_(std::move(label)) {}
    ~OpenDevice();
    OpenDevice(const OpenDevice&) = delete;
    OpenDevice& operator=(const OpenDevice&) = delete;

    DFU_HANDLE handle() const { return handle_; }
    const std::string& label() const { return label_; }

private:
    DFU_HANDLE handle_;
    std::string label_;
};

// Where a message about a failure goes: one line, without the "velt-dfu: ".
using ProblemSink = std::function<void(const std::string&)>;

// Opens the device and applies the invocation's time-out and serial settings.
// On failure says why (to `problem`, else on stderr) and stores the exit code
// in `exitCode` (and the library's status, if a library call failed, in `status`).
std::unique_ptr<OpenDevice> OpenConfigured(const DeviceRef& ref, const Invocation& invocation,
                                           int& exitCode, DFU_STATUS* status = nullptr,
                                           const ProblemSink& problem = {});

// The given serial settings over what the port has; the library's status.
DFU_STATUS ConfigureLine(DFU_HANDLE handle, const LineSettings& wanted);

} // namespace veltdfu

#endif
