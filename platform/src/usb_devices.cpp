#include "usb_devices.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <set>
#include <sstream>

#include "text.h"

namespace velt::platform {
namespace {

std::string Trim(const std::string& s) {
    size_t b = s.find_first_not_of(" \t\r\n");
    if (b == std::string::npos)
        return {};
    size_t e = s.find_last_not_of(" \t\r\n");
    return s.substr(b, e - b + 1);
}

// Paths of the listening Unix stream sockets, from the kernel's socket table.
// Reading the table, rather than connecting, keeps discovery from ever
// occupying a device that accepts one host at a time. nullopt when the table
// cannot be read.
std::optional<std::set<std::string>> ListeningSocketPaths() {
    std::ifstream in("/proc/net/unix");
    if (!in)
        return std::nullopt;
    std::set<std::string> paths;
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string num, refs, proto, flags, type, state, inode;
        if (!(fields >> num >> refs >> proto >> flags >> type >> state >> inode))
            continue;
        const unsigned long kAcceptCon = 0x10000;  // listening
        uint64_t flagBits = 0;
        if (!ParseHexDigits(flags, flagBits) || !(flagBits & kAcceptCon) || type != "0001")
            continue;
        std::string path;
        std::getline(fields, path);
        path = Trim(path);
        if (!path.empty() && path[0] != '@')  // '@': abstract namespace, no file
            paths.insert(path);
    }
    return paths;
}

bool IsListening(const std::string& socketPath, const std::optional<std::set<std::string>>& listening) {
    struct stat st;
    if (stat(socketPath.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode))
        return false;
    if (!listening)
        return true;  // no socket table: a socket file is the best sign there is
    if (listening->count(socketPath))
        return true;
    // The device may have bound another spelling of the same path (through a
    // symbolic link, "..", or relative to its working directory): compare
    // the entries with this file name by their directories.
    const size_t slash = socketPath.rfind('/');
    const std::string name = socketPath.substr(slash + 1);
    const std::string dir = socketPath.substr(0, slash);
    for (const std::string& p : *listening) {
        size_t s = p.rfind('/');
        std::string pname = s == std::string::npos ? p : p.substr(s + 1);
        if (pname != name)
            continue;
        if (p[0] != '/')
            return true;  // relative: the file name is all there is to go by
        char resolved[PATH_MAX];
        if (realpath(p.substr(0, s).c_str(), resolved) && dir == resolved)
            return true;
    }
    return false;
}

// 0 to 255 in decimal; -1 for anything else.
long ParseInterfaceNumber(const std::string& text) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    const long n = std::stol(text);
    return n <= 255 ? n : -1;
}

std::optional<UsbDeviceEntry> ReadDescription(const std::string& dir, const std::string& stem) {
    std::ifstream in(dir + "/" + stem + ".dev");
    if (!in)
        return std::nullopt;
    std::string line, path, guidText;
    long interfaceNumber = 0;
    while (std::getline(in, line)) {
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            continue;
        std::string key = Trim(line.substr(0, eq));
        std::string value = Trim(line.substr(eq + 1));
        if (key == "path")
            path = value;
        else if (key == "guid")
            guidText = value;
        else if (key == "interface")
            interfaceNumber = ParseInterfaceNumber(value);
    }
    std::optional<GUID> guid = ParseGuid(guidText);
    if (path.empty() || !guid || interfaceNumber < 0)
        return std::nullopt;
    UsbDeviceEntry e;
    e.stem = stem;
    e.interfacePath = Utf8ToUtf16(path);
    e.interfaceClass = *guid;
    e.socketPath = dir + "/" + stem + ".sock";
    e.interfaceNumber = static_cast<UCHAR>(interfaceNumber);
    e.live = false;
    return e;
}

}  // namespace

std::string UsbDevicesDir() {
    std::string dir = ConfiguredDir("VELT_USBDEVICES", ".velt/usbdevices");
    // Absolute, so that it compares with the paths the devices bound.
    char resolved[PATH_MAX];
    if (realpath(dir.c_str(), resolved))
        return resolved;
    return dir;
}

namespace {

bool ParseHexField(const std::string& s, size_t pos, size_t digits, uint64_t& out) {
    return ParseHexDigits(std::string_view(s).substr(pos, digits), out);
}

}  // namespace

std::optional<GUID> ParseGuid(const std::string& s) {
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    if (s.size() != 38 || s[0] != '{' || s[37] != '}' || s[9] != '-' || s[14] != '-' || s[19] != '-' ||
        s[24] != '-')
        return std::nullopt;
    GUID g;
    uint64_t v;
    if (!ParseHexField(s, 1, 8, v))
        return std::nullopt;
    g.Data1 = static_cast<uint32_t>(v);
    if (!ParseHexField(s, 10, 4, v))
        return std::nullopt;
    g.Data2 = static_cast<uint16_t>(v);
    if (!ParseHexField(s, 15, 4, v))
        return std::nullopt;
    g.Data3 = static_cast<uint16_t>(v);
    static const size_t kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHexField(s, kBytePos[i], 2, v))
            return std::nullopt;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    return g;
}

std::vector<UsbDeviceEntry> ScanUsbDevices() {
    const std::string dir = UsbDevicesDir();
    std::vector<std::string> stems;
    if (DIR* d = opendir(dir.c_str())) {
        while (struct dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 4 && name[0] != '.' && name.compare(name.size() - 4, 4, ".dev") == 0)
                stems.push_back(name.substr(0, name.size() - 4));
        }
        closedir(d);
    }
    std::sort(stems.begin(), stems.end());
    const std::optional<std::set<std::string>> listening = ListeningSocketPaths();
    std::vector<UsbDeviceEntry> out;
    for (const std::string& stem : stems) {
        std::optional<UsbDeviceEntry> e = ReadDescription(dir, stem);
        if (!e)
            continue;  // half-written or foreign file
        e->live = IsListening(e->socketPath, listening);
        out.push_back(std::move(*e));
    }
    return out;
}

}  // namespace velt::platform
