#include "Commands.h"

#include "ImageCommands.h"
#include "Names.h"
#include "devices/Selector.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <iterator>

namespace veltdfu {

namespace {

// One row per device, with every name it answers to: what is typed to
// choose it (its short name), VID:PID, serial number, bus-port, COM name and
// node. -v adds the library's path.
int RunList(CommandContext& context)
{
    uint32_t count = 0;
    const DFU_STATUS status = DFU_GetNumDevices(&count);
    if (status != DFU_STATUS_SUCCESS)
        return ReportFailure("cannot enumerate devices", status);
    const std::vector<Listed> devices = ListDevices();
    if (devices.empty()) {
        std::printf("No devices found: no USB DFU device, no serial port.\n");
        return kExitOk;
    }
    const bool verbose = context.invocation.verbose;
    std::vector<std::vector<std::string>> rows = {{"#", "kind", "name", "VID:PID", "serial", "bus-port", "node"}};
    if (verbose)
        rows[0].push_back("path");
    for (const Listed& device : devices) {
        char id[16] = "-";
        if (device.vid)
            std::snprintf(id, sizeof id, "%04X:%04X", *device.vid, *device.pid);
        rows.push_back({std::to_string(device.index), device.usb ? "usb" : "uart", device.shortName(),
                        device.usb ? id : "-", device.serial.empty() ? "-" : device.serial,
                        device.busPort.empty() ? "-" : device.busPort, device.node.empty() ? "-" : device.node});
        if (verbose)
            rows.back().push_back(device.path);
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto& row : rows)
        for (size_t i = 0; i < row.size(); ++i)
            widths[i] = std::max(widths[i], row[i].size());
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i)
            line += i + 1 < row.size() ? row[i] + std::string(widths[i] - row[i].size() + 2, ' ') : row[i];
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

int RunState(CommandContext& context)
{
    uint8_t state = 0;
    DFU_STATUS status = DFU_DfuGetState(context.device->handle(), &state);
    if (status != DFU_STATUS_SUCCESS)
        return ReportDeviceFailure(*context.device, "cannot read the state of device " + context.device->label(), status);
    std::printf("state: %s (%u)\n", DfuStateName(state), state);
    return kExitOk;
}

int RunStatus(CommandContext& context)
{
    DFU_GETSTATUS_RESULT result = {};
    DFU_STATUS status = DFU_DfuGetStatus(context.device->handle(), &result);
    if (status != DFU_STATUS_SUCCESS)
        return ReportDeviceFailure(*context.device, "cannot read the status of device " + context.device->label(), status);
    std::printf("status:       %s (%u)\n", DfuStatusName(result.bStatus), result.bStatus);
    std::printf("state:        %s (%u)\n", DfuStateName(result.bState), result.bState);
    std::printf("poll timeout: %u ms\n", static_cast<unsigned>(result.bwPollTimeout));
    std::printf("string index: %u\n", result.iString);
    return kExitOk;
}

// DFU 1.1 allows CLRSTATUS only in dfuERROR: anywhere else it stalls and
// would put the device into the very state it clears. So the state comes first.
int RunClear(CommandContext& context)
{
    uint8_t state = 0;
    DFU_STATUS status = DFU_DfuGetState(context.device->handle(), &state);
    if (status != DFU_STATUS_SUCCESS)
        return ReportDeviceFailure(*context.device, "cannot read the state of device " + context.device->label(), status);
    if (state != DFU_STATE_DFU_ERROR) {
        std::printf("Nothing to clear: the device is in %s (%u), not in dfuERROR.\n", DfuStateName(state), state);
        return kExitOk;
    }
    status = DFU_DfuClearStatus(context.device->handle());
    if (status != DFU_STATUS_SUCCESS)
        return ReportDeviceFailure(*context.device, "cannot clear the status of device " + context.device->label(), status);
    std::printf("Status cleared.\n");
    return kExitOk;
}

int RunAbort(CommandContext& context)
{
    DFU_STATUS status = DFU_DfuAbort(context.device->handle());
    if (status != DFU_STATUS_SUCCESS)
        return ReportDeviceFailure(*context.device, "cannot abort on device " + context.device->label(), status);
    std::printf("Aborted; the device returns to dfuIDLE.\n");
    return kExitOk;
}

void PrintInfoData(const uint8_t (&data)[32])
{
    for (size_t row = 0; row < sizeof data; row += 16) {
        std::printf("%s", row == 0 ? "infoData:   " : "            ");
        for (size_t i = row; i < row + 16; ++i)
            std::printf("%02X ", data[i]);
        std::printf(" |");
        for (size_t i = row; i < row + 16; ++i)
            std::printf("%c", std::isprint(data[i]) ? static_cast<char>(data[i]) : '.');
        std::printf("|\n");
    }
}

int RunInfo(CommandContext& context)
{
    DFU_DEVICE_INFO info = {};
    DFU_STATUS status = DFU_VeltGetInfo(context.device->handle(), &info);
    if (status != DFU_STATUS_SUCCESS)
        return ReportDeviceFailure(*context.device, "cannot read the information record of device " +
                                 context.device->label(),
                             status);
    // The library gives the record's fields no meaning: the device's maker
    // does. What is shown is where each came from in the 48-byte reply.
    std::printf("infoWord:   0x%04X        (reply bytes 0-1, little-endian)\n", info.infoWord);
    std::printf("infoByte1:  0x%02X          (reply byte 3)\n", info.infoByte1);
    std::printf("infoByte2:  0x%02X          (reply byte 2)\n", info.infoByte2);
    std::printf("infoValue1: 0x%08X    (reply bytes 4-7) = %u\n", info.infoValue1, info.infoValue1);
    std::printf("infoValue2: 0x%08X    (reply bytes 8-11) = %u\n", info.infoValue2, info.infoValue2);
    std::printf("infoValue3: 0x%08X    (reply bytes 12-15) = %u\n", info.infoValue3, info.infoValue3);
    PrintInfoData(info.infoData);
    std::printf("(the fields mean what the device's maker defines; infoData is reply bytes 16-47)\n");
    return kExitOk;
}

int RunReset(CommandContext& context)
{
    DFU_STATUS status = DFU_VeltReset(context.device->handle());
    if (status != DFU_STATUS_SUCCESS)
        return ReportDeviceFailure(*context.device, "cannot reset device " + context.device->label(), status);
    std::printf("Reset request sent.\n");
    return kExitOk;
}

const Command kCommands[] = {
    {"list", "", "list the USB DFU devices and COM ports, with their indexes", kNoDevice, 0, kCmdList,
     "velt-dfu list", RunList},
    {"state", "DEVICE", "show the DFU state (GETSTATE)", kOpenedForIt, 0, kCmdState, "velt-dfu state COM7", RunState},
    {"status", "DEVICE", "show status, state and poll time-out (GETSTATUS)", kOpenedForIt, 0, kCmdStatus,
     "velt-dfu status 0", RunStatus},
    {"clear", "DEVICE", "clear an error status (CLRSTATUS)", kOpenedForIt, 0, kCmdClear, "velt-dfu clear COM7",
     RunClear},
    {"abort", "DEVICE", "abandon a transfer and return to dfuIDLE (ABORT)", kOpenedForIt, 0, kCmdAbort,
     "velt-dfu abort 0", RunAbort},
    {"info", "DEVICE", "show the device's information record", kOpenedForIt, 0, kCmdInfo, "velt-dfu info COM7",
     RunInfo},
    {"reset", "DEVICE", "reset the device", kOpenedForIt, 0, kCmdReset, "velt-dfu reset 0", RunReset},
    {"download", "DEVICE FILE", "write the firmware image FILE to the device", kOpensItself, 1, kCmdDownload,
     "velt-dfu download COM7 firmware.bin --verify --retries 2", RunDownload},
    {"upload", "DEVICE FILE", "read the device's firmware image into FILE", kOpensItself, 1, kCmdUpload,
     "velt-dfu upload 0 readback.bin --upload-size 65536", RunUpload},
};

} // namespace

std::string UnacceptedOption(const Command& command, const Invocation& invocation)
{
    for (const OptionSpec* option : invocation.given) {
        if ((option->commands & command.bit) == 0)
            return option->name;
    }
    return "";
}

const Command* FindCommand(const std::string& name)
{
    for (const Command& command : kCommands) {
        if (name == command.name)
            return &command;
    }
    return nullptr;
}

const Command* CommandsBegin()
{
    return std::begin(kCommands);
}

const Command* CommandsEnd()
{
    return std::end(kCommands);
}

} // namespace veltdfu
