// The run sequence against simulated adapters: every outcome's last lines and
// exit code, and the order and arguments of the calls that produced them.
#include "util_harness.h"

#include <algorithm>
#include <filesystem>

namespace {

using RunSequence = UtilityTest;

std::vector<std::string> FunctionsCalled(const std::vector<std::string>& log)
{
    std::vector<std::string> names;
    for (const std::string& line : log) names.push_back(line.substr(0, line.find(' ')));
    return names;
}

class Download : public UtilityTest {
protected:
    void SetUp() override
    {
        UtilityTest::SetUp();
        // Pages 0 and 1 touched, page 1 only partly.
        std::vector<uint8_t> bytes(1024 + 32);
        for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(i * 7);
        image = bytes;
        WriteFile("app.hex", MakeHex({{0, bytes}}));
    }
    std::vector<uint8_t> image;
};

TEST_F(RunSequence, NoAdapterAtAll)
{
    Scenario("adapters none\n");
    RunOutput r = Run({"a.hex"});
    EXPECT_EQ(r.code, 10);
    EXPECT_EQ(r.out, "Error: Linkpod not found!\nNo device found.\n");
    EXPECT_EQ(FunctionsCalled(CallLog()), std::vector<std::string>{"ADIU_GetNumDevices"});
}

TEST_F(RunSequence, SerialSelection)
{
    Scenario("adapter LKP100\nadapter LKP200\n");
    // Letter case does not matter; the second adapter is opened.
    RunOutput found = Run({"-s", "lkp200", "-i", "-e", "2"});
    EXPECT_EQ(found.code, 0);
    EXPECT_NE(found.out.find("Connected to Adapter SN: LKP200\n"), std::string::npos);
    EXPECT_EQ(Calls("ADIU_OpenByIndex").back(), "ADIU_OpenByIndex index=1 handle=0x1001 -> 0");

    // A prefix is not a match.
    RunOutput prefix = Run({"-s", "LKP2", "a.hex"});
    EXPECT_EQ(prefix.code, 128);
    EXPECT_EQ(prefix.out, "Error: Linkpod not found!\nADI_STATUS_HWIF_DEVICE_NOT_FOUND.\n");

    // When the last adapter's serial cannot be read, its status is the result.
    Scenario("adapter LKP100\nadapter LKP200\nstatus ADIU_GetSerial 0 0x84\n");
    RunOutput unreadable = Run({"-s", "LKP300", "a.hex"});
    EXPECT_EQ(unreadable.code, 0x84);
    EXPECT_EQ(unreadable.out, "Error: Linkpod not found!\nADI_STATUS_HWIF_TRANSFER_TIMEOUT.\n");

    // A matching adapter that does not open: its status, nothing printed, nothing closed.
    Scenario("adapter LKP100\nstatus ADIU_OpenByIndex 0x82\n");
    RunOutput noOpen = Run({"-s", "LKP100", "a.hex"});
    EXPECT_EQ(noOpen.code, 0x82);
    EXPECT_EQ(noOpen.out, "ADI_STATUS_HWIF_DEVICE_ERROR.\n");
    EXPECT_TRUE(Calls("ADIU_Close").size() == 1u) << "only the first run closes";

    // Without a serial, a first adapter that does not open is "not found".
    RunOutput first = Run({"a.hex"});
    EXPECT_EQ(first.code, 0x82);
    EXPECT_EQ(first.out, "Error: Linkpod not found!\nADI_STATUS_HWIF_DEVICE_ERROR.\n");
}

TEST_F(RunSequence, ConnectLabelsPortAndResetCodes)
{
    struct Case {
        std::vector<std::string> args;
        std::string attempt;
        std::string call;
    };
    const std::vector<Case> cases = {
        {{"-p", "0", "-r", "1"}, "Port: jtag  Reset: before", "ADIU_ConnectJtag handle=0x1000 reset=2 args=0,0,0,0"},
        {{"-p", "1", "-r", "2"}, "Port: sw  Reset: during", "ADIU_ConnectSwd handle=0x1000 reset=3 args=0,0,0"},
        {{"-p", "7", "-r", "0"}, "Port: swj  Reset: none", "ADIU_ConnectSwd handle=0x1000 reset=1 args=0,0,0"},
        {{"-r", "377"}, "Port: swj  Reset: none", "ADIU_ConnectSwd handle=0x1000 reset=0 args=0,0,0"},
    };
    for (const Case& c : cases) {
        std::filesystem::remove(Path("sim/calls.log"));
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-i", "-e", "2"});
        RunOutput r = Run(args);
        EXPECT_EQ(r.code, 0);
        const bool jtag = c.call.find("Jtag") != std::string::npos;
        EXPECT_EQ(r.out, "Attempting connection.  " + c.attempt + "\n" + kConnectedLine +
                             (jtag ? "Connected Jtag.\n" : "Connected SWD.\n") +
                             "Performing User Space Erase.\n"
                             "Hex image not specified.  Download not performed.\n"
                             "System reset successful.\n" +
                             kClosingLines);
        EXPECT_EQ(FunctionsCalled(CallLog()),
                  (std::vector<std::string>{"ADIU_GetNumDevices", "ADIU_OpenByIndex", "ADIU_GetOpenedSerial",
                                            jtag ? "ADIU_ConnectJtag" : "ADIU_ConnectSwd", "ADIU_UserSpaceErase",
                                            "ADIU_ResetSystem", "ADIU_Disconnect", "ADIU_Close"}));
        EXPECT_EQ(CallLog()[3], c.call + " -> 0");
    }
}

TEST_F(RunSequence, FailedConnectStillClosesAndReportsTheConnectStatus)
{
    Scenario("status ADIU_ConnectSwd 6\n");
    RunOutput r = Run({"a.hex"});
    EXPECT_EQ(r.code, 6);
    EXPECT_EQ(r.out, std::string(kConnectedLine) + "Disconnect successful.\nADI_STATUS_PROT_DP_NOT_CONNECTED.\n");
    EXPECT_TRUE(Calls("ADIU_DownloadHexFile").empty());
    EXPECT_EQ(Calls("ADIU_Close").size(), 1u);
}

TEST_F(RunSequence, FirmwareUpgradePaths)
{
    // Upgrade, adapter reports itself not connected, the reconnect succeeds.
    Scenario("status ADIU_ConnectSwd 78\n");
    RunOutput upgraded = Run({"-i", "-e", "2"});
    EXPECT_EQ(upgraded.code, 0);
    EXPECT_NE(upgraded.out.find("Firmware upgrade required.\nFirmware upgrade complete.\nConnected SWD.\n"),
              std::string::npos)
        << upgraded.out;
    EXPECT_EQ(Calls("ADIU_ConnectSwd").size(), 2u);
    EXPECT_EQ(Calls("ADIU_ConnectSwd")[0].substr(0, 40), Calls("ADIU_ConnectSwd")[1].substr(0, 40));

    // The adapter says it is connected after the upgrade: no reconnect.
    std::filesystem::remove(Path("sim/calls.log"));
    Scenario("status ADIU_ConnectJtag 78\nconnected 1\n");
    RunOutput noReconnect = Run({"-p", "0"});
    EXPECT_EQ(noReconnect.code, 0);
    EXPECT_EQ(FunctionsCalled(CallLog()),
              (std::vector<std::string>{"ADIU_GetNumDevices", "ADIU_OpenByIndex", "ADIU_GetOpenedSerial",
                                        "ADIU_ConnectJtag", "ADIU_UpgradeDebugFirmware", "ADIU_IsConnected",
                                        "ADIU_ResetSystem", "ADIU_Disconnect", "ADIU_Close"}));
    EXPECT_EQ(Calls("ADIU_ConnectJtag").size(), 1u);

    // A failed upgrade with the adapter "connected" reports the upgrade's status.
    Scenario("status ADIU_ConnectSwd 78\nstatus ADIU_UpgradeDebugFirmware 0x4C\nconnected 1\n");
    RunOutput failed = Run({"-i", "a.hex"});
    EXPECT_EQ(failed.code, 0x4C);
    EXPECT_EQ(failed.out.find("Firmware upgrade complete."), std::string::npos);
    EXPECT_NE(failed.out.find("Disconnect successful.\nADI_STATUS_API_FATAL_ERROR.\n"), std::string::npos);

    // The reconnect fails again: its status is the result.
    Scenario("status ADIU_ConnectSwd 78 78\n");
    RunOutput again = Run({"a.hex"});
    EXPECT_EQ(again.code, 78);
    EXPECT_NE(again.out.find("ADI_STATUS_API_FW_UPGRADE_REQUIRED.\n"), std::string::npos);
}

TEST_F(RunSequence, EraseOnlyRunErasesAllFlashAndAFailedEraseSkipsTheDownload)
{
    std::vector<uint8_t> flash(256 * 1024, 0x00);
    SetFlash(flash);
    RunOutput r = Run({"-e", "2"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing User Space Erase.\n"
                         "Hex image not specified.  Download not performed.\n" + kClosingLines);
    EXPECT_EQ(Flash(), std::vector<uint8_t>(256 * 1024, 0xFF));

    Scenario("status ADIU_UserSpaceErase 0x4F\n");
    WriteFile("a.hex", MakeHex({{0, {1}}}));
    RunOutput failed = Run({"-e", "2", "a.hex"});
    EXPECT_EQ(failed.code, 0x4F);
    EXPECT_EQ(failed.out, std::string(kConnectedLine) + "Performing User Space Erase.\n"
                              "Disconnect successful.\nADI_STATUS_API_NOT_CONNECTED_TO_TARGET.\n");
    EXPECT_TRUE(Calls("ADIU_DownloadHexFile").empty());
}

TEST_F(Download, RunningTargetIsHaltedFirst)
{
    Scenario("adapter LKP00012345 running\n");
    EXPECT_EQ(Run({"app.hex"}).code, 0);
    EXPECT_EQ(FunctionsCalled(CallLog()),
              (std::vector<std::string>{"ADIU_GetNumDevices", "ADIU_OpenByIndex", "ADIU_GetOpenedSerial",
                                        "ADIU_ConnectSwd", "ADIU_IsTargetRunning", "ADIU_HaltTarget",
                                        "ADIU_DownloadHexFile", "ADIU_ResetSystem", "ADIU_Disconnect",
                                        "ADIU_Close"}));

    Scenario("adapter LKP00012345 running\nstatus ADIU_HaltTarget 0x50\n");
    RunOutput r = Run({"app.hex"});
    EXPECT_EQ(r.code, 0x50);
    EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing Download.\nDisconnect successful.\n"
                         "ADI_STATUS_API_TARGET_MUST_BE_HALTED.\n");
    EXPECT_EQ(Calls("ADIU_DownloadHexFile").size(), 1u);
}

TEST_F(Download, WithAndWithoutVerifyAndTheirArguments)
{
    RunOutput plain = Run({"app.hex"});
    EXPECT_EQ(plain.code, 0);
    EXPECT_EQ(plain.out, std::string(kConnectedLine) + "Performing Download.\nDownload complete.\n" + kClosingLines);
    RunOutput verified = Run({"-v", "-e", "0", "app.hex"});
    EXPECT_EQ(verified.code, 0);
    EXPECT_EQ(verified.out, std::string(kConnectedLine) + "Performing Download and Verify.\n"
                                "Download complete and verified.\n" + kClosingLines);
    RunOutput afterErase = Run({"-v", "-e", "2", "app.hex"});
    EXPECT_EQ(afterErase.code, 0);

    std::vector<std::string> d = Calls("ADIU_DownloadHexFile");
    ASSERT_EQ(d.size(), 3u);
    const std::string fixed = "ADIU_DownloadHexFile handle=0x1000 path=app.hex address=0x4002E000 ";
    EXPECT_EQ(d[0], fixed + "erase=1 merge=0 pagesize=1024 verify=0 callback=set context=0 -> 0");
    EXPECT_EQ(d[1], fixed + "erase=0 merge=1 pagesize=1024 verify=1 callback=set context=0 -> 0");
    EXPECT_EQ(d[2], fixed + "erase=0 merge=0 pagesize=1024 verify=1 callback=set context=0 -> 0");
    std::vector<uint8_t> flash = Flash();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));
}

