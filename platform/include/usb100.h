// Older name of the USB descriptor header; the definitions live in usbspec.h.
#ifndef VELT_PLATFORM_USB100_H
#define VELT_PLATFORM_USB100_H
#include <usbspec.h>
#endif
