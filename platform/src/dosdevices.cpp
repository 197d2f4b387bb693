#include "dosdevices.h"

#include <windows.h>

#include <velt/com_ports.h>

#include <algorithm>

#include "text.h"

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
        const std::vector<velt::ComPort> ports = velt::ListComPorts();
        if (ports.empty() && !ListDosDevices()) {
            // No namespace directory and no port: nothing by that name exists.
            SetLastError(ERROR_FILE_NOT_FOUND);
            return 0;
        }
        // No entry and no port gives the empty list: the final zero alone.
        for (const velt::ComPort& port : ports)
            items.push_back(Utf8ToUtf16(port.name));
        return CopyMultiString(items, lpTargetPath, ucchMax);
    }
    // An entry's target is where its link leads (an entry that is the device
    // node itself names itself); a discovered port's is its /dev node.
    const velt::ComPort port = velt::FindComPort(Utf16ToUtf8(lpDeviceName));
    if (port.node.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return 0;
    }
    items.push_back(Utf8ToUtf16(port.node));
    return CopyMultiString(items, lpTargetPath, ucchMax);
}
