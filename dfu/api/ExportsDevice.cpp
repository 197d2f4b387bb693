// Exports on an open handle: queries, descriptors, raw control transfers,
// the transfer time-out and the serial line settings. The ordered checks are
// ExportChecks.h's; each body here is only its operation.
#include "VELT_DFU.h"

#include "api/ExportChecks.h"
#include "api/WideString.h"

DFU_API DFU_STATUS DFU_GetOpenedDevicePath(DFU_HANDLE handle, char path[260])
{
    return OnOpenDevice(handle, ArgumentsValid(path != nullptr), [&](IControlDevice& device) {
        WCHAR wide[PATH_CHARS] = {};
        if (!device.GetDevicePath(wide))
            return DFU_STATUS_GENERAL_ERROR;
        NarrowPath(wide, path);
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_GetOpenedVidPid(DFU_HANDLE handle, uint16_t* vid, uint16_t* pid)
{
    return OnOpenDevice(handle, ArgumentsValid(vid != nullptr && pid != nullptr), [&](IControlDevice& device) {
        return device.GetVidPid(vid, pid) ? DFU_STATUS_SUCCESS : StatusFromLastError();
    });
}

DFU_API DFU_STATUS DFU_GetOpenedInterface(DFU_HANDLE handle, uint8_t* interfaceKind)
{
    return OnOpenDevice(handle, ArgumentsValid(interfaceKind != nullptr), [&](IControlDevice& device) {
        *interfaceKind = static_cast<uint8_t>(device.GetInterface() & 0xFF);
        return DFU_STATUS_SUCCESS;
    });
}

// The descriptor exports have no open test of their own: the transport
// zeroes the descriptor and reports a closed USB device as
// ERROR_INVALID_HANDLE, a serial device as ERROR_NOT_SUPPORTED.
DFU_API DFU_STATUS DFU_GetDeviceDescriptor(DFU_HANDLE handle, USB_DEVICE_DESCRIPTOR* descriptor)
{
    return OnDevice(handle, ArgumentsValid(descriptor != nullptr), OpenCheck::Skipped, [&](IControlDevice& device) {
        return device.GetDeviceDescriptor(descriptor) ? DFU_STATUS_SUCCESS : StatusFromLastError();
    });
}

DFU_API DFU_STATUS DFU_GetInterfaceDescriptor(DFU_HANDLE handle, USB_INTERFACE_DESCRIPTOR* descriptor)
{
    return OnDevice(handle, ArgumentsValid(descriptor != nullptr), OpenCheck::Skipped, [&](IControlDevice& device) {
        return device.GetInterfaceDescriptor(descriptor) ? DFU_STATUS_SUCCESS : StatusFromLastError();
    });
}

DFU_API DFU_STATUS DFU_ControlTransfer(DFU_HANDLE handle, const WINUSB_SETUP_PACKET* setup, uint8_t* data,
                                       uint32_t length, uint32_t* lengthTransferred)
{
    DFU_STATUS arguments =
        ArgumentsValid(setup != nullptr && (data != nullptr || length == 0) && lengthTransferred != nullptr);
    if (arguments == DFU_STATUS_SUCCESS && setup->Length > length)
        arguments = DFU_STATUS_BUFFER_TOO_SMALL;
    return OnOpenDevice(handle, arguments, [&](IControlDevice& device) {
        return device.ControlTransfer(*setup, data, lengthTransferred) ? DFU_STATUS_SUCCESS : StatusFromLastError();
    });
}

DFU_API DFU_STATUS DFU_SetTransferTimeout(DFU_HANDLE handle, uint32_t timeoutMs)
{
    return OnOpenDevice(handle, DFU_STATUS_SUCCESS, [&](IControlDevice& device) {
        return device.SetTransferTimeout(timeoutMs) ? DFU_STATUS_SUCCESS : DFU_STATUS_TRANSFER_ERROR;
    });
}

DFU_API DFU_STATUS DFU_GetTransferTimeout(DFU_HANDLE handle, uint32_t* timeoutMs)
{
    return OnOpenDevice(handle, ArgumentsValid(timeoutMs != nullptr), [&](IControlDevice& device) {
        return device.GetTransferTimeout(timeoutMs) ? DFU_STATUS_SUCCESS : DFU_STATUS_TRANSFER_ERROR;
    });
}

DFU_API DFU_STATUS DFU_SetUartConfig(DFU_HANDLE handle, uint32_t baudRate, uint8_t dataBits, uint8_t parity,
                                     uint8_t stopBits, uint8_t flowControl)
{
    return OnOpenDevice(handle, DFU_STATUS_SUCCESS, [&](IControlDevice& device) {
        return device.SetUartConfig(baudRate, dataBits, parity, stopBits, flowControl) ? DFU_STATUS_SUCCESS
                                                                                        : StatusFromLastError();
    });
}

DFU_API DFU_STATUS DFU_GetUartConfig(DFU_HANDLE handle, uint32_t* baudRate, uint8_t* dataBits, uint8_t* parity,
                                     uint8_t* stopBits, uint8_t* flowControl)
{
    const bool valid = baudRate != nullptr && dataBits != nullptr && parity != nullptr && stopBits != nullptr &&
                       flowControl != nullptr;
    return OnOpenDevice(handle, ArgumentsValid(valid), [&](IControlDevice& device) {
        return device.GetUartConfig(baudRate, dataBits, parity, stopBits, flowControl) ? DFU_STATUS_SUCCESS
                                                                                        : StatusFromLastError();
    });
}
