// velt-dfu: a command-line host over the VELT_DFU library, for people at a
// bench: list devices, look at and drive a device's DFU state.
#include "CommandLine.h"
#include "Commands.h"
#include "Device.h"

#include <VELT_DFU.h>

#include <cstdio>
#include <cstring>

using namespace veltdfu;

namespace {

void PrintUsage(std::FILE* out)
{
    std::fprintf(out, "Usage: velt-dfu COMMAND [DEVICE] [FILE] [OPTIONS]\n\nCommands:\n");
    for (const Command* c = CommandsBegin(); c != CommandsEnd(); ++c) {
        std::string synopsis = std::string(c->name) + (*c->operands ? " " : "") + c->operands;
        std::fprintf(out, "  %-22s %s\n", synopsis.c_str(), c->summary);
    }
    std::fprintf(out,
                 "\nDEVICE is an index from 'velt-dfu list', a COM port name such as COM7,\n"
                 "or a device path as 'list' prints it. 'download' also takes several,\n"
                 "DEVICE,DEVICE,..., or 'all': every USB DFU device and every COM port whose\n"
                 "device answers (probed at once, 250 ms or --timeout each). Each device is\n"
                 "flashed on its own thread with the same options; one failing does not stop\n"
                 "the others, and a table of results ends the run.\n"
                 "\nOptions:\n"
                 "  --timeout MS                  transfer time-out (default 1000; at least 1 on a COM port)\n"
                 "  --baud N                      serial bit rate (default 115200)\n"
                 "  --data-bits 5|6|7|8           serial data bits (default 8)\n"
                 "  --parity none|odd|even|mark|space   (default none)\n"
                 "  --stop-bits 1|1.5|2           (default 1)\n"
                 "  --flow none|rtscts            flow control (default none)\n"
                 "  --transfer-size N             block size of download and upload, 1..65535\n"
                 "                                (default: the USB device's wTransferSize, or\n"
                 "                                1024 on a COM port)\n"
                 "  --verify                      download: read the image back and compare\n"
                 "  --no-suffix                   download: send FILE as it is, even if it ends\n"
                 "                                in a DFU suffix\n"
                 "  --json                        download, upload: JSON Lines on standard output\n"
                 "  --retries N                   download, upload: after a failed transfer or\n"
                 "                                --verify, bring the device back to dfuIDLE and\n"
                 "                                start over, up to N more times (default 0)\n"
                 "  --wait[=SECONDS]              download, upload: wait for DEVICE to appear\n"
                 "                                (default 30 s); the value only after '='\n"
                 "  --no-recovery                 download, upload: a request lost on the line\n"
                 "                                ends the attempt (default: ask the device's\n"
                 "                                state and resend or go on from there)\n"
                 "  -v, --verbose                 download, upload: a line per recovered request\n"
                 "  --upload-size N               upload: read at most N bytes (default: until the\n"
                 "                                device ends its image, at most 64 MiB)\n"
                 "  --until-empty                 upload: only an empty block ends the image, for\n"
                 "                                devices that send short blocks mid-image\n"
                 "  --guid GUID                   list and open the USB devices of this device\n"
                 "                                interface GUID instead of the library's own\n"
                 "  --version                     show the tool and library versions\n"
                 "  -h, --help                    show this text\n"
                 "\nThe serial options apply to COM-port devices only.\n"
                 "\nA download checks a DFU suffix at the end of FILE (its CRC, and that its\n"
                 "VID:PID match a USB device unless they are FFFF) and sends only the firmware\n"
                 "before it. Ctrl-C cancels a transfer between two blocks and brings the device\n"
                 "back to dfuIDLE; a cancelled transfer is never retried, nor one whose file\n"
                 "or suffix is wrong.\n"
                 "\nDownloads follow DFU 1.1: after the closing zero-length DNLOAD the\n"
                 "manifestation is polled as the device asks (at most 60 s beyond its poll\n"
                 "times); a device that then waits for a reset (dfuMANIFEST-WAIT-RESET) has\n"
                 "its image and runs it after the reset, but cannot be read back, so --verify\n"
                 "fails there. An upload ends at the first block shorter than the transfer\n"
                 "size. A request lost on a faulty line is recovered from the device's state\n"
                 "(GETSTATE): the block is sent again or the transfer goes on; a failed\n"
                 "UPLOAD reads the image again from its start.\n"
                 "\nExit status: 0 success; 1 the device or library reported a failure, a file\n"
                 "could not be read or written, --verify found a difference, or with --wait\n"
                 "the device did not appear in time (with several devices: any of them);\n"
                 "2 usage error; 130 cancelled (Ctrl-C or SIGTERM).\n");
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "velt-dfu: %s\n", message.c_str());
    std::fprintf(stderr, "Try 'velt-dfu --help'.\n");
    return kExitUsage;
}

int PrintVersion()
{
    uint8_t major = 0, minor = 0;
    uint32_t third = 0;
    if (DFU_GetLibraryVersion(&major, &minor, &third) != DFU_STATUS_SUCCESS)
        return ReportError("cannot read the library version");
    std::printf("velt-dfu %s, VELT_DFU library %u.%u.%u\n", VELT_DFU_TOOL_VERSION, major, minor, third);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    Invocation invocation;
    std::string error = ParseCommandLine(argc, argv, invocation);
    if (!error.empty())
        return UsageError(error);
    if (invocation.help) {
        PrintUsage(stdout);
        return kExitOk;
    }
    if (invocation.version)
        return PrintVersion();
    if (invocation.command.empty()) {
        PrintUsage(stderr);
        return kExitUsage;
    }

    if (invocation.guid) {
        uint32_t data1 = 0;
        uint16_t data2 = 0, data3 = 0;
        GUID guid = {};
        ParseGuid(*invocation.guid, data1, data2, data3, guid.Data4);
        guid.Data1 = data1;
        guid.Data2 = data2;
        guid.Data3 = data3;
        const DFU_STATUS status = DFU_SetGuid(&guid);
        if (status != DFU_STATUS_SUCCESS)
            return ReportFailure("cannot set the device interface GUID " + *invocation.guid, status);
    }

    const Command* command = FindCommand(invocation.command);
    if (command == nullptr)
        return UsageError("unknown command '" + invocation.command + "'");
    const bool namesDevice = command->device != kNoDevice;
    const size_t wanted = (namesDevice ? 1 : 0) + command->extraOperands;
    if (invocation.operands.size() < wanted)
        return UsageError(std::string("missing arguments; usage: velt-dfu ") + command->name + " " +
                          command->operands);
    if (invocation.operands.size() > wanted)
        return UsageError("too many arguments for '" + std::string(command->name) + "'");
    if (!namesDevice && (invocation.line.any() || invocation.timeoutMs))
        return UsageError(std::string("'") + command->name + "' takes no device options");
    const std::string unaccepted = UnacceptedOption(*command, invocation);
    if (!unaccepted.empty())
        return UsageError(std::string("'") + command->name + "' does not take " + unaccepted);

    std::unique_ptr<OpenDevice> device;
    if (command->device == kOpenedForIt) {
        int exitCode = kExitOk;
        device = OpenConfigured(ParseDeviceRef(invocation.operands[0]), invocation, exitCode);
        if (!device)
            return exitCode;
    }
    CommandContext context{invocation, device.get()};
    return command->run(context);
}
