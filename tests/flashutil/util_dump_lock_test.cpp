// Flash dumps and locked downloads: the files written, read and deleted.
#include "util_harness.h"

#include <algorithm>
#include <filesystem>

namespace {

class DumpLock : public UtilityTest {
protected:
    void SetUp() override
    {
        UtilityTest::SetUp();
        flash.assign(256 * 1024, 0xFF);
        for (size_t i = 0; i < flash.size(); ++i) flash[i] = uint8_t(i ^ (i >> 8));
        SetFlash(flash);
    }

    // The dump file expected for length bytes of flash from address.
    std::string ExpectedDump(uint32_t address, uint32_t length) const
    {
        std::string text;
        for (uint32_t page = 0; page * 1024 < length; ++page) {
            text += HexLine(4, 0, {0, 0});
            for (uint32_t m = 0; m < 1024 && page * 1024 + m < length; m += 16) {
                uint32_t from = page * 1024 + m;
                uint32_t n = std::min<uint32_t>(16, length - from);
                text += HexLine(0, uint16_t(from),
                                std::vector<uint8_t>(flash.begin() + address + from, flash.begin() + address + from + n));
            }
        }
        return text + ":00000001FF\r\n";
    }

    std::vector<uint8_t> flash;
};

TEST_F(DumpLock, DumpFileHoldsTheBlockAtAddressesFromZero)
{
    for (uint32_t length : {5u, 1030u, 2048u}) {
        RunOutput r = Run({"-d", "0x10000", std::to_string(length), "out.hex"});
        EXPECT_EQ(r.code, 0);
        EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing Flash Dump.\n" + kClosingLines);
        EXPECT_EQ(ReadFile("out.hex"), ExpectedDump(0x10000, length)) << length;
    }
    const std::string last = ReadFile("out.hex");
    EXPECT_EQ(last.substr(0, 17), ":020000040000FA\r\n") << "the start address is not in the file";
    EXPECT_EQ(std::count(last.begin(), last.end(), '\n'), 131);

    RunOutput progress = Run({"-i", "-d", "0x0", "0x2800", "out.hex"});
    EXPECT_NE(progress.out.find("Performing Flash Dump.\n10% complete.\n20% complete.\n"), std::string::npos);
    EXPECT_NE(progress.out.find("100% complete.\nSystem reset successful.\n"), std::string::npos);
}

TEST_F(DumpLock, DumpThatCannotWriteOrReadLeavesFilesAsTheyWere)
{
    // No such directory: result 7, and the target is not read.
    RunOutput noDir = Run({"-d", "0x0", "16", "missing/out.hex"});
    EXPECT_EQ(noDir.code, 7);
    EXPECT_EQ(noDir.out, std::string(kConnectedLine) + "Performing Flash Dump.\nDisconnect successful.\n"
                             "Invalid input path.\n");
    EXPECT_TRUE(Calls("ADIU_ReadBlock").empty());

    // A failed read keeps an existing file intact and creates no new one.
    WriteFile("old.hex", "previous dump\n");
    Scenario("status ADIU_ReadBlock 0x84 0x84\n");
    RunOutput failed = Run({"-d", "0x0", "16", "old.hex"});
    EXPECT_EQ(failed.code, 0x84);
    EXPECT_EQ(ReadFile("old.hex"), "previous dump\n");
    EXPECT_EQ(Run({"-d", "0x0", "16", "new.hex"}).code, 0x84);
    EXPECT_FALSE(Exists("new.hex"));

    // A range the target does not have is refused by the library.
    Scenario("");
    EXPECT_EQ(Run({"-d", "0x3FFF0", "32", "old.hex"}).code, 0x40);
    EXPECT_EQ(ReadFile("old.hex"), "previous dump\n");
}

TEST_F(DumpLock, DumpTooLargeToBufferIsAClearErrorWithoutReading)
{
    RunOutput r = Run({"-d", "0x0", "0xFFFFFFFF", "out.hex"});
    EXPECT_EQ(r.code, 0x41);
    EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing Flash Dump.\nDisconnect successful.\n"
                         "ADI_STATUS_API_INVALID_BUFFER_SIZE.\n");
    EXPECT_TRUE(Calls("ADIU_ReadBlock").empty());
    EXPECT_FALSE(Exists("out.hex"));
}

