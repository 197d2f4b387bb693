// The command line other programs and scripts write against.
#include "common/Options.h"
#include "dosdevices.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

using namespace velt::sim;

namespace {

CommandLine parse(std::vector<std::string> args)
{
    return parseCommandLine(args);
}

} // namespace

TEST(Options, ParsesDevicesWithTheirKeysInOrder)
{
    std::string info(96, '0');
    info.replace(0, 4, "AB12");
    CommandLine cl = parse({"--usb-dir", "/u", "--dosdevices", "/d", "--log", "/l", "--usb",
                            "vid=0x1209,pid=beef,guid=0f0e0d0c-0b0a-0908-0706-050403020100,busy=3,poll=250,"
                            "transfer-size=512,attributes=0x0B,detach-timeout=250,upload-corrupt=1K,info=" + info,
                            "--com", "COM12,noise=4,nak=1,badcrc=2,badack=3,nosync,badsync=0x42,silent,long,flash-size=64K,"
                            "upload-size=1k,manifest=sync,state=10,flash=/f.bin",
                            "--usb"});
    EXPECT_EQ(cl.usbDir, "/u");
    EXPECT_EQ(cl.dosDevicesDir, "/d");
    EXPECT_EQ(cl.logPath, "/l");
    ASSERT_EQ(cl.devices.size(), 3u);

    const DeviceConfig& usb = cl.devices[0];
    EXPECT_EQ(usb.kind, DeviceConfig::Kind::Usb);
    EXPECT_EQ(usb.usb.vid, 0x1209);
    EXPECT_EQ(usb.usb.pid, 0xBEEF);
    EXPECT_EQ(usb.usb.guid, "{0F0E0D0C-0B0A-0908-0706-050403020100}");
    EXPECT_EQ(usb.usb.serial, "VSIM0001");
    EXPECT_EQ(usb.model.busyRounds, 3u);
    EXPECT_EQ(usb.model.pollTimeoutMs, 250u);
    EXPECT_EQ(usb.usb.functional.transferSize, 512u);
    EXPECT_EQ(usb.usb.functional.attributes, 0x0B);
    EXPECT_EQ(usb.usb.functional.detachTimeoutMs, 250u);
    EXPECT_EQ(usb.model.uploadCorrupt, 1024u);
    ASSERT_TRUE(usb.model.info.has_value());
    EXPECT_EQ((*usb.model.info)[0], 0xAB);
    EXPECT_EQ((*usb.model.info)[1], 0x12);

    const DeviceConfig& com = cl.devices[1];
    EXPECT_EQ(com.kind, DeviceConfig::Kind::Serial);
    EXPECT_EQ(com.comName, "COM12");
    EXPECT_EQ(com.faults.noise, 4u);
    EXPECT_EQ(com.faults.nak, 1u);
    EXPECT_EQ(com.faults.badCrc, 2u);
    EXPECT_EQ(com.faults.badAck, 3u);
    EXPECT_TRUE(com.faults.noSync);
    EXPECT_EQ(com.faults.badSync, 0x42);
    EXPECT_TRUE(com.faults.silent);
    EXPECT_TRUE(com.faults.longReply);
    EXPECT_EQ(com.model.flashSize, 64u * 1024);
    EXPECT_EQ(com.model.uploadSize, 1024u);
    EXPECT_EQ(com.model.manifest, ManifestMode::Sync);
    EXPECT_EQ(com.model.startState, DfuState::DfuError);
    EXPECT_EQ(com.model.flashFile, "/f.bin");

    // Devices without keys get defaults that keep their command-line order.
    const DeviceConfig& plain = cl.devices[2];
    EXPECT_EQ(plain.usb.vid, 0xF055);
    EXPECT_EQ(plain.usb.pid, 0xD0F1);
    EXPECT_EQ(plain.usb.guid, "{04C77E93-B54D-4714-AC96-15A62BFA307B}");
    EXPECT_EQ(plain.usb.serial, "VSIM0002");
    EXPECT_LT(usb.usb.stem, plain.usb.stem);
    EXPECT_EQ(plain.model.flashSize, 256u * 1024);
    EXPECT_EQ(plain.usb.functional.transferSize, 4096u);
    EXPECT_EQ(plain.usb.functional.attributes, 0x07);
    EXPECT_FALSE(plain.model.uploadCorrupt.has_value());
    EXPECT_EQ(plain.model.startState, DfuState::DfuIdle);
    EXPECT_EQ(plain.model.manifest, ManifestMode::Idle);
    EXPECT_EQ(plain.model.uploadEnd, UploadEnd::Empty);
    EXPECT_TRUE(plain.model.manifestTolerant);
    EXPECT_EQ(plain.model.dfuInterface, 0u);
}

