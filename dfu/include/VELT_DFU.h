/*
 * VELT_DFU: host library for devices running a USB DFU 1.1 firmware, reached
 * over WinUSB or over a serial COM port.
 *
 * Every export returns a DFU_STATUS (0 on success) except DFU_IsOpened, which
 * returns a BOOL. Handle-taking exports check, in this order: the handle
 * (DFU_STATUS_INVALID_HANDLE), their pointer arguments
 * (DFU_STATUS_INVALID_PARAMETER), whether the device is open
 * (DFU_STATUS_DEVICE_NOT_OPENED), and only then talk to the device. A call
 * refused by one of these checks writes no output.
 *
 * Device paths cross this interface as 8-bit strings in 260-byte buffers; the
 * library writes all 260 bytes (the path, then zero bytes). A path of 260
 * characters or more does not fit and is refused with
 * DFU_STATUS_INVALID_PARAMETER.
 */
#ifndef VELT_DFU_H
#define VELT_DFU_H

#include <stdint.h>
#include <windows.h>
#include <winusb.h>

#if defined(_WIN32)
#  if defined(VELT_DFU_BUILD)
#    define DFU_API __declspec(dllexport)
#  else
#    define DFU_API __declspec(dllimport)
#  endif
#else
#  define DFU_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint8_t DFU_STATUS;

#define DFU_STATUS_SUCCESS              ((DFU_STATUS)0x00)
#define DFU_STATUS_INVALID_PARAMETER    ((DFU_STATUS)0x40)
#define DFU_STATUS_BUFFER_TOO_SMALL     ((DFU_STATUS)0x41)
#define DFU_STATUS_NOT_IDLE             ((DFU_STATUS)0x43)
#define DFU_STATUS_UNEXPECTED_STATE     ((DFU_STATUS)0x44)
#define DFU_STATUS_DOWNLOAD_FAILED      ((DFU_STATUS)0x45)
#define DFU_STATUS_FILE_READ_ERROR      ((DFU_STATUS)0x46)
#define DFU_STATUS_FILE_WRITE_ERROR     ((DFU_STATUS)0x47)
#define DFU_STATUS_INVALID_HANDLE       ((DFU_STATUS)0x48)
#define DFU_STATUS_INTERFACE_MISMATCH   ((DFU_STATUS)0x49)
#define DFU_STATUS_CANCELLED            ((DFU_STATUS)0x4A)
#define DFU_STATUS_NOT_SUPPORTED        ((DFU_STATUS)0x4B)
#define DFU_STATUS_DEVICE_NOT_FOUND     ((DFU_STATUS)0x80)
#define DFU_STATUS_DEVICE_NOT_OPENED    ((DFU_STATUS)0x81)
#define DFU_STATUS_GENERAL_ERROR        ((DFU_STATUS)0x82)
#define DFU_STATUS_TRANSFER_ERROR       ((DFU_STATUS)0x83)
#define DFU_STATUS_TIMEOUT              ((DFU_STATUS)0x84)
#define DFU_STATUS_INCOMPLETE_TRANSFER  ((DFU_STATUS)0x85)

/* Opaque, pointer-sized; valid from a successful open until DFU_Close. A
 * closed handle's value is never valid again in the process. */
typedef void* DFU_HANDLE;

/* Interface kinds reported by the DFU_GetInterface* exports. */
#define DFU_INTERFACE_USB   ((uint8_t)0)
#define DFU_INTERFACE_UART  ((uint8_t)1)

/* Size of every device path buffer, terminator included. */
#define DFU_PATH_SIZE 260

/* Device-interface class the library enumerates until DFU_SetGuid changes it:
 * {04C77E93-B54D-4714-AC96-15A62BFA307B}. */
#define DFU_DEFAULT_DEVICE_GUID_INIT \
    { 0x04C77E93, 0xB54D, 0x4714, { 0xAC, 0x96, 0x15, 0xA6, 0x2B, 0xFA, 0x30, 0x7B } }
#if defined(__GNUC__)
__attribute__((unused))
#endif
static const GUID DFU_DEFAULT_DEVICE_GUID = DFU_DEFAULT_DEVICE_GUID_INIT;

/* Reply of DFU_GETSTATUS (DFU 1.1), unpacked. bwPollTimeout is the 24-bit
 * poll time-out in milliseconds. */
typedef struct DFU_GETSTATUS_RESULT {
    uint8_t  bStatus;
    uint32_t bwPollTimeout;
    uint8_t  bState;
    uint8_t  iString;
} DFU_GETSTATUS_RESULT;

/* Reply of the vendor information request. The library moves the bytes and
 * gives them no meaning; reply bytes 2 and 3 arrive in infoByte2, infoByte1. */
typedef struct DFU_DEVICE_INFO {
    uint16_t infoWord;
    uint8_t  infoByte1;
    uint8_t  infoByte2;
    uint32_t infoValue1;
    uint32_t infoValue2;
    uint32_t infoValue3;
    uint8_t  infoData[32];
} DFU_DEVICE_INFO;

#ifdef __cplusplus
static_assert(sizeof(DFU_DEVICE_INFO) == 48, "DFU_DEVICE_INFO is 48 bytes");
static_assert(sizeof(DFU_HANDLE) == sizeof(void*), "DFU_HANDLE is pointer-sized");
#else
_Static_assert(sizeof(DFU_DEVICE_INFO) == 48, "DFU_DEVICE_INFO is 48 bytes");
#endif

/* Discovery and queries by index or path. DFU_GetNumDevices numbers USB
 * devices first and COM ports after them; the numbering holds until the next
 * count. */
