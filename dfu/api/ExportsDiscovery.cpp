// Exports that need no handle: class GUID, counting, and per-index or
// per-path queries on the numbering of the last count.
#include "VELT_DFU.h"

#include "api/LibraryState.h"
#include "api/Lock.h"
#include "api/Status.h"
#include "api/WideString.h"
#include "discovery/Discovery.h"

DFU_API DFU_STATUS DFU_GetGuid(GUID* guid)
{
    return GuardedExport([&] {
        if (guid == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        CLibraryState& library = Library();
        CAutoLock lock(library.usbLock);
        *guid = library.classGuid;
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_SetGuid(const GUID* guid)
{
    return GuardedExport([&] {
        if (guid == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        CLibraryState& library = Library();
        CAutoLock lock(library.usbLock);
        library.classGuid = *guid;
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_GetNumDevices(uint32_t* numDevices)
{
    return GuardedExport([&] {
        if (numDevices == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        const uint32_t usbCount = CountUsbDevices();
        Library().usbCount = usbCount;
        const uint32_t comCount = CountComPorts();
        *numDevices = usbCount + comCount;
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_GetDevicePath(uint32_t index, char path[260])
{
    return GuardedExport([&] {
        if (path == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        CLibraryState& library = Library();
        const uint32_t usbCount = library.usbCount;
        WCHAR found[PATH_CHARS] = {};
        if (index < usbCount) {
            if (!GetUsbDevicePath(index, found))
                return DFU_STATUS_DEVICE_NOT_FOUND;
        } else {
            CAutoLock lock(library.comLock);
            const size_t entry = index - usbCount;
            if (entry >= library.comPorts.size())
                return DFU_STATUS_DEVICE_NOT_FOUND;
            CopyPath(found, library.comPorts[entry].c_str());
        }
        NarrowPath(found, path);
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_GetVidPid(uint32_t index, uint16_t* vid, uint16_t* pid)
{
    return GuardedExport([&] {
        if (vid == nullptr || pid == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        if (index >= Library().usbCount) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return StatusFromLastError();
        }
        WCHAR found[PATH_CHARS] = {};
        if (!GetUsbDevicePath(index, found))
            return StatusFromLastError();
        ParseVidPid(found, vid, pid);
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_GetInterfaceByIndex(uint32_t index, uint8_t* interfaceKind)
{
    return GuardedExport([&] {
        if (interfaceKind == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        *interfaceKind = index >= Library().usbCount ? DFU_INTERFACE_UART : DFU_INTERFACE_USB;
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_GetInterfaceByDevicePath(const char* path, uint8_t* interfaceKind)
{
    return GuardedExport([&] {
        if (interfaceKind == nullptr || path == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        // Paths that do not fit our 260-character buffers are refused rather
        // than judged by a truncated copy.
        if (NarrowPathLength(path) >= PATH_CHARS)
            return DFU_STATUS_INVALID_PARAMETER;
        WCHAR wide[PATH_CHARS];
        WidenPath(path, wide);
        *interfaceKind = IsComPortPath(wide) ? DFU_INTERFACE_UART : DFU_INTERFACE_USB;
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_GetLibraryVersion(uint8_t* major, uint8_t* minor, uint32_t* third)
{
    return GuardedExport([&] {
        if (major == nullptr || minor == nullptr || third == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        *major = 1;
        *minor = 1;
        *third = 1;
        return DFU_STATUS_SUCCESS;
    });
}
