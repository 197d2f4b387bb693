// velt-dfu: a command-line host over the VELT_DFU library, for people at a
// bench: list devices, look at and drive a device's DFU state.
#include "CommandLine.h"
#include "Commands.h"
#include "Device.h"
#include "devices/Selector.h"

#include <VELT_DFU.h>

#include <cctype>
#include <cstdio>
#include <cstring>

using namespace veltdfu;

namespace {

constexpr const char* kDeviceText =
    "DEVICE names a board: an index from 'velt-dfu list', a serial number (B2),\n"
    "VID:PID or VID:PID:SERIAL (f055:d0f1), a USB bus-port path (1-2.3), a COM\n"
    "port name (COM7), a /dev tty path, or a device path as 'list -v' prints it;\n"
    "letter case does not matter. A name that fits several boards is refused\n"
    "with their list; with one board there, DEVICE may be left out. 'download'\n"
    "also takes several, DEVICE,DEVICE,..., or 'all': every USB DFU device and\n"
    "every COM port whose device answers (probed at once, 250 ms or --timeout\n"
    "each). Each device is flashed on its own thread with the same options; one\n"
    "failing does not stop the others, and a table of results ends the run.\n";

constexpr const char* kImageText =
    "A download checks a DFU suffix at the end of FILE (its CRC, and that its\n"
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
    "UPLOAD reads the image again from its start.\n";

constexpr const char* kExitText =
    "Exit status: 0 success; 1 the device or library reported a failure, a file\n"
    "could not be read or written, --verify found a difference, or with --wait\n"
    "the device did not appear in time (with several devices: any of them);\n"
    "2 usage error; 130 cancelled (Ctrl-C or SIGTERM).\n";

void PrintUsage(std::FILE* out)
{
    std::fprintf(out, "Usage: velt-dfu COMMAND [DEVICE] [FILE] [OPTIONS]\n\nCommands:\n");
    for (const Command* c = CommandsBegin(); c != CommandsEnd(); ++c) {
        std::string synopsis = std::string(c->name) + (*c->operands ? " " : "") + c->operands;
        std::fprintf(out, "  %-22s %s\n", synopsis.c_str(), c->summary);
    }
    std::fprintf(out, "  %-22s %s\n", "help COMMAND", "show a command's own help");
    std::fprintf(out, "\n%s\nOptions:\n%s", kDeviceText, OptionHelp(kCmdEvery).c_str());
    std::fprintf(out,
                 "\nThe serial options apply to COM-port devices only. Which command takes which\n"
                 "option: velt-dfu help COMMAND.\n\n%s\n%s",
                 kImageText, kExitText);
}

// One command: its usage, what it does, the options it takes, an example.
void PrintCommandHelp(const Command& command, std::FILE* out)
{
    std::fprintf(out, "Usage: velt-dfu %s%s%s [OPTIONS]\n\n%c%s.\n", command.name, *command.operands ? " " : "",
                 command.operands, std::toupper(static_cast<unsigned char>(command.summary[0])), command.summary + 1);
    if (command.device != kNoDevice)
        std::fprintf(out, "\n%s", kDeviceText);
    std::fprintf(out, "\nOptions:\n%s", OptionHelp(command.bit).c_str());
    if (command.bit & kCmdImages)
        std::fprintf(out, "\n%s", kImageText);
    std::fprintf(out, "\nExample:\n  %s\n\n%s", command.example, kExitText);
}

// "velt-dfu help download": the help of one command.
int RunHelp(const Invocation& invocation)
{
    if (invocation.operands.empty()) {
        PrintUsage(stdout);
        return kExitOk;
    }
    const Command* command = FindCommand(invocation.operands[0]);
    if (command == nullptr || invocation.operands.size() > 1) {
        std::fprintf(stderr, "velt-dfu: no command '%s'; try 'velt-dfu --help'\n", invocation.operands[0].c_str());
        return kExitUsage;
    }
    PrintCommandHelp(*command, stdout);
    return kExitOk;
}

int UsageError(const std::string& message)
{
    std::fprintf(stderr, "velt-dfu: %s\n", message.c_str());
    std::fprintf(stderr, "Try 'velt-dfu --help'.\n");
    return kExitUsage;
}

// No DEVICE given: with one device there, that one, and the user is told;
// with none or several, the user is told which.
int NameTheOnlyDevice(const Command& command, Invocation& invocation)
{
    const std::vector<Listed> devices = ListDevices();
    // "upload COM7" lacks its FILE, not its device.
    for (const Listed& device : devices) {
        if (!invocation.operands.empty() && Names(invocation.operands[0], device))
            return kExitOk;
    }
    if (devices.size() != 1) {
        std::string names;
        for (const Listed& device : devices)
            names += (names.empty() ? "" : ", ") + device.shortName();
        return UsageError(std::string("name the DEVICE for '") + command.name + "': " +
                          (devices.empty() ? std::string("no device is there")
                                           : std::to_string(devices.size()) + " are there (" + names + ")"));
    }
    std::fprintf(stderr, "velt-dfu: using the only device there is, %s\n", devices[0].shortName().c_str());
    invocation.operands.insert(invocation.operands.begin(), devices[0].shortName());
    return kExitOk;
}

// "--wait 10": the value went to the operands. Said in those words.
std::string TooManyArguments(const Command& command, const Invocation& invocation)
{
    for (const OptionSpec* option : invocation.given) {
        if (option->form == ValueForm::AfterEquals && !invocation.operands.empty() &&
            ParseUnsigned(invocation.operands.back(), 0xFFFFFFFFu)) {
            return std::string("too many arguments for '") + command.name + "': " + option->name +
                   " takes its value after '=', as " + option->name + "=" + invocation.operands.back();
        }
    }
    return std::string("too many arguments for '") + command.name + "'";
}


int PrintVersion()
{
    uint8_t major = 0, minor = 0;
    uint32_t third = 0;
    if (DFU_GetLibraryVersion(&major, &minor, &third) != DFU_STATUS_SUCCESS)
        return ReportError("cannot read the library version");
    std::printf("velt-dfu %s (package version)\nVELT_DFU library: API version %u.%u.%u\n", VELT_DFU_TOOL_VERSION,
                major, minor, third);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    Invocation invocation;
    std::string error = ParseCommandLine(argc, argv, invocation);
    if (!error.empty())
        return UsageError(error);
    if (invocation.command == "help")
        return RunHelp(invocation);
    if (invocation.help) {
        const Command* command = FindCommand(invocation.command);
        if (command != nullptr)
            PrintCommandHelp(*command, stdout);
        else
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
    if (namesDevice && invocation.operands.size() + 1 == wanted) {
        if (const int code = NameTheOnlyDevice(*command, invocation); code != kExitOk)
            return code;
    }
    if (invocation.operands.size() < wanted)
        return UsageError(std::string("missing arguments; usage: velt-dfu ") + command->name + " " +
                          command->operands);
    if (invocation.operands.size() > wanted)
        return UsageError(TooManyArguments(*command, invocation));
    if (command->extraOperands > 0 && invocation.operands.back().empty())
        return UsageError(std::string("FILE is empty; usage: velt-dfu ") + command->name + " " + command->operands);
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
