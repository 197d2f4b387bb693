// A simulated DFU device on the USB side: a listening Unix socket in the USB
// device directory plus its .dev description, speaking the usbsock protocol
// of the platform layer's USB backend to one host at a time.
#ifndef VELT_SIM_USB_DEVICE_H
#define VELT_SIM_USB_DEVICE_H

#include "../common/EventLog.h"
#include "../common/Options.h"
#include "../common/RandomFaults.h"
#include "../common/SimDevice.h"
#include "../dfu_model/DfuModel.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace velt::sim {

class UsbDevice : public SimDevice {
public:
    using Clock = std::chrono::steady_clock;

    // Creates the socket and the .dev file; throws std::runtime_error.
    UsbDevice(const DeviceConfig& cfg, const std::string& usbDir, const EventLog& log);
    ~UsbDevice() override;

    const std::string& name() const override { return name_; }
    void run(int stopFd) override;
    void shutdown() override;

    // The device interface path written to the .dev file.
    static std::string devicePath(const UsbIdentity& id);

private:
    void acceptHost();
    bool serveHost(); // false when the host is gone
    // Handles every complete request in the input buffer; false on a protocol violation.
    bool processInput();
    std::vector<uint8_t> handleControl(const uint8_t* setupBytes, const uint8_t* out, uint32_t outLength,
                                       uint32_t capacity, uint32_t& error);
    std::vector<uint8_t> handleStandard(const SetupPacket& setup, uint32_t& error);
    std::vector<uint8_t> handleMsOs20(const SetupPacket& setup, uint32_t& error);
    // A random fault on this control transfer, if one hits it.
    enum class Fault { None, NotDelivered, StatusLost, Stall, NoReply, Short };
    Fault rollFault(const uint8_t* setup);
    void dropHost(const char* why);
    // Sends the replies whose time has come; false when the host is gone.
    bool sendDue(Clock::time_point now);
    bool queueReply(std::vector<uint8_t> bytes, bool late);
    void log(const std::string& event) const { log_.write(name_, event); }

    UsbIdentity id_;
    std::string name_;
    std::string socketPath_;
    std::string devPath_;
    const EventLog& log_;
    DfuModel model_;
    int listenFd_ = -1;
    int hostFd_ = -1;
    std::vector<uint8_t> input_;
    // Replies in the order of their requests, each with when it may go.
    struct Reply {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
    };
    std::chrono::microseconds latency_;
    RandomFaults random_;
    std::deque<Reply> replies_;
    bool shutDown_ = false;
};

} // namespace velt::sim

#endif
