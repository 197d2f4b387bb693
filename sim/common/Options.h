// The command line of velt-dfu-sim.
#ifndef VELT_SIM_OPTIONS_H
#define VELT_SIM_OPTIONS_H

#include "../dfu_model/DfuModel.h"
#include "../serial/LineModel.h"
#include "DeviceFaults.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace velt::sim {

constexpr const char* kDefaultGuid = "{04C77E93-B54D-4714-AC96-15A62BFA307B}";

// The DFU functional descriptor (DFU 1.1, class-specific type 0x21) that
// follows the DFU interface in the configuration descriptor.
constexpr uint8_t kManifestationTolerant = 0x04; // bmAttributes bit 2
constexpr unsigned kMaxDfuInterface = 15;

struct DfuFunctional {
    uint8_t attributes = 0x07;      // bmAttributes: can download, can upload, manifestation tolerant
    uint16_t detachTimeoutMs = 1000; // wDetachTimeOut
    uint16_t transferSize = 4096;   // wTransferSize; the model itself takes any block size
};

struct UsbIdentity {
    uint16_t vid = 0xF055;
    uint16_t pid = 0xD0F1;
    uint16_t bcdDevice = 0x0100;
    std::string serial;   // default VSIMnnnn, n = position among the USB devices
    std::string guid = kDefaultGuid; // upper case, with braces
    std::string stem;     // file stem in the USB device directory
    DfuFunctional functional;
    // The DFU interface's number; above 0 the device is composite, the
    // interfaces before it vendor-specific, and it names its GUID in an
    // MS OS 2.0 function subset.
    uint8_t dfuInterface = 0;
};

struct DeviceConfig {
    enum class Kind { Usb, Serial } kind = Kind::Usb;
    ModelConfig model;
    UsbIdentity usb;
    std::string comName;  // COMn, serial devices only
    DeviceFaults faults;
    LineConfig line;      // serial: rate and latency; USB: latency per control transfer
};

struct CommandLine {
    std::string usbDir;
    std::string dosDevicesDir;
    std::string logPath;
    std::vector<DeviceConfig> devices;
    bool help = false;
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Throws UsageError with a message naming the offending option.
CommandLine parseCommandLine(const std::vector<std::string>& args);
std::string usageText();

} // namespace velt::sim

#endif
