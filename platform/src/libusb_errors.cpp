#include "libusb_errors.h"

#include <libusb.h>

namespace velt::platform {

// A device that has gone away reports ERROR_BAD_COMMAND, as the socket
// backend does for a lost simulator and as WinUSB does after a surprise
// removal; a stall is ERROR_GEN_FAILURE, as WinUSB reports a stalled pipe.
DWORD WindowsErrorFromLibusb(int libusbError) {
    switch (libusbError) {
    case LIBUSB_SUCCESS:             return ERROR_SUCCESS;
    case LIBUSB_ERROR_TIMEOUT:       return ERROR_SEM_TIMEOUT;
    case LIBUSB_ERROR_PIPE:          return ERROR_GEN_FAILURE;
    case LIBUSB_ERROR_NO_DEVICE:     return ERROR_BAD_COMMAND;
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_BUSY:          return ERROR_ACCESS_DENIED;
    case LIBUSB_ERROR_NOT_FOUND:     return ERROR_FILE_NOT_FOUND;
    case LIBUSB_ERROR_INVALID_PARAM: return ERROR_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM:        return ERROR_NOT_ENOUGH_MEMORY;
    case LIBUSB_ERROR_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    default:                         return ERROR_GEN_FAILURE;  // I/O, overflow, interrupted, other
    }
}

BOOL FailWithLibusb(int libusbError) {
    SetLastError(WindowsErrorFromLibusb(libusbError));
    return FALSE;
}

}  // namespace velt::platform
