#include "devices/PortNodes.h"

#ifndef _WIN32
#include <velt/com_ports.h>
#endif

namespace veltdfu {

namespace {

constexpr char kDosPrefix[] = "\\\\.\\";

bool IsDosPath(const std::string& path)
{
    return path.compare(0, sizeof kDosPrefix - 1, kDosPrefix) == 0;
}

} // namespace

#ifdef _WIN32
PortNodes::PortNodes() {}
#else
PortNodes::PortNodes()
{
    for (const velt::ComPort& port : velt::ListComPorts())
        nodes_.emplace_back(port.name, port.node);
}
#endif

std::string PortNodes::of(const std::string& devicePath) const
{
    if (!IsDosPath(devicePath))
        return "";
    for (const auto& [name, node] : nodes_) {
        if (std::string(kDosPrefix) + name == devicePath)
            return node;
    }
    return "";
}

std::string LibraryPathOf(const std::string& devicePath)
{
#ifndef _WIN32
    if (devicePath.compare(0, 5, "/dev/") == 0) {
        const velt::ComPort port = velt::ComPortOfNode(devicePath);
        if (!port.name.empty())
            return std::string(kDosPrefix) + port.name;
    }
#endif
    return devicePath;
}

} // namespace veltdfu
