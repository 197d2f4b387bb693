// Option parsing and device naming of velt-dfu, without a device.
#include "CommandLine.h"
#include "Device.h"
#include "Names.h"

#include <gtest/gtest.h>

#include <vector>

using namespace veltdfu;

namespace {

std::string Parse(std::vector<const char*> args, Invocation& out)
{
    args.insert(args.begin(), "velt-dfu");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), out);
}

} // namespace

TEST(CommandLine, OptionsStandAnywhereInBothForms)
{
    Invocation inv;
    ASSERT_EQ(Parse({"--timeout", "250", "state", "COM7", "--baud=9600", "--parity", "space",
                     "--stop-bits=1.5", "--flow", "rtscts", "--data-bits", "7"},
                    inv),
              "");
    EXPECT_EQ(inv.command, "state");
    EXPECT_EQ(inv.operands, std::vector<std::string>{"COM7"});
    EXPECT_EQ(inv.timeoutMs, 250u);
    EXPECT_EQ(inv.line.baudRate, 9600u);
    EXPECT_EQ(inv.line.parity, 4);      // DCB SPACEPARITY
    EXPECT_EQ(inv.line.stopBits, 1);    // DCB ONE5STOPBITS
    EXPECT_EQ(inv.line.flowControl, 1); // RTS/CTS
    EXPECT_EQ(inv.line.dataBits, 7);
}

TEST(CommandLine, UnsetSerialOptionsStayUnset)
{
    Invocation inv;
    ASSERT_EQ(Parse({"state", "0", "--baud", "57600"}, inv), "");
    EXPECT_TRUE(inv.line.any());
    EXPECT_FALSE(inv.line.parity.has_value());
    EXPECT_FALSE(inv.line.dataBits.has_value());
    EXPECT_FALSE(inv.timeoutMs.has_value());
}

TEST(CommandLine, BadValuesAreRefusedNamingTheOption)
{
    const std::vector<std::vector<const char*>> bad = {
        {"--baud", "0"},          {"--baud", "12x"},         {"--baud", "-9600"},
        {"--baud", "4294967296"}, {"--data-bits", "9"},      {"--data-bits", "4"},
        {"--parity", "Even"},     {"--stop-bits", "3"},      {"--flow", "xonxoff"},
        {"--timeout", ""},        {"--timeout=-1"},
    };
    for (const auto& args : bad) {
        Invocation inv;
        std::vector<const char*> full = {"state", "0"};
        full.insert(full.end(), args.begin(), args.end());
        const std::string error = Parse(full, inv);
        const std::string option = std::string(args[0]).substr(0, std::string(args[0]).find('='));
        EXPECT_NE(error.find(option), std::string::npos) << args[0] << " -> '" << error << "'";
    }
}

TEST(CommandLine, ImageOptionsAndTheirLimits)
{
    Invocation inv;
    ASSERT_EQ(Parse({"--json", "download", "COM7", "fw.bin", "--transfer-size=65535", "--verify", "--no-suffix"}, inv),
              "");
    EXPECT_EQ(inv.operands, (std::vector<std::string>{"COM7", "fw.bin"}));
    EXPECT_EQ(inv.transferSize, 65535);
    EXPECT_TRUE(inv.verify && inv.noSuffix && inv.json);
    Invocation one;
    ASSERT_EQ(Parse({"upload", "0", "out.bin", "--transfer-size", "1"}, one), "");
    EXPECT_EQ(one.transferSize, 1);
    EXPECT_FALSE(one.verify || one.noSuffix || one.json);
    for (const char* bad : {"0", "65536", "1k", "", "-1"}) {
        Invocation rejected;
        EXPECT_NE(Parse({"upload", "0", "out.bin", "--transfer-size", bad}, rejected).find("--transfer-size"),
                  std::string::npos)
            << bad;
    }
}

TEST(CommandLine, RetriesAndWaitTakeTheirValuesAndLimits)
{
    Invocation inv;
    ASSERT_EQ(Parse({"download", "COM7", "fw.bin", "--retries", "3", "--wait"}, inv), "");
    EXPECT_EQ(inv.retries, 3u);
    EXPECT_EQ(inv.waitSeconds, kDefaultWaitSeconds);
    // The word after a bare --wait is an operand, not its value.
    Invocation bare;
    ASSERT_EQ(Parse({"download", "--wait", "COM7", "fw.bin", "--retries=0"}, bare), "");
    EXPECT_EQ(bare.operands, (std::vector<std::string>{"COM7", "fw.bin"}));
    EXPECT_EQ(bare.retries, 0u);
    Invocation given;
    ASSERT_EQ(Parse({"download", "COM7", "fw.bin", "--wait=5"}, given), "");
    EXPECT_EQ(given.waitSeconds, 5u);
    EXPECT_FALSE(given.retries.has_value());
    for (const auto& bad : std::vector<std::vector<const char*>>{
             {"--retries", "-1"}, {"--retries", "1001"}, {"--retries=x"}, {"--wait="}, {"--wait=86401"}, {"--wait=1s"}}) {
        Invocation rejected;
        std::vector<const char*> args = {"download", "COM7", "fw.bin"};
        args.insert(args.end(), bad.begin(), bad.end());
        const std::string option = std::string(bad[0]).substr(0, std::string(bad[0]).find('='));
        EXPECT_NE(Parse(args, rejected).find(option), std::string::npos) << bad[0];
    }
}

