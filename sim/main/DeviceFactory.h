#ifndef VELT_SIM_DEVICE_FACTORY_H
#define VELT_SIM_DEVICE_FACTORY_H

#include "../common/EventLog.h"
#include "../common/Options.h"
#include "../common/SimDevice.h"

#include <memory>

namespace velt::sim {

// Brings one device up (socket or pty, files and links); throws std::runtime_error.
std::unique_ptr<SimDevice> makeDevice(const DeviceConfig& cfg, const CommandLine& cl, const EventLog& log);

} // namespace velt::sim

#endif
