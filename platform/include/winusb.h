// The WinUSB subset the DFU library uses, for hosts that are not Windows.
// Devices are real ones through libusb or simulated ones over local sockets
// (velt/usbsock.h); $VELT_USB_BACKEND chooses (libusb, sim, both).
//
// Failures leave the error Windows would: ERROR_INVALID_HANDLE for a handle
// that is not a WinUSB handle, ERROR_SEM_TIMEOUT when the pipe time-out
// passes without an answer, ERROR_GEN_FAILURE for a stalled request, and
// ERROR_BAD_COMMAND once the device has gone away.
#ifndef VELT_PLATFORM_WINUSB_H
#define VELT_PLATFORM_WINUSB_H

#include <windows.h>
#include <usb100.h>
#include <winusbio.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef PVOID WINUSB_INTERFACE_HANDLE, *PWINUSB_INTERFACE_HANDLE;

#pragma pack(push, 1)
typedef struct _WINUSB_SETUP_PACKET {
    UCHAR RequestType;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Length;
} WINUSB_SETUP_PACKET, *PWINUSB_SETUP_PACKET;
#pragma pack(pop)

// DeviceHandle must come from CreateFileW on a device interface path. Each
// WinUSB handle has its own control-pipe time-out, 5000 ms until set.
BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle);
BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle);

// Overlapped requests are not provided: Overlapped must be NULL.
// LengthTransferred may be NULL.
BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                                   PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                                   LPOVERLAPPED Overlapped);
BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType, UCHAR Index,
                                 USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred);
BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                          PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor);
BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                                 ULONG ValueLength, PVOID Value);

#ifdef __cplusplus
}  // extern "C"
static_assert(sizeof(WINUSB_SETUP_PACKET) == 8, "WinUSB setup packet is 8 bytes");
#endif

#endif
