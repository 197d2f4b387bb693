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

struct Command {
    const char* name;
    const char* operands;     // as shown in the usage text
    const char* summary;
    DeviceUse device;
    size_t extraOperands;     // operands after the device (or all, without one)
    CommandBit bit;           // how the table of options names it
    const char* example;      // one line of shell, for the command's help
    int (*run)(CommandContext& context);
};

// The first option in `invocation` that `command` does not take (as the
// user wrote it: its long name), or "".
std::string UnacceptedOption(const Command& command, const Invocation& invocation);

const Command* FindCommand(const std::string& name);
const Command* CommandsBegin();
const Command* CommandsEnd();

} // namespace veltdfu

#endif
