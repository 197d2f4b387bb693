// WinUSB over the device files of the USB backends (usb_backend.h).
//
// Each WinUSB handle enforces its own control-pipe time-out (5000 ms,
// WinUSB's default, until set; 0 waits for ever). Arguments are checked here,
// once for every backend; the device file does the transfer and leaves the
// error WinUSB would.
#include <winusb.h>

#include <atomic>
#include <cstring>

#include "usb_backend.h"

namespace velt::platform {
namespace {

constexpr DWORD kDefaultPipeTimeoutMs = 5000;
constexpr UCHAR kRecipientInterface = 1;  // bmRequestType bits 0..4

class WinUsbInterface : public HandleObject {
public:
    explicit WinUsbInterface(std::shared_ptr<UsbDeviceFile> dev) : device(std::move(dev)) {}
    const std::shared_ptr<UsbDeviceFile> device;
    std::atomic<DWORD> pipeTimeoutMs{kDefaultPipeTimeoutMs};
};

std::shared_ptr<WinUsbInterface> FindInterface(WINUSB_INTERFACE_HANDLE h) {
    std::shared_ptr<WinUsbInterface> i = FindHandleAs<WinUsbInterface>(h);
    if (!i)
        SetLastError(ERROR_INVALID_HANDLE);
    return i;
}

}  // namespace

// Device interface paths compare without regard to ASCII case, as Windows
// compares them; each backend is asked in turn, real devices first.
HANDLE OpenUsbDevice(const std::u16string& interfacePath) {
    for (UsbBackend* backend : ActiveUsbBackends()) {
        HANDLE h = backend->Open(interfacePath);
        if (h != INVALID_HANDLE_VALUE || GetLastError() != ERROR_FILE_NOT_FOUND)
            return h;
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

}  // namespace velt::platform

using namespace velt::platform;

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
    std::shared_ptr<UsbDeviceFile> dev = FindHandleAs<UsbDeviceFile>(DeviceHandle);
    if (!dev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!InterfaceHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *InterfaceHandle = RegisterHandle(std::make_shared<WinUsbInterface>(std::move(dev)));
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
    if (!FindHandleAs<WinUsbInterface>(InterfaceHandle) || !RemoveHandle(InterfaceHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                                   PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                                   LPOVERLAPPED Overlapped) {
    if (LengthTransferred)
        *LengthTransferred = 0;
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (Overlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    // The data stage is the setup packet's Length; the buffer must hold it.
    if (SetupPacket.Length > BufferLength || (SetupPacket.Length && !Buffer)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    UCHAR setup[8];
    memcpy(setup, &SetupPacket, sizeof setup);
    // As WinUSB does: a request to an interface goes to the handle's own, so
    // the caller's wIndex low byte is replaced (a composite device's DFU
    // function is seldom interface 0). The high byte is the caller's.
    if ((setup[0] & 0x1F) == kRecipientInterface)
        setup[4] = i->device->InterfaceNumber();
    ULONG got = 0;
    BOOL ok = i->device->Control(setup, Buffer, &got, i->pipeTimeoutMs.load());
    if (ok && LengthTransferred)
        *LengthTransferred = got;
    return ok;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType, UCHAR Index,
                                 USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred) {
    if (LengthTransferred)
        *LengthTransferred = 0;
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (!Buffer || !BufferLength || !LengthTransferred) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const ULONG capacity = BufferLength > 0xFFFF ? 0xFFFF : BufferLength;  // wLength is 16 bits
    return i->device->GetDescriptor(DescriptorType, Index, LanguageID, Buffer, capacity, LengthTransferred,
                                    i->pipeTimeoutMs.load());
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                          PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor) {
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (!UsbAltInterfaceDescriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return i->device->QueryInterface(AlternateInterfaceNumber, UsbAltInterfaceDescriptor, i->pipeTimeoutMs.load());
}

// The time-out takes effect here once the device file has accepted it.
BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                                 ULONG ValueLength, PVOID Value) {
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (!Value || ValueLength == 0 || ValueLength > 4 ||
        (PolicyType == PIPE_TRANSFER_TIMEOUT && ValueLength != sizeof(ULONG))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!i->device->SetPipePolicy(PipeID, PolicyType, ValueLength, Value, i->pipeTimeoutMs.load()))
        return FALSE;
    if (PolicyType == PIPE_TRANSFER_TIMEOUT && PipeID == 0) {
        ULONG ms;
        memcpy(&ms, Value, sizeof ms);
        i->pipeTimeoutMs.store(ms);
    }
    return TRUE;
}

}  // extern "C"