TEST(CommandLine, ValueOptionLastOnTheLineIsAnError)
{
    Invocation inv;
    EXPECT_EQ(Parse({"state", "0", "--timeout"}, inv), "option --timeout needs a value");
    EXPECT_FALSE(inv.timeoutMs.has_value());
}

TEST(CommandLine, UnknownOptionsAndTheEndOfOptions)
{
    Invocation inv;
    EXPECT_NE(Parse({"state", "0", "--bogus"}, inv), "");
    Invocation after;
    ASSERT_EQ(Parse({"state", "--", "--odd-path"}, after), "");
    EXPECT_EQ(after.operands, std::vector<std::string>{"--odd-path"});
}

TEST(DeviceRef, IndexComNameOrPath)
{
    DeviceRef index = ParseDeviceRef("3");
    EXPECT_TRUE(index.byIndex);
    EXPECT_EQ(index.index, 3u);

    DeviceRef com = ParseDeviceRef("COM12");
    EXPECT_FALSE(com.byIndex);
    EXPECT_EQ(com.path, "\\\\.\\COM12");

    // COM names in any case; paths as the library knows them, untouched.
    EXPECT_EQ(ParseDeviceRef("com7").path, "\\\\.\\COM7");
    for (const char* path : {"\\\\.\\COM7", "/dev/ttyACM0", "\\\\?\\usb#vid_1a2b&pid_00ff#S1"}) {
        DeviceRef ref = ParseDeviceRef(path);
        EXPECT_FALSE(ref.byIndex) << path;
        EXPECT_EQ(ref.path, path);
        EXPECT_EQ(ref.label(), path);
    }
    // Anything else is looked up in the device list: a serial number,
    // VID:PID[:SERIAL], a bus-port path.
    for (const char* name : {"COMBO", "B2", "f055:d0f1", "f055:d0f1:B2", "1-2.3"}) {
        DeviceRef ref = ParseDeviceRef(name);
        EXPECT_EQ(ref.match, name);
        EXPECT_TRUE(ref.path.empty()) << name;
    }
}

TEST(Names, FailureTextCarriesNameAndCode)
{
    EXPECT_EQ(LibraryStatusText(0x82), "DFU_STATUS_GENERAL_ERROR (0x82)");
    EXPECT_EQ(LibraryStatusText(0x4B), "DFU_STATUS_NOT_SUPPORTED (0x4B)");
    // 0x42 is not a library code; it must still print its number.
    EXPECT_EQ(LibraryStatusText(0x42), "unknown status (0x42)");
}

TEST(Names, DfuStatesAndStatusesAtTheirEdges)
{
    EXPECT_STREQ(DfuStateName(0), "appIDLE");
    EXPECT_STREQ(DfuStateName(10), "dfuERROR");
    EXPECT_STREQ(DfuStateName(11), "unknown");
    EXPECT_STREQ(DfuStatusName(0), "OK");
    EXPECT_STREQ(DfuStatusName(15), "errSTALLEDPKT");
    EXPECT_STREQ(DfuStatusName(16), "unknown");
}

// The table is the one place an option lives: each name once, and the help
// of a command lists exactly the options that command takes.
TEST(CommandLine, EachOptionIsDeclaredOnceAndHelpShowsWhereItApplies)
{
    std::vector<std::string> names;
    for (const OptionSpec* o = OptionsBegin(); o != OptionsEnd(); ++o) {
        for (const std::string& seen : names)
            EXPECT_NE(seen, o->name);
        names.push_back(o->name);
        EXPECT_NE(o->commands, 0u) << o->name;
        for (unsigned bit = kCmdList; bit <= kCmdUpload; bit <<= 1) {
            const bool listed = OptionHelp(bit).find("  " + std::string(o->alias ? o->alias : "") +
                                                     (o->alias ? ", " : "") + o->name) != std::string::npos;
            EXPECT_EQ(listed, (o->commands & bit) != 0) << o->name << " in the help of command bit " << bit;
        }
    }
    Invocation inv;
    ASSERT_EQ(Parse({"download", "COM7", "fw.bin", "-v", "--guid", "{6d3f2a10-88c4-4e1b-9f2d-0a1b2c3d4e5f}",
                     "--no-recovery"},
                    inv),
              "");
    ASSERT_EQ(inv.given.size(), 3u);
    EXPECT_STREQ(inv.given[0]->name, "--verbose");
    EXPECT_TRUE(inv.verbose && inv.noRecovery && inv.guid);
    for (const char* bad : {"6d3f2a10-88c4-4e1b-9f2d", "{6d3f2a10-88c4-4e1b-9f2d-0a1b2c3d4e5g}",
                            "6d3f2a10x88c4-4e1b-9f2d-0a1b2c3d4e5f"}) {
        Invocation rejected;
        EXPECT_NE(Parse({"list", "--guid", bad}, rejected).find("--guid"), std::string::npos) << bad;
    }
    Invocation flag;
    EXPECT_EQ(Parse({"download", "--verify=yes"}, flag), "option --verify takes no value");
}
