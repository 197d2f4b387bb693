// COM ports and the device nodes behind them, as the platform layer names
// them on Linux. On Windows a COM name is all there is: no node, no mapping.
#ifndef VELT_DFU_TOOL_PORTNODES_H
#define VELT_DFU_TOOL_PORTNODES_H

#include <string>
#include <vector>

namespace veltdfu {

// The node of each COM port at the time it is made.
class PortNodes {
public:
    PortNodes();
    // "/dev/ttyUSB0" for "\\.\COM3"; "" when there is none to show.
    std::string of(const std::string& devicePath) const;

private:
    std::vector<std::pair<std::string, std::string>> nodes_;  // COM name, node
};

// The library's path of the COM port that a /dev path (a tty node, a
// /dev/serial/by-id link) is, "\\.\COM3"; any other text as it is.
std::string LibraryPathOf(const std::string& devicePath);

} // namespace veltdfu

#endif