// The keys of a board that behaves as DFU 1.1 describes: the descriptor's
// bmAttributes decides how manifestation ends, interface= where requests go.
TEST(Options, StandardBoardKeysAgreeWithTheDescriptor)
{
    CommandLine cl = parse({"--usb", "manifest=standard,manifest-poll=250,upload-end=short,interface=1,attributes=0x03",
                            "--usb", "manifest=standard,attributes=0x0F",
                            "--com", "COM3,manifest=standard,upload-end=empty"});
    ASSERT_EQ(cl.devices.size(), 3u);
    const ModelConfig& strict = cl.devices[0].model;
    EXPECT_EQ(strict.manifest, ManifestMode::Standard);
    EXPECT_EQ(strict.manifestPollMs, 250u);
    EXPECT_EQ(strict.uploadEnd, UploadEnd::Short);
    EXPECT_FALSE(strict.manifestTolerant);
    EXPECT_EQ(strict.dfuInterface, 1u);
    EXPECT_EQ(cl.devices[0].usb.dfuInterface, 1u);
    EXPECT_TRUE(cl.devices[1].model.manifestTolerant);
    EXPECT_TRUE(cl.devices[2].model.manifestTolerant);
    EXPECT_EQ(cl.devices[2].model.uploadEnd, UploadEnd::Empty);
}

TEST(Options, SerialLineAndDelay)
{
    CommandLine cl = parse({"--com", "COM3,baud=9600,delay=1200", "--com", "COM4,delay=250@3",
                            "--com", "COM5,baud=host,latency=1000", "--usb", "latency=250"});
    ASSERT_EQ(cl.devices.size(), 4u);
    EXPECT_EQ(cl.devices[0].line.baud, 9600u);
    EXPECT_FALSE(cl.devices[0].line.followHost);
    EXPECT_EQ(cl.devices[0].line.latency.count(), 0);
    EXPECT_TRUE(cl.devices[2].line.followHost);
    EXPECT_EQ(cl.devices[2].line.latency.count(), 1000);
    EXPECT_EQ(cl.devices[3].line.latency.count(), 250);
    EXPECT_EQ(cl.devices[0].faults.delayMs, 1200u);
    EXPECT_EQ(cl.devices[0].faults.delayOnly, 0u);
    EXPECT_EQ(cl.devices[1].line.baud, 0u);
    EXPECT_EQ(cl.devices[1].faults.delayMs, 250u);
    EXPECT_EQ(cl.devices[1].faults.delayOnly, 3u);
}

TEST(Options, RandomFaultsWithAndWithoutASeed)
{
    CommandLine cl = parse({"--com", "COM3,faults=0.05:42", "--usb", "faults=.01", "--com", "COM4,faults=1"});
    ASSERT_EQ(cl.devices.size(), 3u);
    EXPECT_DOUBLE_EQ(cl.devices[0].faults.random.rate, 0.05);
    EXPECT_EQ(cl.devices[0].faults.random.seed, 42u);
    EXPECT_TRUE(cl.devices[0].faults.random.seeded);
    EXPECT_DOUBLE_EQ(cl.devices[1].faults.random.rate, 0.01);
    EXPECT_FALSE(cl.devices[1].faults.random.seeded) << "a seed is drawn, to be logged";
    EXPECT_DOUBLE_EQ(cl.devices[2].faults.random.rate, 1.0);
}

