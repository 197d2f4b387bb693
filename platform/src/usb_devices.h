// The USB device directory (velt/usbsock.h): one <stem>.dev description and
// one <stem>.sock listening socket per simulated device.
#ifndef VELT_PLATFORM_USB_DEVICES_H
#define VELT_PLATFORM_USB_DEVICES_H

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace velt::platform {

struct UsbDeviceEntry {
    std::string stem;
    std::u16string interfacePath;  // "\\?\usb#vid_....#{guid}"
    GUID interfaceClass;
    std::string socketPath;
    UCHAR interfaceNumber;  // "interface=": the function of a composite device; 0 when absent
    bool live;  // its socket is listening
};

// $VELT_USBDEVICES, else $HOME/.velt/usbdevices.
std::string UsbDevicesDir();

// Every well-formed description, ascending by stem (byte order). An absent
// directory holds no devices.
std::vector<UsbDeviceEntry> ScanUsbDevices();

// "{04C77E93-B54D-4714-AC96-15A62BFA307B}", either case, braces required.
std::optional<GUID> ParseGuid(const std::string& text);

}  // namespace velt::platform

#endif
