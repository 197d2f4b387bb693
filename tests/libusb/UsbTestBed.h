// Emulated USB devices for libusb's own Linux code: umockdev fakes /sys and
// /dev/bus/usb for this process (its preload library must be loaded), and
// the usbdevfs ioctls that libusb sends to a device node are answered here.
// Each device's DFU function is the simulator's device model.
//
// Completed URBs are kept per client connection (one open file descriptor),
// never per device node: libusb reaps every descriptor it has open, and a
// URB handed back through the wrong one would be freed twice.
#ifndef VELT_TESTS_LIBUSB_USB_TEST_BED_H
#define VELT_TESTS_LIBUSB_USB_TEST_BED_H

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "dfu_model/DfuModel.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;
typedef struct _UMockdevIoctlClient UMockdevIoctlClient;
typedef struct _UMockdevIoctlData UMockdevIoctlData;

namespace velt::test {

struct EmulatedInterface {
    uint8_t cls = 0xFE;  // DFU, in DFU mode
    uint8_t subclass = 0x01;
    uint8_t protocol = 0x02;
    std::vector<std::string> msOs20Guids;  // this interface's function subset (composite devices)
};

struct DeviceLayout {
    uint8_t bus = 1;
    uint8_t port = 1;  // on the root hub
    uint16_t vid = 0x0483;
    uint16_t pid = 0xDF11;
    std::string serial;  // empty: no iSerialNumber
    std::vector<EmulatedInterface> interfaces = {EmulatedInterface{}};
    std::vector<std::string> msOs20Guids;  // for the whole device
    std::vector<std::string> msOs10Guids;  // extended properties of interface 0
    uint8_t dfuAttributes = 0x0B;          // bmAttributes of the DFU functional descriptor
    uint16_t transferSize = 4096;          // its wTransferSize
    // The DFU function; the bed sets its interface number (the first DFU
    // interface) and its manifestation tolerance (dfuAttributes bit 2).
    velt::sim::ModelConfig model;
};

struct ProgramRun {
    int exitCode = -1;
    std::string out;  // standard output and error together
};

// Runs a program that sees the bed's bus through the preload (its ioctls
// come back to this process); asUnprivileged drops root first, so that the
// device node's permissions apply.
ProgramRun RunOnBus(const std::vector<std::string>& argv, bool asUnprivileged = false);

class UsbTestBed;

// A serial port as the kernel shows it in sysfs, with its node in /dev (a
// pty that umockdev serves).
struct TtyLayout {
    std::string name;       // "ttyUSB0", "ttyACM0", "ttyS0"
    std::string devicePath; // the device behind it, under /sys ("/devices/usb1/1-2/1-2:1.0")
    std::string byId;       // its /dev/serial/by-id name; empty: none
    std::string uartType;   // ttyS only: the driver's port type ("4" a 16550A, "0" none found)
};

// One device on the emulated bus. Its calls are safe from any thread; the
// ioctls arrive on umockdev's worker thread.
class EmulatedDevice {
public:
    ~EmulatedDevice();
    // The next n control requests to the DFU function stall.
    void StallNext(unsigned n);
    // The next claim of an interface fails with this errno (ENODEV: the
    // device left between a program's listing and its open).
    void FailNextClaim(int error);
    // Control requests are taken and never completed, until turned off.
    void SetSilent(bool silent);
    // The DFU requests the model has seen (standard and MS OS ones excluded).
    std::vector<uint8_t> Requests() const;
    size_t OpenClients() const;
    std::vector<uint8_t> Flash() const;
    // USB resets of the device (USBDEVFS_RESET); each one resets the model.
    unsigned Resets() const;

    const DeviceLayout& layout() const { return layout_; }
    std::string node() const;

private:
    friend class UsbTestBed;
    struct Client {
        std::deque<UMockdevIoctlData*> completed;
        std::vector<UMockdevIoctlData*> inFlight;
    };

    explicit EmulatedDevice(const DeviceLayout& layout, uint8_t address);
    static int OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* device);
    bool HandleIoctl(UMockdevIoctlClient* client);
    void PruneGone();
    void Submit(UMockdevIoctlClient* client, Client& state);
    // Fills the data stage of an IN request (after the setup packet) and
    // returns the URB status: 0, or -EPIPE for a stall.
    int Answer(const uint8_t* setup, uint8_t* data, int& actual);
    std::optional<std::vector<uint8_t>> Descriptor(uint8_t type, uint8_t index) const;

    DeviceLayout layout_;
    uint8_t address_;
    std::vector<uint8_t> configuration_;
    velt::sim::DfuModel model_;
    mutable std::mutex mu_;
    std::map<UMockdevIoctlClient*, Client> clients_;
    std::map<unsigned, UMockdevIoctlClient*> claims_;
    std::vector<uint8_t> requests_;
    unsigned stalls_ = 0;
    int claimError_ = 0;
    unsigned resets_ = 0;
    bool silent_ = false;
    bool removed_ = false;
    UMockdevIoctlBase* handler_ = nullptr;
    std::string sysPath_;
};

class UsbTestBed {
public:
    // Fails the calling test (ADD_FAILURE) when the umockdev preload is not
    // loaded: libusb would then see the real, empty bus.
    UsbTestBed();
    ~UsbTestBed();
    UsbTestBed(const UsbTestBed&) = delete;
    UsbTestBed& operator=(const UsbTestBed&) = delete;

    static bool InMockEnvironment();

    EmulatedDevice& Add(const DeviceLayout& layout);
    // Unplugs the device: it leaves /sys, and what is still open to it
    // fails with ENODEV as a real device node does.
    void Remove(EmulatedDevice& device);
    std::string root() const { return root_; }

    // Plugs in a serial port; returns its sysfs path, for RemoveTty. A
    // USB-serial port (ttyUSB) is a device of its own under the interface,
    // as the kernel makes it.
    std::string AddTty(const TtyLayout& tty);
    // Unplugs it. umockdev keeps the pty of a node name for the bed's life:
    // a tty name cannot come back (a replug takes the next number, as it does
    // when a program still holds the old node).
    void RemoveTty(const std::string& sysPath);

private:
    UMockdevTestbed* bed_ = nullptr;
    std::string root_;
    std::vector<std::unique_ptr<EmulatedDevice>> devices_;
    std::map<uint8_t, uint8_t> nextAddress_;
};

}  // namespace velt::test

#endif
