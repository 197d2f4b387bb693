/**
 * \file VELT_DFU.h
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

#include <stddef.h>
#include <stdint.h>

/* GUID, BOOL and the USB records: on Windows from the SDK headers; elsewhere
 * from VELT_DFU_WinTypes.h beside this header, so that a host program needs
 * no <windows.h>. Code built against a Win32 layer of its own (this library
 * is) defines VELT_DFU_WINDOWS_HEADERS to take them from that layer. */
#if defined(_WIN32) || defined(VELT_DFU_WINDOWS_HEADERS)
#  include <windows.h>
#  include <winusb.h>
#else
#  include "VELT_DFU_WinTypes.h"
#endif

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

/** Result of every export but DFU_IsOpened: one of the DFU_STATUS_ codes. */
typedef uint8_t DFU_STATUS;

#define DFU_STATUS_SUCCESS              ((DFU_STATUS)0x00)  /**< The call did what it was asked. */
#define DFU_STATUS_INVALID_PARAMETER    ((DFU_STATUS)0x40)  /**< A null pointer, an over-long path or a value out of range. */
#define DFU_STATUS_BUFFER_TOO_SMALL     ((DFU_STATUS)0x41)  /**< The data buffer is smaller than the transfer asked for. */
#define DFU_STATUS_NOT_IDLE             ((DFU_STATUS)0x43)  /**< An image transfer found the device outside dfuIDLE. */
#define DFU_STATUS_UNEXPECTED_STATE     ((DFU_STATUS)0x44)  /**< The device reported a state the transfer did not expect. */
#define DFU_STATUS_DOWNLOAD_FAILED      ((DFU_STATUS)0x45)  /**< The device reported an error status at the end of a download. */
#define DFU_STATUS_FILE_READ_ERROR      ((DFU_STATUS)0x46)  /**< The image file could not be read. */
#define DFU_STATUS_FILE_WRITE_ERROR     ((DFU_STATUS)0x47)  /**< The image file could not be created or written. */
#define DFU_STATUS_INVALID_HANDLE       ((DFU_STATUS)0x48)  /**< The handle is not an open handle of this library. */
#define DFU_STATUS_INTERFACE_MISMATCH   ((DFU_STATUS)0x49)  /**< The device at the index changed kind since the count. */
#define DFU_STATUS_CANCELLED            ((DFU_STATUS)0x4A)  /**< The progress callback asked to stop. */
#define DFU_STATUS_NOT_SUPPORTED        ((DFU_STATUS)0x4B)  /**< The request does not apply to this kind of device. */
#define DFU_STATUS_DEVICE_NOT_FOUND     ((DFU_STATUS)0x80)  /**< No device at that index. */
#define DFU_STATUS_DEVICE_NOT_OPENED    ((DFU_STATUS)0x81)  /**< The device is not open (or could not be reached). */
#define DFU_STATUS_GENERAL_ERROR        ((DFU_STATUS)0x82)  /**< The device could not be opened or closed, or stalled a request. */
#define DFU_STATUS_TRANSFER_ERROR       ((DFU_STATUS)0x83)  /**< The transfer failed on the line or bus. */
#define DFU_STATUS_TIMEOUT              ((DFU_STATUS)0x84)  /**< The device did not answer in time. */
#define DFU_STATUS_INCOMPLETE_TRANSFER  ((DFU_STATUS)0x85)  /**< Fewer bytes moved than asked. */

/* DFU 1.1 device states, as bState of DFU_GETSTATUS and the byte of
 * DFU_GETSTATE carry them. */
