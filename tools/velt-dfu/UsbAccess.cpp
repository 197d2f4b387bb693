#include "UsbAccess.h"

#include <VELT_DFU.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#ifndef _WIN32
#include <cerrno>
#include <dirent.h>
#include <unistd.h>
#endif

namespace veltdfu {

namespace {

std::string PathOf(const DeviceRef& ref)
{
    if (!ref.byIndex)
        return ref.path;
    char path[DFU_PATH_SIZE] = {};
    return DFU_GetDevicePath(ref.index, path) == DFU_STATUS_SUCCESS ? std::string(path) : std::string();
}

// VID and PID of a "\\?\usb#vid_xxxx&pid_xxxx..." path.
bool ParseIds(const std::string& path, unsigned& vid, unsigned& pid)
{
    const std::string prefix = "\\\\?\\usb#vid_";
    if (path.compare(0, prefix.size(), prefix) != 0 || path.size() < prefix.size() + 14 ||
        path.compare(prefix.size() + 4, 5, "&pid_") != 0)
        return false;
    const std::string vidText = path.substr(prefix.size(), 4);
    const std::string pidText = path.substr(prefix.size() + 9, 4);
    char* vidEnd = nullptr;
    char* pidEnd = nullptr;
    vid = static_cast<unsigned>(std::strtoul(vidText.c_str(), &vidEnd, 16));
    pid = static_cast<unsigned>(std::strtoul(pidText.c_str(), &pidEnd, 16));
    return *vidEnd == '\0' && *pidEnd == '\0';
}

#ifndef _WIN32
unsigned ReadNumber(const std::string& file, int base)
{
    std::ifstream in(file);
    std::string text;
    in >> text;
    return text.empty() ? 0xFFFFFFFFu : static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, base));
}
#endif

} // namespace

std::string UsbPermissionProblem(const DeviceRef& ref)
{
    unsigned vid = 0, pid = 0;
    const std::string path = PathOf(ref);
    if (!ParseIds(path, vid, pid))
        return "";
#ifdef _WIN32
    return "";
#else
    // libusb opens /dev/bus/usb/BBB/DDD for writing; sysfs says which node
    // belongs to which VID:PID.
    const std::string devices = "/sys/bus/usb/devices";
    DIR* dir = opendir(devices.c_str());
    if (dir == nullptr)
        return "";
    std::string problem;
    while (dirent* entry = readdir(dir)) {
        const std::string base = devices + "/" + entry->d_name + "/";
        if (entry->d_name[0] == '.' || ReadNumber(base + "idVendor", 16) != vid ||
            ReadNumber(base + "idProduct", 16) != pid)
            continue;
        char node[64];
        std::snprintf(node, sizeof node, "/dev/bus/usb/%03u/%03u", ReadNumber(base + "busnum", 10),
                      ReadNumber(base + "devnum", 10));
        if (access(node, W_OK) != 0 && errno == EACCES) {
            problem = std::string("permission denied: cannot open USB device ") + path + ": " + node +
                      " is not writable for this user; install the udev rules "
                      "(packaging/udev/60-velt-dfu.rules) and replug the device";
            break;
        }
    }
    closedir(dir);
    return problem;
#endif
}

} // namespace veltdfu