TEST_F(DumpLock, LockedDownloadProgramsATemporaryCopyAndDeletesIt)
{
    const std::string user = MakeHex({{0x100, {1, 2, 3}}, {0x3FFF0, std::vector<uint8_t>(16, 0x11)}});
    WriteFile("fw.hex", user);
    RunOutput r = Run({"-f", "fw.hex"});
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing Download.\nDownload complete.\n" + kClosingLines);
    ASSERT_EQ(Calls("ADIU_DownloadHexFile").size(), 1u);
    EXPECT_NE(Calls("ADIU_DownloadHexFile")[0].find("path=fw.hex.temp.hex "), std::string::npos);
    EXPECT_FALSE(Exists("fw.hex.temp.hex"));
    EXPECT_EQ(ReadFile("fw.hex"), user);

    // The copy: page 0 in full, page 255 with only 0x3FFFC changed.
    const std::string copy = ReadFile("sim/last-download.hex");
    std::vector<uint8_t> page0(1024, 0xFF);
    page0[0x100] = 1, page0[0x101] = 2, page0[0x102] = 3;
    EXPECT_EQ(copy.substr(0, 17), ":020000040000FA\r\n");
    EXPECT_NE(copy.find(HexLine(0, 0x100, {1, 2, 3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                           0xFF, 0xFF, 0xFF})),
              std::string::npos);
    EXPECT_NE(copy.find(":020000040003F7\r\n"), std::string::npos);
    EXPECT_NE(copy.find(HexLine(0, 0xFFF0, {0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11,
                                            0xAB, 0x11, 0x11, 0x11})),
              std::string::npos);
    EXPECT_EQ(std::count(copy.begin(), copy.end(), '\n'), 2 + 64 + 64 + 1);
    EXPECT_EQ(Flash()[0x3FFFC], 0xAB);
    EXPECT_EQ(Flash()[0x3FFFD], 0x11);
}

TEST_F(DumpLock, LockedCopyIsDeletedWhenTheDownloadFails)
{
    WriteFile("fw.hex", MakeHex({{0, {1}}}));
    Scenario("status ADIU_DownloadHexFile 0x4D\n");
    RunOutput r = Run({"-f", "fw.hex"});
    EXPECT_EQ(r.code, 0x4D);
    EXPECT_EQ(Calls("ADIU_DownloadHexFile").size(), 1u);
    EXPECT_FALSE(Exists("fw.hex.temp.hex"));
    EXPECT_TRUE(Exists("fw.hex"));
}

TEST_F(DumpLock, LockThatCannotBePreparedStopsBeforeTheDownload)
{
    struct Case {
        std::string file;
        std::string contents;   // empty: no file at all
        int code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"gone.hex", "", 7, "Invalid input path.\n"},
        {"srec.hex", "S00600004844521B\n", 11, "Error downloading hex file.\n"},
        {"empty.hex", "\x01", 11, "Error downloading hex file.\n"},
    };
    for (const Case& c : cases) {
        if (!c.contents.empty()) WriteFile(c.file, c.contents == "\x01" ? "" : c.contents);
        RunOutput r = Run({"-f", "-v", c.file});
        EXPECT_EQ(r.code, c.code) << c.file;
        EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing Download and Verify.\nDisconnect successful.\n" +
                             c.line)
            << c.file;
        EXPECT_FALSE(Exists(c.file + ".temp.hex"));
    }
    // The copy cannot be created (a directory is in its way).
    WriteFile("fw.hex", MakeHex({{0, {1}}}));
    std::filesystem::create_directory(Path("fw.hex.temp.hex"));
    EXPECT_EQ(Run({"-f", "fw.hex"}).code, 7);
    EXPECT_TRUE(std::filesystem::is_directory(Path("fw.hex.temp.hex")));
    EXPECT_TRUE(Calls("ADIU_DownloadHexFile").empty());
    EXPECT_EQ(Flash(), flash);
}

} // namespace