#define DFU_STATE_APP_IDLE                ((uint8_t)0)   /**< appIDLE */
#define DFU_STATE_APP_DETACH              ((uint8_t)1)   /**< appDETACH */
#define DFU_STATE_DFU_IDLE                ((uint8_t)2)   /**< dfuIDLE */
#define DFU_STATE_DFU_DNLOAD_SYNC         ((uint8_t)3)   /**< dfuDNLOAD-SYNC */
#define DFU_STATE_DFU_DNBUSY              ((uint8_t)4)   /**< dfuDNBUSY */
#define DFU_STATE_DFU_DNLOAD_IDLE         ((uint8_t)5)   /**< dfuDNLOAD-IDLE */
#define DFU_STATE_DFU_MANIFEST_SYNC       ((uint8_t)6)   /**< dfuMANIFEST-SYNC */
#define DFU_STATE_DFU_MANIFEST            ((uint8_t)7)   /**< dfuMANIFEST */
#define DFU_STATE_DFU_MANIFEST_WAIT_RESET ((uint8_t)8)   /**< dfuMANIFEST-WAIT-RESET */
#define DFU_STATE_DFU_UPLOAD_IDLE         ((uint8_t)9)   /**< dfuUPLOAD-IDLE */
#define DFU_STATE_DFU_ERROR               ((uint8_t)10)  /**< dfuERROR */

/* DFU 1.1 device status codes, as bStatus of DFU_GETSTATUS carries them. These
 * are the device's own codes, not the library's DFU_STATUS results. */
#define DFU_DEVICE_STATUS_OK                ((uint8_t)0x00)  /**< OK */
#define DFU_DEVICE_STATUS_ERR_TARGET        ((uint8_t)0x01)  /**< errTARGET */
#define DFU_DEVICE_STATUS_ERR_FILE          ((uint8_t)0x02)  /**< errFILE */
#define DFU_DEVICE_STATUS_ERR_WRITE         ((uint8_t)0x03)  /**< errWRITE */
#define DFU_DEVICE_STATUS_ERR_ERASE         ((uint8_t)0x04)  /**< errERASE */
#define DFU_DEVICE_STATUS_ERR_CHECK_ERASED  ((uint8_t)0x05)  /**< errCHECK_ERASED */
#define DFU_DEVICE_STATUS_ERR_PROG          ((uint8_t)0x06)  /**< errPROG */
#define DFU_DEVICE_STATUS_ERR_VERIFY        ((uint8_t)0x07)  /**< errVERIFY */
#define DFU_DEVICE_STATUS_ERR_ADDRESS       ((uint8_t)0x08)  /**< errADDRESS */
#define DFU_DEVICE_STATUS_ERR_NOTDONE       ((uint8_t)0x09)  /**< errNOTDONE */
#define DFU_DEVICE_STATUS_ERR_FIRMWARE      ((uint8_t)0x0A)  /**< errFIRMWARE */
#define DFU_DEVICE_STATUS_ERR_VENDOR        ((uint8_t)0x0B)  /**< errVENDOR */
#define DFU_DEVICE_STATUS_ERR_USBR          ((uint8_t)0x0C)  /**< errUSBR */
#define DFU_DEVICE_STATUS_ERR_POR           ((uint8_t)0x0D)  /**< errPOR */
#define DFU_DEVICE_STATUS_ERR_UNKNOWN       ((uint8_t)0x0E)  /**< errUNKNOWN */
#define DFU_DEVICE_STATUS_ERR_STALLEDPKT    ((uint8_t)0x0F)  /**< errSTALLEDPKT */

/** Opaque, pointer-sized; valid from a successful open until DFU_Close. A
 * closed handle's value is never valid again in the process. */
typedef void* DFU_HANDLE;

/* Interface kinds reported by the DFU_GetInterface* exports. */
#define DFU_INTERFACE_USB   ((uint8_t)0)  /**< A WinUSB device. */
#define DFU_INTERFACE_UART  ((uint8_t)1)  /**< A device behind a serial COM port. */

/** Size of every device path buffer, terminator included. */
#define DFU_PATH_SIZE 260

/** Device-interface class the library enumerates until DFU_SetGuid changes it:
 * {04C77E93-B54D-4714-AC96-15A62BFA307B}. */
#define DFU_DEFAULT_DEVICE_GUID_INIT \
    { 0x04C77E93, 0xB54D, 0x4714, { 0xAC, 0x96, 0x15, 0xA6, 0x2B, 0xFA, 0x30, 0x7B } }
