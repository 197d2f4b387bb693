// velt-dfu as a user meets it: exit codes, messages and output, run as a
// process against empty device directories and against the simulator.
#include "SimProcess.h"
#include "ToolRunner.h"
#include "ToolText.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

using tooltest::RunTool;
using tooltest::ToolRun;
using namespace tooltest;

// No USB devices and no COM ports: both device directories empty.
class ToolWithoutDevices : public ::testing::Test {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/velt-dfu-empty-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        setenv("VELT_DOSDEVICES", dir_.c_str(), 1);
        setenv("VELT_USBDEVICES", dir_.c_str(), 1);
        setenv("VELT_COMPORTS", "none", 1);  // the host's own serial ports are not "no devices"
    }
    void TearDown() override { rmdir(dir_.c_str()); }
    std::string dir_;
};

TEST_F(ToolWithoutDevices, ListSaysSoAndSucceeds)
{
    ToolRun run = RunTool({"list"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("No devices found"), std::string::npos) << run.out;
}

TEST_F(ToolWithoutDevices, MissingDevicesFailWithReasonAndCode)
{
    ToolRun byIndex = RunTool({"state", "3"});
    EXPECT_EQ(byIndex.exitCode, 1);
    EXPECT_NE(byIndex.err.find("no device at index 3 (0 found"), std::string::npos) << byIndex.err;

    ToolRun byPath = RunTool({"status", "COM9"});
    EXPECT_EQ(byPath.exitCode, 1);
    EXPECT_EQ(byPath.err, "velt-dfu: cannot open device COM9: DFU_STATUS_GENERAL_ERROR (0x82)\n"
                          "velt-dfu: no such port: COM9 is no COM port of this host ('velt-dfu list' shows them)\n");
    EXPECT_EQ(byPath.out, "");
}

TEST_F(ToolWithoutDevices, UsageErrorsExitTwoWithoutTouchingDevices)
{
    const std::vector<std::vector<std::string>> misuse = {
        {},
        {"flash"},
        {"state"},
        {"state", "0", "1"},
        {"state", "0", "--parity", "sometimes"},
        {"list", "--timeout", "100"},
        {"info", "0", "--baud"},
    };
    for (const auto& args : misuse) {
        ToolRun run = RunTool(args);
        EXPECT_EQ(run.exitCode, 2) << (args.empty() ? "(no arguments)" : args[0]);
        EXPECT_FALSE(run.err.empty());
        EXPECT_EQ(run.out, "");
    }
    ToolRun help = RunTool({"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: velt-dfu"), std::string::npos);
}

class ToolWithSimulator : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sim_ = new velt::sim::SimProcess({"--usb", "vid=1A2B,pid=00FF,serial=TOOL1", "--usb", "vid=1A2B,pid=00FF,serial=TOOL2",
                                          "--com", "COM7,state=2,info=" + Info(),
                                          "--com", "COM8,silent"});
    }
    static void TearDownTestSuite()
    {
        delete sim_;
        sim_ = nullptr;
    }
    void SetUp() override { sim_->exportEnvironment(); }

    // infoWord 0xBEEF, bytes 2 and 3 = 01 02, then 44 bytes counting up.
    static std::string Info()
    {
        std::string hex = "efbe0102";
        for (int i = 4; i < 48; ++i) {
            char pair[3];
            std::snprintf(pair, sizeof pair, "%02x", i);
            hex += pair;
        }
        return hex;
    }

    static velt::sim::SimProcess* sim_;
};

velt::sim::SimProcess* ToolWithSimulator::sim_ = nullptr;

