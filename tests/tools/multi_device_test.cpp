// velt-dfu download to several devices at once, run as a process against
// simulated serial and USB devices: every device gets the image, one that
// fails does not stop the others, each line says which device it is about,
// and a cancel stops them all.
#include "JsonCheck.h"
#include "SimToolTest.h"
#include "ToolRunner.h"
#include "ToolText.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

using namespace tooltest;

namespace {

namespace fs = std::filesystem;

// The ports as they were typed: what people see them called.
const std::string kCom7 = "COM7";
const std::string kCom8 = "COM8";

class MultiDevice : public SimToolTest {
protected:
    // Two serial devices (one on a paced line, so that it is still busy while
    // the others run), a USB device with 512-byte blocks and one whose flash
    // is too small for the image.
    void StartMixed(const std::string& com7Extra = "")
    {
        Start({"--com", "COM7,flash=" + File("com7.bin") + com7Extra, "--com",
               "COM8,baud=115200,flash=" + File("com8.bin"), "--usb",
               "name=img,serial=IMG,transfer-size=512,flash=" + File("usb.bin"), "--usb",
               "name=small,serial=SMALL,flash-size=2K"});
    }
    std::string Usb(const std::string& name) const { return UsbPath(name); }
    std::string Devices() const { return "COM7,COM8," + Usb("img") + "," + Usb("small"); }
    std::vector<std::string> LogOf(const std::string& device) const { return LogLinesOf(device); }
    static double Time(const std::string& logLine) { return std::atof(logLine.c_str()); }
    void ExpectFlashHolds(const std::string& file, const Bytes& image) const
    {
        const Bytes flash = ReadBytes(file);
        ASSERT_GE(flash.size(), image.size()) << file;
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << file;
    }
};

TEST_F(MultiDevice, SerialAndUsbAtOnceOneFailingTheOthersFlashed)
{
    StartMixed();
    const Bytes image = Pattern(5000, 31);
    WriteBytes(File("image.bin"), image);
    ToolRun run = RunTool({"download", Devices(), File("image.bin"), "--verify"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    ExpectFlashHolds(File("com7.bin"), image);
    ExpectFlashHolds(File("com8.bin"), image);
    ExpectFlashHolds(File("usb.bin"), image);

    // Each device took its own block size, and they ran at once: the USB
    // device, named after COM8, was done while COM8's paced line was still
    // being written.
    const auto img = LogOf("usb:img");
    const auto com8 = LogOf("COM8");
    size_t imgBlocks = 0;
    double imgLast = 0, com8Last = 0;
    for (const std::string& line : img)
        if (Contains(line, "DNLOAD(1) type=0x21") && Contains(line, "length=512 "))
            ++imgBlocks, imgLast = Time(line);
    for (const std::string& line : com8)
        if (Contains(line, "DNLOAD(1) type=0x21") && Contains(line, "length=1024 "))
            com8Last = std::max(com8Last, Time(line));
    EXPECT_EQ(imgBlocks, 10u);
    EXPECT_LT(imgLast, com8Last);

    // Piped: every line for people begins with its device; the table ends it.
    // A typed USB path is too long beside the others: its serial number stands for it.
    const std::vector<std::string> prefixes = {"COM7,COM8,", kCom7 + ": ", kCom8 + ": ", "IMG: ", "SMALL: "};
    const auto lines = Lines(run.out);
    ASSERT_GE(lines.size(), 6u) << run.out;
    const size_t table = lines.size() - 6;
    for (size_t i = 0; i < table; ++i) {
        bool tagged = false;
        for (const std::string& prefix : prefixes)
            tagged = tagged || lines[i].rfind(prefix, 0) == 0;
        EXPECT_TRUE(tagged) << lines[i];
    }
    EXPECT_EQ(lines[table].rfind("device ", 0), 0u) << run.out;
    const std::map<std::string, std::string> rows = {
        {kCom7, "DFU_STATUS_SUCCESS"},
        {kCom8, "DFU_STATUS_SUCCESS"},
        {"IMG", "DFU_STATUS_SUCCESS"},
        {"SMALL", "DFU_STATUS_UNEXPECTED_STATE (errADDRESS)"},
    };
    for (size_t i = table + 1; i < table + 5; ++i) {
        const std::string device = lines[i].substr(0, lines[i].find("  "));
        ASSERT_EQ(rows.count(device), 1u) << lines[i];
        EXPECT_TRUE(Contains(lines[i], "  " + rows.at(device) + "  ")) << lines[i];
    }
    EXPECT_TRUE(Contains(lines[table + 1], kCom7 + " ")) << "rows come in the order the devices were named";
    EXPECT_TRUE(Contains(lines.back(), " s: 3 succeeded, 1 failed")) << lines.back();
    EXPECT_TRUE(Contains(run.err, "velt-dfu: SMALL: download to device SMALL"
                                      " failed: the device reported an error after block 0: "
                                      "DFU_STATUS_UNEXPECTED_STATE (0x44)"))
        << run.err;
    EXPECT_EQ(RunTool({"state", Usb("small")}).out, "state: dfuIDLE (2)\n");
}

TEST_F(MultiDevice, JsonLinesCarryTheDeviceWithOneResultEachAndASummary)
{
    // COM7 misses the reply to the GETSTATUS after block 1 and recovers it
    // within its one attempt; the small device fails both of its attempts.
    StartMixed(",delay=600@5");
    const Bytes image = Pattern(5000, 32);
    WriteBytes(File("image.bin"), image);
    ToolRun run = RunTool(
        {"download", Devices(), File("image.bin"), "--json", "--retries", "1", "--timeout", "400", "--verify"});
    EXPECT_EQ(run.exitCode, 1) << run.err;
    const auto lines = Lines(run.out);
    ASSERT_FALSE(lines.empty());
    std::map<std::string, std::string> results;
    size_t retries = 0;
    for (const std::string& line : lines) {
        EXPECT_TRUE(jsoncheck::IsObject(line)) << line;
        EXPECT_TRUE(Contains(line, R"(,"device":")")) << line;
        if (Contains(line, R"("type":"retry")"))
            ++retries;
        if (!Contains(line, R"({"type":"result","device":")"))
            continue;
        const size_t from = std::string(R"({"type":"result","device":")").size();
        const std::string device = line.substr(from, line.find('"', from) - from);
        EXPECT_EQ(results.count(device), 0u) << "one result per device: " << line;
        results[device] = line;
    }
    EXPECT_EQ(retries, 1u) << "one for the small device";
    ASSERT_EQ(results.size(), 4u) << run.out;
    EXPECT_TRUE(Contains(results[R"(\\\\.\\COM7)"], R"("ok":true,)")) << results[R"(\\\\.\\COM7)"];
    EXPECT_TRUE(Contains(results[R"(\\\\.\\COM7)"], R"("attempts":1,"recoveries":1,)")) << results[R"(\\\\.\\COM7)"];
    EXPECT_TRUE(Contains(results[R"(\\\\.\\COM8)"], R"("ok":true,)"));
    const std::string& last = lines.back();
    EXPECT_EQ(last.rfind(R"({"type":"summary","device":"COM7,COM8,)", 0), 0u) << last;
    EXPECT_TRUE(Contains(last, R"("devices":4,"succeeded":3,"failed":1,"cancelled":0,)")) << last;
    EXPECT_EQ(Count(last, R"({"device":")"), 4u) << last;
    ExpectFlashHolds(File("com7.bin"), image);
    ExpectFlashHolds(File("com8.bin"), image);
    ExpectFlashHolds(File("usb.bin"), image);
}

TEST_F(MultiDevice, AllTakesTheUsbDevicesAndThePortsWhoseDeviceAnswers)
{
    Start({"--com", "COM7,flash=" + File("com7.bin"), "--com", "COM9,silent", "--usb",
           "name=img,flash=" + File("usb.bin")});
    const Bytes image = Pattern(3000, 33);
    WriteBytes(File("image.bin"), image);
    ToolRun run = RunTool({"download", "all", File("image.bin"), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.err;
    EXPECT_TRUE(Contains(run.err, "all: 1 USB DFU device, 1 COM port with a device that answered; no answer from "
                                  "COM9"))
        << run.err;
    EXPECT_TRUE(Contains(Lines(run.out).back(), R"("type":"summary","device":"all","devices":2,"succeeded":2,)"))
        << run.out;
    ExpectFlashHolds(File("com7.bin"), image);
    ExpectFlashHolds(File("usb.bin"), image);
    for (const std::string& line : LogOf("COM9"))
        EXPECT_FALSE(Contains(line, "DNLOAD")) << line;
    EXPECT_TRUE(Contains(Lines(run.out).back(), R"("silent":["COM9"])")) << run.out;

    // A line that must flash three boards does not pass with two.
    const std::string before = sim_->readLog();
    ToolRun short3 = RunTool({"download", "all", File("image.bin"), "--expect", "3"});
    EXPECT_EQ(short3.exitCode, 1);
    EXPECT_TRUE(Contains(short3.err, "expected 3 devices, found 2: ")) << short3.err;
    EXPECT_TRUE(Contains(short3.err, "; no answer from COM9; nothing flashed")) << short3.err;
    EXPECT_FALSE(Contains(sim_->readLog().substr(before.size()), "DNLOAD")) << "nothing flashed";

    // Nothing there: said, and a failure.
    char empty[] = "/tmp/velt-dfu-none-XXXXXX";
    ASSERT_NE(mkdtemp(empty), nullptr);
    setenv("VELT_DOSDEVICES", empty, 1);
    setenv("VELT_USBDEVICES", empty, 1);
    ToolRun none = RunTool({"download", "all", File("image.bin")});
    sim_->exportEnvironment();
    rmdir(empty);
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_TRUE(Contains(none.err, "no devices found")) << none.err;
}

TEST_F(MultiDevice, CancelStopsEveryDeviceAndEachIsLeftIdle)
{
    // Each USB block waits a 15 ms poll; the serial line runs at 19200 baud.
    Start({"--usb", "name=slow1,busy=1,poll=15", "--usb", "name=slow2,busy=1,poll=15", "--com", "COM7,baud=19200"});
    WriteBytes(File("image.bin"), Pattern(8192, 34));
    ToolProcess tool({"download", Usb("slow1") + "," + Usb("slow2") + ",COM7", File("image.bin"), "--transfer-size",
                      "64", "--baud", "19200", "--json", "--retries", "2"});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string out = tool.outSoFar();
        if (Contains(out, R"("type":"progress","device":")" + std::string(R"(\\\\.\\COM7)")) &&
            Count(out, R"("type":"progress")") >= 6)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ(::kill(tool.pid(), SIGINT), 0);
    ToolRun run = tool.wait();
    EXPECT_EQ(run.exitCode, 130) << run.err;
    size_t cancelled = 0;
    for (const std::string& line : Lines(run.out))
        cancelled += line.rfind(R"({"type":"result")", 0) == 0 &&
                     Contains(line, R"("ok":false,"status":74,"status_name":"DFU_STATUS_CANCELLED")");
    EXPECT_EQ(cancelled, 3u) << run.out;
    EXPECT_TRUE(Contains(Lines(run.out).back(), R"("succeeded":0,"failed":0,"cancelled":3,)")) << run.out;
    EXPECT_FALSE(Contains(run.out, R"("type":"retry")")) << run.out;
    for (const std::string& device : {Usb("slow1"), Usb("slow2")})
        EXPECT_EQ(RunTool({"state", device}).out, "state: dfuIDLE (2)\n") << device;
    EXPECT_EQ(RunTool({"state", "COM7", "--baud", "19200"}).out, "state: dfuIDLE (2)\n");
}

TEST_F(MultiDevice, ListsAreCheckedBeforeAnyDeviceIsTouched)
{
    Start({"--com", "COM7", "--com", "COM8"});
    WriteBytes(File("image.bin"), Pattern(100, 35));
    const std::string before = sim_->readLog();
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"download", "COM7,,COM8", File("image.bin")}, "an empty device name in 'COM7,,COM8'"},
        {{"download", "COM7,", File("image.bin")}, "an empty device name"},
        {{"download", "COM7,\\\\.\\com7", File("image.bin")}, "is named twice"},
        {{"download", "all", File("image.bin"), "--wait"}, "'all' takes the devices that are there"},
        {{"upload", "COM7,COM8", File("up.bin")}, "an upload reads one device"},
    };
    for (const auto& c : cases) {
        ToolRun run = RunTool(c.args);
        EXPECT_EQ(run.exitCode, 2) << c.args[1] << ": " << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }
    // An index and the path it stands for are one device.
    ToolRun same = RunTool({"download", "0,COM7", File("image.bin")});
    EXPECT_EQ(same.exitCode, 2) << same.err;
    EXPECT_TRUE(Contains(same.err, "is named twice in '0,COM7'")) << same.err;
    EXPECT_EQ(sim_->readLog(), before) << "nothing reached a device";
}

} // namespace

// Five boards on an 80x30 terminal, two of them named by their whole USB
// path: read off the screen (tmux), every bar and every table row stays on
// its own line, none longer than the terminal.
TEST_F(MultiDevice, FiveBoardsFitAnEightyColumnTerminal)
{
    if (std::system("command -v tmux >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed (make setup installs it)";
    Start({"--com", "COM7,baud=115200", "--com", "COM8,baud=115200", "--com", "COM9,baud=115200", "--usb",
           "name=img,latency=2000", "--usb", "name=small,latency=2000"});
    WriteBytes(File("image.bin"), Pattern(12000, 7));
    // The paths hold backslashes: the command goes in a script, untouched by quoting.
    std::ofstream(File("run.sh")) << VELT_DFU_TOOL << " download 'COM7,COM8,COM9," << Usb("img") << ","
                                  << Usb("small") << "' " << File("image.bin") << " --retries 1; sleep 60\n";
    // 80 columns, and 50, where the bars narrow and give up their tails.
    for (const size_t columns : {80u, 50u}) {
        const std::string tmux = "tmux -S " + work_ + "/tmux" + std::to_string(columns) + " ";
        ASSERT_EQ(std::system((tmux + "new-session -d -x " + std::to_string(columns) + " -y 30 'sh " +
                               File("run.sh") + "'")
                                  .c_str()),
                  0);
        std::string screen;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        bool sawBars = false;
        while (std::chrono::steady_clock::now() < deadline) {
            screen = Capture(tmux + "capture-pane -p");
            for (const std::string& line : Lines(screen)) {
                EXPECT_LE(Count(line, "download "), 1u) << "two bars on one line: " << line;
                // A bar is whole on its line: its name, the bar and the percent.
                if (Contains(line, "download [")) {
                    EXPECT_TRUE(std::regex_search(line, std::regex(R"(^\S+: download \[[#.]+\] +\d+%)"))) << line;
                }
                sawBars = sawBars || Contains(line, "download [");
            }
            if (Contains(screen, "5 devices in "))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        // Cleanup only: a server that is already gone is no failure.
        if (std::system((tmux + "kill-server").c_str()) != 0) {
        }
        EXPECT_TRUE(sawBars) << screen;
        ASSERT_TRUE(Contains(screen, "5 devices in ")) << screen;
        // Each row of the table whole on one line: name, result, bytes, seconds.
        size_t rows = 0;
        for (const std::string& line : Lines(screen)) {
            if (std::regex_search(line, std::regex(R"(^\S+ +DFU_STATUS_\S+( \(\S+\))? +\d+ +\d+\.\d\d$)"))) {
                ++rows;
                EXPECT_NE(line[0], '\\') << "a typed USB path is shown by a short name\n" << line;
            }
        }
        EXPECT_EQ(rows, 5u) << columns << " columns:\n" << screen;
    }
}

// --log: one line per device and attempt, whole, from two processes at
// once; the image's digest is what sha256sum says.
TEST_F(MultiDevice, TraceLogHasALinePerDeviceAndAttemptFromSeveralProcesses)
{
    Start({"--com", "COM7,delay=600@5", "--com", "COM8", "--usb", "name=img,serial=TRACE1,flash=" + File("usb.bin")});
    WriteBytes(File("image.bin"), Pattern(5000, 19));
    const std::string log = File("line.log");
    ToolProcess first({"download", "COM7", File("image.bin"), "--log", log, "--no-recovery", "--retries", "1",
                       "--timeout", "400"});
    ToolProcess second({"download", "COM8," + UsbPath("img"), File("image.bin"), "--log", log, "--verify"});
    EXPECT_EQ(first.wait().exitCode, 0);
    EXPECT_EQ(second.wait().exitCode, 0);

    const std::string digest = Capture("sha256sum " + File("image.bin")).substr(0, 64);
    const auto lines = Lines(Slurp(log));
    ASSERT_EQ(lines.size(), 4u) << "COM7 twice (one retry), COM8 and the USB device once\n" << Slurp(log);
    std::map<std::string, std::vector<std::string>> byDevice;
    for (const std::string& line : lines) {
        ASSERT_TRUE(jsoncheck::IsObject(line)) << line;
        EXPECT_TRUE(Contains(line, R"("sha256":")" + digest + "\"")) << line;
        EXPECT_TRUE(Contains(line, R"("image_size":5000,)")) << line;
        EXPECT_EQ(line.rfind(R"({"time":"20)", 0), 0u) << line;
        const size_t at = line.find(R"("device":")") + 10;
        byDevice[line.substr(at, line.find('"', at) - at)].push_back(line);
    }
    ASSERT_EQ(byDevice["COM7"].size(), 2u);
    EXPECT_TRUE(Contains(byDevice["COM7"][0], R"("attempt":1,"ok":false,"status":132,)")) << byDevice["COM7"][0];
    EXPECT_TRUE(Contains(byDevice["COM7"][1], R"("attempt":2,"ok":true,)")) << byDevice["COM7"][1];
    EXPECT_TRUE(Contains(byDevice["COM7"][1], R"("com":"COM7",)")) << byDevice["COM7"][1];
    EXPECT_TRUE(Contains(byDevice["COM7"][1], R"("verified":null,)")) << "no --verify";
    ASSERT_EQ(byDevice["TRACE1"].size(), 1u) << Slurp(log);
    EXPECT_TRUE(Contains(byDevice["TRACE1"][0], R"("vid_pid":"F055:D0F1","serial":"TRACE1","com":null,)"))
        << byDevice["TRACE1"][0];
    EXPECT_TRUE(Contains(byDevice["TRACE1"][0], R"("verified":true,)")) << byDevice["TRACE1"][0];

    ToolRun nowhere = RunTool({"download", "COM8", File("image.bin"), "--log", File("no/such/dir/x.log")});
    EXPECT_EQ(nowhere.exitCode, 1);
    EXPECT_TRUE(Contains(nowhere.err, "cannot write the log")) << nowhere.err;
}
