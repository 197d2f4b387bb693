#include "serial_discovery.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <map>

namespace velt::platform {
namespace {

const char kClassDir[] = "/sys/class/tty/";

bool StartsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

std::string DirName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ".." and "." taken out of an absolute path, textually: sysfs links are
// relative and their directories are themselves reached through links.
std::string Normalise(const std::string& path) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = end + 1;
    }
    std::string out;
    for (const std::string& p : parts)
        out += "/" + p;
    return out.empty() ? "/" : out;
}

// Where a symbolic link leads, as an absolute path; "" when it is no link.
std::string LinkTarget(const std::string& link) {
    char buf[4096];
    const ssize_t n = readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0)
        return "";
    const std::string target(buf, static_cast<size_t>(n));
    return Normalise(target[0] == '/' ? target : DirName(link) + "/" + target);
}

std::string ReadWord(const std::string& file) {
    std::ifstream in(file);
    std::string word;
    in >> word;
    return word;
}

// The 8250 driver makes a ttyS for every port it might have (32 by
// default), each with a device behind it; a port it did not find has the
// type PORT_UNKNOWN (0). Serial tools list only the ones with a real type.
bool IsRealUart(const std::string& classDir) {
    const std::string type = ReadWord(classDir + "/type");
    return !type.empty() && std::strtoul(type.c_str(), nullptr, 10) != 0;
}

// The device behind a tty, as a path under /sys. A USB-serial port is a
// device named like its tty, which moves with the tty's number: such a
// port is keyed by its interface and its port number there instead.
std::string SysfsKey(const std::string& tty) {
    std::string classDir = LinkTarget(kClassDir + tty);
    if (classDir.empty())
        classDir = kClassDir + tty;
    std::string device = LinkTarget(classDir + "/device");
    if (device.empty())
        return "";
    if (BaseName(device) == tty) {
        const std::string port = ReadWord(device + "/port_number");
        device = DirName(device) + "#" + (port.empty() ? "0" : port);
    }
    return "sysfs:" + (StartsWith(device, "/sys/") ? device.substr(4) : device);
}

// tty name -> its name in /dev/serial/by-id, which udev makes from the
// adapter's vendor, product and serial number.
std::map<std::string, std::string> ByIdNames() {
    std::map<std::string, std::string> names;
    const std::string dir = "/dev/serial/by-id/";
    DIR* d = opendir(dir.c_str());
    if (!d)
        return names;
    while (struct dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string target = LinkTarget(dir + e->d_name);
        // Two links to one tty (never made by udev): the first by name wins.
        if (!target.empty()) {
            auto [it, added] = names.emplace(BaseName(target), e->d_name);
            if (!added && it->second > e->d_name)
                it->second = e->d_name;
        }
    }
    closedir(d);
    return names;
}

std::vector<std::string> SerialTtys() {
    std::vector<std::string> ttys;
    DIR* d = opendir(kClassDir);
    if (!d)
        return ttys;
    while (struct dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (StartsWith(name, "ttyUSB") || StartsWith(name, "ttyACM") || StartsWith(name, "ttyS"))
            ttys.push_back(name);
    }
    closedir(d);
    std::sort(ttys.begin(), ttys.end());
    return ttys;
}

}  // namespace

std::vector<SerialDevice> DiscoverSerialDevices() {
    std::vector<SerialDevice> found;
    std::map<std::string, std::string> byId;
    bool byIdRead = false;
    for (const std::string& tty : SerialTtys()) {
        const std::string classDir = kClassDir + tty;
        // A tty without a device behind it is a software one, not a port.
        const std::string key = SysfsKey(tty);
        if (key.empty() || (StartsWith(tty, "ttyS") && !IsRealUart(classDir)))
            continue;
        const std::string node = "/dev/" + tty;
        if (access(node.c_str(), F_OK) != 0)
            continue;
        if (!byIdRead) {
            byId = ByIdNames();
            byIdRead = true;
        }
        auto id = byId.find(tty);
        found.push_back({tty, node, id != byId.end() ? "by-id:" + id->second : key});
    }
    return found;
}

}  // namespace velt::platform
