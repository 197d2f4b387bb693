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

/** @defgroup discovery Discovery
 * Counting the devices and asking about one by index or path, before any
 * open. DFU_GetNumDevices numbers the devices: the USB devices of the class
 * GUID first, then the COM ports. The numbering holds until the next count.
 *
 * Example: list every device.
 * @snippet tour.c discovery
 * @{ */

/** Reads the device-interface class GUID that the next count enumerates.
 * @param[out] guid  receives the GUID.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_PARAMETER  guid is null. */
DFU_API DFU_STATUS DFU_GetGuid(GUID* guid);
/** Sets the device-interface class GUID (DFU_DEFAULT_DEVICE_GUID until
 * changed); it takes effect at the next DFU_GetNumDevices.
 * @param[in] guid  the class to enumerate.
 * @retval DFU_STATUS_SUCCESS            set.
 * @retval DFU_STATUS_INVALID_PARAMETER  guid is null. */
DFU_API DFU_STATUS DFU_SetGuid(const GUID* guid);
/** Counts the USB devices and COM ports and writes their sum; the count
 * numbers them for the calls by index.
 * @param[out] numDevices  receives the count.
 * @retval DFU_STATUS_SUCCESS            counted.
 * @retval DFU_STATUS_INVALID_PARAMETER  numDevices is null. */
DFU_API DFU_STATUS DFU_GetNumDevices(uint32_t* numDevices);
/** Writes the device path of an index: "\\?\usb#vid_..." for USB,
 * "\\.\COMn" for a COM port.
 * @param[in]  index  an index of the last count.
 * @param[out] path   receives 260 bytes: the path, then zero bytes.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_PARAMETER  path is null.
 * @retval DFU_STATUS_DEVICE_NOT_FOUND   no device at index. */
DFU_API DFU_STATUS DFU_GetDevicePath(uint32_t index, char path[260]);
/** Writes the USB vendor and product id of an index, read from its path.
 * @param[in]  index  an index of the last count.
 * @param[out] vid    receives the vendor id.
 * @param[out] pid    receives the product id.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_PARAMETER  vid or pid is null.
 * @retval DFU_STATUS_NOT_SUPPORTED      the index is a COM port.
 * @retval DFU_STATUS_GENERAL_ERROR      no device at index. */
DFU_API DFU_STATUS DFU_GetVidPid(uint32_t index, uint16_t* vid, uint16_t* pid);
/** Writes the kind of device at an index; indexes past the USB devices are
 * COM ports.
 * @param[in]  index          an index of the last count.
 * @param[out] interfaceKind  receives DFU_INTERFACE_USB or DFU_INTERFACE_UART.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_PARAMETER  interfaceKind is null. */
DFU_API DFU_STATUS DFU_GetInterfaceByIndex(uint32_t index, uint8_t* interfaceKind);
/** Writes the kind of device a path names: "\\.\COM..." is a COM port,
 * anything else USB.
 * @param[in]  path           the device path.
 * @param[out] interfaceKind  receives DFU_INTERFACE_USB or DFU_INTERFACE_UART.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_PARAMETER  a null pointer, or a path of 260
 *                                       characters or more. */
DFU_API DFU_STATUS DFU_GetInterfaceByDevicePath(const char* path, uint8_t* interfaceKind);
/** Writes the library's version: 1, 1, 1.
 * @param[out] major  receives the major version.
 * @param[out] minor  receives the minor version.
 * @param[out] third  receives the third number.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_PARAMETER  a pointer is null. */
DFU_API DFU_STATUS DFU_GetLibraryVersion(uint8_t* major, uint8_t* minor, uint32_t* third);

/** @} */

/** @defgroup handles Open and close
 * A handle from an open names one device until DFU_Close; an open is
 * exclusive. The queries here read what the open found.
 *
 * Example: open by index or path, and close.
 * @snippet tour.c open
 * @{ */

/** Opens the device at an index of the last count.
 * @param[out] handle  receives the handle.
 * @param[in]  index   an index of the last count.
 * @retval DFU_STATUS_SUCCESS             open.
 * @retval DFU_STATUS_INVALID_PARAMETER   handle is null.
 * @retval DFU_STATUS_INTERFACE_MISMATCH  a count on another thread changed
 *                                        the index's kind.
 * @retval DFU_STATUS_GENERAL_ERROR       it cannot be opened (missing, held by
 *                                        another program, or its settings
 *                                        refused). */
