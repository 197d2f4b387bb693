#include <gtest/gtest.h>

#include <set>
#include <string>

#include "adapter/StatusNames.h"

namespace {

// The statuses the adapter library names: success, then four families told
// apart by the top two bits of the byte. 69 is a gap in the API family.
bool IsNamedStatus(int code) {
    return code <= 6 || (code >= 64 && code <= 81 && code != 69) || (code >= 128 && code <= 132) ||
           (code >= 192 && code <= 194);
}

const char* const kFamilyPrefix[] = {"ADI_STATUS_PROT_", "ADI_STATUS_API_", "ADI_STATUS_HWIF_", "ADI_STATUS_SYS_"};

bool IsConstantName(const std::string& name) {
    return !name.empty() && name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_") == std::string::npos;
}

std::string Unknown(int code) { return "Error Code (" + std::to_string(code) + ")"; }

std::string Printed(int code) {
    testing::internal::CaptureStdout();
    PrintResult(code);
    return testing::internal::GetCapturedStdout();
}

TEST(StatusName, NamedCodesHaveUniqueNamesOfTheirFamilyAndTheRestTheirNumber) {
    std::set<std::string> names;
    for (int code = 0; code < 256; ++code) {
        const std::string name = StatusName(static_cast<uint8_t>(code));
        if (!IsNamedStatus(code)) {
            EXPECT_EQ(name, Unknown(code));
            continue;
        }
        EXPECT_TRUE(IsConstantName(name)) << code << " " << name;
        if (code == 0)
            EXPECT_EQ(name, "ADI_STATUS_SUCCESS");
        else
            EXPECT_EQ(name.rfind(kFamilyPrefix[code >> 6], 0), 0u) << code << " " << name;
        EXPECT_TRUE(names.insert(name).second) << "name given twice: " << name;
    }
    EXPECT_EQ(names.size(), 32u);
}

TEST(StatusName, TheNamesTheUtilityActsOnAreTheirs) {
    EXPECT_EQ(StatusName(78), "ADI_STATUS_API_FW_UPGRADE_REQUIRED");
    EXPECT_EQ(StatusName(81), "ADI_STATUS_API_FLASH_VERIFY_FAILED");
    EXPECT_EQ(StatusName(128), "ADI_STATUS_HWIF_DEVICE_NOT_FOUND");
}

TEST(StatusName, SixtyNineIsNotSuccess) {
    EXPECT_EQ(StatusName(69), "Error Code (69)");
    EXPECT_EQ(Printed(69), "Error Code (69).\n");
}

TEST(PrintResult, OwnResultsHaveTheirOwnLines) {
    EXPECT_EQ(Printed(0), "Success.  No errors reported.\n");
    EXPECT_EQ(Printed(7), "Invalid input path.\n");
    EXPECT_EQ(Printed(8), "Invalid arguments.\n");
    EXPECT_EQ(Printed(9), "Cannot disconnect device.\n");
    EXPECT_EQ(Printed(10), "No device found.\n");
    EXPECT_EQ(Printed(11), "Error downloading hex file.\n");
}

TEST(PrintResult, OtherResultsPrintTheStatusNameWithAFullStop) {
    for (int code = 1; code < 256; ++code) {
        if (code >= 7 && code <= 11) continue;
        EXPECT_EQ(Printed(code), StatusName(static_cast<uint8_t>(code)) + ".\n") << "code " << code;
    }
    EXPECT_EQ(Printed(5), "ADI_STATUS_PROT_ACK_FAULT.\n");
    EXPECT_EQ(Printed(12), "Error Code (12).\n");
    EXPECT_EQ(Printed(255), "Error Code (255).\n");
}

TEST(PrintResult, CodesOutsideAByteAreShownAsNumbers) {
    EXPECT_EQ(ResultLine(256), "Error Code (256).\n");
    EXPECT_EQ(ResultLine(-1), "Error Code (-1).\n");
}

} // namespace
