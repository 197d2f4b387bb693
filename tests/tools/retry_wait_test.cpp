// velt-dfu download --retries and --wait, run as a process against simulated
// devices: a failure that hits once is survived, one that always hits is
// tried the number of times asked and no more, input errors and cancels are
// never retried, and a device that comes late is waited for.
#include "JsonCheck.h"
#include "SimToolTest.h"
#include "ToolRunner.h"
#include "ToolText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <fcntl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace tooltest;

namespace {

namespace fs = std::filesystem;

// The 4th request a serial device acknowledges is the GETSTATUS after the
// first block (after GETSTATUS, GETSTATE and DNLOAD); its reply comes 600 ms
// late, past a 400 ms time-out but early enough to be drained before the
// next request.
// The reply to the GETSTATUS after block 1 (the fifth request: GETSTATUS, DNLOAD 0,
// GETSTATUS, DNLOAD 1, GETSTATUS) comes after the time-out.
const std::string kLateOnce = "delay=600@5";
const std::string kTimeout = "400";

class RetryWait : public SimToolTest {
protected:
    std::string LogOf(const std::string& device) const
    {
        std::string lines;
        for (const std::string& line : LogLinesOf(device))
            lines += line + "\n";
        return lines;
    }
};

TEST_F(RetryWait, FailureThatHitsOnceIsRecoveredOrSurvivedWithOneRetry)
{
    Start({"--com", "COM7," + kLateOnce, "--com", "COM8," + kLateOnce + ",flash=" + File("com8.bin"), "--com",
           "COM9," + kLateOnce + ",flash=" + File("com9.bin")});
    const Bytes image = Pattern(3000, 21);
    WriteBytes(File("image.bin"), image);

    // Without recovery and without --retries the late reply ends the download.
    ToolRun once = RunTool({"download", "COM7", File("image.bin"), "--timeout", kTimeout, "--no-recovery"});
    EXPECT_EQ(once.exitCode, 1) << once.err;
    EXPECT_TRUE(Contains(once.err, "failed: GETSTATUS after block 1: DFU_STATUS_TIMEOUT (0x84)")) << once.err;
    EXPECT_FALSE(Contains(once.err, ": retry ")) << once.err;

    ToolRun run = RunTool({"download", "COM8", File("image.bin"), "--timeout", kTimeout, "--retries", "1", "--verify",
                           "--json", "--no-recovery"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "download to device COM8: retry 1 of 1 after DFU_STATUS_TIMEOUT (0x84)"))
        << run.err;
    EXPECT_TRUE(Contains(run.err, "abandoned the unfinished download (ABORT); it is in dfuIDLE now")) << run.err;
    std::vector<std::string> retries;
    for (const std::string& line : Lines(run.out)) {
        EXPECT_TRUE(jsoncheck::IsObject(line)) << line;
        if (Contains(line, R"("type":"retry")"))
            retries.push_back(line);
    }
    ASSERT_EQ(retries.size(), 1u) << run.out;
    EXPECT_TRUE(Contains(retries[0], R"("device":"\\\\.\\COM8","operation":"download","attempt":1,"of":1,"status":132,)"
                                     R"("status_name":"DFU_STATUS_TIMEOUT","reason":"transfer")"))
        << retries[0];
    EXPECT_TRUE(Contains(Lines(run.out).back(), R"("ok":true,)")) << run.out;
    EXPECT_TRUE(Contains(Lines(run.out).back(), R"("attempts":2)")) << run.out;
    const Bytes flash = ReadBytes(File("com8.bin"));
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
    // The second attempt started over at block 0.
    EXPECT_EQ(Count(LogOf("COM8"), "DNLOAD(1) type=0x21 value=0 index=0 length=1024"), 2u) << LogOf("COM8");

    // With recovery (the default) the lost reply is asked for again: one
    // attempt, no block sent twice.
    ToolRun recovered = RunTool({"download", "COM9", File("image.bin"), "--timeout", kTimeout, "--json", "-v"});
    ASSERT_EQ(recovered.exitCode, 0) << recovered.err;
    EXPECT_TRUE(Contains(recovered.err, "GETSTATUS of block 1 failed (DFU_STATUS_TIMEOUT (0x84)); the device is in "))
        << recovered.err;
    EXPECT_TRUE(Contains(Lines(recovered.out).back(), R"("recoveries":1,)")) << recovered.out;
    EXPECT_EQ(Count(LogOf("COM9"), "DNLOAD(1) type=0x21 value=0 index=0 length=1024"), 1u) << LogOf("COM9");
    EXPECT_EQ(Count(LogOf("COM9"), "DNLOAD(1) type=0x21 value=1 index=0 length=1024"), 1u) << LogOf("COM9");
    const Bytes flash9 = ReadBytes(File("com9.bin"));
    ASSERT_GE(flash9.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash9.begin()));
}

