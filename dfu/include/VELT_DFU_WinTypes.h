/*
 * The few Windows types the VELT_DFU interface uses, for hosts that are not
 * Windows: GUID, BOOL and the WinUSB and USB descriptor records, with the
 * layouts of the Windows SDK headers (VELT_DFU.h checks them). On Windows,
 * VELT_DFU.h takes these types from <windows.h> and <winusb.h> instead and
 * never includes this header.
 */
#ifndef VELT_DFU_WINTYPES_H
#define VELT_DFU_WINTYPES_H

#include <stdint.h>

#if defined(_WIN32)
#  error "VELT_DFU_WinTypes.h is for hosts that are not Windows; include VELT_DFU.h"
#endif
/* A translation unit that already has a <windows.h> must get these types
 * from it: VELT_DFU.h does so when VELT_DFU_WINDOWS_HEADERS is defined. */
#if defined(VELT_PLATFORM_WINDOWS_H) || defined(_WINDOWS_)
#  error "<windows.h> is already included: define VELT_DFU_WINDOWS_HEADERS before VELT_DFU.h"
#endif

typedef int BOOL;
#ifndef FALSE
#  define FALSE 0
#endif
#ifndef TRUE
#  define TRUE 1
#endif

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t  Data4[8];
} GUID;

#pragma pack(push, 1)
/* USB 2.0 device descriptor (18 bytes). */
typedef struct _USB_DEVICE_DESCRIPTOR {
    uint8_t  bLength;
    uint8_t  bDescriptorType;
    uint16_t bcdUSB;
    uint8_t  bDeviceClass;
    uint8_t  bDeviceSubClass;
    uint8_t  bDeviceProtocol;
    uint8_t  bMaxPacketSize0;
    uint16_t idVendor;
    uint16_t idProduct;
    uint16_t bcdDevice;
    uint8_t  iManufacturer;
    uint8_t  iProduct;
    uint8_t  iSerialNumber;
    uint8_t  bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

/* USB 2.0 interface descriptor (9 bytes). */
typedef struct _USB_INTERFACE_DESCRIPTOR {
    uint8_t bLength;
    uint8_t bDescriptorType;
    uint8_t bInterfaceNumber;
    uint8_t bAlternateSetting;
    uint8_t bNumEndpoints;
    uint8_t bInterfaceClass;
    uint8_t bInterfaceSubClass;
    uint8_t bInterfaceProtocol;
    uint8_t iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

/* The setup stage of a control transfer (8 bytes), as WinUSB takes it. */
typedef struct _WINUSB_SETUP_PACKET {
    uint8_t  RequestType;
    uint8_t  Request;
    uint16_t Value;
    uint16_t Index;
    uint16_t Length;
} WINUSB_SETUP_PACKET, *PWINUSB_SETUP_PACKET;
#pragma pack(pop)

#endif /* VELT_DFU_WINTYPES_H */
