#include "usb_guid_map.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "text.h"
#include "usb_devices.h"

namespace velt::platform {
namespace {

bool ParseHexId(const std::string& text, uint16_t& out) {
    uint64_t v = 0;
    if (text.size() > 4 || !ParseHexDigits(text, v))
        return false;
    out = static_cast<uint16_t>(v);
    return true;
}

bool ParseInterface(const std::string& text, int& out) {
    if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = static_cast<int>(std::strtol(text.c_str(), nullptr, 10));
    return out <= 255;
}

bool ParseDeviceKey(const std::string& key, GuidBinding& b) {
    const size_t colon = key.find(':');
    if (colon == std::string::npos)
        return false;
    const size_t slash = key.find('/', colon);
    b.interfaceNumber = -1;
    if (slash != std::string::npos && !ParseInterface(key.substr(slash + 1), b.interfaceNumber))
        return false;
    return ParseHexId(key.substr(0, colon), b.vid) &&
           ParseHexId(key.substr(colon + 1, slash == std::string::npos ? std::string::npos : slash - colon - 1),
                      b.pid);
}

}  // namespace

std::vector<GuidBinding> ParseGuidMap(std::istream& in) {
    std::vector<GuidBinding> out;
    std::string line;
    while (std::getline(in, line)) {
        const size_t hash = line.find('#');
        if (hash != std::string::npos)
            line.erase(hash);
        std::istringstream fields(line);
        std::string key, guidText, extra;
        if (!(fields >> key >> guidText) || (fields >> extra))
            continue;
        GuidBinding b;
        std::optional<GUID> guid = ParseGuid(guidText);
        if (!guid || !ParseDeviceKey(key, b))
            continue;
        b.guid = *guid;
        out.push_back(b);
    }
    return out;
}

std::string GuidMapPath() { return ConfiguredDir("VELT_USB_GUIDS", ".velt/usb-guids"); }

std::vector<GuidBinding> LoadGuidMap() {
    std::ifstream in(GuidMapPath());
    if (!in)
        return {};
    return ParseGuidMap(in);
}

}  // namespace velt::platform
