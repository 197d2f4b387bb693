// velt-dfu-sim's command line: what a user types to set up devices and
// faults. Anything it cannot use is a UsageError naming the option; no other
// exception, no crash.
//
// Input: the arguments, separated by NUL bytes.
#include <cstdint>

#include "FuzzInput.h"
#include "common/Options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::string> args = velt::fuzz::SplitArguments(data, size, "velt-dfu-sim");
    args.erase(args.begin());
    try {
        velt::sim::CommandLine line = velt::sim::parseCommandLine(args);
        for (const velt::sim::DeviceConfig& device : line.devices)
            velt::fuzz::Require(device.kind != velt::sim::DeviceConfig::Kind::Serial || !device.comName.empty(),
                                "a serial device without a COM name");
    } catch (const velt::sim::UsageError&) {
    }
    return 0;
}
