// The table of velt-dfu commands. A new command is one handler and one row.
#ifndef VELT_DFU_TOOL_COMMANDS_H
#define VELT_DFU_TOOL_COMMANDS_H

#include "CommandLine.h"
#include "Device.h"

#include <cstddef>

namespace veltdfu {

struct CommandContext {
    const Invocation& invocation;
    OpenDevice* device; // null unless the command's device is kOpenedForIt
};

enum DeviceUse {
    kNoDevice,
    kOpenedForIt, // first operand names the device, opened before run
    kOpensItself, // first operand names the device; run opens it once its other inputs are checked
};

// Options beyond the device options, accepted only by commands that list them.
enum CommandOption : unsigned {
    kOptTransferSize = 1u << 0,
    kOptVerify = 1u << 1,
    kOptNoSuffix = 1u << 2,
    kOptJson = 1u << 3,
    kOptRetries = 1u << 4,
    kOptWait = 1u << 5,
    kOptNoRecovery = 1u << 6,
    kOptVerbose = 1u << 7,
    kOptUploadSize = 1u << 8,
    kOptUntilEmpty = 1u << 9,
};

struct Command {
    const char* name;
    const char* operands;     // as shown in the usage text
    const char* summary;
    DeviceUse device;
    size_t extraOperands;     // operands after the device (or all, without one)
    unsigned options;         // CommandOption bits
    int (*run)(CommandContext& context);
};

// The first option in `invocation` that `command` does not take, or "".
std::string UnacceptedOption(const Command& command, const Invocation& invocation);

const Command* FindCommand(const std::string& name);
const Command* CommandsBegin();
const Command* CommandsEnd();

} // namespace veltdfu

#endif
