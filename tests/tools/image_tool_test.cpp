// velt-dfu download and upload, run as a process against simulated devices:
// what reaches the device's flash, what the user and programs are told, and
// what is left behind when something goes wrong.
#include "DfuSuffix.h"
#include "JsonCheck.h"
#include "SimProcess.h"
#include "ToolRunner.h"
#include "ToolText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using tooltest::RunTool;
using tooltest::ToolProcess;
using tooltest::ToolRun;
using namespace tooltest;

namespace {

namespace fs = std::filesystem;

Bytes WithSuffix(Bytes data, uint16_t vid, uint16_t pid)
{
    const uint8_t fields[] = {0x00, 0x01, uint8_t(pid), uint8_t(pid >> 8), uint8_t(vid), uint8_t(vid >> 8),
                              0x00, 0x01, 'U', 'F', 'D', 16};
    data.insert(data.end(), std::begin(fields), std::end(fields));
    const uint32_t crc = veltdfu::DfuSuffixCrc(data.data(), data.size());
    for (int i = 0; i < 4; ++i)
        data.push_back(static_cast<uint8_t>(crc >> (8 * i)));
    return data;
}

// One simulator per test (each test runs in its own process): USB devices
// named for what they do, and one serial device.
class ImageTool : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char dir[] = "/tmp/velt-dfu-image-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        work_ = dir;
        WriteBytes(work_ + "/held.bin", Pattern(3000, 77));
        sim_ = new velt::sim::SimProcess({
            "--usb", "vid=1A2B,pid=00FF,name=img,transfer-size=512,flash=" + work_ + "/usb.bin",
            "--usb", "name=slow,busy=1,poll=15",
            "--usb", "name=small,flash-size=2K",
            "--usb", "name=corrupt,upload-corrupt=1234",
            "--usb", "name=err,state=10",
            "--usb", "name=app,state=0",
            "--usb", "name=short,upload-size=1000",
            "--com", "COM7,flash=" + work_ + "/com.bin",
            "--com", "COM9,baud=host",
            // Holds an image; the reply to its third request (the second UPLOAD) comes late.
            "--com", "COM10,delay=600@3,flash=" + work_ + "/held.bin",
        });
    }
    static void TearDownTestSuite()
    {
        delete sim_;
        sim_ = nullptr;
        std::error_code ignored;
        fs::remove_all(work_, ignored);
    }
    void SetUp() override { sim_->exportEnvironment(); }

    // The device path the library knows a simulated USB device by.
    static std::string Usb(const std::string& name)
    {
        const std::string dev = tooltest::Slurp(sim_->usbDir() + "/" + name + ".dev");
        return dev.substr(5, dev.find('\n') - 5); // "path=..."
    }
    static std::string File(const std::string& name) { return work_ + "/" + name; }
    static std::string Log() { return sim_->readLog(); }
    // The simulator's log lines for one device.
    static std::string LogOf(const std::string& device)
    {
        std::string lines;
        for (const std::string& line : Lines(Log()))
            if (Contains(line, " " + device + " "))
                lines += line + "\n";
        return lines;
    }
    static std::string StateOf(const std::string& device) { return RunTool({"state", device}).out; }

    static std::string work_;
    static velt::sim::SimProcess* sim_;
};

std::string ImageTool::work_;
velt::sim::SimProcess* ImageTool::sim_ = nullptr;

