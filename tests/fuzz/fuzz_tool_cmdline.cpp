// velt-dfu's command line: any words. Parsing either explains what is
// wrong or gives an invocation whose values are within their ranges.
//
// Input: the arguments, separated by NUL bytes.
#include <cstdint>
#include <cstdlib>

#include "CommandLine.h"
#include "FuzzInput.h"

using velt::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::vector<std::string> args = velt::fuzz::SplitArguments(data, size, "velt-dfu");
    std::vector<const char*> argv;
    for (const std::string& arg : args)
        argv.push_back(arg.c_str());
    argv.push_back(nullptr);

    veltdfu::Invocation invocation;
    const std::string error = veltdfu::ParseCommandLine(static_cast<int>(args.size()), argv.data(), invocation);
    if (!error.empty())
        return 0;
    const veltdfu::LineSettings& line = invocation.line;
    Require(!line.parity || *line.parity <= 4, "parity out of range");
    Require(!line.stopBits || *line.stopBits <= 2, "stop bits out of range");
    Require(!line.flowControl || *line.flowControl <= 1, "flow control out of range");
    Require(!invocation.transferSize || *invocation.transferSize != 0, "a transfer size of 0 accepted");
    // The strict number parser: digits only, and the value they spell.
    for (const std::string& arg : args) {
        if (std::optional<uint32_t> value = veltdfu::ParseUnsigned(arg, 0xFFFFFFFFu)) {
            Require(!arg.empty() && arg.find_first_not_of("0123456789") == std::string::npos,
                    "a number with more than digits accepted");
            Require(*value == std::strtoull(arg.c_str(), nullptr, 10), "a number read wrongly");
        }
    }
    return 0;
}
