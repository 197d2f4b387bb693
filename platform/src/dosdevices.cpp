#include "dosdevices.h"

#include <windows.h>

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

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

namespace {

using namespace velt::platform;

// Copies the zero-separated list into the caller's buffer under Windows'
// contract: everything or nothing, the result counting every character.
DWORD CopyMultiString(const std::vector<std::u16string>& items, LPWSTR out, DWORD capacity) {
    size_t need = 1;
    for (const std::u16string& s : items)
        need += s.size() + 1;
    if (!out || need > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    size_t p = 0;
    for (const std::u16string& s : items) {
        std::copy(s.begin(), s.end(), out + p);
        p += s.size();
        out[p++] = 0;
    }
    out[p++] = 0;
    return static_cast<DWORD>(p);
}

}  // namespace

extern "C" DWORD WINAPI QueryDosDeviceW(LPCWSTR lpDeviceName, LPWSTR lpTargetPath, DWORD ucchMax) {
    std::vector<std::u16string> items;
    if (!lpDeviceName) {
        std::optional<std::vector<std::string>> names = ListDosDevices();
        if (!names) {
            // No namespace directory at all: nothing by that name exists.
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        // An empty directory gives the empty list: the final zero alone.
        for (const std::string& n : *names)
            items.push_back(Utf8ToUtf16(n));
        return CopyMultiString(items, lpTargetPath, ucchMax);
    }
    std::optional<std::string> entry = FindDosDevice(lpDeviceName);
    if (!entry) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    // The target of the link; an entry that is the device node itself
    // names itself.
    std::string target(4096, '\0');
    ssize_t n = readlink(entry->c_str(), target.data(), target.size());
    if (n >= 0)
        target.resize(static_cast<size_t>(n));
    else
        target = *entry;
    items.push_back(Utf8ToUtf16(target));
    return CopyMultiString(items, lpTargetPath, ucchMax);
}
