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
    std::fprintf(out, "Usage: velt-dfu COMMAND [DEVICE] [OPTIONS]\n\nCommands:\n");
    for (const Command* c = CommandsBegin(); c != CommandsEnd(); ++c) {
        std::string synopsis = std::string(c->name) + (*c->operands ? " " : "") + c->operands;
        std::fprintf(out, "  %-16s %s\n", synopsis.c_str(), c->summary);
    }
    std::fprintf(out,
                 "\nDEVICE is an index from 'velt-dfu list', a COM port name such as COM7,\n"
                 "or a device path as 'list' prints it.\n"
                 "\nOptions:\n"
                 "  --timeout MS                  transfer time-out (default 1000; at least 1 on a COM port)\n"
                 "  --baud N                      serial bit rate (default 115200)\n"
                 "  --data-bits 5|6|7|8           serial data bits (default 8)\n"
                 "  --parity none|odd|even|mark|space   (default none)\n"
                 "  --stop-bits 1|1.5|2           (default 1)\n"
                 "  --flow none|rtscts            flow control (default none)\n"
                 "  --version                     show the tool and library versions\n"
                 "  -h, --help                    show this text\n"
                 "\nThe serial options apply to COM-port devices only. Exit status: 0 success,\n"
                 "1 the device or library reported a failure, 2 usage error.\n");
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

    const Command* command = FindCommand(invocation.command);
    if (command == nullptr)
        return UsageError("unknown command '" + invocation.command + "'");
    const size_t wanted = (command->needsDevice ? 1 : 0) + command->extraOperands;
    if (invocation.operands.size() < wanted)
        return UsageError(std::string("missing arguments; usage: velt-dfu ") + command->name + " " +
                          command->operands);
    if (invocation.operands.size() > wanted)
        return UsageError("too many arguments for '" + std::string(command->name) + "'");
    if (!command->needsDevice && (invocation.line.any() || invocation.timeoutMs))
        return UsageError(std::string("'") + command->name + "' takes no device options");

    std::unique_ptr<OpenDevice> device;
    if (command->needsDevice) {
        int exitCode = kExitOk;
        device = OpenConfigured(ParseDeviceRef(invocation.operands[0]), invocation, exitCode);
        if (!device)
            return exitCode;
    }
    CommandContext context{invocation, device.get()};
    return command->run(context);
}
