#include "discovery/Discovery.h"

#include <setupapi.h>

#include <cstddef>
#include <vector>

#include "api/LibraryState.h"
#include "api/Lock.h"

namespace {

bool HaveDeviceInfoSet(const CLibraryState& library)
{
    return library.hasDeviceInfoSet && library.deviceInfoSet != INVALID_HANDLE_VALUE;
}

// Reads the DevicePath out of a detail buffer of size bytes; fails when the
// path has no terminator inside the buffer or does not fit PATH_CHARS.
BOOL CopyDetailPath(const std::vector<BYTE>& buffer, WCHAR* out)
{
    const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const WCHAR* path = reinterpret_cast<const SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data())->DevicePath;
    const size_t capacity = (buffer.size() - offset) / sizeof(WCHAR);
    const size_t length = WideLength(path, capacity);
    if (length == capacity || length >= PATH_CHARS) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    CopyPath(out, path);
    return TRUE;
}

} // namespace

uint32_t CountUsbDevices()
{
    CLibraryState& library = Library();
    CAutoLock lock(library.usbLock);

    if (library.hasDeviceInfoSet && library.deviceInfoSet != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(library.deviceInfoSet);
    library.deviceInfoSet = SetupDiGetClassDevsW(&library.classGuid, nullptr, nullptr,
                                                 DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    library.hasDeviceInfoSet = true;

    WCHAR path[PATH_CHARS];
    uint32_t count = 0;
    while (GetUsbDevicePath(count, path))
        ++count;
    return count;
}

BOOL GetUsbDevicePath(uint32_t memberIndex, WCHAR* out)
{
    CLibraryState& library = Library();
    CAutoLock lock(library.usbLock);

    if (!HaveDeviceInfoSet(library)) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }

    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!SetupDiEnumDeviceInterfaces(library.deviceInfoSet, nullptr, &library.classGuid, memberIndex,
                                     &interfaceData))
        return FALSE;

    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(library.deviceInfoSet, &interfaceData, nullptr, 0, &required, nullptr);
    // A size that cannot even hold the fixed part and a terminator is never
    // written into; the member counts as unreadable.
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }

    std::vector<BYTE> buffer(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!SetupDiGetDeviceInterfaceDetailW(library.deviceInfoSet, &interfaceData, detail, required, nullptr,
                                          nullptr))
        return FALSE;
    return CopyDetailPath(buffer, out);
}

HANDLE OpenUsbDevice(uint32_t memberIndex, WCHAR* out)
{
    WCHAR path[PATH_CHARS] = {};
    CAutoLock lock(Library().usbLock);

    if (!GetUsbDevicePath(memberIndex, path))
        return INVALID_HANDLE_VALUE;
    HANDLE file = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CopyPath(out, path);
    return file;
}

namespace {

int HexDigit(WCHAR c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool IsSpace(WCHAR c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Base-16 conversion with the rules of wcstoul: leading white space, an
// optional sign, an optional 0x prefix, then digits up to the first
// character that is not one.
unsigned long HexToUnsigned(const WCHAR* text)
{
    while (IsSpace(*text))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') {
        negative = *text == '-';
        ++text;
    }
    if (text[0] == '0' && (text[1] == 'x' || text[1] == 'X') && HexDigit(text[2]) >= 0)
        text += 2;
    unsigned long value = 0;
    for (int digit; (digit = HexDigit(*text)) >= 0; ++text)
        value = value * 16 + static_cast<unsigned long>(digit);
    return negative ? 0UL - value : value;
}

uint16_t HexField(const WCHAR* path, size_t position)
{
    WCHAR field[5] = {};
    // Stop at the terminator so a short path is never read past its end.
    const size_t available = WideLength(path, position + 4);
    for (size_t i = position; i < available; ++i)
        field[i - position] = path[i];
    return static_cast<uint16_t>(HexToUnsigned(field) & 0xFFFF);
}

} // namespace

BOOL ParseVidPid(const WCHAR* path, uint16_t* vid, uint16_t* pid)
{
    *vid = HexField(path, 12);
    *pid = HexField(path, 21);
    return TRUE;
}
