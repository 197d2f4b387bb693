#include "DeviceFactory.h"

#include "../serial/SerialDevice.h"
#include "../usb/UsbDevice.h"

namespace velt::sim {

std::unique_ptr<SimDevice> makeDevice(const DeviceConfig& cfg, const CommandLine& cl, const EventLog& log)
{
    if (cfg.kind == DeviceConfig::Kind::Usb)
        return std::make_unique<UsbDevice>(cfg, cl.usbDir, log);
    return std::make_unique<SerialDevice>(cfg, cl.dosDevicesDir, log);
}

} // namespace velt::sim
