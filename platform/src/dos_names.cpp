// The dosdevices directory: COM names a user or a simulator made by hand.
#include "dosdevices.h"

#include <dirent.h>

#include <algorithm>

#include "text.h"

namespace velt::platform {

std::string DosDevicesDir() { return ConfiguredDir("VELT_DOSDEVICES", ".velt/dosdevices"); }

std::optional<std::vector<std::string>> ListDosDevices() {
    DIR* dir = opendir(DosDevicesDir().c_str());
    if (!dir)
        return std::nullopt;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(dir)) {
        if (e->d_name[0] != '.')
            names.emplace_back(e->d_name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

std::optional<std::string> FindDosDevice(const std::u16string& name) {
    if (name.empty() || name.find(u'/') != std::u16string::npos || name.find(u'\\') != std::u16string::npos)
        return std::nullopt;
    std::optional<std::vector<std::string>> names = ListDosDevices();
    if (!names)
        return std::nullopt;
    const std::string dir = DosDevicesDir() + "/";
    const std::string exact = Utf16ToUtf8(name);
    if (std::binary_search(names->begin(), names->end(), exact))
        return dir + exact;
    for (const std::string& n : *names)
        if (EqualNoCase(Utf8ToUtf16(n), name))
            return dir + n;
    return std::nullopt;
}

}  // namespace velt::platform
