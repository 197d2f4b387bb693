// The utility's command line: any words, any order. Parsing either fails
// with its message or leaves settings a run can use; it never reads past
// the argument list.
//
// Input: the arguments, separated by NUL bytes.
#include <cstdint>

#include "FuzzInput.h"
#include "main/CommandLine.h"

using velt::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> args = velt::fuzz::SplitArguments(data, size, "OrvixFlashUtility");
    RunSettings settings;
    if (!ParseArguments(args, settings))
        return 0;
    Require(!settings.imageGiven || settings.imagePath.size() >= 4, "an image path shorter than its .hex");
    Require(!settings.dumpFlash || (!settings.verify && !settings.listAdapters && !settings.eraseGiven &&
                                    settings.resetMode == 0),
            "a dump accepted with options it does not take");
    return 0;
}
