// A simulated DFU device on a serial line: a pty whose slave is linked into
// the dosdevices directory as COMn, with the device's protocol on the master.
#ifndef VELT_SIM_SERIAL_DEVICE_H
#define VELT_SIM_SERIAL_DEVICE_H

#include "../common/EventLog.h"
#include "../common/Options.h"
#include "../common/SimDevice.h"
#include "../dfu_model/DfuModel.h"
#include "LineModel.h"
#include "SerialProtocol.h"

#include <string>
#include <vector>

namespace velt::sim {

class SerialDevice : public SimDevice {
public:
    // Opens the pty and creates the link; throws std::runtime_error, also when
    // COMn already exists and points at a live port.
    SerialDevice(const DeviceConfig& cfg, const std::string& dosDevicesDir, const EventLog& log);
    ~SerialDevice() override;

    const std::string& name() const override { return name_; }
    const std::string& slavePath() const { return slavePath_; }
    void run(int stopFd) override;
    void shutdown() override;

private:
    void openPty();
    void createLink();
    bool flushOutput(); // false when the pty is gone
    // Hands the protocol what the line has carried to the device by now, and
    // moves what has reached the host into output_.
    void advance(LineModel::Clock::time_point now);
    void followHost();
    void log(const std::string& event) const { log_.write(name_, event); }

    std::string name_;
    std::string linkPath_;
    std::string slavePath_;
    const EventLog& log_;
    DfuModel model_;
    SerialProtocol protocol_;
    LineModel line_;
    uint32_t baud_;     // the device's own rate, 0 when it has none of its own
    bool watchHost_;    // the host's settings matter: they set or garble the line
    LineModel::Clock::time_point lastInput_{};
    std::vector<uint8_t> delivered_; // scratch: bytes the line delivered
    Output sent_;                     // scratch: what the protocol sends
    int masterFd_ = -1;
    int slaveFd_ = -1; // held open so the master never sees a hang-up between hosts
    std::vector<uint8_t> output_;
    bool linked_ = false;
    bool shutDown_ = false;
};

} // namespace velt::sim

#endif