DFU_API DFU_STATUS DFU_GetGuid(GUID* guid);
DFU_API DFU_STATUS DFU_SetGuid(const GUID* guid);
DFU_API DFU_STATUS DFU_GetNumDevices(uint32_t* numDevices);
DFU_API DFU_STATUS DFU_GetDevicePath(uint32_t index, char path[260]);
DFU_API DFU_STATUS DFU_GetVidPid(uint32_t index, uint16_t* vid, uint16_t* pid);
DFU_API DFU_STATUS DFU_GetInterfaceByIndex(uint32_t index, uint8_t* interfaceKind);
DFU_API DFU_STATUS DFU_GetInterfaceByDevicePath(const char* path, uint8_t* interfaceKind);
DFU_API DFU_STATUS DFU_GetLibraryVersion(uint8_t* major, uint8_t* minor, uint32_t* third);

/* Handle lifetime. */
DFU_API DFU_STATUS DFU_OpenByIndex(DFU_HANDLE* handle, uint32_t index);
DFU_API DFU_STATUS DFU_OpenByDevicePath(DFU_HANDLE* handle, const char* path);
DFU_API DFU_STATUS DFU_Close(DFU_HANDLE handle);
DFU_API BOOL DFU_IsOpened(DFU_HANDLE handle);

/* Queries on an open device. */
DFU_API DFU_STATUS DFU_GetOpenedDevicePath(DFU_HANDLE handle, char path[260]);
DFU_API DFU_STATUS DFU_GetOpenedVidPid(DFU_HANDLE handle, uint16_t* vid, uint16_t* pid);
DFU_API DFU_STATUS DFU_GetOpenedInterface(DFU_HANDLE handle, uint8_t* interfaceKind);

/* USB descriptors and raw control transfers. At most setup->Length bytes
 * move; length only states the capacity of data. */
DFU_API DFU_STATUS DFU_GetDeviceDescriptor(DFU_HANDLE handle, USB_DEVICE_DESCRIPTOR* descriptor);
DFU_API DFU_STATUS DFU_GetInterfaceDescriptor(DFU_HANDLE handle, USB_INTERFACE_DESCRIPTOR* descriptor);
DFU_API DFU_STATUS DFU_ControlTransfer(DFU_HANDLE handle, const WINUSB_SETUP_PACKET* setup,
                                       uint8_t* data, uint32_t length, uint32_t* lengthTransferred);

/* Transfer time-out in milliseconds (1000 after every open). */
DFU_API DFU_STATUS DFU_SetTransferTimeout(DFU_HANDLE handle, uint32_t timeoutMs);
DFU_API DFU_STATUS DFU_GetTransferTimeout(DFU_HANDLE handle, uint32_t* timeoutMs);

/* Serial line settings of a COM-port device. parity and stopBits take the
 * DCB codes (NOPARITY..SPACEPARITY, ONESTOPBIT..TWOSTOPBITS); flowControl 1
 * is RTS/CTS, anything else none. */
DFU_API DFU_STATUS DFU_SetUartConfig(DFU_HANDLE handle, uint32_t baudRate, uint8_t dataBits,
                                     uint8_t parity, uint8_t stopBits, uint8_t flowControl);
DFU_API DFU_STATUS DFU_GetUartConfig(DFU_HANDLE handle, uint32_t* baudRate, uint8_t* dataBits,
                                     uint8_t* parity, uint8_t* stopBits, uint8_t* flowControl);

/* DFU 1.1 class requests on interface 0. DNLOAD and UPLOAD store the number
 * of bytes moved in *bytesTransferred even when they fail with
 * DFU_STATUS_INCOMPLETE_TRANSFER. */
DFU_API DFU_STATUS DFU_DfuDnload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length,
                                 uint16_t blockNumber, uint16_t* bytesTransferred);
DFU_API DFU_STATUS DFU_DfuUpload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length,
                                 uint16_t blockNumber, uint16_t* bytesTransferred);
DFU_API DFU_STATUS DFU_DfuGetStatus(DFU_HANDLE handle, DFU_GETSTATUS_RESULT* status);
DFU_API DFU_STATUS DFU_DfuClearStatus(DFU_HANDLE handle);
DFU_API DFU_STATUS DFU_DfuGetState(DFU_HANDLE handle, uint8_t* state);
DFU_API DFU_STATUS DFU_DfuAbort(DFU_HANDLE handle);

/* Vendor requests: the 48-byte device information record, and a reset that
 * makes the next serial transfer start with a fresh handshake. */
DFU_API DFU_STATUS DFU_VeltGetInfo(DFU_HANDLE handle, DFU_DEVICE_INFO* info);
DFU_API DFU_STATUS DFU_VeltReset(DFU_HANDLE handle);

/* Whole images between a file and a device in dfuIDLE. The callback runs on
 * the caller's thread: first (0, 1, -1), after each block (percent, 1, block
 * index), last (100, 0, -1); returning 0 cancels (DFU_STATUS_CANCELLED).
 * userData is passed through unchanged; a null callback is never called.
 * transferSize is the block size (1..65535). The download's status receives
 * the last GETSTATUS reply; it is left as passed when none was received. */
typedef int (*DFU_PROGRESS_CALLBACK)(int32_t percent, int32_t inProgress, int32_t blockIndex, uintptr_t userData);

DFU_API DFU_STATUS DFU_DownloadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                     DFU_PROGRESS_CALLBACK callback, uintptr_t userData,
                                     DFU_GETSTATUS_RESULT* status);
DFU_API DFU_STATUS DFU_UploadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                   DFU_PROGRESS_CALLBACK callback, uintptr_t userData);

#ifdef __cplusplus
}
#endif

#endif /* VELT_DFU_H */
