#include "devices/Selector.h"

#include "CommandLine.h"
#include "devices/PortNodes.h"

#include <VELT_DFU.h>

#include <algorithm>
#include <cctype>

#ifndef _WIN32
#include <dirent.h>

#include <fstream>
#endif

namespace veltdfu {

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool SameText(const std::string& a, const std::string& b)
{
    return Lower(a) == Lower(b);
}

bool AllOf(const std::string& text, int (*is)(int))
{
    return !text.empty() && std::all_of(text.begin(), text.end(), [is](unsigned char c) { return is(c) != 0; });
}

// "1-2" or "3-1.4.2": a bus, then the port on each hub down to the device.
bool IsBusPort(const std::string& text)
{
    const size_t dash = text.find('-');
    if (dash == std::string::npos || !AllOf(text.substr(0, dash), isdigit))
        return false;
    size_t from = dash + 1;
    for (;;) {
        const size_t dot = text.find('.', from);
        if (!AllOf(text.substr(from, dot == std::string::npos ? std::string::npos : dot - from), isdigit))
            return false;
        if (dot == std::string::npos)
            return true;
        from = dot + 1;
    }
}

std::optional<uint16_t> Hex16(const std::string& text)
{
    if (text.size() != 4 || !AllOf(text, isxdigit))
        return std::nullopt;
    return static_cast<uint16_t>(std::stoul(text, nullptr, 16));
}

struct VidPid {
    uint16_t vid = 0, pid = 0;
    std::optional<std::string> serial;
};

// "f055:d0f1" or "f055:d0f1:B2".
std::optional<VidPid> ParseVidPid(const std::string& text)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos)
        return std::nullopt;
    const size_t second = text.find(':', colon + 1);
    const auto vid = Hex16(text.substr(0, colon));
    const auto pid = Hex16(text.substr(colon + 1, second == std::string::npos ? std::string::npos : second - colon - 1));
    if (!vid || !pid)
        return std::nullopt;
    VidPid id{*vid, *pid, std::nullopt};
    if (second != std::string::npos)
        id.serial = text.substr(second + 1);
    return id;
}

// The instance part of a USB path: \\?\usb#vid_f055&pid_d0f1[&mi_01]#INSTANCE#{guid}.
std::string InstanceOf(const std::string& path)
{
    const size_t first = path.find('#');
    const size_t second = first == std::string::npos ? first : path.find('#', first + 1);
    const size_t third = second == std::string::npos ? second : path.find('#', second + 1);
    if (third == std::string::npos)
        return "";
    return path.substr(second + 1, third - second - 1);
}

#ifndef _WIN32
std::string ReadLine(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

// Where the kernel has a USB device with this VID:PID and serial number:
// its sysfs name, which is its bus-port path.
std::string BusPortOf(uint16_t vid, uint16_t pid, const std::string& serial)
{
    DIR* dir = opendir("/sys/bus/usb/devices");
    if (dir == nullptr)
        return "";
    std::string found;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsBusPort(name))
            continue;
        const std::string base = "/sys/bus/usb/devices/" + name + "/";
        const auto v = Hex16(ReadLine(base + "idVendor")), p = Hex16(ReadLine(base + "idProduct"));
        if (v == vid && p == pid && SameText(ReadLine(base + "serial"), serial)) {
            found = name;
            break;
        }
    }
    closedir(dir);
    return found;
}
#else
std::string BusPortOf(uint16_t, uint16_t, const std::string&)
{
    return "";
}
#endif

} // namespace

std::string SerialOfPath(const std::string& path)
{
    const std::string instance = InstanceOf(path);
    return IsBusPort(instance) || instance.find('&') != std::string::npos ? "" : instance;
}

std::string Listed::shortName() const
{
    if (!comName.empty())
        return comName;
    if (!serial.empty())
        return serial;
    return std::to_string(index);
}

std::vector<Listed> ListDevices()
{
    std::vector<Listed> devices;
    uint32_t count = 0;
    if (DFU_GetNumDevices(&count) != DFU_STATUS_SUCCESS)
        return devices;
    const PortNodes nodes;
    for (uint32_t index = 0; index < count; ++index) {
        Listed device;
        device.index = index;
        char path[DFU_PATH_SIZE] = {};
        uint8_t kind = DFU_INTERFACE_USB;
        if (DFU_GetDevicePath(index, path) != DFU_STATUS_SUCCESS)
            continue;
        DFU_GetInterfaceByIndex(index, &kind);
        device.path = path;
        device.usb = kind == DFU_INTERFACE_USB;
        if (!device.usb) {
            const size_t slash = device.path.find_last_of('\\');
            device.comName = device.path.substr(slash == std::string::npos ? 0 : slash + 1);
            device.node = nodes.of(device.path);
        } else {
            uint16_t vid = 0, pid = 0;
            if (DFU_GetVidPid(index, &vid, &pid) == DFU_STATUS_SUCCESS) {
                device.vid = vid;
                device.pid = pid;
            }
            // Windows names a device without a serial number by where it is.
            const std::string instance = InstanceOf(device.path);
            if (IsBusPort(instance))
                device.busPort = instance;
            device.serial = SerialOfPath(device.path);
            if (device.busPort.empty() && device.vid && !device.serial.empty())
                device.busPort = BusPortOf(*device.vid, *device.pid, device.serial);
        }
        devices.push_back(device);
    }
    return devices;
}

bool NeedsListing(const std::string& text)
{
    if (text.empty() || AllOf(text, isdigit) || text[0] == '\\' || text[0] == '/')
        return false;
    const bool comName = text.size() > 3 && SameText(text.substr(0, 3), "com") && AllOf(text.substr(3), isdigit);
    return !comName;
}

bool Matches(const std::string& text, const Listed& device)
{
    if (const auto id = ParseVidPid(text)) {
        return device.vid == id->vid && device.pid == id->pid && (!id->serial || SameText(*id->serial, device.serial));
    }
    if (IsBusPort(text))
        return device.busPort == text;
    return device.usb && !device.serial.empty() && SameText(text, device.serial);
}

bool Names(const std::string& text, const Listed& device)
{
    if (!NeedsListing(text)) {
        if (AllOf(text, isdigit))
            return text.size() < 10 && std::stoul(text) == device.index;
        return SameText(text, device.path) || SameText(text, device.comName) ||
               (!device.node.empty() && text == device.node);
    }
    return Matches(text, device);
}

Selection Select(const std::string& text, const std::vector<Listed>& devices)
{
    Selection selection;
    if (text.find(':') != std::string::npos && !ParseVidPid(text)) {
        selection.error = "'" + text + "' is not VID:PID[:SERIAL] (four hexadecimal digits each, as f055:d0f1)";
        return selection;
    }
    for (const Listed& device : devices) {
        if (Matches(text, device))
            selection.matches.push_back(device);
    }
    return selection;
}

std::string SelectionProblem(const std::string& text, const Selection& selection)
{
    if (!selection.error.empty())
        return selection.error;
    if (selection.matches.empty())
        return "no device matches '" + text + "' (no serial number, VID:PID or bus-port of a listed device; " +
               "'velt-dfu list' shows them)";
    std::string names;
    for (const Listed& device : selection.matches) {
        const std::string index = std::to_string(device.index);
        names += (names.empty() ? "" : ", ") + index + (device.shortName() != index ? " (" + device.shortName() + ")" : "");
    }
    return "'" + text + "' fits " + std::to_string(selection.matches.size()) + " devices: " + names +
           "; name one of them";
}

} // namespace veltdfu