/** The default device-interface class as a constant. */
#if defined(__GNUC__)
__attribute__((unused))
#endif
static const GUID DFU_DEFAULT_DEVICE_GUID = DFU_DEFAULT_DEVICE_GUID_INIT;

/** Reply of DFU_GETSTATUS (DFU 1.1), unpacked. bwPollTimeout is the 24-bit
 * poll time-out in milliseconds. */
typedef struct DFU_GETSTATUS_RESULT {
    uint8_t  bStatus;  /**< Device status: a DFU_DEVICE_STATUS_ code. */
    uint32_t bwPollTimeout;  /**< Milliseconds to wait before the next GETSTATUS. */
    uint8_t  bState;  /**< Device state: a DFU_STATE_ code. */
    uint8_t  iString;  /**< Index of a string descriptor describing the status. */
} DFU_GETSTATUS_RESULT;

/** Reply of the vendor information request. The library moves the bytes and
 * gives them no meaning; reply bytes 2 and 3 arrive in infoByte2, infoByte1. */
typedef struct DFU_DEVICE_INFO {
    uint16_t infoWord;  /**< Reply bytes 0 and 1, little-endian. */
    uint8_t  infoByte1;  /**< Reply byte 3. */
    uint8_t  infoByte2;  /**< Reply byte 2. */
    uint32_t infoValue1;  /**< Reply bytes 4 to 7, little-endian. */
    uint32_t infoValue2;  /**< Reply bytes 8 to 11, little-endian. */
    uint32_t infoValue3;  /**< Reply bytes 12 to 15, little-endian. */
    uint8_t  infoData[32];  /**< Reply bytes 16 to 47. */
} DFU_DEVICE_INFO;

/* The records cross the interface as bytes: whichever header defined them,
 * they must have the Windows layouts. */
#ifdef __cplusplus
#  define DFU_LAYOUT_ASSERT(what, text) static_assert(what, text)
#else
#  define DFU_LAYOUT_ASSERT(what, text) _Static_assert(what, text)
#endif
DFU_LAYOUT_ASSERT(sizeof(DFU_DEVICE_INFO) == 48, "DFU_DEVICE_INFO is 48 bytes");
DFU_LAYOUT_ASSERT(sizeof(DFU_HANDLE) == sizeof(void*), "DFU_HANDLE is pointer-sized");
DFU_LAYOUT_ASSERT(sizeof(BOOL) == 4, "BOOL is 4 bytes");
DFU_LAYOUT_ASSERT(sizeof(GUID) == 16 && offsetof(GUID, Data2) == 4 && offsetof(GUID, Data3) == 6 &&
                      offsetof(GUID, Data4) == 8, "GUID layout");
DFU_LAYOUT_ASSERT(sizeof(USB_DEVICE_DESCRIPTOR) == 18 && offsetof(USB_DEVICE_DESCRIPTOR, bcdUSB) == 2 &&
                      offsetof(USB_DEVICE_DESCRIPTOR, idVendor) == 8 &&
                      offsetof(USB_DEVICE_DESCRIPTOR, bcdDevice) == 12 &&
                      offsetof(USB_DEVICE_DESCRIPTOR, bNumConfigurations) == 17,
                  "USB_DEVICE_DESCRIPTOR layout");
DFU_LAYOUT_ASSERT(sizeof(USB_INTERFACE_DESCRIPTOR) == 9 &&
                      offsetof(USB_INTERFACE_DESCRIPTOR, bInterfaceClass) == 5 &&
                      offsetof(USB_INTERFACE_DESCRIPTOR, iInterface) == 8,
                  "USB_INTERFACE_DESCRIPTOR layout");
DFU_LAYOUT_ASSERT(sizeof(WINUSB_SETUP_PACKET) == 8 && offsetof(WINUSB_SETUP_PACKET, Value) == 2 &&
                      offsetof(WINUSB_SETUP_PACKET, Index) == 4 && offsetof(WINUSB_SETUP_PACKET, Length) == 6,
                  "WINUSB_SETUP_PACKET layout");
