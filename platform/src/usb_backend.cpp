#include "usb_backend.h"

#include <cstdlib>
#include <cstring>

namespace velt::platform {

std::vector<UsbBackend*> ActiveUsbBackends() {
    const char* choice = std::getenv("VELT_USB_BACKEND");
    if (choice && std::strcmp(choice, "libusb") == 0)
        return {&LibusbBackend()};
    if (choice && std::strcmp(choice, "sim") == 0)
        return {&SocketBackend()};
    return {&LibusbBackend(), &SocketBackend()};
}

}  // namespace velt::platform
