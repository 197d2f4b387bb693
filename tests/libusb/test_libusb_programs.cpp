// Another program on the same emulated bus: velt-dfu, started from the test,
// reaches the test bed's devices through the preload (its ioctls come back
// to this process), is refused a device this process holds, and says
// plainly when it lacks the permission to open one.
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "UsbTestBed.h"
#include "VELT_DFU.h"

using velt::test::DeviceLayout;
using velt::test::ProgramRun;
using velt::test::RunOnBus;
using velt::test::EmulatedDevice;
using velt::test::UsbTestBed;

namespace {

// velt-dfu with args on the bed's bus.
ProgramRun RunTool(std::vector<std::string> args, bool asUnprivileged = false) {
    args.insert(args.begin(), VELT_DFU_TOOL);
    return RunOnBus(args, asUnprivileged);
}

class ToolOnEmulatedBus : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELT_USB_BACKEND", "libusb", 1);
        setenv("VELT_USB_GUIDS", "/nonexistent/usb-guids", 1);
    }
    void TearDown() override {
        unsetenv("VELT_USB_BACKEND");
        unsetenv("VELT_USB_GUIDS");
    }
    UsbTestBed bed;
};

DeviceLayout Board(const std::string& serial) {
    DeviceLayout s;
    s.serial = serial;
    return s;
}

TEST_F(ToolOnEmulatedBus, AnotherProgramListsAndDrivesTheDevicesButNotOneThisProcessHolds) {
    EmulatedDevice& d = bed.Add(Board("CHILD"));
    ProgramRun list = RunTool({"list", "-v"});
    EXPECT_EQ(list.exitCode, 0) << list.out;
    EXPECT_NE(list.out.find("vid_0483&pid_df11#CHILD#"), std::string::npos) << list.out;
    ProgramRun state = RunTool({"state", "0"});
    EXPECT_EQ(state.exitCode, 0) << state.out;
    EXPECT_NE(state.out.find("dfuIDLE"), std::string::npos) << state.out;
    EXPECT_EQ(d.Requests(), (std::vector<uint8_t>{5}));

    uint32_t count = 0;
    ASSERT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    DFU_HANDLE h = nullptr;
    ASSERT_EQ(DFU_OpenByIndex(&h, 0), DFU_STATUS_SUCCESS);
    ProgramRun refused = RunTool({"state", "0"});
    EXPECT_NE(refused.exitCode, 0) << refused.out;
    EXPECT_EQ(refused.out.find("permission"), std::string::npos) << "a busy device is no permission problem\n"
                                                                  << refused.out;
    EXPECT_EQ(d.Requests(), (std::vector<uint8_t>{5}));
    EXPECT_EQ(DFU_Close(h), DFU_STATUS_SUCCESS);
}

TEST_F(ToolOnEmulatedBus, AUserWhoMayNotWriteTheNodeIsToldItIsAPermissionProblem) {
    EmulatedDevice& d = bed.Add(Board("LOCKED"));
    // The emulated tree is private to root; let the unprivileged child see it
    // (and make its event socket there, as libusb's udev monitor does) and
    // read, but not write, the node.
    ASSERT_EQ(chmod(bed.root().c_str(), 01777), 0);
    ASSERT_EQ(chmod((bed.root() + "/ioctl" + d.node()).c_str(), 0777), 0);  // the bed's socket, not the node
    ASSERT_EQ(chmod((bed.root() + d.node()).c_str(), 0444), 0);
    ProgramRun r = RunTool({"state", "0"}, true);
    EXPECT_NE(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("velt-dfu: permission denied: cannot open USB device \\\\?\\usb#vid_0483&pid_df11#1-1#"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("60-velt-dfu.rules"), std::string::npos) << r.out;
    EXPECT_TRUE(d.Requests().empty());
}

}  // namespace