TEST_F(ToolWithSimulator, ListShowsEveryNameADeviceAnswersToAndEachSelectsIt)
{
    ToolRun run = RunTool({"list"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_TRUE(std::regex_match(lines[0], std::regex(R"(# +kind +name +VID:PID +serial +bus-port +node)"))) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], std::regex(R"(0 +usb +TOOL1 +1A2B:00FF +TOOL1 +- +-)"))) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], std::regex(R"(1 +usb +TOOL2 +1A2B:00FF +TOOL2 +- +-)"))) << lines[2];
    // COM ports: the node they open beside the name, in the order the system lists them.
    EXPECT_TRUE(std::regex_match(lines[3], std::regex(R"(2 +uart +COM[78] +- +- +- +/dev/pts/[0-9]+)"))) << lines[3];
    EXPECT_TRUE(std::regex_match(lines[4], std::regex(R"(3 +uart +COM[78] +- +- +- +/dev/pts/[0-9]+)"))) << lines[4];
    ToolRun verbose = RunTool({"list", "-v"});
    EXPECT_TRUE(Contains(verbose.out, "\\\\?\\usb#vid_1a2b&pid_00ff#TOOL1#")) << verbose.out;
    const std::string node = lines[3].substr(lines[3].find("/dev/"));

    // Every name in the row chooses the device, in any letter case.
    for (const std::string& name : std::vector<std::string>{"TOOL2", "tool2", "1a2b:00ff:tool2", "1", "com7", "COM7", node}) {
        ToolRun state = RunTool({"state", name});
        EXPECT_EQ(state.exitCode, 0) << name << ": " << state.err;
        EXPECT_EQ(state.out, "state: dfuIDLE (2)\n") << name;
    }
    // A name that fits two devices names them and is a usage error; one that fits none is not found.
    ToolRun both = RunTool({"state", "1A2B:00FF"});
    EXPECT_EQ(both.exitCode, 2);
    EXPECT_TRUE(Contains(both.err, "'1A2B:00FF' fits 2 devices: 0 (TOOL1), 1 (TOOL2); name one of them")) << both.err;
    ToolRun none = RunTool({"state", "TOOL9"});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(Contains(none.err, "no device matches 'TOOL9'")) << none.err;
    ToolRun bad = RunTool({"state", "1a2b:zz"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(Contains(bad.err, "is not VID:PID[:SERIAL]")) << bad.err;
    // Lists take every kind of name.
    WriteBytes(sim_->dosDevicesDir() + "/../image.bin", Pattern(1500, 5));
    ToolRun several = RunTool({"download", "tool1,1a2b:00ff:TOOL2,com7", sim_->dosDevicesDir() + "/../image.bin"});
    EXPECT_EQ(several.exitCode, 0) << several.err;
    EXPECT_TRUE(Contains(several.out, "tool1   ")) << "the table names each device as it was typed\n" << several.out;
}

// With one device there and none named, that one, and the user is told.
TEST(ToolWithOneDevice, ADeviceLeftUnnamedIsTheOnlyOne)
{
    velt::sim::SimProcess sim({"--usb", "serial=ONLY"});
    sim.exportEnvironment();
    ToolRun state = RunTool({"state"});
    EXPECT_EQ(state.exitCode, 0) << state.err;
    EXPECT_EQ(state.err, "velt-dfu: using the only device there is, ONLY\n");
    EXPECT_EQ(state.out, "state: dfuIDLE (2)\n");
    // "upload ONLY" lacks its FILE, not its device.
    EXPECT_EQ(RunTool({"upload", "ONLY"}).exitCode, 2);
}

TEST_F(ToolWithSimulator, RequestsOnSerialAndUsbDevices)
{
    ToolRun serial = RunTool({"state", "COM7"});
    EXPECT_EQ(serial.exitCode, 0) << serial.err;
    EXPECT_EQ(serial.out, "state: dfuIDLE (2)\n");

    ToolRun usb = RunTool({"status", "0"});
    EXPECT_EQ(usb.exitCode, 0) << usb.err;
    EXPECT_NE(usb.out.find("status:       OK (0)"), std::string::npos) << usb.out;
    EXPECT_NE(usb.out.find("state:        dfuIDLE (2)"), std::string::npos) << usb.out;

    ToolRun info = RunTool({"info", "\\\\.\\COM7", "--timeout", "500", "--baud", "57600"});
    EXPECT_EQ(info.exitCode, 0) << info.err;
    EXPECT_NE(info.out.find("infoWord:   0xBEEF"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("infoByte1:  0x02"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("infoByte2:  0x01"), std::string::npos) << info.out;

    // CLRSTATUS outside dfuERROR would stall the device into dfuERROR.
    ToolRun clear = RunTool({"clear", "COM7"});
    EXPECT_EQ(clear.exitCode, 0) << clear.err;
    EXPECT_EQ(clear.out, "Nothing to clear: the device is in dfuIDLE (2), not in dfuERROR.\n");
    EXPECT_EQ(RunTool({"state", "COM7"}).out, "state: dfuIDLE (2)\n");
}

TEST_F(ToolWithSimulator, SerialOptionsOnAUsbDeviceAreAUsageError)
{
    ToolRun run = RunTool({"state", "0", "--flow", "rtscts"});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("COM-port devices only"), std::string::npos) << run.err;
}

// A time-out of 0 cannot work on a serial line; on USB it is a setting.
TEST_F(ToolWithSimulator, ZeroTimeOutIsRefusedForComPortsOnly)
{
    ToolRun serial = RunTool({"state", "COM7", "--timeout", "0"});
    EXPECT_EQ(serial.exitCode, 2);
    EXPECT_NE(serial.err.find("--timeout 0 would fail every transfer on COM-port device COM7"),
              std::string::npos)
        << serial.err;
    // (1 ms on the simulated pipe may or may not be enough: not a usage error either way.)
    ToolRun usb = RunTool({"state", "0", "--timeout", "0"});
    EXPECT_NE(usb.exitCode, 2) << usb.err;
}

TEST_F(ToolWithSimulator, SilentDeviceFailsWithTimeoutWithinBound)
{
    const auto start = std::chrono::steady_clock::now();
    ToolRun run = RunTool({"state", "COM8", "--timeout", "200"});
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find("cannot read the state of device COM8: DFU_STATUS_TIMEOUT (0x84)"),
              std::string::npos)
        << run.err;
    EXPECT_LT(took, std::chrono::seconds(5));
}

} // namespace