DFU_API DFU_STATUS DFU_OpenByIndex(DFU_HANDLE* handle, uint32_t index);
/** Opens a device by path ("\\.\COM7" or a USB device path).
 * @param[out] handle  receives the handle.
 * @param[in]  path    the device path.
 * @retval DFU_STATUS_SUCCESS            open.
 * @retval DFU_STATUS_INVALID_PARAMETER  a null pointer or an over-long path.
 * @retval DFU_STATUS_GENERAL_ERROR      it cannot be opened. */
DFU_API DFU_STATUS DFU_OpenByDevicePath(DFU_HANDLE* handle, const char* path);
/** Closes the device and ends the handle, also when closing failed.
 * @param[in] handle  an open handle.
 * @retval DFU_STATUS_SUCCESS         closed.
 * @retval DFU_STATUS_INVALID_HANDLE  handle is not open.
 * @retval DFU_STATUS_GENERAL_ERROR   the close reported a failure (the
 *                                    handle has ended all the same). */
DFU_API DFU_STATUS DFU_Close(DFU_HANDLE handle);
/** Tells whether a handle's device is open.
 * @param[in] handle  any value.
 * @return TRUE while the handle's device is open; FALSE for any other handle. */
DFU_API BOOL DFU_IsOpened(DFU_HANDLE handle);
/** Writes the open device's path.
 * @param[in]  handle  an open handle.
 * @param[out] path    receives 260 bytes: the path, then zero bytes.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  path is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_GENERAL_ERROR      the device could not give its path. */
DFU_API DFU_STATUS DFU_GetOpenedDevicePath(DFU_HANDLE handle, char path[260]);
/** Writes the open USB device's vendor and product id.
 * @param[in]  handle  an open handle.
 * @param[out] vid     receives the vendor id.
 * @param[out] pid     receives the product id.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  vid or pid is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_NOT_SUPPORTED      the device is on a COM port. */
DFU_API DFU_STATUS DFU_GetOpenedVidPid(DFU_HANDLE handle, uint16_t* vid, uint16_t* pid);
/** Writes the open device's kind.
 * @param[in]  handle         an open handle.
 * @param[out] interfaceKind  receives DFU_INTERFACE_USB or DFU_INTERFACE_UART.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  interfaceKind is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open. */
DFU_API DFU_STATUS DFU_GetOpenedInterface(DFU_HANDLE handle, uint8_t* interfaceKind);

/** @} */

/** @defgroup settings Descriptors and settings
 * A USB device's descriptors; the time-out of every transfer (1000 ms after
 * each open); a COM port's line. parity and stopBits take the DCB codes
 * (NOPARITY 0 to SPACEPARITY 4, ONESTOPBIT 0 to TWOSTOPBITS 2); flowControl 1
 * is RTS/CTS, anything else none. Every open starts at 115200 bit/s, 8 data
 * bits, no parity, 1 stop bit.
 *
 * Example: a USB device's ids or a COM port's line, and the time-out.
 * @snippet tour.c settings
 * @{ */

/** Reads the USB device descriptor.
 * @param[in]  handle      an open handle.
 * @param[out] descriptor  receives the descriptor.
 * @retval DFU_STATUS_SUCCESS            read.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  descriptor is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_NOT_SUPPORTED      the device is on a COM port.
 * @retval DFU_STATUS_TRANSFER_ERROR     the transfer failed (or another
 *                                       transfer status, as
 *                                       DFU_STATUS_TIMEOUT). */
DFU_API DFU_STATUS DFU_GetDeviceDescriptor(DFU_HANDLE handle, USB_DEVICE_DESCRIPTOR* descriptor);
/** Reads the descriptor of interface 0, alternate setting 0.
 * @param[in]  handle      an open handle.
 * @param[out] descriptor  receives the descriptor.
 * @retval DFU_STATUS_SUCCESS            read.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  descriptor is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_NOT_SUPPORTED      the device is on a COM port.
 * @retval DFU_STATUS_TRANSFER_ERROR     the transfer failed (or another
 *                                       transfer status). */
