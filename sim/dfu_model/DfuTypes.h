// Shared vocabulary of the simulated DFU 1.1 device: states, status codes,
// request codes and the setup packet the transports hand to the model.
#ifndef VELT_SIM_DFU_TYPES_H
#define VELT_SIM_DFU_TYPES_H

#include <cstdint>
#include <string>
#include <vector>

namespace velt::sim {

enum class DfuState : uint8_t {
    AppIdle = 0,
    AppDetach = 1,
    DfuIdle = 2,
    DnloadSync = 3,
    DnBusy = 4,
    DnloadIdle = 5,
    ManifestSync = 6,
    Manifest = 7,
    ManifestWaitReset = 8,
    UploadIdle = 9,
    DfuError = 10,
};

enum class DfuStatus : uint8_t {
    Ok = 0x00,
    ErrTarget = 0x01,
    ErrFile = 0x02,
    ErrWrite = 0x03,
    ErrErase = 0x04,
    ErrCheckErased = 0x05,
    ErrProg = 0x06,
    ErrVerify = 0x07,
    ErrAddress = 0x08,
    ErrNotDone = 0x09,
    ErrFirmware = 0x0A,
    ErrVendor = 0x0B,
    ErrUsbReset = 0x0C,
    ErrPowerOnReset = 0x0D,
    ErrUnknown = 0x0E,
    ErrStalledPkt = 0x0F,
};

// Class requests of DFU 1.1 plus the two vendor requests of this device.
enum DfuRequest : uint8_t {
    DFU_REQ_DETACH = 0,
    DFU_REQ_DNLOAD = 1,
    DFU_REQ_UPLOAD = 2,
    DFU_REQ_GETSTATUS = 3,
    DFU_REQ_CLRSTATUS = 4,
    DFU_REQ_GETSTATE = 5,
    DFU_REQ_ABORT = 6,
    VENDOR_REQ_GET_INFO = 7,
    VENDOR_REQ_RESET = 8,
};

// bmRequestType values the device accepts (recipient: interface).
constexpr uint8_t kClassOut = 0x21;
constexpr uint8_t kClassIn = 0xA1;
constexpr uint8_t kVendorOut = 0x41;
constexpr uint8_t kVendorIn = 0xC1;

constexpr size_t kInfoSize = 48;
constexpr size_t kStatusSize = 6;

struct SetupPacket {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
};

// What the device does with one control request: stall it, or complete it
// with IN data (empty for host-to-device requests).
struct ControlResult {
    bool stall = false;
    std::vector<uint8_t> data;

    static ControlResult stalled() { return ControlResult{true, {}}; }
};

const char* stateName(DfuState state);
const char* requestName(uint8_t request);

// One log line's worth: "GETSTATUS value=0 index=0 length=6 -> 6 bytes, dfuIDLE".
std::string describeRequest(const SetupPacket& setup, const ControlResult& result, DfuState after);

} // namespace velt::sim

#endif
