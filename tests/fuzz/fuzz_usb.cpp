// The socket backend's side of its protocol with a simulated USB device
// (velt/usbsock.h), fed whatever a device could send: a greeting, then
// replies with any sequence number, error, length and data, truncated
// anywhere, after which the device hangs up.
//
// Input: a count of calls (1 to 8), two bytes per call (WinUSB call,
// parameter), then the device's byte stream.
//
// Properties: every call ends; buffers of exactly the caller's length are
// never written past (ASan); a count never exceeds the buffer; a failure
// leaves a Windows error.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <winusb.h>

#include "usb_backend.h"

namespace {

[[noreturn]] void Violated(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

void Check(bool condition, const char* what)
{
    if (!condition)
        Violated(what);
}

void Call(WINUSB_INTERFACE_HANDLE usb, uint8_t op, uint8_t parameter)
{
    BOOL ok = FALSE;
    switch (op % 6) {
    case 0: {  // a descriptor into a buffer of its type's size, or of the parameter's
        static const UCHAR kTypes[] = {USB_DEVICE_DESCRIPTOR_TYPE, USB_CONFIGURATION_DESCRIPTOR_TYPE,
                                       USB_STRING_DESCRIPTOR_TYPE, 0x21};
        const UCHAR type = kTypes[parameter & 3];
        const ULONG length = (parameter & 4) ? (parameter >> 3) + 1u
                             : type == USB_DEVICE_DESCRIPTOR_TYPE ? sizeof(USB_DEVICE_DESCRIPTOR)
                                                                  : 9u;
        std::unique_ptr<UCHAR[]> buffer(new UCHAR[length]);
        ULONG got = 0xFFFFFFFF;
        ok = WinUsb_GetDescriptor(usb, type, 0, 0, buffer.get(), length, &got);
        Check(ok ? got <= length : got == 0, "descriptor count beyond the buffer");
        break;
    }
    case 1: {
        auto descriptor = std::make_unique<USB_INTERFACE_DESCRIPTOR>();
        ok = WinUsb_QueryInterfaceSettings(usb, parameter, descriptor.get());
        break;
    }
    case 2: {  // device to host, buffer of exactly Length
        const USHORT length = parameter;
        WINUSB_SETUP_PACKET setup = {0xC1, 0x80, 0, 0, length};
        std::unique_ptr<UCHAR[]> buffer(new UCHAR[length ? length : 1]);
        ULONG got = 0xFFFFFFFF;
        ok = WinUsb_ControlTransfer(usb, setup, buffer.get(), length, &got, nullptr);
        Check(ok ? got <= length : got == 0, "control count beyond the buffer");
        break;
    }
    case 3: {  // host to device
        const USHORT length = parameter;
        WINUSB_SETUP_PACKET setup = {0x41, 0x81, 0, 0, length};
        std::unique_ptr<UCHAR[]> buffer(new UCHAR[length ? length : 1]());
        ULONG got = 0xFFFFFFFF;
        ok = WinUsb_ControlTransfer(usb, setup, buffer.get(), length, &got, nullptr);
        Check(ok ? got == length : got == 0, "out transfer count is not its length");
        break;
    }
    case 4: {
        ULONG timeout = parameter;
        ok = WinUsb_SetPipePolicy(usb, 0, PIPE_TRANSFER_TIMEOUT, sizeof timeout, &timeout);
        break;
    }
    default: {  // a buffer smaller than the device's reply may be
        UCHAR one = 0;
        ULONG got = 0xFFFFFFFF;
        WINUSB_SETUP_PACKET setup = {0xA1, 3, 0, 0, 1};
        ok = WinUsb_ControlTransfer(usb, setup, &one, 1, &got, nullptr);
        Check(ok ? got <= 1 : got == 0, "one-byte transfer counted more");
        break;
    }
    }
    Check(ok || GetLastError() != 0, "a failed call left no error");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const size_t calls = (data[0] & 7) + 1u;
    if (size < 1 + 2 * calls)
        return 0;
    const uint8_t* script = data + 1;
    const uint8_t* stream = data + 1 + 2 * calls;
    const size_t streamSize = size - 1 - 2 * calls;

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        Violated("no socket pair");
    // The device's whole say, then it stops talking (the host may still
    // send: nobody reads, the socket buffer holds it).
    for (size_t done = 0; done < streamSize;) {
        const ssize_t n = write(pair[1], stream + done, streamSize - done);
        if (n <= 0)
            Violated("socket pair write failed");
        done += static_cast<size_t>(n);
    }
    shutdown(pair[1], SHUT_WR);

    HANDLE file = velt::platform::OpenUsbSocketConnection(pair[0]);
    if (file != INVALID_HANDLE_VALUE) {
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        if (!WinUsb_Initialize(file, &usb))
            Violated("WinUsb_Initialize failed on an open device file");
        for (size_t c = 0; c < calls; ++c) {
            SetLastError(0);
            Call(usb, script[2 * c], script[2 * c + 1]);
        }
        WinUsb_Free(usb);
        CloseHandle(file);
    }
    close(pair[1]);
    return 0;
}
