// The one translation of libusb's error codes into the Windows errors that
// WinUSB and CreateFileW leave.
#ifndef VELT_PLATFORM_LIBUSB_ERRORS_H
#define VELT_PLATFORM_LIBUSB_ERRORS_H

#include <windows.h>

namespace velt::platform {

DWORD WindowsErrorFromLibusb(int libusbError);

// Sets the thread's last error from a libusb code and returns FALSE.
BOOL FailWithLibusb(int libusbError);

}  // namespace velt::platform

#endif