TEST_F(Download, EraseModesDecideWhatHappensToTheRestOfAPage)
{
    std::vector<uint8_t> flash(256 * 1024, 0xFF);
    std::fill(flash.begin() + 1024, flash.begin() + 2048, 0x5A);   // page 1 has old data
    SetFlash(flash);

    EXPECT_EQ(Run({"-e", "0", "app.hex"}).code, 0);   // merge keeps the old tail of page 1
    EXPECT_EQ(Flash()[1024 + 32], 0x5A);
    EXPECT_EQ(Flash()[1024 + 31], image[1024 + 31]);

    EXPECT_EQ(Run({"app.hex"}).code, 0);   // sector erase clears it
    EXPECT_EQ(Flash()[1024 + 32], 0xFF);

    // Programming without erase over other data only clears bits: verify fails.
    std::fill(flash.begin(), flash.begin() + 1024, 0x00);
    SetFlash(flash);
    RunOutput r = Run({"-e", "3", "-v", "app.hex"});
    EXPECT_EQ(r.code, 81);
    EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing Download and Verify.\nDisconnect successful.\n"
                         "ADI_STATUS_API_FLASH_VERIFY_FAILED.\n");
}

TEST_F(Download, InfoPrintsOneLinePerPageWithItsStatus)
{
    RunOutput r = Run({"-i", "-v", "app.hex"});
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("Performing Download and Verify.\n"
                         "50%\t Page Address: 0x00000000 Status: Written/Verified\n"
                         "100%\t Page Address: 0x00000400 Status: Written/Verified\n"
                         "Download complete and verified.\n"),
              std::string::npos)
        << r.out;

    // A page that already holds the image is not written: no line for it.
    WriteFile("app.hex", MakeHex({{0, std::vector<uint8_t>(image.begin(), image.begin() + 1024)}, {0x3000, {9}}}));
    RunOutput again = Run({"-i", "-e", "0", "app.hex"});
    EXPECT_NE(again.out.find("Performing Download.\n100%\t Page Address: 0x00003000 Status: Written\n"
                             "Download complete.\n"),
              std::string::npos)
        << again.out;
}