DFU_API DFU_STATUS DFU_GetInterfaceDescriptor(DFU_HANDLE handle, USB_INTERFACE_DESCRIPTOR* descriptor);
/** Sets the time-out of every later transfer. On a COM port it bounds how
 * long the device may take to answer; the time the bytes need on the line
 * at its bit rate is added to it.
 * @param[in] handle     an open handle.
 * @param[in] timeoutMs  the time-out in milliseconds.
 * @retval DFU_STATUS_SUCCESS            set.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TRANSFER_ERROR     the device refused the time-out. */
DFU_API DFU_STATUS DFU_SetTransferTimeout(DFU_HANDLE handle, uint32_t timeoutMs);
/** Writes the time-out as set.
 * @param[in]  handle     an open handle.
 * @param[out] timeoutMs  receives the time-out in milliseconds.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  timeoutMs is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TRANSFER_ERROR     the device could not give it. */
DFU_API DFU_STATUS DFU_GetTransferTimeout(DFU_HANDLE handle, uint32_t* timeoutMs);
/** Sets a COM port's line.
 * @param[in] handle       an open handle of a COM-port device.
 * @param[in] baudRate     bits per second.
 * @param[in] dataBits     data bits per character.
 * @param[in] parity       a DCB parity code.
 * @param[in] stopBits     a DCB stop-bits code.
 * @param[in] flowControl  1 for RTS/CTS, anything else for none.
 * @retval DFU_STATUS_SUCCESS            set.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  the port refuses the settings.
 * @retval DFU_STATUS_NOT_SUPPORTED      the device is on USB. */
DFU_API DFU_STATUS DFU_SetUartConfig(DFU_HANDLE handle, uint32_t baudRate, uint8_t dataBits,
                                     uint8_t parity, uint8_t stopBits, uint8_t flowControl);
/** Writes a COM port's line settings.
 * @param[in]  handle       an open handle of a COM-port device.
 * @param[out] baudRate     receives the bits per second.
 * @param[out] dataBits     receives the data bits per character.
 * @param[out] parity       receives the DCB parity code.
 * @param[out] stopBits     receives the DCB stop-bits code.
 * @param[out] flowControl  receives 1 for RTS/CTS, 0 for none.
 * @retval DFU_STATUS_SUCCESS            written.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  a pointer is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_NOT_SUPPORTED      the device is on USB. */
DFU_API DFU_STATUS DFU_GetUartConfig(DFU_HANDLE handle, uint32_t* baudRate, uint8_t* dataBits,
                                     uint8_t* parity, uint8_t* stopBits, uint8_t* flowControl);

/** @} */

/** @defgroup requests DFU 1.1 requests
 * The DFU 1.1 class requests on interface 0, each one control transfer.
 * Before the device is asked, each checks its handle
 * (DFU_STATUS_INVALID_HANDLE), its pointers (DFU_STATUS_INVALID_PARAMETER)
 * and that the device is open (DFU_STATUS_DEVICE_NOT_OPENED); then the
 * transfer's own status: DFU_STATUS_TIMEOUT when the device did not answer,
 * DFU_STATUS_GENERAL_ERROR when it stalled the request,
 * DFU_STATUS_INCOMPLETE_TRANSFER when fewer bytes moved than asked,
 * DFU_STATUS_TRANSFER_ERROR when the line or bus failed.
 *
 * Example: bring a device back to dfuIDLE after a failed transfer.
 * @snippet tour.c requests
 * @{ */

/** DFU_DNLOAD of one block.
 * @param[in]  handle            an open handle.
 * @param[in]  buffer            the block's bytes.
 * @param[in]  length            the block's length.
 * @param[in]  blockNumber       the block number (wValue).
 * @param[out] bytesTransferred  receives the bytes sent, also with
 *                               DFU_STATUS_INCOMPLETE_TRANSFER; 0 when the
 *                               device is not open.
 * @retval DFU_STATUS_SUCCESS              sent.
 * @retval DFU_STATUS_INVALID_HANDLE       handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER    a null pointer.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED    the device is not open.
 * @retval DFU_STATUS_INCOMPLETE_TRANSFER  fewer bytes sent than length.
 * @retval DFU_STATUS_TIMEOUT              or another transfer status, as above. */
DFU_API DFU_STATUS DFU_DfuDnload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length,
                                 uint16_t blockNumber, uint16_t* bytesTransferred);