TEST_F(ImageTool, RoundTripOnUsbAndSerialMatchesTheFlashByteForByte)
{
    struct Case {
        std::string device, logName, flash, sizeNote;
        size_t transferSize;
    };
    const Case cases[] = {
        {Usb("img"), "usb:img", File("usb.bin"), "transfer size 512 bytes (wTransferSize of the device's DFU functional descriptor)", 512},
        {"COM7", "COM7", File("com.bin"), "transfer size 1024 bytes (the default on a COM port)", 1024},
    };
    const Bytes image = Pattern(3000, 7);
    WriteBytes(File("image.bin"), image);
    for (const Case& c : cases) {
        ToolRun down = RunTool({"download", c.device, File("image.bin"), "--verify"});
        ASSERT_EQ(down.exitCode, 0) << down.err;
        EXPECT_TRUE(Contains(down.out, c.sizeNote)) << down.out;
        EXPECT_TRUE(Contains(down.out, "verified, the 3000 bytes read back match")) << down.out;
        EXPECT_TRUE(Contains(down.out, "Downloaded 3000 bytes to device ")) << down.out;

        // The image, then the library's 0xFF fill of the last block.
        const Bytes flash = ReadBytes(c.flash);
        ASSERT_EQ(flash.size(), 3072u) << c.device;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
        EXPECT_TRUE(std::all_of(flash.begin() + 3000, flash.end(), [](uint8_t b) { return b == 0xFF; }));
        const std::string log = LogOf(c.logName);
        EXPECT_EQ(Count(log, "DNLOAD(1) type=0x21 value="), 3072 / c.transferSize + 1) << log;
        EXPECT_EQ(Count(log, "length=" + std::to_string(c.transferSize) + " -> 0 bytes, dfuDNLOAD-SYNC"),
                  3072 / c.transferSize);

        ToolRun up = RunTool({"upload", c.device, File("up.bin")});
        ASSERT_EQ(up.exitCode, 0) << up.err;
        EXPECT_EQ(ReadBytes(File("up.bin")), flash) << c.device;
        EXPECT_TRUE(Contains(up.out, "Uploaded 3072 bytes from device ")) << up.out;
    }
    // On USB the size came from a standard GET_DESCRIPTOR: the 9-byte header, then all of it.
    const std::string usbLog = LogOf("usb:img");
    EXPECT_TRUE(Contains(usbLog, "standard request type=0x80 request=6 value=0x0200 length=9 -> 9 bytes")) << usbLog;
    EXPECT_TRUE(Contains(usbLog, "standard request type=0x80 request=6 value=0x0200 length=27 -> 27 bytes")) << usbLog;
}

TEST_F(ImageTool, TransferSizeOptionOverridesBothDefaults)
{
    WriteBytes(File("image.bin"), Pattern(1000, 3));
    for (const std::string& device : {Usb("img"), std::string("COM7")}) {
        ToolRun run = RunTool({"download", device, File("image.bin"), "--transfer-size", "100"});
        ASSERT_EQ(run.exitCode, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "transfer size 100 bytes (--transfer-size)")) << run.out;
    }
    EXPECT_EQ(Count(LogOf("usb:img"), "length=100 -> 0 bytes, dfuDNLOAD-SYNC"), 10u);
    EXPECT_EQ(Count(LogOf("COM7"), "length=100 -> 0 bytes, dfuDNLOAD-SYNC"), 10u);
    EXPECT_FALSE(Contains(LogOf("usb:img"), "standard request")) << "the descriptor is read only when needed";
}

TEST_F(ImageTool, SuffixIsCheckedAndOnlyTheFirmwareBeforeItIsSent)
{
    // 2048 bytes of firmware: with the suffix it would take a fifth 512-byte block.
    const Bytes firmware = Pattern(2048, 11);
    const Bytes good = WithSuffix(firmware, 0x1A2B, 0x00FF);
    WriteBytes(File("good.dfu"), good);
    WriteBytes(File("any.dfu"), WithSuffix(firmware, 0xFFFF, 0xFFFF));
    WriteBytes(File("other.dfu"), WithSuffix(firmware, 0x1234, 0x5678));
    Bytes badCrc = good;
    badCrc[100] ^= 0x20;
    WriteBytes(File("badcrc.dfu"), badCrc);

    ToolRun run = RunTool({"download", Usb("img"), File("good.dfu")});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "DFU suffix for 1A2B:00FF, CRC good; sending the 2048 bytes of firmware before it"))
        << run.out;
    EXPECT_EQ(ReadBytes(File("usb.bin")), firmware);
    EXPECT_EQ(RunTool({"download", Usb("img"), File("any.dfu")}).exitCode, 0);

    const std::string before = Log();
    ToolRun other = RunTool({"download", Usb("img"), File("other.dfu")});
    EXPECT_EQ(other.exitCode, 1);
    EXPECT_TRUE(Contains(other.err, "is for VID:PID 1234:5678, the device is 1A2B:00FF; nothing sent")) << other.err;
    EXPECT_EQ(Count(Log(), "DNLOAD"), Count(before, "DNLOAD"));

    // A bad CRC is found before the device is even opened.
    const std::string beforeCrc = Log();
    ToolRun crc = RunTool({"download", Usb("img"), File("badcrc.dfu")});
    EXPECT_EQ(crc.exitCode, 1);
    EXPECT_TRUE(Contains(crc.err, "DFU suffix CRC mismatch")) << crc.err;
    EXPECT_TRUE(Contains(crc.err, "nothing sent (--no-suffix sends the file as it is)")) << crc.err;
    EXPECT_EQ(Log(), beforeCrc);

    ToolRun asIs = RunTool({"download", Usb("img"), File("badcrc.dfu"), "--no-suffix"});
    ASSERT_EQ(asIs.exitCode, 0) << asIs.err;
    Bytes flash = ReadBytes(File("usb.bin"));
    ASSERT_EQ(flash.size(), 2560u);
    EXPECT_TRUE(std::equal(badCrc.begin(), badCrc.end(), flash.begin()));

    // A COM port has no VID:PID to compare: the suffix is still taken off.
    ToolRun serial = RunTool({"download", "COM7", File("other.dfu")});
    ASSERT_EQ(serial.exitCode, 0) << serial.err;
    EXPECT_TRUE(Contains(serial.out, "its VID:PID 1234:5678 is not checked on a COM port")) << serial.out;
    EXPECT_EQ(ReadBytes(File("com.bin")), firmware);

    WriteBytes(File("plain.bin"), firmware);
    ToolRun plain = RunTool({"download", "COM7", File("plain.bin")});
    EXPECT_EQ(plain.exitCode, 0);
    EXPECT_TRUE(Contains(plain.out, "plain.bin has no DFU suffix; sending all 2048 bytes")) << plain.out;
}

