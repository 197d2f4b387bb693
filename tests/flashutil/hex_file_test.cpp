// Writing HEX files: a file is complete or not there, and a file the writer
// was not asked to replace is never touched.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hex/CHexImage.h"
#include "hex/HexFile.h"
#include "hex/HexWriter.h"

namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

class HexFile : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/hexfile-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        for (int32_t page = 0; page < 64; ++page) image_.PutPage(page, std::vector<uint8_t>(1024, uint8_t(page)));
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void Write(const std::string& name, const std::string& text) const { std::ofstream(Path(name)) << text; }
    std::string Read(const std::string& name) const
    {
        std::ifstream in(Path(name), std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    Names Entries() const
    {
        Names names;
        for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    std::string dir_;
    CHexImage image_;   // 64 KiB of data, about 180 KiB of text
};

TEST_F(HexFile, ReplaceChangesTheFileOnlyAtTheCommitAndKeepsItsPermissions)
{
    Write("out.hex", "old\n");
    ASSERT_EQ(chmod(Path("out.hex").c_str(), 0640), 0);
    CHexFileWriter writer;
    ASSERT_EQ(writer.Open(Path("out.hex"), HexFileMode::kReplace), HexFileResult::kOk);
    EXPECT_EQ(Read("out.hex"), "old\n");
    EXPECT_EQ(Entries().size(), 2u) << "the text goes into a file beside it";

    ASSERT_EQ(writer.Commit(image_), HexFileResult::kOk);
    EXPECT_EQ(Read("out.hex"), ToHexText(image_));
    EXPECT_EQ(Entries(), Names{"out.hex"});
    struct stat st {};
    ASSERT_EQ(stat(Path("out.hex").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
}

TEST_F(HexFile, AWriteThatFailsOrIsAbandonedLeavesNothingBehind)
{
    Write("out.hex", "old\n");
    { // abandoned, e.g. by an exception between Open and Commit
        CHexFileWriter replace, create;
        ASSERT_EQ(replace.Open(Path("out.hex"), HexFileMode::kReplace), HexFileResult::kOk);
        ASSERT_EQ(create.Open(Path("new.hex"), HexFileMode::kCreateNew), HexFileResult::kOk);
    }
    EXPECT_EQ(Entries(), Names{"out.hex"});

    // Writes past 16 KiB fail as on a full disk; the soft limit alone is lowered, so it can be restored.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    rlimit small = saved;
    small.rlim_cur = 16 * 1024;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const HexFileResult replaced = WriteHexFileSafely(image_, Path("out.hex"), HexFileMode::kReplace);
    const HexFileResult created = WriteHexFileSafely(image_, Path("new.hex"), HexFileMode::kCreateNew);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    EXPECT_EQ(replaced, HexFileResult::kFailed);
    EXPECT_EQ(created, HexFileResult::kFailed);
    EXPECT_EQ(Read("out.hex"), "old\n");
    EXPECT_EQ(Entries(), Names{"out.hex"});
}

TEST_F(HexFile, CreateNewNeverTouchesATakenName)
{
    Write("file.hex", "the user's\n");
    fs::create_directory(Path("dir.hex"));
    fs::create_symlink(Path("elsewhere.hex"), Path("link.hex"));   // dangling: creating through it would be a write
    for (const char* name : {"file.hex", "dir.hex", "link.hex"})
        EXPECT_EQ(WriteHexFileSafely(image_, Path(name), HexFileMode::kCreateNew), HexFileResult::kNameTaken) << name;
    EXPECT_EQ(Read("file.hex"), "the user's\n");
    EXPECT_TRUE(fs::is_directory(Path("dir.hex")));
    EXPECT_EQ(Entries(), (Names{"dir.hex", "file.hex", "link.hex"}));

    EXPECT_EQ(WriteHexFileSafely(image_, Path("free.hex"), HexFileMode::kCreateNew), HexFileResult::kOk);
    EXPECT_EQ(Read("free.hex"), ToHexText(image_));
}

TEST_F(HexFile, ReplaceFailsUpFrontWhenTheFileCanNeverBeThere)
{
    fs::create_directory(Path("dir.hex"));
    CHexFileWriter writer;
    EXPECT_EQ(writer.Open(Path("dir.hex"), HexFileMode::kReplace), HexFileResult::kFailed);
    EXPECT_EQ(writer.Commit(image_), HexFileResult::kFailed);
    EXPECT_EQ(WriteHexFileSafely(image_, Path("missing/out.hex"), HexFileMode::kReplace), HexFileResult::kFailed);
    EXPECT_EQ(Entries(), Names{"dir.hex"});
    EXPECT_TRUE(fs::is_empty(Path("dir.hex")));
}

} // namespace
