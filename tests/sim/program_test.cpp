// velt-dfu-sim as a program: start-up, files and links, shutdown, flash
// files, and refusal of bad command lines.
#include "SimTestHosts.h"

#include <SimProcess.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>

namespace fs = std::filesystem;
using simtest::UsbClient;
using velt::sim::SimProcess;

namespace {

struct SimRun {
    int exitCode;
    std::string output;
};

// Runs the simulator to completion (only sensible for command lines it refuses or --help).
SimRun runSim(const std::string& args)
{
    std::string out = ::testing::TempDir() + "sim_program_" + std::to_string(::getpid()) + ".txt";
    int status = std::system(("{ " + std::string(VELT_SIM_BINARY) + " " + args + "; } >" + out + " 2>&1 </dev/null").c_str());
    std::ifstream in(out);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fs::remove(out);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
}

std::string readAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

} // namespace

TEST(Program, CreatesEveryEndpointBeforeReadyAndRemovesThemOnTermination)
{
    SimProcess sim({"--usb", "name=alpha", "--usb", "name=beta", "--com", "COM3"});
    EXPECT_TRUE(fs::exists(sim.usbDir() + "/alpha.sock"));
    EXPECT_TRUE(fs::exists(sim.usbDir() + "/alpha.dev"));
    EXPECT_TRUE(fs::exists(sim.usbDir() + "/beta.dev"));
    fs::path link = sim.dosDevicesDir() + "/COM3";
    ASSERT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link).string().rfind("/dev/pts/", 0), 0u);
    EXPECT_TRUE(fs::exists(link)) << "the link must lead to a live pty";

    sim.stop();
    EXPECT_EQ(sim.exitStatus(), 0) << sim.errorOutput();
    EXPECT_TRUE(fs::is_empty(sim.usbDir()));
    EXPECT_FALSE(fs::is_symlink(link));
    EXPECT_NE(sim.readLog().find("COM3 up"), std::string::npos);
}

TEST(Program, SavesFlashOnExitAndLoadsItOnTheNextStart)
{
    std::string flash = ::testing::TempDir() + "sim_flash_" + std::to_string(::getpid()) + ".bin";
    fs::remove(flash);
    {
        SimProcess sim({"--usb", "name=f,flash=" + flash});
        UsbClient host(sim.usbDir() + "/f.sock");
        host.control(0x21, 1, 0, 4, {'a', 'b', 'c', 'd'});
        host.control(0xA1, 3, 0, 6);
        host.control(0x21, 1, 1, 4, {'e', 'f', 'g', 'h'});
        sim.stop(); // no closing zero-length DNLOAD: saved because the simulator ends
        EXPECT_EQ(readAll(flash), "abcdefgh");
    }
    {
        SimProcess sim({"--usb", "name=f,flash=" + flash});
        UsbClient host(sim.usbDir() + "/f.sock");
        EXPECT_EQ(host.control(0xA1, 2, 0, 64).data, std::vector<uint8_t>({'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'}));
    }
    fs::remove(flash);
}

TEST(Program, RefusesBadCommandLinesWithAMessage)
{
    struct Case {
        std::string args, mentions;
    };
    std::vector<Case> cases{
        {"", "no device"},
        {"--usb vid=XYZ", "vid"},
        {"--usb noise=3", "noise"},
        {"--usb info=1234", "info"},
        {"--com LPT1", "COM"},
        {"--com COM2,state=11", "state"},
        {"--com COM2,silent=1", "silent"},
        {"--com COM2 --com COM2", "twice"},
        {"--usb upload-size=2K,flash-size=1K", "upload-size"},
        {"--frobnicate", "--frobnicate"},
    };
    for (const auto& c : cases) {
        SimRun run = runSim("--usb-dir /nonexistent/x --dosdevices /nonexistent/y " + c.args);
        EXPECT_NE(run.exitCode, 0) << c.args;
        EXPECT_NE(run.output.find(c.mentions), std::string::npos) << c.args << ": " << run.output;
        EXPECT_EQ(run.output.find("READY"), std::string::npos);
    }
}

TEST(Program, RefusesALinkToALivePortButReplacesADanglingOne)
{
    SimProcess first({"--com", "COM4"});
    SimRun run = runSim("--usb-dir " + first.usbDir() + " --dosdevices " + first.dosDevicesDir() + " --com COM4");
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.output.find("COM4"), std::string::npos) << run.output;
    EXPECT_TRUE(fs::exists(first.dosDevicesDir() + "/COM4")) << "the refused start must not touch the live link";

    // A link whose port is gone was left by a simulator that died: it is taken over.
    std::string link = first.dosDevicesDir() + "/COM9";
    fs::create_symlink("/dev/pts/no-such-port", link);
    run = runSim("--usb-dir " + first.usbDir() + " --dosdevices " + first.dosDevicesDir() + " --com COM9 & pid=$!; " +
                 "sleep 0.5; readlink " + link + "; kill -TERM $pid; wait $pid");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("READY\n/dev/pts/"), std::string::npos) << run.output;
    EXPECT_FALSE(fs::is_symlink(link));
}

TEST(Program, HelpDocumentsEveryOption)
{
    SimRun run = runSim("--help");
    EXPECT_EQ(run.exitCode, 0);
    for (const char* option : {"--usb-dir", "--dosdevices", "--log", "--usb", "--com", "vid=", "pid=", "serial=",
                               "guid=", "name=", "state=", "busy=", "poll=", "flash=", "flash-size=", "upload-size=",
                               "info=", "manifest=", "manifest-poll=", "upload-end=", "interface=", "noise=", "nak=",
                               "badcrc=", "badack=", "nosync", "badsync=", "silent",
                               "long"})
        EXPECT_NE(run.output.find(option), std::string::npos) << option;
}