#undef DFU_LAYOUT_ASSERT

/** \name Discovery and queries by index or path
 * DFU_GetNumDevices numbers the devices: USB devices of the class GUID first,
 * then the COM ports. The numbering holds until the next count.
 * @{ */

/** Reads the device-interface class GUID the next count enumerates.
 * 0, or 0x40 for a null guid. */
DFU_API DFU_STATUS DFU_GetGuid(GUID* guid);
/** Sets that GUID (DFU_DEFAULT_DEVICE_GUID until changed); takes effect at the
 * next DFU_GetNumDevices. 0, or 0x40 for a null guid. */
DFU_API DFU_STATUS DFU_SetGuid(const GUID* guid);
/** Counts the USB devices and COM ports and writes their sum. 0, or 0x40. */
DFU_API DFU_STATUS DFU_GetNumDevices(uint32_t* numDevices);
/** Writes the device path of an index (260 bytes: the path, then zeros):
 * "\\?\usb#vid_..." for USB, "\\.\COMn" for a COM port.
 * 0; 0x40 for a null path; 0x80 for an index that is not there. */
DFU_API DFU_STATUS DFU_GetDevicePath(uint32_t index, char path[260]);
/** Writes the USB vendor and product id of an index, from its path.
 * 0; 0x40 for a null pointer; 0x4B for a COM port; 0x82 for a missing index. */
DFU_API DFU_STATUS DFU_GetVidPid(uint32_t index, uint16_t* vid, uint16_t* pid);
/** Writes DFU_INTERFACE_USB or DFU_INTERFACE_UART for an index (indexes past
 * the USB devices are COM ports). 0, or 0x40. */
DFU_API DFU_STATUS DFU_GetInterfaceByIndex(uint32_t index, uint8_t* interfaceKind);
/** Writes the kind a path names ("\\.\COM..." is UART, anything else USB).
 * 0; 0x40 for a null pointer or a path of 260 characters or more. */
DFU_API DFU_STATUS DFU_GetInterfaceByDevicePath(const char* path, uint8_t* interfaceKind);
/** Writes the library version: 1, 1, 1. 0, or 0x40. */
DFU_API DFU_STATUS DFU_GetLibraryVersion(uint8_t* major, uint8_t* minor, uint32_t* third);

/** @} */

/** \name Handle lifetime
 * @{ */

/** Opens the device at an index of the last count and writes its handle.
 * The open is exclusive. 0; 0x40 for a null handle; 0x49 when a count on
 * another thread changed the index's kind; 0x82 when it cannot be opened
 * (missing, held by another program, or its settings refused). */
DFU_API DFU_STATUS DFU_OpenByIndex(DFU_HANDLE* handle, uint32_t index);
/** Opens a device by path ("\\.\COM7" or a USB device path).
 * 0; 0x40 for a null pointer or an over-long path; 0x82 when it cannot be opened. */
DFU_API DFU_STATUS DFU_OpenByDevicePath(DFU_HANDLE* handle, const char* path);
/** Closes the device and ends the handle, also when closing failed.
 * 0; 0x48 for a handle that is not open; 0x82 when the close reported failure. */
DFU_API DFU_STATUS DFU_Close(DFU_HANDLE handle);
/** TRUE while the handle's device is open; FALSE for any other handle. */
DFU_API BOOL DFU_IsOpened(DFU_HANDLE handle);

/** @} */

/** \name Queries on an open device
 * @{ */

/** Writes the open device's path (260 bytes). 0; 0x48; 0x40; 0x81; 0x82. */
DFU_API DFU_STATUS DFU_GetOpenedDevicePath(DFU_HANDLE handle, char path[260]);
/** Writes the open USB device's ids. 0; 0x48; 0x40; 0x81; 0x4B on a COM port. */
DFU_API DFU_STATUS DFU_GetOpenedVidPid(DFU_HANDLE handle, uint16_t* vid, uint16_t* pid);
/** Writes DFU_INTERFACE_USB or DFU_INTERFACE_UART. 0; 0x48; 0x40; 0x81. */
DFU_API DFU_STATUS DFU_GetOpenedInterface(DFU_HANDLE handle, uint8_t* interfaceKind);

