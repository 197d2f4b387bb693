// The one interface between the SetupDi*/WinUsb_* calls and the places USB
// devices come from: simulated devices on local sockets, and real devices
// through libusb. SetupAPI lists the members of every chosen backend, real
// ones first; CreateFileW hands a device interface path to each in turn.
#ifndef VELT_PLATFORM_USB_BACKEND_H
#define VELT_PLATFORM_USB_BACKEND_H

#include <windows.h>
#include <usb100.h>

#include <string>
#include <vector>

#include "file_object.h"

namespace velt::platform {

// One device interface: a path of the form \\?\usb#vid_xxxx&pid_xxxx#...#{guid}.
struct UsbMember {
    std::u16string interfacePath;
    GUID interfaceClass;
    bool live;  // present now; false for a description left behind
};

// What CreateFileW returns for a device interface path. Each operation
// returns TRUE, or FALSE with the Windows error WinUSB would leave.
// timeoutMs is the control pipe's time-out; 0 waits for ever.
class UsbDeviceFile : public FileObject {
public:
    virtual BOOL Control(const UCHAR setup[8], UCHAR* data, ULONG* transferred, DWORD timeoutMs) = 0;
    virtual BOOL GetDescriptor(UCHAR type, UCHAR index, USHORT language, UCHAR* buffer, ULONG length,
                               ULONG* transferred, DWORD timeoutMs) = 0;
    virtual BOOL QueryInterface(UCHAR alternate, USB_INTERFACE_DESCRIPTOR* out, DWORD timeoutMs) = 0;
    // Called after the arguments are checked; the caller keeps the time-out.
    virtual BOOL SetPipePolicy(UCHAR pipe, ULONG policy, ULONG length, const void* value, DWORD timeoutMs) = 0;
    // The number of the interface this file reaches (a composite device's
    // function is one interface of several).
    virtual UCHAR InterfaceNumber() const = 0;
};

class UsbBackend {
public:
    virtual ~UsbBackend() = default;
    virtual const char* Name() const = 0;
    // Every interface of every class, in this backend's order.
    virtual std::vector<UsbMember> Members() = 0;
    // Opens a path this backend lists. A path it does not know fails with
    // ERROR_FILE_NOT_FOUND, so that the next backend may try it.
    virtual HANDLE Open(const std::u16string& interfacePath) = 0;
};

UsbBackend& SocketBackend();

// A device file over a connected stream socket that speaks velt/usbsock.h:
// waits for the device's greeting and takes fd over (closed on failure too).
// The socket backend opens every device through here; a test or fuzz target
// hands it one end of a socket pair to play the device itself.
HANDLE OpenUsbSocketConnection(int fd, UCHAR interfaceNumber = 0);
UsbBackend& LibusbBackend();

// $VELT_USB_BACKEND: "libusb", "sim" or "both" (the default, and what any
// other value means), real devices before simulated ones.
std::vector<UsbBackend*> ActiveUsbBackends();

}  // namespace velt::platform

#endif