TEST_F(ImageTool, DfuSuffixToolAgreesWithOurSuffixes)
{
    if (std::system("command -v dfu-suffix >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "dfu-suffix (Debian package dfu-util, installed by make setup) is not on PATH";
    const Bytes firmware = Pattern(1500, 5);

    // Its suffix, our parser and the device check.
    WriteBytes(File("peer.dfu"), firmware);
    ASSERT_EQ(std::system(("dfu-suffix -v 1a2b -p 00ff -d 0x0200 -a " + File("peer.dfu") + " >/dev/null").c_str()), 0);
    const Bytes peer = ReadBytes(File("peer.dfu"));
    const veltdfu::SuffixCheck check = veltdfu::CheckDfuSuffix(peer.data(), peer.size());
    ASSERT_EQ(check.kind, veltdfu::SuffixCheck::Kind::Valid);
    EXPECT_EQ(check.suffix.idVendor, 0x1A2B);
    EXPECT_EQ(check.suffix.idProduct, 0x00FF);
    EXPECT_EQ(check.suffix.bcdDevice, 0x0200);
    EXPECT_EQ(check.firmwareSize, firmware.size());
    ToolRun run = RunTool({"download", Usb("img"), File("peer.dfu"), "--verify"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const Bytes flash = ReadBytes(File("usb.bin"));
    EXPECT_TRUE(std::equal(firmware.begin(), firmware.end(), flash.begin()));

    // Our suffix, its check, and the CRC it reports.
    const Bytes ours = WithSuffix(firmware, 0x1A2B, 0x00FF);
    WriteBytes(File("ours.dfu"), ours);
    const std::string report = File("check.txt");
    ASSERT_EQ(std::system(("dfu-suffix -c " + File("ours.dfu") + " >" + report + " 2>&1").c_str()), 0)
        << tooltest::Slurp(report);
    char crc[16];
    std::snprintf(crc, sizeof crc, "0x%08X", veltdfu::DfuSuffixCrc(ours.data(), ours.size() - 4));
    EXPECT_TRUE(Contains(tooltest::Slurp(report), crc)) << tooltest::Slurp(report);
}

TEST_F(ImageTool, DeviceIsBroughtBackToIdleBeforeAndAfterAFailure)
{
    WriteBytes(File("image.bin"), Pattern(5000, 9));

    // Left in dfuERROR: cleared first, then the download runs.
    ToolRun err = RunTool({"download", Usb("err"), File("image.bin")});
    ASSERT_EQ(err.exitCode, 0) << err.err;
    EXPECT_TRUE(Contains(err.out, "was in dfuERROR (status errUNKNOWN): cleared the error status errUNKNOWN "
                                  "(CLRSTATUS); it is in dfuIDLE now"))
        << err.out;
    const std::string errLog = LogOf("usb:err");
    EXPECT_LT(errLog.find("CLRSTATUS"), errLog.find("DNLOAD")) << errLog;

    // 5000 bytes do not fit a 2 KiB flash: the device says errADDRESS, the
    // tool says so and leaves the device in dfuIDLE for the next run.
    ToolRun small = RunTool({"download", Usb("small"), File("image.bin")});
    EXPECT_EQ(small.exitCode, 1);
    EXPECT_TRUE(Contains(small.err, "download to device " + Usb("small") +
                                        " failed: the device reported an error after block 0: "
                                        "DFU_STATUS_UNEXPECTED_STATE (0x44); device status errADDRESS (8), "
                                        "state dfuERROR (10)"))
        << small.err;
    EXPECT_TRUE(Contains(small.out, "cleared the error status errADDRESS (CLRSTATUS); it is in dfuIDLE now"))
        << small.out;
    EXPECT_EQ(StateOf(Usb("small")), "state: dfuIDLE (2)\n");

    // Application mode needs a detach and a reset: not done behind the user's back.
    ToolRun app = RunTool({"download", Usb("app"), File("image.bin")});
    EXPECT_EQ(app.exitCode, 1);
    EXPECT_TRUE(Contains(app.err, "is not ready for a transfer: it is in appIDLE, not in DFU mode")) << app.err;
    EXPECT_FALSE(Contains(LogOf("usb:app"), "DNLOAD"));
}

TEST_F(ImageTool, JsonModeKeepsStandardOutputToJsonLines)
{
    WriteBytes(File("image.bin"), Pattern(8192, 1));
    auto check = [](const ToolRun& run) {
        const auto lines = Lines(run.out);
        EXPECT_FALSE(lines.empty()) << run.out;
        for (const std::string& line : lines) {
            EXPECT_TRUE(jsoncheck::IsObject(line)) << line;
            EXPECT_EQ(line.rfind("{\"type\":\"", 0), 0u) << line;
        }
        return lines.empty() ? std::string() : lines.back();
    };
    ToolRun ok = RunTool({"download", Usb("img"), File("image.bin"), "--transfer-size", "64", "--json", "--verify"});
    ASSERT_EQ(ok.exitCode, 0) << ok.err;
    const std::string result = check(ok);
    EXPECT_GE(Count(ok.out, "{\"type\":\"progress\""), 20u);
    EXPECT_EQ(result.rfind(R"({"type":"result","device":")", 0), 0u);
    EXPECT_TRUE(Contains(result, R"("operation":"download","ok":true,"status":0,"status_name":"DFU_STATUS_SUCCESS")"))
        << result;
    EXPECT_TRUE(Contains(result, R"("bytes":8192,)")) << result;
    EXPECT_TRUE(Contains(result, R"("transfer_size":64,"dfu_status":0,"dfu_status_name":"OK","dfu_state":2)")) << result;
    EXPECT_TRUE(Contains(ok.err, "has no DFU suffix")) << "people's notes go to standard error";

    ToolRun failed = RunTool({"download", Usb("small"), File("image.bin"), "--json"});
    EXPECT_EQ(failed.exitCode, 1);
    const std::string failure = check(failed);
    EXPECT_TRUE(Contains(failure, R"("ok":false,"status":68,"status_name":"DFU_STATUS_UNEXPECTED_STATE")")) << failure;
    EXPECT_TRUE(Contains(failure, R"("reason":"transfer")")) << failure;
    EXPECT_TRUE(Contains(failure, R"("dfu_status":8,"dfu_status_name":"errADDRESS","dfu_state":10,"dfu_state_name":"dfuERROR")"))
        << failure;

    // A device with no image: the upload fails and writes no file.
    ToolRun empty = RunTool({"upload", "COM7", File("up.bin"), "--json"});
    EXPECT_EQ(empty.exitCode, 1);
    EXPECT_TRUE(Contains(check(empty), R"("reason":"empty")")) << empty.out;
    EXPECT_FALSE(fs::exists(File("up.bin")));

    ASSERT_EQ(RunTool({"download", "COM7", File("image.bin")}).exitCode, 0);
    ToolRun up = RunTool({"upload", "COM7", File("up.bin"), "--json"});
    EXPECT_EQ(up.exitCode, 0) << up.err;
    check(up);
    EXPECT_TRUE(Contains(up.out, R"("operation":"upload","total":null)")) << up.out;
    EXPECT_FALSE(Contains(up.out, R"("percent":1)")) << "an upload's size is not known in advance";

    ToolRun missing = RunTool({"download", Usb("img"), File("missing.bin"), "--json"});
    EXPECT_EQ(missing.exitCode, 1);
    EXPECT_TRUE(Contains(check(missing), R"("ok":false,"status":70,"status_name":"DFU_STATUS_FILE_READ_ERROR")"));
}

TEST_F(ImageTool, PipedProgressIsPlainLinesAndBounded)
{
    WriteBytes(File("image.bin"), Pattern(16384, 2));
    const auto start = std::chrono::steady_clock::now();
    ToolRun run = RunTool({"download", Usb("img"), File("image.bin"), "--transfer-size", "64"});
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out.find('\r'), std::string::npos);
    const size_t progress = Count(run.out, ": download ");
    EXPECT_GE(progress, 11u) << run.out; // 0 %, then every tenth
    EXPECT_LE(progress, 12u + static_cast<size_t>(seconds.count())) << run.out;
}

TEST_F(ImageTool, SignalCancelsBetweenBlocksAndLeavesTheDeviceIdle)
{
    // Every block waits one 15 ms poll: 128 blocks take about 2 s.
    WriteBytes(File("image.bin"), Pattern(8192, 4));
    for (int signal : {SIGINT, SIGTERM}) {
        ToolProcess tool({"download", Usb("slow"), File("image.bin"), "--transfer-size", "64", "--json"});
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (!Contains(tool.outSoFar(), "\"type\":\"progress\"") && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_EQ(::kill(tool.pid(), signal), 0);
        ToolRun run = tool.wait();
        EXPECT_EQ(run.exitCode, 130) << run.err;
        EXPECT_TRUE(Contains(run.err, "download to device " + Usb("slow") + " cancelled; device status OK (0), "
                                      "state dfuDNLOAD-IDLE (5)"))
            << run.err;
        EXPECT_TRUE(Contains(Lines(run.out).back(), R"("ok":false,"status":74,"status_name":"DFU_STATUS_CANCELLED")"))
            << run.out;
        EXPECT_TRUE(Contains(run.err, "abandoned the unfinished download (ABORT); it is in dfuIDLE now")) << run.err;
        EXPECT_EQ(StateOf(Usb("slow")), "state: dfuIDLE (2)\n");
    }
    // Cut off after a whole block each time, never inside one: no zero-length
    // DNLOAD, and every DNLOAD was followed by its GETSTATUS.
    const std::string log = LogOf("usb:slow");
    EXPECT_FALSE(Contains(log, "DNLOAD(1) type=0x21 value=0 index=0 length=0")) << log;
    EXPECT_FALSE(Contains(log, "STALL")) << log;
}

TEST_F(ImageTool, VerifyNamesTheFirstDifferenceOrWhereTheReadBackEnded)
{
    const Bytes image = Pattern(3000, 8);
    WriteBytes(File("image.bin"), image);
    ToolRun run = RunTool({"download", Usb("corrupt"), File("image.bin"), "--verify"});
    EXPECT_EQ(run.exitCode, 1);
    char expected[96];
    std::snprintf(expected, sizeof expected, "first difference at offset 1234 (0x000004D2): sent 0x%02X, read back 0x%02X",
                  image[1234], static_cast<uint8_t>(~image[1234]));
    EXPECT_TRUE(Contains(run.err, "verify of device " + Usb("corrupt") + " failed: " + expected)) << run.err;
    EXPECT_FALSE(Contains(run.out, "Downloaded")) << run.out;

    // A device that gives back less than it was sent has not been verified,
    // however well the bytes it did give match; --retries tries again.
    ToolRun shortRun = RunTool({"download", Usb("short"), File("image.bin"), "--verify", "--retries", "1"});
    EXPECT_EQ(shortRun.exitCode, 1);
    EXPECT_EQ(Count(shortRun.err, "verify of device " + Usb("short") +
                                      " failed: the device ended its image at offset 1000 (0x000003E8), short of the "
                                      "3000 bytes sent"),
              2u)
        << shortRun.err;
    EXPECT_TRUE(Contains(shortRun.err, "retry 1 of 1 after a read-back that did not match")) << shortRun.err;
    EXPECT_FALSE(Contains(shortRun.out, "verified")) << shortRun.out;
}

// An upload replaces the file only with a whole image: cancelled partway,
// or failed partway, it leaves the file byte for byte as it was.
TEST_F(ImageTool, UploadCutShortLeavesTheFileAsItWas)
{
    WriteBytes(File("image.bin"), Pattern(6000, 12));
    ASSERT_EQ(RunTool({"download", "COM9", File("image.bin"), "--baud", "921600"}).exitCode, 0);
    const Bytes kept = Pattern(777, 99);
    WriteBytes(File("keep.bin"), kept);

    // About six seconds of upload at 9600 bit/s, cancelled after its first block.
    ToolProcess tool({"upload", "COM9", File("keep.bin"), "--baud", "9600", "--json"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Contains(tool.outSoFar(), "\"bytes\":1024") && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(::kill(tool.pid(), SIGINT), 0);
    ToolRun cancelled = tool.wait();
    EXPECT_EQ(cancelled.exitCode, 130) << cancelled.err;
    EXPECT_EQ(ReadBytes(File("keep.bin")), kept);

    // A reply that comes too late fails the upload after its first block.
    ToolRun failed = RunTool({"upload", "COM10", File("keep.bin"), "--timeout", "200", "--no-recovery"});
    EXPECT_EQ(failed.exitCode, 1) << failed.err;
    EXPECT_TRUE(Contains(failed.err, "failed: UPLOAD of block 1: DFU_STATUS_TIMEOUT (0x84)")) << failed.err;
    EXPECT_EQ(ReadBytes(File("keep.bin")), kept) << "only a finished upload writes the file";
    for (const auto& entry : fs::directory_iterator(work_))
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();
    EXPECT_EQ(StateOf("COM9"), "state: dfuIDLE (2)\n");
}

TEST_F(ImageTool, BadInputsChangeNothing)
{
    WriteBytes(File("empty.bin"), {});
    WriteBytes(File("image.bin"), Pattern(100, 1));
    const std::string before = Log();
    const struct {
        std::vector<std::string> args;
        int exitCode;
        std::string message;
    } cases[] = {
        {{"download", Usb("img"), File("missing.bin")}, 1, "cannot read " + File("missing.bin") + ": No such file"},
        {{"download", Usb("img"), work_}, 1, "cannot read " + work_ + ": it is a directory"},
        {{"download", Usb("img"), File("empty.bin")}, 1, "empty.bin holds no firmware; nothing sent"},
        {{"upload", Usb("img"), File("no/such/dir/up.bin")}, 1, "cannot create " + File("no/such/dir/up.bin")},
        {{"upload", Usb("img"), work_}, 1, "is a directory"},
        {{"download", Usb("img"), File("image.bin"), "--transfer-size", "0"}, 2, "--transfer-size"},
        {{"download", Usb("img"), File("image.bin"), "--transfer-size", "65536"}, 2, "1 to 65535"},
        {{"upload", Usb("img"), File("up.bin"), "--transfer-size=x1"}, 2, "--transfer-size"},
        {{"upload", Usb("img"), File("up.bin"), "--verify"}, 2, "'upload' does not take --verify"},
        {{"upload", Usb("img")}, 2, "missing arguments"},
        {{"state", Usb("img"), "--json"}, 2, "'state' does not take --json"},
        {{"upload", Usb("img"), ""}, 2, "FILE is empty"},
        {{"download", "99", File("image.bin")}, 1, "no device at index 99"},
    };
    for (const auto& c : cases) {
        ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, c.exitCode) << c.args.back() << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
        // Nothing is announced as being sent to a device that is not there.
        EXPECT_FALSE(Contains(run.out + run.err, "sending all")) << run.out << run.err;
    }
    EXPECT_EQ(Log(), before) << "nothing reached a device";
    ToolRun unknown = RunTool({"download", "99", File("image.bin")});
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_TRUE(Contains(unknown.err, "no device at index 99")) << unknown.err;

    // A failed upload leaves an existing file as it was and no partial file beside it.
    WriteBytes(File("keep.bin"), {1, 2, 3});
    ToolRun app = RunTool({"upload", Usb("app"), File("keep.bin")});
    EXPECT_EQ(app.exitCode, 1);
    EXPECT_EQ(ReadBytes(File("keep.bin")), Bytes({1, 2, 3}));
    for (const auto& entry : fs::directory_iterator(work_))
        EXPECT_EQ(entry.path().string().find(".part"), std::string::npos) << entry.path();

    // Writes that fail mid-upload are a failure, and the device is left idle.
    ASSERT_EQ(RunTool({"download", "COM7", File("image.bin")}).exitCode, 0);
    ToolRun full = RunTool({"upload", "COM7", "/dev/full"});
    EXPECT_EQ(full.exitCode, 1);
    EXPECT_TRUE(Contains(full.err, "upload from device COM7: cannot write /dev/full: ")) << full.err;
    EXPECT_EQ(StateOf("COM7"), "state: dfuIDLE (2)\n");
}

} // namespace