/** @} */

/** \name USB descriptors and raw control transfers
 * @{ */

/** Reads the USB device descriptor. 0; 0x48; 0x40; 0x81 when closed; 0x4B on
 * a COM port; a transfer failure as its status. */
DFU_API DFU_STATUS DFU_GetDeviceDescriptor(DFU_HANDLE handle, USB_DEVICE_DESCRIPTOR* descriptor);
/** Reads the descriptor of interface 0, alternate setting 0; as above. */
DFU_API DFU_STATUS DFU_GetInterfaceDescriptor(DFU_HANDLE handle, USB_INTERFACE_DESCRIPTOR* descriptor);
/** One control transfer as given (on a COM port, carried in the serial
 * framing). At most setup->Length bytes move; length is only data's capacity;
 * *lengthTransferred receives the bytes moved. 0; 0x48; 0x40 for a null
 * setup or lengthTransferred, or a null data with a non-zero length; 0x41 when
 * setup->Length exceeds length; 0x81; a transfer failure as its status
 * (0x84 time-out, 0x82 stall on USB, ...). */
DFU_API DFU_STATUS DFU_ControlTransfer(DFU_HANDLE handle, const WINUSB_SETUP_PACKET* setup,
                                       uint8_t* data, uint32_t length, uint32_t* lengthTransferred);

/** @} */

/** \name Transfer time-out (1000 ms after every open)
 * @{ */

/** Sets the time-out of every later transfer, in milliseconds. On a COM port
 * it bounds how long the device may take to answer; the time the bytes need
 * on the line at its bit rate is added to it. 0; 0x48; 0x81; 0x83. */
DFU_API DFU_STATUS DFU_SetTransferTimeout(DFU_HANDLE handle, uint32_t timeoutMs);
/** Writes the time-out as set. 0; 0x48; 0x40; 0x81; 0x83. */
DFU_API DFU_STATUS DFU_GetTransferTimeout(DFU_HANDLE handle, uint32_t* timeoutMs);

/** @} */

/** \name Serial line settings of a COM-port device
 * parity and stopBits take the DCB codes (NOPARITY..SPACEPARITY,
 * ONESTOPBIT..TWOSTOPBITS); flowControl 1 is RTS/CTS, anything else none.
 * Every open starts at 115200 bit/s, 8 data bits, no parity, 1 stop bit.
 * @{ */

/** Sets the line. 0; 0x48; 0x81; 0x40 for settings the port refuses; 0x4B on USB. */
DFU_API DFU_STATUS DFU_SetUartConfig(DFU_HANDLE handle, uint32_t baudRate, uint8_t dataBits,
                                     uint8_t parity, uint8_t stopBits, uint8_t flowControl);
/** Writes the line settings. 0; 0x48; 0x40 for any null; 0x81; 0x4B on USB. */
DFU_API DFU_STATUS DFU_GetUartConfig(DFU_HANDLE handle, uint32_t* baudRate, uint8_t* dataBits,
                                     uint8_t* parity, uint8_t* stopBits, uint8_t* flowControl);

/** @} */

/** \name DFU 1.1 class requests on interface 0
 * Each is one control transfer. Common statuses: 0x48 bad handle, 0x40 null
 * pointer, 0x81 device not open, then the transfer's own (0x84 time-out,
 * 0x82 stalled, 0x85 fewer bytes than asked).
 * @{ */

/** DFU_DNLOAD of one block (wValue = blockNumber). *bytesTransferred receives
 * the bytes sent, also with 0x85; it is 0 when the device is not open. */
DFU_API DFU_STATUS DFU_DfuDnload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length,
                                 uint16_t blockNumber, uint16_t* bytesTransferred);