TEST(Options, DirectoriesDefaultToTheEnvironmentThenHome)
{
    ::setenv("VELT_USBDEVICES", "/env/usb", 1);
    ::setenv("VELT_DOSDEVICES", "/env/dos", 1);
    CommandLine cl = parse({"--usb"});
    EXPECT_EQ(cl.usbDir, "/env/usb");
    EXPECT_EQ(cl.dosDevicesDir, "/env/dos");
    ::unsetenv("VELT_USBDEVICES");
    ::unsetenv("VELT_DOSDEVICES");
    std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", "/home/tester", 1);
    cl = parse({"--usb"});
    EXPECT_EQ(cl.usbDir, "/home/tester/.velt/usbdevices");
    EXPECT_EQ(cl.dosDevicesDir, "/home/tester/.velt/dosdevices");
    ::setenv("HOME", home.c_str(), 1);
}

// A service may run without HOME: the simulator must then publish its
// devices where the platform layer looks for them, the account's home.
TEST(Options, WithoutHomeTheDirectoriesAreTheAccountsAsThePlatformsAre)
{
    const struct passwd* account = getpwuid(getuid());
    ASSERT_NE(account, nullptr);
    const std::string accountHome = account->pw_dir;
    ::unsetenv("VELT_USBDEVICES");
    ::unsetenv("VELT_DOSDEVICES");
    const char* saved = std::getenv("HOME");
    const std::string home = saved ? saved : "";
    for (const char* unset : {static_cast<const char*>(nullptr), ""}) {
        if (unset)
            ::setenv("HOME", unset, 1);
        else
            ::unsetenv("HOME");
        const CommandLine cl = parse({"--usb"});
        EXPECT_EQ(cl.usbDir, accountHome + "/.velt/usbdevices");
        EXPECT_EQ(cl.dosDevicesDir, accountHome + "/.velt/dosdevices");
        EXPECT_EQ(cl.dosDevicesDir, velt::platform::DosDevicesDir());
    }
    if (saved)
        ::setenv("HOME", home.c_str(), 1);
}

TEST(Options, RejectsValuesThatDoNotFit)
{
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--usb", "vid=10000"},
             {"--usb", "poll=16777216"},
             {"--usb", "guid={0F0E0D0C-0B0A-0908-0706-05040302010}"},
             {"--usb", "serial=a#b"},
             {"--usb", "name=../escape"},
             {"--usb", "flash-size=0"},
             {"--usb", "busy=-1"},
             {"--com", "COM0"},
             {"--com", "COM1,badsync=0x100"},
             {"--com", "COM1,long=yes"},
             {"--com", "COM1,vid=1234"},
             {"--com", "COM1,delay=5@0"},
             {"--com", "COM1,delay=@3"},
             {"--com", "COM1,baud=10"},
             {"--com", "COM1,baud=hostile"},
             {"--com", "COM1,latency=-5"},
             {"--com", "COM1,faults=1.5"},
             {"--com", "COM1,faults=-0.1"},
             {"--com", "COM1,faults=0.1:x"},
             {"--com", "COM1,faults=0.1x"},
             {"--usb", "faults="},
             {"--com", "COM1,latency=60000001"},
             {"--usb", "baud=9600"},
             {"--com", "COM1,transfer-size=64"},
             {"--usb", "transfer-size=0"},
             {"--usb", "transfer-size=65536"},
             {"--usb", "attributes=0x100"},
             {"--usb", "detach-timeout=65536"},
             {"--usb", "manifest=strict"},
             {"--usb", "manifest-poll=16777216"},
             {"--usb", "upload-end=zero"},
             {"--usb", "interface=16"},
             {"--com", "COM1,interface=1"},
             {"--log"},
         }) {
        EXPECT_THROW(parse(args), UsageError) << args.back();
    }
}
