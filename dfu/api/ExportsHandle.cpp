// Opening and closing: the only places handles are made and destroyed.
#include "VELT_DFU.h"

#include <memory>
#include <new>

#include "api/ExportChecks.h"
#include "api/Lock.h"
#include "api/Handles.h"
#include "api/LibraryState.h"
#include "api/Status.h"
#include "api/WideString.h"
#include "transport/ControlUart.h"
#include "transport/ControlUsb.h"

namespace {

IControlDevice* NewDevice(uint8_t kind)
{
    if (kind == DFU_INTERFACE_UART)
        return new CControlUart();
    return new CControlUsb();
}

// Shared ending of both opens: success hands the handle out, anything else
// leaves no trace of it.
DFU_STATUS FinishOpen(DFU_STATUS result, DFU_HANDLE created, IControlDevice* device, DFU_HANDLE* handle)
{
    if (result == DFU_STATUS_SUCCESS) {
        *handle = created;
        return DFU_STATUS_SUCCESS;
    }
    device->Close();
    DestroyHandle(created);
    return result;
}

} // namespace

DFU_API DFU_STATUS DFU_OpenByIndex(DFU_HANDLE* handle, uint32_t index)
{
    return GuardedExport([&] {
        if (handle == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        CLibraryState& library = Library();
        const uint8_t kind = index >= library.usbCount ? DFU_INTERFACE_UART : DFU_INTERFACE_USB;
        IControlDevice* device = NewDevice(kind);
        DFU_HANDLE created = CreateHandle(device);

        DFU_STATUS result = DFU_STATUS_SUCCESS;
        try {
            // A count on another thread may have moved the USB/COM split since
            // the kind was chosen.
            const uint32_t usbCount = library.usbCount;
            const int expected = index >= usbCount ? 1 : 0;
            if (device->GetInterface() != expected)
                result = DFU_STATUS_INTERFACE_MISMATCH;
            else if (!device->OpenByIndex(index < usbCount ? index : index - usbCount))
                result = DFU_STATUS_GENERAL_ERROR;
        } catch (const std::bad_alloc&) {
            result = DFU_STATUS_GENERAL_ERROR;
        }
        return FinishOpen(result, created, device, handle);
    });
}

DFU_API DFU_STATUS DFU_OpenByDevicePath(DFU_HANDLE* handle, const char* path)
{
    return GuardedExport([&] {
        if (handle == nullptr || path == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        // A path that does not fit our 260-character buffers is refused: a
        // truncated copy could open another device.
        if (NarrowPathLength(path) >= PATH_CHARS)
            return DFU_STATUS_INVALID_PARAMETER;
        WCHAR wide[PATH_CHARS];
        WidenPath(path, wide);
        IControlDevice* device = NewDevice(IsComPortPath(wide) ? DFU_INTERFACE_UART : DFU_INTERFACE_USB);
        DFU_HANDLE created = CreateHandle(device);

        DFU_STATUS result = DFU_STATUS_SUCCESS;
        try {
            if (!device->OpenByDevicePath(wide))
                result = DFU_STATUS_GENERAL_ERROR;
        } catch (const std::bad_alloc&) {
            result = DFU_STATUS_GENERAL_ERROR;
        }
        return FinishOpen(result, created, device, handle);
    });
}

DFU_API DFU_STATUS DFU_Close(DFU_HANDLE handle)
{
    return OnDevice(handle, DFU_STATUS_SUCCESS, OpenCheck::Skipped, [&](IControlDevice& device) {
        const DFU_STATUS result = device.Close() ? DFU_STATUS_SUCCESS : DFU_STATUS_GENERAL_ERROR;
        DestroyHandle(handle);
        return result;
    });
}

// The one export that answers a BOOL: anything that goes wrong is "not open".
DFU_API BOOL DFU_IsOpened(DFU_HANDLE handle)
{
    try {
        const std::shared_ptr<CHandleDevice> shared = LookupHandle(handle);
        if (!shared)
            return FALSE;
        CAutoLock calls(shared->CallLock());
        return !shared->closed && shared->Device().IsOpened() ? TRUE : FALSE;
    } catch (...) {
        return FALSE;
    }
}