/** DFU_UPLOAD of one block.
 * @param[in]  handle            an open handle.
 * @param[out] buffer            receives the block.
 * @param[in]  length            the block length asked for.
 * @param[in]  blockNumber       the block number (wValue).
 * @param[out] bytesTransferred  receives the bytes received.
 * @retval DFU_STATUS_SUCCESS              a whole block received.
 * @retval DFU_STATUS_INVALID_HANDLE       handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER    a null pointer.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED    the device is not open.
 * @retval DFU_STATUS_INCOMPLETE_TRANSFER  a short block (the end of the
 *                                         image), its bytes in
 *                                         *bytesTransferred.
 * @retval DFU_STATUS_TIMEOUT              or another transfer status, as above. */
DFU_API DFU_STATUS DFU_DfuUpload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length,
                                 uint16_t blockNumber, uint16_t* bytesTransferred);
/** DFU_GETSTATUS.
 * @param[in]  handle  an open handle.
 * @param[out] status  receives the reply, unpacked; written only on success.
 * @retval DFU_STATUS_SUCCESS            answered.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  status is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status, as above. */
DFU_API DFU_STATUS DFU_DfuGetStatus(DFU_HANDLE handle, DFU_GETSTATUS_RESULT* status);
/** DFU_CLRSTATUS: from dfuERROR to dfuIDLE.
 * @param[in] handle  an open handle.
 * @retval DFU_STATUS_SUCCESS            sent.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status, as above. */
DFU_API DFU_STATUS DFU_DfuClearStatus(DFU_HANDLE handle);
/** DFU_GETSTATE.
 * @param[in]  handle  an open handle.
 * @param[out] state   receives a DFU_STATE_ code; written only on success.
 * @retval DFU_STATUS_SUCCESS            answered.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  state is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status, as above. */
DFU_API DFU_STATUS DFU_DfuGetState(DFU_HANDLE handle, uint8_t* state);
/** DFU_ABORT: back to dfuIDLE from a download or upload.
 * @param[in] handle  an open handle.
 * @retval DFU_STATUS_SUCCESS            sent.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status, as above. */
DFU_API DFU_STATUS DFU_DfuAbort(DFU_HANDLE handle);

/** @} */

/** @defgroup vendor Vendor requests and control transfers
 * The device's own requests, and any control transfer as given. Their
 * statuses are those of the DFU 1.1 requests.
 *
 * Example: the information record, and DFU_GETSTATE as a raw transfer.
 * @snippet tour.c vendor
 * @{ */

/** Reads the device's 48-byte information record.
 * @param[in]  handle  an open handle.
 * @param[out] info    receives the record.
 * @retval DFU_STATUS_SUCCESS            read.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  info is null.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status, as the
 *                                       DFU 1.1 requests. */
DFU_API DFU_STATUS DFU_VeltGetInfo(DFU_HANDLE handle, DFU_DEVICE_INFO* info);
/** Asks the device to restart. On a COM port the next transfer starts with a
 * fresh handshake, whatever the outcome.
 * @param[in] handle  an open handle.
 * @retval DFU_STATUS_SUCCESS            sent.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status, as the
 *                                       DFU 1.1 requests. */
DFU_API DFU_STATUS DFU_VeltReset(DFU_HANDLE handle);
/** One control transfer as given; on a COM port, carried in the serial
 * framing. At most setup->Length bytes move.
 * @param[in]     handle             an open handle.
 * @param[in]     setup              the setup packet.
 * @param[in,out] data               the data stage's bytes, out or in.
 * @param[in]     length             data's capacity in bytes.
 * @param[out]    lengthTransferred  receives the bytes moved.
 * @retval DFU_STATUS_SUCCESS            done.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  setup or lengthTransferred is null,
 *                                       or data is null with a non-zero
 *                                       length.
 * @retval DFU_STATUS_BUFFER_TOO_SMALL   setup->Length exceeds length.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status:
 *                                       DFU_STATUS_GENERAL_ERROR for a stall
 *                                       on USB, DFU_STATUS_TRANSFER_ERROR,
 *                                       DFU_STATUS_INCOMPLETE_TRANSFER. */
DFU_API DFU_STATUS DFU_ControlTransfer(DFU_HANDLE handle, const WINUSB_SETUP_PACKET* setup,
                                       uint8_t* data, uint32_t length, uint32_t* lengthTransferred);

