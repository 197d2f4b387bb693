#include "discovery/Discovery.h"

#include <utility>

#include "api/LibraryState.h"
#include "api/Lock.h"

namespace {

constexpr DWORD FIRST_LIST_CHARS = 1024;
constexpr DWORD MAX_LIST_CHARS = 104857600;

} // namespace

std::vector<WideString> ComPortsFromDosDeviceList(const WCHAR* list, size_t n)
{
    static const WCHAR prefix[] = TEXT("\\\\.\\");
    std::vector<WideString> ports;
    size_t position = 0;
    while (position < n) {
        const WCHAR* name = list + position;
        const size_t length = WideLength(name, n - position);
        if (length >= 3 && IsComName(name) && length + 4 < PATH_CHARS)
            ports.push_back(WideString(prefix) + WideString(name, length));
        position += length + 1;
    }
    return ports;
}

std::vector<WideString> EnumerateComPorts()
{
    for (DWORD size = FIRST_LIST_CHARS; size <= MAX_LIST_CHARS; size *= 2) {
        std::vector<WCHAR> buffer(size);
        const DWORD n = QueryDosDeviceW(nullptr, buffer.data(), size);
        if (n > 0)
            return ComPortsFromDosDeviceList(buffer.data(), n < size ? n : size);
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            break;
    }
    return {};
}

uint32_t CountComPorts()
{
    CLibraryState& library = Library();
    CAutoLock lock(library.comLock);
    std::vector<WideString> ports = EnumerateComPorts();
    library.comPorts.swap(ports);
    return static_cast<uint32_t>(library.comPorts.size());
}
