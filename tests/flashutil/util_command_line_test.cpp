// Usage text, adapter listing and the option parser, seen from outside: the
// printed lines, the exit code and what reached the adapter library.
#include "util_harness.h"

namespace {

const char* const kUsageBody =
    "================================\n"
    "\n"
    "Burn binary image to Velt Orvix on-chip flash.\n"
    "\n"
    "OrvixFlashUtility [-v] [-i] [-e {0,1,2}] [-p {0,1,2}] [-r {0,1,2}] [-l] [-f] [-s SERIAL] [drive:][path]image\n"
    "OrvixFlashUtility [-d START_ADDRESS NUM_BYTES] [-s SERIAL] [drive:][path]image\n"
    "\n"
    "positional arguments:\n"
    "image               Hex image file to burn or to output when using the -d option.\n"
    "\n"
    "optional arguments:\n"
    "-v                  Verify after downloading to flash.\n"
    "-i                  Display additional information.\n"
    "-e {0,1,2}          Erase: 0=merge, 1=(sector), 2=full\n"
    "-p {0,1,2}          Port:  0=jtag, 1=sw, 2=(swj)\n"
    "-r {0,1,2}          Reset: 0=(none), 1=before, 2=during\n"
    "-d                  Dump contents of flash starting at\n"
    "                    START_ADDRESS and dumping NUM_BYTES.\n"
    "                    START_ADDRESS requires the address to\n"
    "                    be in hexidecimal format, e.g. 0x00000000.\n"
    "-l                  Display a list of all LKP serial numbers available\n"
    "-f                  Lock flash block\n"
    "-s SERIAL           LKP serial number\n"
    "\n";

using CommandLine = UtilityTest;

TEST_F(CommandLine, UsageShowsLibraryVersionAndMarksDebugBuilds)
{
    RunOutput release = Run({});
    EXPECT_EQ(release.code, 0);
    EXPECT_EQ(release.out, std::string("Velt Orvix Flash Programming Utility 1.5\n"
                                       "VELT_ADI_Util.dll 1.2\n") + kUsageBody);

    Scenario("library 3 14 debug\n");
    RunOutput debug = Run({});
    EXPECT_EQ(debug.code, 0);
    EXPECT_EQ(debug.out.substr(0, debug.out.find(kUsageBody)),
              "Velt Orvix Flash Programming Utility 1.5\nVELT_ADI_Util.dll 3.14 (Debug)\n");
    EXPECT_EQ(Calls("ADIU_GetNumDevices").size(), 0u) << "usage must not touch the adapters";
}

TEST_F(CommandLine, ListPrintsEverySerialItCanReadAndIgnoresOtherOptions)
{
    Scenario("adapter LKP1\nadapter LKP2\nadapter LKP3\nstatus ADIU_GetSerial 0 0x83 0\n");
    RunOutput r = Run({"-l", "-v", "-e", "2", "a.hex"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "List of Linkpod serial numbers\n========================================\nLKP1\nLKP3\n");
    EXPECT_TRUE(Calls("ADIU_OpenByIndex").empty());

    Scenario("status ADIU_GetNumDevices 0x82\n");
    RunOutput failed = Run({"-l"});
    EXPECT_EQ(failed.code, 0);
    EXPECT_EQ(failed.out, "");
}

struct ParseError {
    std::vector<std::string> args;
    std::string line;
};

TEST_F(CommandLine, RejectedArgumentsPrintOneErrorThenInvalidArgumentsAndOpenNothing)
{
    const std::string badAddress = "Error: Invalid address format.  Expecting hex format 0x00000000.\n";
    const std::string noCount = "Error: Number of bytes to dump not specified.\n";
    const std::string extra = "Error: Additional arguments not allowed.\n";
    const std::vector<ParseError> cases = {
        {{"image.HEX"}, "Error: Unknown argument found image.HEX.\n"},
        {{"-vi", "a.hex"}, "Error: Unknown argument found -vi.\n"},
        {{"--verify"}, "Error: Unknown argument found --verify.\n"},
        {{"-d", "0X1000", "64", "out.hex"}, badAddress},
        {{"-d", "1000", "64", "out.hex"}, badAddress},
        {{"-d"}, badAddress},
        {{"-d", "0x1000"}, noCount},
        {{"-d", "0x1000", "-5", "out.hex"}, noCount},
        {{"-d", "0x0", "16", "-v", "x.hex"}, extra},
        {{"-v", "-d", "0x0", "16", "x.hex"}, extra},
        {{"-d", "0x0", "16", "-e", "0", "x.hex"}, extra},
        {{"-r", "1", "-d", "0x0", "16", "x.hex"}, extra},
        {{"-l", "-d", "0x0", "16", "x.hex"}, extra},
        {{"a.hex", "-e"}, "Error: Missing value after -e.\n"},
        {{"a.hex", "-p"}, "Error: Missing value after -p.\n"},
        {{"a.hex", "-r"}, "Error: Missing value after -r.\n"},
        {{"a.hex", "-s"}, "Error: Missing value after -s.\n"},
    };
    for (const ParseError& c : cases) {
        RunOutput r = Run(c.args);
        EXPECT_EQ(r.code, 8) << c.args[0];
        EXPECT_EQ(r.out, c.line + "Invalid arguments.\n") << c.args[0];
    }
    EXPECT_TRUE(CallLog().empty());
}

TEST_F(CommandLine, ValueOptionsAreOctalKeepTheLowByteAndSwallowTheNextArgument)
{
    WriteFile("a.hex", MakeHex({{0, {1, 2, 3}}}));
    // "-r 377" is 255: the connect gets reset code 0; "-p 10" is 8: Serial Wire.
    RunOutput r = Run({"-r", "377", "-p", "10", "a.hex"});
    EXPECT_EQ(r.code, 0);
    ASSERT_EQ(Calls("ADIU_ConnectSwd").size(), 1u);
    EXPECT_EQ(Calls("ADIU_ConnectSwd")[0], "ADIU_ConnectSwd handle=0x1000 reset=0 args=0,0,0 -> 0");

    // "-e 10" is 8: no erase flag, no user-space erase; "-e" takes "-v" as its
    // value (0: merge) and verify stays off.
    Run({"-e", "10", "a.hex"});
    Run({"-e", "-v", "a.hex"});
    std::vector<std::string> downloads = Calls("ADIU_DownloadHexFile");
    ASSERT_EQ(downloads.size(), 3u);
    EXPECT_NE(downloads[1].find("erase=0 merge=0"), std::string::npos) << downloads[1];
    EXPECT_NE(downloads[2].find("erase=0 merge=1"), std::string::npos) << downloads[2];
    EXPECT_NE(downloads[2].find("verify=0"), std::string::npos) << downloads[2];
    EXPECT_TRUE(Calls("ADIU_UserSpaceErase").empty());
}

TEST_F(CommandLine, DumpAcceptsQuietOptionsBesideItAndAnyNumberBase)
{
    // "-p", "-i", "-s", "-f" and "-r 0" may stand beside "-d"; the count may be
    // octal, and "-f" has no effect on a dump.
    RunOutput r = Run({"-f", "-p", "0", "-d", "0x1000", "0100", "-r", "0", "-s", "lkp00012345", "out.hex"});
    EXPECT_EQ(r.code, 0) << r.out;
    ASSERT_EQ(Calls("ADIU_ReadBlock").size(), 1u);
    EXPECT_NE(Calls("ADIU_ReadBlock")[0].find("address=0x00001000 count=64"), std::string::npos);
    EXPECT_FALSE(Exists("out.hex.temp.hex"));

    // With the image missing, the text after the address is the count (0).
    RunOutput noImage = Run({"-d", "0x1000", "out2.hex"});
    EXPECT_EQ(noImage.code, 0);
    EXPECT_EQ(noImage.out, std::string(kConnectedLine) +
                               "Hex image not specified.  Flash dump not performed.\n" + kClosingLines);
}

TEST_F(CommandLine, TheLastOfTwoImagesIsDownloaded)
{
    WriteFile("a.hex", MakeHex({{0, {1}}}));
    WriteFile("b.hex", MakeHex({{0, {2}}}));
    EXPECT_EQ(Run({"a.hex", "b.hex"}).code, 0);
    ASSERT_EQ(Calls("ADIU_DownloadHexFile").size(), 1u);
    EXPECT_NE(Calls("ADIU_DownloadHexFile")[0].find("path=b.hex "), std::string::npos);
    EXPECT_EQ(Flash()[0], 2);
}

} // namespace