/** @} */

/** @defgroup images Image transfer
 * Both transfers move a raw image between a file and a device in dfuIDLE,
 * in blocks of transferSize bytes (1..65535). The callback runs on the
 * caller's thread: first (0, 1, -1), after each block (percent, 1, block
 * index), last (100, 0, -1) on every path that made the first call;
 * returning 0 cancels (DFU_STATUS_CANCELLED). userData is passed through
 * unchanged; a null callback is never called. Neither transfer sends CLRSTATUS
 * or ABORT of its own: after a failure the device is as its last answer left
 * it (see the example of @ref requests).
 *
 * Example: send an image with progress, and read it back.
 * @snippet tour.c image
 * @{ */

/** Progress of an image transfer. Returns non-zero to go on, 0 to cancel.
 * @param percent     percent done.
 * @param inProgress  1 while blocks are moving, 0 at the end.
 * @param blockIndex  the block just moved; -1 first and last.
 * @param userData    the caller's userData. */
typedef int (*DFU_PROGRESS_CALLBACK)(int32_t percent, int32_t inProgress, int32_t blockIndex, uintptr_t userData);

/** Sends the file at path: the whole file is read first, padded with 0xFF to
 * whole blocks, sent block by block (DNLOAD, then GETSTATUS until the device
 * is no longer busy), and ended with the zero-length DNLOAD.
 * @param[in]  handle        an open handle.
 * @param[in]  transferSize  the block size, 1..65535.
 * @param[in]  path          the image file.
 * @param[in]  callback      the progress callback, or null.
 * @param[in]  userData      passed to the callback.
 * @param[out] status        receives the last GETSTATUS reply; left as passed
 *                           when none was received.
 * @retval DFU_STATUS_SUCCESS            sent, and the device reports OK.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  path or status is null, or
 *                                       transferSize is 0.
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_NOT_IDLE           the device is not in dfuIDLE (no
 *                                       callback made).
 * @retval DFU_STATUS_FILE_READ_ERROR    the file cannot be read.
 * @retval DFU_STATUS_GENERAL_ERROR      the image is too large to hold.
 * @retval DFU_STATUS_UNEXPECTED_STATE   the device reported another state than
 *                                       expected (dfuERROR, or manifestation
 *                                       after the last block).
 * @retval DFU_STATUS_DOWNLOAD_FAILED    bStatus not OK at the end.
 * @retval DFU_STATUS_CANCELLED          the callback returned 0.
 * @retval DFU_STATUS_TIMEOUT            or another transfer status. */
DFU_API DFU_STATUS DFU_DownloadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                     DFU_PROGRESS_CALLBACK callback, uintptr_t userData,
                                     DFU_GETSTATUS_RESULT* status);
/** Reads the device's image into the file at path (created, or emptied,
 * before the device is asked anything) until the device sends an empty block.
 * The percent is reckoned against 240 blocks, the image size being unknown.
 * @param[in] handle        an open handle.
 * @param[in] transferSize  the block size, 1..65535.
 * @param[in] path          the file to write.
 * @param[in] callback      the progress callback, or null.
 * @param[in] userData      passed to the callback.
 * @retval DFU_STATUS_SUCCESS            the whole image is in the file.
 * @retval DFU_STATUS_INVALID_HANDLE     handle is not open.
 * @retval DFU_STATUS_INVALID_PARAMETER  path is null or transferSize is 0.
 * @retval DFU_STATUS_FILE_WRITE_ERROR   the file cannot be created or written
 *                                       (a full disk included).
 * @retval DFU_STATUS_DEVICE_NOT_OPENED  the device is not open.
 * @retval DFU_STATUS_NOT_IDLE           the device is not in dfuIDLE (the file
 *                                       is left empty).
 * @retval DFU_STATUS_CANCELLED          the callback returned 0 (the blocks
 *                                       received stay in the file).
 * @retval DFU_STATUS_TIMEOUT            or another transfer status. */
DFU_API DFU_STATUS DFU_UploadImage(DFU_HANDLE handle, uint16_t transferSize, const char* path,
                                   DFU_PROGRESS_CALLBACK callback, uintptr_t userData);

/** @} */

#ifdef __cplusplus
}
#endif

#endif /* VELT_DFU_H */
