// Serial ports found without setup: USB-serial adapters, CDC-ACM devices and
// on-board UARTs that umockdev shows in /sys and /dev, named COMn through the
// COM port database, with the dosdevices entries first.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <velt/com_ports.h>

#include "UsbTestBed.h"

using velt::test::ProgramRun;
using velt::test::RunOnBus;
using velt::test::TtyLayout;
using velt::test::UsbTestBed;

namespace {

class SerialPortsOnEmulatedSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/velt-ports-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        work_ = dir;
        std::filesystem::create_directory(dos());
        setenv("VELT_DOSDEVICES", dos().c_str(), 1);
        setenv("VELT_COMPORTS", database().c_str(), 1);
    }
    void TearDown() override {
        unsetenv("VELT_DOSDEVICES");
        unsetenv("VELT_COMPORTS");
        std::error_code ec;
        std::filesystem::remove_all(work_, ec);
    }
    std::string dos() const { return work_ + "/dos"; }
    std::string database() const { return work_ + "/db/comports"; }

    // name -> node, as the platform lists them.
    static std::map<std::string, std::string> Listed() {
        std::map<std::string, std::string> ports;
        for (const velt::ComPort& p : velt::ListComPorts())
            ports[p.name] = p.node;
        return ports;
    }
    // What QueryDosDeviceW gives for a name, "" when it fails.
    static std::string Target(const std::u16string& name) {
        WCHAR buf[512];
        const DWORD n = QueryDosDeviceW(name.c_str(), buf, 512);
        return n ? std::string(buf, buf + std::char_traits<char16_t>::length(buf)) : "";
    }

    std::string work_;
    UsbTestBed bed;
};

const TtyLayout kAdapter{"ttyUSB0", "/devices/usb1/1-2/1-2:1.0", "usb-Maker_Serial_A1B2-if00-port0", ""};
const TtyLayout kAcm{"ttyACM0", "/devices/usb1/1-3/1-3:1.0", "", ""};
const TtyLayout kUart{"ttyS0", "/devices/pnp0/00:04", "", "4"};
const TtyLayout kPhantom{"ttyS1", "/devices/platform/serial8250", "", "0"};

TEST_F(SerialPortsOnEmulatedSysfs, AdaptersAndRealUartsAreListedPhantomPortsAreNot) {
    bed.AddTty(kAdapter);
    bed.AddTty(kAcm);
    bed.AddTty(kUart);
    bed.AddTty(kPhantom);
    // Numbers in tty-name order on first sight.
    const std::map<std::string, std::string> expected = {
        {"COM1", "/dev/ttyACM0"}, {"COM2", "/dev/ttyS0"}, {"COM3", "/dev/ttyUSB0"}};
    EXPECT_EQ(Listed(), expected);
    EXPECT_EQ(Target(u"COM3"), "/dev/ttyUSB0");
    EXPECT_EQ(Target(u"com1"), "/dev/ttyACM0");  // names ignore case, as on Windows
    EXPECT_EQ(Target(u"COM4"), "");

    // The database holds what the names are bound to: by-id where there is one.
    std::ifstream in(database());
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(),
              "COM1 sysfs:/devices/usb1/1-3/1-3:1.0\n"
              "COM2 sysfs:/devices/pnp0/00:04\n"
              "COM3 by-id:usb-Maker_Serial_A1B2-if00-port0\n");
}

TEST_F(SerialPortsOnEmulatedSysfs, AnAdapterKeepsItsNameAcrossReplugsAnotherGetsAnother) {
    const std::string first = bed.AddTty(kAdapter);
    bed.AddTty(kAcm);
    ASSERT_EQ(Listed().at("COM2"), "/dev/ttyUSB0");

    // Unplugged: gone from the list, its name kept for it.
    bed.RemoveTty(first);
    EXPECT_EQ(Listed().count("COM2"), 0u);
    // Another adapter comes first, as ttyUSB1 on the USB port the first one
    // left; the first comes back as ttyUSB2 on another port.
    bed.AddTty({"ttyUSB1", kAdapter.devicePath, "usb-Maker_Serial_C3D4-if00-port0", ""});
    bed.AddTty({"ttyUSB2", "/devices/usb1/1-5/1-5:1.0", kAdapter.byId, ""});
    const std::map<std::string, std::string> expected = {
        {"COM1", "/dev/ttyACM0"}, {"COM2", "/dev/ttyUSB2"}, {"COM3", "/dev/ttyUSB1"}};
    EXPECT_EQ(Listed(), expected);
}

TEST_F(SerialPortsOnEmulatedSysfs, DosDevicesEntriesWinOverDiscoveredPorts) {
    bed.AddTty(kAdapter);
    bed.AddTty(kAcm);
    ASSERT_EQ(Listed().at("COM1"), "/dev/ttyACM0");
    // A name made by hand takes COM1 from the ACM device, which moves on;
    // an entry for the adapter's node lists it once, under the entry's name.
    ASSERT_EQ(symlink("/dev/null", (dos() + "/COM1").c_str()), 0);
    ASSERT_EQ(symlink("/dev/ttyUSB0", (dos() + "/COM7").c_str()), 0);
    const std::map<std::string, std::string> expected = {
        {"COM1", "/dev/null"}, {"COM3", "/dev/ttyACM0"}, {"COM7", "/dev/ttyUSB0"}};
    EXPECT_EQ(Listed(), expected);
    EXPECT_EQ(Target(u"COM1"), "/dev/null");
    EXPECT_EQ(Target(u"COM2"), "");

    // Turned off, only the entries are left.
    setenv("VELT_COMPORTS", "none", 1);
    EXPECT_EQ(Listed().size(), 2u);
}

TEST_F(SerialPortsOnEmulatedSysfs, ComNamesInLowerCaseHoldTheirNumbersToo) {
    // "com1" is COM1 to every opener, so no discovered port may be named COM1
    // beside it: that port could never be reached. A database line written
    // by hand in lower case keeps its adapter's name likewise.
    ASSERT_EQ(symlink("/dev/null", (dos() + "/com1").c_str()), 0);
    std::filesystem::create_directories(work_ + "/db");
    std::ofstream(database()) << "com3 sysfs:/devices/usb1/1-3/1-3:1.0\n";
    bed.AddTty(kAcm);
    const std::map<std::string, std::string> expected = {{"COM3", "/dev/ttyACM0"}, {"com1", "/dev/null"}};
    EXPECT_EQ(Listed(), expected);
    EXPECT_EQ(Target(u"COM1"), "/dev/null");
    EXPECT_EQ(Target(u"COM3"), "/dev/ttyACM0");
}

#ifdef VELT_DFU_TOOL
// velt-dfu, another program on the emulated sysfs: lists the node beside
// each name.
TEST_F(SerialPortsOnEmulatedSysfs, TheToolListsEachPortWithItsNode) {
    bed.AddTty(kAdapter);
    bed.AddTty(kPhantom);
    setenv("VELT_USB_BACKEND", "sim", 1);
    setenv("VELT_USBDEVICES", dos().c_str(), 1);
    ProgramRun list = RunOnBus({VELT_DFU_TOOL, "list"});
    EXPECT_EQ(list.exitCode, 0) << list.out;
    EXPECT_EQ(list.out,
              "#  kind  name  VID:PID  serial  bus-port  node\n"
              "0  uart  COM1  -        -       -         /dev/ttyUSB0\n");

    // Opening one is left to the simulator's ports (tests/tools): a child
    // process's termios ioctls on an umockdev tty have no handler to go to.
    unsetenv("VELT_USB_BACKEND");
    unsetenv("VELT_USBDEVICES");
}
#endif

}  // namespace
