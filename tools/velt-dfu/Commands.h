// The table of velt-dfu commands. A new command is one handler and one row.
#ifndef VELT_DFU_TOOL_COMMANDS_H
#define VELT_DFU_TOOL_COMMANDS_H

#include "CommandLine.h"
#include "Device.h"

#include <cstddef>

namespace veltdfu {

struct CommandContext {
    const Invocation& invocation;
    OpenDevice* device; // null for commands that need none
};

struct Command {
    const char* name;
    const char* operands;     // as shown in the usage text
    const char* summary;
    bool needsDevice;         // first operand names the device, opened before run
    size_t extraOperands;     // operands after the device (or all, without one)
    int (*run)(CommandContext& context);
};

const Command* FindCommand(const std::string& name);
const Command* CommandsBegin();
const Command* CommandsEnd();

} // namespace veltdfu

#endif
