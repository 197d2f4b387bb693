// The COM namespace: dosdevices entries, then discovered serial ports under
// the names the database keeps for them.
#include <velt/com_ports.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <optional>

#include "com_database.h"
#include "dosdevices.h"
#include "serial_discovery.h"
#include "text.h"

namespace velt {
namespace {

using namespace velt::platform;

std::string Upper(std::string s) {
    for (char& c : s)
        if (c >= 'a' && c <= 'z')
            c = static_cast<char>(c - 'a' + 'A');
    return s;
}

std::string BaseName(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// What an entry opens: the target of its link, or the entry itself.
std::string EntryTarget(const std::string& path) {
    char buf[4096];
    const ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : path;
}

// Whether two paths are one device (a node and a link to it, say).
bool SameDevice(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) != 0 || stat(b.c_str(), &sb) != 0)
        return false;
    if (S_ISCHR(sa.st_mode) && S_ISCHR(sb.st_mode))
        return sa.st_rdev == sb.st_rdev;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::vector<ComPort> DosDeviceEntries() {
    std::vector<ComPort> ports;
    const std::string dir = DosDevicesDir() + "/";
    for (const std::string& name : ListDosDevices().value_or(std::vector<std::string>{}))
        ports.push_back({name, EntryTarget(dir + name), false});
    return ports;
}

// Discovered ports not already reachable through an entry, with numbers
// that no entry's name has.
std::vector<ComPort> DiscoveredPorts(const std::vector<ComPort>& entries) {
    const std::string database = ComPortDatabasePath();
    if (database.empty())
        return {};
    std::vector<SerialDevice> devices = DiscoverSerialDevices();
    devices.erase(std::remove_if(devices.begin(), devices.end(),
                                 [&](const SerialDevice& d) {
                                     return std::any_of(entries.begin(), entries.end(), [&](const ComPort& e) {
                                         return SameDevice(e.node, d.node);
                                     });
                                 }),
                  devices.end());
    if (devices.empty())
        return {};
    std::vector<std::string> keys, taken;
    for (const SerialDevice& d : devices)
        keys.push_back(d.key);
    for (const ComPort& e : entries)
        taken.push_back(Upper(e.name));
    const std::vector<unsigned> numbers = AssignComNumbers(database, keys, taken);
    std::vector<std::pair<unsigned, ComPort>> ports;
    ports.reserve(devices.size());
    for (size_t i = 0; i < devices.size(); ++i)
        ports.push_back({numbers[i], {"COM" + std::to_string(numbers[i]), devices[i].node, true}});
    std::sort(ports.begin(), ports.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<ComPort> out;
    out.reserve(ports.size());
    for (auto& p : ports)
        out.push_back(std::move(p.second));
    return out;
}

}  // namespace

std::string ComPortDatabasePath() {
    const char* env = std::getenv("VELT_COMPORTS");
    if (env && std::string(env) == "none")
        return "";
    return ConfiguredDir("VELT_COMPORTS", ".velt/comports");
}

std::vector<ComPort> ListComPorts() {
    std::vector<ComPort> ports = DosDeviceEntries();
    std::vector<ComPort> discovered = DiscoveredPorts(ports);
    ports.insert(ports.end(), discovered.begin(), discovered.end());
    return ports;
}

ComPort FindComPort(const std::string& name) {
    // An entry wins; among entries an exact match wins over one that differs
    // in case.
    if (std::optional<std::string> entry = FindDosDevice(Utf8ToUtf16(name)))
        return {BaseName(*entry), EntryTarget(*entry), false};
    if (name.find('/') != std::string::npos)
        return {};
    for (const ComPort& port : DiscoveredPorts(DosDeviceEntries()))
        if (Upper(port.name) == Upper(name))
            return port;
    return {};
}

ComPort ComPortOfNode(const std::string& path) {
    for (const ComPort& port : ListComPorts())
        if (SameDevice(port.node, path))
            return port;
    return {};
}

}  // namespace velt
