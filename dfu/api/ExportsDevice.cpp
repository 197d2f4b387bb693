// Exports on an open handle: queries, descriptors, raw control transfers,
// the transfer time-out and the serial line settings. Each checks the handle,
// then its pointers, then (where the device must be open) IsOpened.
#include "VELT_DFU.h"

#include "api/Handles.h"
#include "api/Status.h"
#include "api/WideString.h"
#include "transport/IControlDevice.h"

DFU_API DFU_STATUS DFU_GetOpenedDevicePath(DFU_HANDLE handle, char path[260])
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (path == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    WCHAR wide[PATH_CHARS] = {};
    if (!device->GetDevicePath(wide))
        return DFU_STATUS_GENERAL_ERROR;
    NarrowPath(wide, path);
    return DFU_STATUS_SUCCESS;
}

DFU_API DFU_STATUS DFU_GetOpenedVidPid(DFU_HANDLE handle, uint16_t* vid, uint16_t* pid)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (vid == nullptr || pid == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    return device->GetVidPid(vid, pid) ? DFU_STATUS_SUCCESS : StatusFromLastError();
}

DFU_API DFU_STATUS DFU_GetOpenedInterface(DFU_HANDLE handle, uint8_t* interfaceKind)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (interfaceKind == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    *interfaceKind = static_cast<uint8_t>(device->GetInterface() & 0xFF);
    return DFU_STATUS_SUCCESS;
}

// The descriptor exports have no open test of their own: the transport
// zeroes the descriptor and reports a closed USB device as
// ERROR_INVALID_HANDLE, a serial device as ERROR_NOT_SUPPORTED.
DFU_API DFU_STATUS DFU_GetDeviceDescriptor(DFU_HANDLE handle, USB_DEVICE_DESCRIPTOR* descriptor)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (descriptor == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    return device->GetDeviceDescriptor(descriptor) ? DFU_STATUS_SUCCESS : StatusFromLastError();
}

DFU_API DFU_STATUS DFU_GetInterfaceDescriptor(DFU_HANDLE handle, USB_INTERFACE_DESCRIPTOR* descriptor)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (descriptor == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    return device->GetInterfaceDescriptor(descriptor) ? DFU_STATUS_SUCCESS : StatusFromLastError();
}

DFU_API DFU_STATUS DFU_ControlTransfer(DFU_HANDLE handle, const WINUSB_SETUP_PACKET* setup, uint8_t* data,
                                       uint32_t length, uint32_t* lengthTransferred)
{
    return GuardedExport([&] {
        IControlDevice* device = LookupHandle(handle);
        if (device == nullptr)
            return DFU_STATUS_INVALID_HANDLE;
        if (setup == nullptr || (data == nullptr && length != 0) || lengthTransferred == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        if (setup->Length > length)
            return DFU_STATUS_BUFFER_TOO_SMALL;
        if (!device->IsOpened())
            return DFU_STATUS_DEVICE_NOT_OPENED;
        return device->ControlTransfer(*setup, data, lengthTransferred) ? DFU_STATUS_SUCCESS
                                                                        : StatusFromLastError();
    });
}

DFU_API DFU_STATUS DFU_SetTransferTimeout(DFU_HANDLE handle, uint32_t timeoutMs)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    return device->SetTransferTimeout(timeoutMs) ? DFU_STATUS_SUCCESS : DFU_STATUS_TRANSFER_ERROR;
}

DFU_API DFU_STATUS DFU_GetTransferTimeout(DFU_HANDLE handle, uint32_t* timeoutMs)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (timeoutMs == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    return device->GetTransferTimeout(timeoutMs) ? DFU_STATUS_SUCCESS : DFU_STATUS_TRANSFER_ERROR;
}

DFU_API DFU_STATUS DFU_SetUartConfig(DFU_HANDLE handle, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                                     uint8_t stopBits, uint8_t flowControl)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    return device->SetUartConfig(baudRate, dataBits, parity, stopBits, flowControl) ? DFU_STATUS_SUCCESS
                                                                                     : StatusFromLastError();
}

DFU_API DFU_STATUS DFU_GetUartConfig(DFU_HANDLE handle, uint32_t* baudRate, uint8_t* dataBits, uint8_t* parity,
                                     uint8_t* stopBits, uint8_t* flowControl)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (baudRate == nullptr || dataBits == nullptr || parity == nullptr || stopBits == nullptr ||
        flowControl == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    return device->GetUartConfig(baudRate, dataBits, parity, stopBits, flowControl) ? DFU_STATUS_SUCCESS
                                                                                     : StatusFromLastError();
}
