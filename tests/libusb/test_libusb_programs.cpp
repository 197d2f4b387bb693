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
using velt::test::EmulatedDevice;
using velt::test::UsbTestBed;

namespace {

struct ToolRun {
    int exitCode = -1;
    std::string out;  // standard output and error together
};

constexpr uid_t kNobody = 65534;

// Runs velt-dfu with args; asUnprivileged drops root first, so that the
// device node's permissions apply.
ToolRun RunTool(const std::vector<std::string>& args, bool asUnprivileged = false) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return {};
    std::vector<char*> argv{const_cast<char*>(VELT_DFU_TOOL)};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Sanitized builds of velt-dfu start after the preload library too.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0)
            env.push_back(*e);
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        if (asUnprivileged && geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ToolRun r;
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;)
        r.out.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
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
    ToolRun list = RunTool({"list"});
    EXPECT_EQ(list.exitCode, 0) << list.out;
    EXPECT_NE(list.out.find("vid_0483&pid_df11#CHILD#"), std::string::npos) << list.out;
    ToolRun state = RunTool({"state", "0"});
    EXPECT_EQ(state.exitCode, 0) << state.out;
    EXPECT_NE(state.out.find("dfuIDLE"), std::string::npos) << state.out;
    EXPECT_EQ(d.Requests(), (std::vector<uint8_t>{5}));

    uint32_t count = 0;
    ASSERT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
    ASSERT_EQ(count, 1u);
    DFU_HANDLE h = nullptr;
    ASSERT_EQ(DFU_OpenByIndex(&h, 0), DFU_STATUS_SUCCESS);
    ToolRun refused = RunTool({"state", "0"});
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
    ToolRun r = RunTool({"state", "0"}, true);
    EXPECT_NE(r.exitCode, 0) << r.out;
    EXPECT_NE(r.out.find("velt-dfu: permission denied: cannot open USB device \\\\?\\usb#vid_0483&pid_df11#1-1#"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("60-velt-dfu.rules"), std::string::npos) << r.out;
    EXPECT_TRUE(d.Requests().empty());
}

}  // namespace