TEST_F(RetryWait, LastingFailuresAreTriedAsOftenAsAskedAndInputErrorsNever)
{
    Start({"--usb", "name=small,flash-size=2K", "--usb", "name=corrupt,upload-corrupt=100"});
    WriteBytes(File("big.bin"), Pattern(5000, 3));
    WriteBytes(File("image.bin"), Pattern(1500, 4));

    // Every attempt runs out of flash: three in all, each one left in dfuIDLE.
    ToolRun full = RunTool({"download", UsbPath("small"), File("big.bin"), "--retries", "2", "--json"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_EQ(Count(full.out, R"("type":"retry")"), 2u) << full.out;
    EXPECT_TRUE(Contains(full.err, "retry 2 of 2 after DFU_STATUS_UNEXPECTED_STATE (0x44), device status errADDRESS"))
        << full.err;
    EXPECT_EQ(Count(full.err, "cleared the error status errADDRESS (CLRSTATUS); it is in dfuIDLE now"), 3u) << full.err;
    EXPECT_TRUE(Contains(Lines(full.out).back(), R"("ok":false,)")) << full.out;
    EXPECT_TRUE(Contains(Lines(full.out).back(), R"("attempts":3)")) << full.out;
    EXPECT_EQ(Count(LogOf("usb:small"), "DNLOAD(1) type=0x21 value=0 index=0"), 3u);

    // A read-back that differs repeats the download and the read-back.
    ToolRun verify = RunTool({"download", UsbPath("corrupt"), File("image.bin"), "--verify", "--retries", "1"});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_TRUE(Contains(verify.err, "retry 1 of 1 after a read-back that did not match")) << verify.err;
    EXPECT_EQ(Count(verify.err, "first difference at offset 100"), 2u) << verify.err;

    // Input that is wrong stays wrong: said once, nothing sent.
    const std::string before = sim_->readLog();
    ToolRun missing = RunTool({"download", UsbPath("small"), File("missing.bin"), "--retries", "3"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_EQ(Count(missing.err, "cannot read"), 1u) << missing.err;
    EXPECT_FALSE(Contains(missing.err, ": retry ")) << missing.err;
    EXPECT_EQ(sim_->readLog(), before);
}

TEST_F(RetryWait, CancelIsNeverRetried)
{
    // Every block waits a 15 ms poll: 128 blocks take about 2 s.
    Start({"--usb", "name=slow,busy=1,poll=15"});
    WriteBytes(File("image.bin"), Pattern(8192, 5));
    ToolProcess tool({"download", UsbPath("slow"), File("image.bin"), "--transfer-size", "64", "--retries", "5",
                      "--json"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Contains(tool.outSoFar(), "\"type\":\"progress\"") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(::kill(tool.pid(), SIGINT), 0);
    ToolRun run = tool.wait();
    EXPECT_EQ(run.exitCode, 130) << run.err;
    EXPECT_FALSE(Contains(run.out + run.err, ": retry ") || Contains(run.out, "\"type\":\"retry\"")) << run.err;
    EXPECT_EQ(Count(LogOf("usb:slow"), "DNLOAD(1) type=0x21 value=0 index=0"), 1u);
    EXPECT_EQ(RunTool({"state", UsbPath("slow")}).out, "state: dfuIDLE (2)\n");
}

// A second simulator on the same directories, started while the tool waits:
// a board that plugs in late.
class LateDevice {
public:
    LateDevice(const velt::sim::SimProcess& first, const std::vector<std::string>& devices)
    {
        std::vector<std::string> args{VELT_SIM_BINARY, "--usb-dir", first.usbDir(), "--dosdevices",
                                      first.dosDevicesDir()};
        args.insert(args.end(), devices.begin(), devices.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& arg : args)
                argv.push_back(arg.data());
            argv.push_back(nullptr);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 1);
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~LateDevice()
    {
        if (pid_ <= 0)
            return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    LateDevice(const LateDevice&) = delete;
    LateDevice& operator=(const LateDevice&) = delete;

private:
    pid_t pid_ = -1;
};

TEST_F(RetryWait, WaitFindsDevicesThatAppearLateAndSaysWhenNoneDoes)
{
    Start({"--com", "COM7"});
    WriteBytes(File("image.bin"), Pattern(2000, 6));
    const std::string lateUsb = R"(\\?\usb#vid_f055&pid_d0f1#LATE1#{04c77e93-b54d-4714-ac96-15a62bfa307b})";
    ToolProcess serial({"download", "COM12", File("image.bin"), "--wait=20"});
    ToolProcess usb({"download", lateUsb, File("image.bin"), "--wait", "--json"});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::unique_ptr<LateDevice> late;
    {
        late = std::make_unique<LateDevice>(*sim_, std::vector<std::string>{
                                                       "--com", "COM12,flash=" + File("com12.bin"), "--usb",
                                                       "serial=LATE1,flash=" + File("late.bin")});
    }
    ToolRun serialRun = serial.wait();
    ToolRun usbRun = usb.wait();
    ASSERT_EQ(serialRun.exitCode, 0) << serialRun.err;
    EXPECT_TRUE(Contains(serialRun.out, "waiting up to 20 s for device COM12 to appear")) << serialRun.out;
    EXPECT_TRUE(Contains(serialRun.out, "device COM12 appeared after ")) << serialRun.out;
    ASSERT_EQ(usbRun.exitCode, 0) << usbRun.err;
    EXPECT_TRUE(Contains(usbRun.err, "waiting up to 30 s for device " + lateUsb)) << usbRun.err;
    late.reset(); // saves the flash files
    const Bytes image = Pattern(2000, 6);
    for (const std::string& flashFile : {File("com12.bin"), File("late.bin")}) {
        const Bytes flash = ReadBytes(flashFile);
        ASSERT_GE(flash.size(), image.size()) << flashFile;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << flashFile;
    }

    // A device that is there is used at once, without a word about waiting.
    ToolRun present = RunTool({"download", "COM7", File("image.bin"), "--wait=20"});
    EXPECT_EQ(present.exitCode, 0) << present.err;
    EXPECT_FALSE(Contains(present.out, "waiting")) << present.out;

    ToolRun absent = RunTool({"download", "COM5", File("image.bin"), "--wait=1", "--json"});
    EXPECT_EQ(absent.exitCode, 1);
    EXPECT_TRUE(Contains(absent.err, "velt-dfu: no device COM5 appeared within 1 s")) << absent.err;
    EXPECT_TRUE(Contains(absent.out, R"("ok":false,"status":128,"status_name":"DFU_STATUS_DEVICE_NOT_FOUND")"))
        << absent.out;
    EXPECT_TRUE(Contains(absent.out, R"("reason":"absent")")) << absent.out;
}

} // namespace
