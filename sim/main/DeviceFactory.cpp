#include "DeviceFactory.h"

#include "../serial/SerialDevice.h"
#include "../usb/UsbDevice.h"

namespace velt::sim {

std::unique_ptr<SimDevice> makeDevice(const DeviceSpec& spec, const CommandLine& cl, const EventLog& log)
{
    if (spec.kind == DeviceSpec::Kind::Usb)
        return std::make_unique<UsbDevice>(spec, cl.usbDir, log);
    return std::make_unique<SerialDevice>(spec, cl.dosDevicesDir, log);
}

} // namespace velt::sim