TEST_F(Download, VerifyFailureAtOnePage)
{
    Scenario("adapter LKP00012345 verify-fault=0x400\n");
    RunOutput r = Run({"-i", "-v", "app.hex"});
    EXPECT_EQ(r.code, 81);
    EXPECT_NE(r.out.find("50%\t Page Address: 0x00000000 Status: Written/Verified\n"
                         "100%\t Page Address: 0x00000400 Status: Verify Failed\n"
                         "System reset successful.\nDisconnect successful.\n"
                         "ADI_STATUS_API_FLASH_VERIFY_FAILED.\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Download complete"), std::string::npos);
}

TEST_F(Download, ImageTheLibraryRejectsIsReportedByItsStatus)
{
    WriteFile("bad.hex", ":0300100001020300\r\n:00000001FF\r\n");   // wrong checksum
    RunOutput r = Run({"bad.hex"});
    EXPECT_EQ(r.code, 0x48);
    EXPECT_NE(r.out.find("ADI_STATUS_API_INVALID_HEX_CHECKSUM.\n"), std::string::npos);
}

TEST_F(Download, ClosingFailuresStopTheLaterStepsAndWinOverEarlierResults)
{
    Scenario("status ADIU_ResetSystem 0x83\n");
    RunOutput reset = Run({"-i", "app.hex"});
    EXPECT_EQ(reset.code, 0x83);
    EXPECT_NE(reset.out.find("Download complete.\nADI_STATUS_HWIF_TRANSFER_ERROR.\n"), std::string::npos)
        << reset.out;
    EXPECT_TRUE(Calls("ADIU_Disconnect").empty());
    EXPECT_TRUE(Calls("ADIU_Close").empty());

    Scenario("status ADIU_Disconnect 9\n");
    RunOutput disconnect = Run({"app.hex"});
    EXPECT_EQ(disconnect.code, 9);
    EXPECT_NE(disconnect.out.find("Download complete.\nCannot disconnect device.\n"), std::string::npos);
    EXPECT_TRUE(Calls("ADIU_Close").empty());

    // A failed close replaces the verify failure as the result.
    Scenario("adapter LKP00012345 verify-fault=0\nstatus ADIU_Close 0x81\n");
    RunOutput close = Run({"-v", "app.hex"});
    EXPECT_EQ(close.code, 0x81);
    EXPECT_EQ(close.out, std::string(kConnectedLine) + "Performing Download and Verify.\n"
                             "ADI_STATUS_HWIF_DEVICE_NOT_OPENED.\n");
}

} // namespace