// Why a COM port did not open: what the tool can tell beyond the status.
TEST(ToolOpenFailures, SaysWhichPortIsHeldMissingOrSilentAndAcceptsATtyPath)
{
    velt::sim::SimProcess sim({"--com", "COM5", "--com", "COM6,nosync"});
    sim.exportEnvironment();
    const std::string dos = sim.dosDevicesDir();
    ASSERT_EQ(symlink("/nonexistent/ttyUSB9", (dos + "/COM3").c_str()), 0);
    ASSERT_EQ(symlink("/tmp", (dos + "/COM4").c_str()), 0);
    char node[256] = {};
    ASSERT_GT(readlink((dos + "/COM5").c_str(), node, sizeof node - 1), 0);

    // The pty's own path names COM5.
    ToolRun byNode = RunTool({"state", node});
    EXPECT_EQ(byNode.exitCode, 0) << byNode.err;

    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"state", "COM3"}, "no such device: COM3 leads to /nonexistent/ttyUSB9, which does not exist (unplugged?)"},
        {{"state", "COM4"}, "no such device: COM4 leads to /tmp, which is not a serial port"},
        {{"state", "COM6", "--timeout", "200"},
         "no answer at 115200 bit/s: a device on another rate never answers the link handshake; check --baud"},
        {{"state", "COM6", "--timeout", "200", "--baud", "9600"},
         "no answer at 9600 bit/s: a device on another rate never answers the link handshake; check --baud"},
    };
    for (const auto& c : cases) {
        ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 1) << c.args[1];
        EXPECT_NE(run.err.find("velt-dfu: " + c.says + "\n"), std::string::npos) << run.err;
    }

    // Held: this process has the port open and locked, as every opener here does.
    const int fd = open(node, O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(flock(fd, LOCK_EX), 0);
    ToolRun held = RunTool({"state", "COM5"});
    close(fd);
    EXPECT_EQ(held.exitCode, 1);
    EXPECT_NE(held.err.find("COM5 (" + std::string(node) + ") is held by another process: PID " +
                            std::to_string(getpid()) + " ("),
              std::string::npos)
        << held.err;
}

// A port this user may not open: the tool says so and how to fix it. Root
// makes the node and runs the tool as nobody.
TEST(ToolOpenFailures, APortThisUserMayNotOpenIsAPermissionProblemWithItsFix)
{
    if (geteuid() != 0 || std::system("command -v setpriv >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root (to make a device node and run the tool as another user) and setpriv";
    char dir[] = "/tmp/velt-dfu-perm-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string d = dir;
    ASSERT_EQ(chmod(dir, 0755), 0);
    ASSERT_EQ(mknod((d + "/ttyfake").c_str(), S_IFCHR | 0600, makedev(5, 0)), 0);
    ASSERT_EQ(symlink((d + "/ttyfake").c_str(), (d + "/COM3").c_str()), 0);
    const std::string command = "VELT_DOSDEVICES=" + d + " VELT_USBDEVICES=" + d +
                                " VELT_COMPORTS=none VELT_USB_BACKEND=sim setpriv --reuid=65534 --regid=65534 "
                                "--clear-groups " VELT_DFU_TOOL " state COM3 2>&1";
    int status = 0;
    const std::string out = Capture(command, &status);
    EXPECT_NE(status, 0);
    std::filesystem::remove_all(d);
    EXPECT_TRUE(Contains(out, "permission denied: " + d + "/ttyfake (group root) is not readable and writable for "
                              "this user; give the port to group dialout with a udev rule"))
        << out;
}
