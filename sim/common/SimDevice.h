// What the program needs of every simulated device, whatever its transport.
#ifndef VELT_SIM_SIM_DEVICE_H
#define VELT_SIM_SIM_DEVICE_H

#include <string>

namespace velt::sim {

class SimDevice {
public:
    virtual ~SimDevice() = default;
    virtual const std::string& name() const = 0;
    // Serves the host until stopFd becomes readable. Runs on its own thread.
    virtual void run(int stopFd) = 0;
    // After run() returned: remove links, sockets and files; save the flash.
    // Throws std::runtime_error when the flash cannot be saved.
    virtual void shutdown() = 0;
};

} // namespace velt::sim

#endif