/** DFU_UPLOAD of one block into buffer. A short block (the end of the image)
 * gives 0x85 with the bytes received in *bytesTransferred. */
DFU_API DFU_STATUS DFU_DfuUpload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length,
                                 uint16_t blockNumber, uint16_t* bytesTransferred);
/** DFU_GETSTATUS, unpacked into *status (written only on success). */
DFU_API DFU_STATUS DFU_DfuGetStatus(DFU_HANDLE handle, DFU_GETSTATUS_RESULT* status);
/** DFU_CLRSTATUS: leaves dfuERROR for dfuIDLE. */
DFU_API DFU_STATUS DFU_DfuClearStatus(DFU_HANDLE handle);
/** DFU_GETSTATE into *state (written only on success). */
DFU_API DFU_STATUS DFU_DfuGetState(DFU_HANDLE handle, uint8_t* state);
/** DFU_ABORT: back to dfuIDLE from a download or upload. */
DFU_API DFU_STATUS DFU_DfuAbort(DFU_HANDLE handle);

/** @} */

/** \name Vendor requests
 * @{ */

/** Reads the 48-byte device information record into *info. Statuses as the
 * class requests. */
DFU_API DFU_STATUS DFU_VeltGetInfo(DFU_HANDLE handle, DFU_DEVICE_INFO* info);
/** Asks the device to restart; on a COM port the next transfer starts with a
 * fresh handshake whatever the outcome. 0; 0x48; 0x81; the transfer's status. */
DFU_API DFU_STATUS DFU_VeltReset(DFU_HANDLE handle);

/** @} */

/** \name Whole images
 * Both transfers move a raw image between a file and a device in dfuIDLE,
 * in blocks of transferSize bytes (1..65535). The callback runs on the
 * caller's thread: first (0, 1, -1), after each block (percent, 1, block
 * index), last (100, 0, -1) on every path that made the first call;
 * returning 0 cancels (DFU_STATUS_CANCELLED). userData is passed through
 * unchanged; a null callback is never called. Neither transfer sends CLRSTATUS
 * or ABORT of its own: after a failure the device is as its last answer left it.
 * @{ */
/** Progress of an image transfer: percent done, 1 while blocks are moving (0
 * at the end), the block just moved (-1 first and last) and the caller's
 * userData. Returns non-zero to go on, 0 to cancel. */
typedef int (*DFU_PROGRESS_CALLBACK)(int32_t percent, int32_t inProgress, int32_t blockIndex, uintptr_t userData);

/** Sends the file at path: the whole file is read first, padded with 0xFF to
 * whole blocks, sent block by block (DNLOAD, then GETSTATUS until the device is
 * no longer busy), and ended with the zero-length DNLOAD. *status receives the
 * last GETSTATUS reply; it is left as passed when none was received.
 * 0; 0x48; 0x40 (null path or status, transferSize 0); 0x81; 0x43 device not
 * in dfuIDLE (no callback made); 0x46 file cannot be read; 0x82 image too
 * large to hold; 0x44 the device reported another state than expected
 * (dfuERROR, or manifestation after the last block); 0x45 bStatus not OK at
 * the end; 0x4A cancelled; a transfer failure as its status. */
DFU_API DFU_STATUS DFU_DownloadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                     DFU_PROGRESS_CALLBACK callback, uintptr_t userData,
                                     DFU_GETSTATUS_RESULT* status);
/** Reads the device's image into the file at path (created, or emptied, before
 * the device is asked anything) until the device sends an empty block. The
 * percent is reckoned against 240 blocks, the image size being unknown.
 * 0; 0x48; 0x40 (null path, transferSize 0); 0x47 the file cannot be created
 * or written (a full disk included); 0x81; 0x43 device not in dfuIDLE (the
 * file is left empty); 0x4A cancelled (the blocks received stay in the file);
 * a transfer failure as its status. */
DFU_API DFU_STATUS DFU_UploadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                   DFU_PROGRESS_CALLBACK callback, uintptr_t userData);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* VELT_DFU_H */
