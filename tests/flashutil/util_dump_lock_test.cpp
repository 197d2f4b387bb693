// Flash dumps and locked downloads: the files written, read and deleted.
#include "util_harness.h"

#include <sys/mount.h>

#include <algorithm>
#include <filesystem>

#include "hex/CHexImage.h"
#include "hex/HexWriter.h"

namespace {

using Names = std::vector<std::string>;

// A directory that holds at most 64 KiB: a tmpfs of that size where the test
// may mount one (as root), so that the utility's writes fail for lack of
// space; elsewhere the caller limits the size of the files the utility may
// write instead, which fails the same writes.
struct SmallDirectory {
    explicit SmallDirectory(const std::string& where) : path(where)
    {
        std::filesystem::create_directory(path);
        mounted = mount("tmpfs", path.c_str(), "tmpfs", 0, "size=64k") == 0;
    }
    ~SmallDirectory()
    {
        if (mounted) umount2(path.c_str(), MNT_DETACH);
    }
    static constexpr uint64_t kBytes = 64 * 1024;
    std::string path;
    bool mounted = false;
};

class DumpLock : public UtilityTest {
protected:
    void SetUp() override
    {
        UtilityTest::SetUp();
        flash.assign(256 * 1024, 0xFF);
        for (size_t i = 0; i < flash.size(); ++i) flash[i] = uint8_t(i ^ (i >> 8));
        SetFlash(flash);
    }

    // The dump file expected for length bytes of flash from address: those
    // bytes at addresses from zero, written as the utility writes every image.
    std::string ExpectedDump(uint32_t address, uint32_t length) const
    {
        CHexImage image;
        for (uint32_t from = 0; from < length; from += 1024) {
            const auto begin = flash.begin() + address + from;
            const std::vector<uint8_t> page(begin, begin + std::min(1024u, length - from));
            image.PutPage(static_cast<int32_t>(from / 1024), page);
        }
        return ToHexText(image);
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
    EXPECT_EQ(Entries("."), (Names{"out.hex", "sim"})) << "each dump replaced the one before, nothing else is left";
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

TEST_F(DumpLock, DumpThatDoesNotFitLeavesThePreviousFileAsItWas)
{
    SmallDirectory small(Path("small"));
    if (!small.mounted) fileSizeLimit_ = SmallDirectory::kBytes;
    WriteFile("small/dump.hex", "previous dump\n");

    // 64 KiB of flash is about 180 KiB of text: the target is read, the write fails.
    RunOutput full = Run({"-d", "0x0", "0x10000", "small/dump.hex"});
    EXPECT_EQ(full.code, 7) << (small.mounted ? "tmpfs" : "file size limit");
    EXPECT_EQ(full.out, std::string(kConnectedLine) + "Performing Flash Dump.\nDisconnect successful.\n"
                            "Invalid input path.\n");
    EXPECT_EQ(Calls("ADIU_ReadBlock").size(), 1u);
    EXPECT_EQ(ReadFile("small/dump.hex"), "previous dump\n");
    EXPECT_EQ(Entries("small"), Names{"dump.hex"}) << "no temporary file is left";

    // The same directory takes a dump that fits, which replaces the old file.
    RunOutput fits = Run({"-d", "0x100", "100", "small/dump.hex"});
    EXPECT_EQ(fits.code, 0);
    EXPECT_EQ(ReadFile("small/dump.hex"), ExpectedDump(0x100, 100));
    EXPECT_EQ(Entries("small"), Names{"dump.hex"});
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
    EXPECT_NE(copy.find(":10010000010203FFFFFFFFFFFFFFFFFFFFFFFFFFF6\r\n"), std::string::npos);
    EXPECT_NE(copy.find(":020000040003F7\r\n"), std::string::npos);
    EXPECT_NE(copy.find(":10FFF000111111111111111111111111AB11111157\r\n"), std::string::npos);
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
}

TEST_F(DumpLock, LockStopsWhenTheCopysNameIsTakenAndLeavesThatFileAlone)
{
    WriteFile("fw.hex", MakeHex({{0, {1}}}));
    WriteFile("fw.hex.temp.hex", "the user's own file\n");
    RunOutput r = Run({"-f", "fw.hex"});
    EXPECT_EQ(r.code, 7);
    EXPECT_EQ(r.out, std::string(kConnectedLine) + "Performing Download.\n"
                         "Temporary file fw.hex.temp.hex already exists.\n"
                         "Disconnect successful.\nInvalid input path.\n");
    EXPECT_EQ(ReadFile("fw.hex.temp.hex"), "the user's own file\n");

    // A directory of that name, and the name as the command line gave it.
    std::filesystem::create_directory(Path("sub"));
    WriteFile("sub/fw.hex", MakeHex({{0, {1}}}));
    std::filesystem::create_directory(Path("sub/fw.hex.temp.hex"));
    RunOutput dir = Run({"-f", "-v", "sub/fw.hex"});
    EXPECT_EQ(dir.code, 7);
    EXPECT_NE(dir.out.find("\nTemporary file sub/fw.hex.temp.hex already exists.\nDisconnect"), std::string::npos)
        << dir.out;
    EXPECT_TRUE(std::filesystem::is_directory(Path("sub/fw.hex.temp.hex")));

    EXPECT_TRUE(Calls("ADIU_DownloadHexFile").empty());
    EXPECT_EQ(Flash(), flash);
    EXPECT_EQ(Entries("."), (Names{"fw.hex", "fw.hex.temp.hex", "sim", "sub"}));
}

} // namespace
