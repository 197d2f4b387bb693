// QueryDosDeviceW over a dosdevices directory.
#include <windows.h>

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "test_env.h"

namespace {

std::vector<std::u16string> SplitMultiString(const std::vector<WCHAR>& buf, DWORD n) {
    std::vector<std::u16string> names;
    DWORD p = 0;
    while (p < n && buf[p]) {
        std::u16string s(&buf[p]);
        p += static_cast<DWORD>(s.size()) + 1;
        names.push_back(s);
    }
    return names;
}

class DosDevicesTest : public ::testing::Test {
protected:
    void Link(const std::string& name, const std::string& target) {
        ASSERT_EQ(symlink(target.c_str(), (dirs_.dos() + "/" + name).c_str()), 0);
    }
    TempDeviceDirs dirs_;
};

TEST_F(DosDevicesTest, ListLongerThan1024CharactersNeedsALargerBuffer) {
    std::vector<std::u16string> expected;
    for (int i = 100; i < 250; ++i) {  // 150 names of 6 characters: 1051 with terminators
        std::string name = "COM" + std::to_string(i);
        Link(name, "/dev/null");
        expected.emplace_back(name.begin(), name.end());
    }
    const DWORD need = 150 * 7 + 1;

    std::vector<WCHAR> buf(4096, u'#');
    SetLastError(0);
    EXPECT_EQ(QueryDosDeviceW(nullptr, buf.data(), 1024), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(QueryDosDeviceW(nullptr, buf.data(), need - 1), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));

    // An exact fit is enough; the result counts every character written.
    ASSERT_EQ(QueryDosDeviceW(nullptr, buf.data(), need), need);
    EXPECT_EQ(buf[need - 1], 0);
    EXPECT_EQ(buf[need - 2], 0);
    EXPECT_EQ(buf[need], u'#');
    ASSERT_EQ(QueryDosDeviceW(nullptr, buf.data(), 2048), need);
    EXPECT_EQ(SplitMultiString(buf, need), expected);  // sorted by name
}

TEST_F(DosDevicesTest, ListHoldsEveryEntryButHiddenOnes) {
    Link("COM4", "/dev/null");
    Link("COM1", "/dev/null");
    Link("com2", "/dev/null");
    Link("CNCA0", "/dev/null");
    Link(".COM5.tmp", "/dev/null");
    std::vector<WCHAR> buf(256);
    DWORD n = QueryDosDeviceW(nullptr, buf.data(), 256);
    std::vector<std::u16string> expected = {u"CNCA0", u"COM1", u"COM4", u"com2"};
    EXPECT_EQ(SplitMultiString(buf, n), expected);
}

TEST_F(DosDevicesTest, EmptyAndMissingDirectories) {
    std::vector<WCHAR> buf(16, u'#');
    EXPECT_EQ(QueryDosDeviceW(nullptr, buf.data(), 16), 1u);
    EXPECT_EQ(buf[0], 0);

    setenv("VELT_DOSDEVICES", (dirs_.root() + "/absent").c_str(), 1);
    SetLastError(0);
    EXPECT_EQ(QueryDosDeviceW(nullptr, buf.data(), 16), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(DosDevicesTest, NamedQueryGivesTheLinkTarget) {
    Link("COM3", "/dev/pts/42");
    std::vector<WCHAR> buf(64, u'#');
    const std::u16string target = u"/dev/pts/42";
    ASSERT_EQ(QueryDosDeviceW(u"com3", buf.data(), 64), target.size() + 2);
    EXPECT_EQ(std::u16string(buf.data()), target);
    EXPECT_EQ(buf[target.size() + 1], 0);

    EXPECT_EQ(QueryDosDeviceW(u"COM3", buf.data(), static_cast<DWORD>(target.size() + 1)), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(QueryDosDeviceW(u"COM99", buf.data(), 64), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

}  // namespace
