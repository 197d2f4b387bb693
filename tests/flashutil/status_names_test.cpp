#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "adapter/StatusNames.h"

namespace {

const std::vector<std::pair<int, std::string>> kNamed = {
    {0, "ADI_STATUS_SUCCESS"},
    {1, "ADI_STATUS_PROT_INVALID_COMMAND"},
    {2, "ADI_STATUS_PROT_COMMAND_FAILED"},
    {3, "ADI_STATUS_PROT_AP_TIMEOUT"},
    {4, "ADI_STATUS_PROT_WIRE_ERROR"},
    {5, "ADI_STATUS_PROT_ACK_FAULT"},
    {6, "ADI_STATUS_PROT_DP_NOT_CONNECTED"},
    {64, "ADI_STATUS_API_INVALID_PARAMETER"},
    {65, "ADI_STATUS_API_INVALID_BUFFER_SIZE"},
    {66, "ADI_STATUS_API_NOT_SUPPORTED"},
    {67, "ADI_STATUS_API_NOT_IN_BOOTLOAD_MODE"},
    {68, "ADI_STATUS_API_NOT_IN_DEBUG_MODE"},
    {70, "ADI_STATUS_API_FAILED_TO_ENTER_MODE"},
    {71, "ADI_STATUS_API_INVALID_TRANSFER"},
    {72, "ADI_STATUS_API_INVALID_HEX_CHECKSUM"},
    {73, "ADI_STATUS_API_INVALID_HEX_RECORD"},
    {74, "ADI_STATUS_API_INVALID_HEX_FILE"},
    {75, "ADI_STATUS_API_INVALID_DEVICE_OBJECT"},
    {76, "ADI_STATUS_API_FATAL_ERROR"},
    {77, "ADI_STATUS_API_ABORTED"},
    {78, "ADI_STATUS_API_FW_UPGRADE_REQUIRED"},
    {79, "ADI_STATUS_API_NOT_CONNECTED_TO_TARGET"},
    {80, "ADI_STATUS_API_TARGET_MUST_BE_HALTED"},
    {81, "ADI_STATUS_API_FLASH_VERIFY_FAILED"},
    {128, "ADI_STATUS_HWIF_DEVICE_NOT_FOUND"},
    {129, "ADI_STATUS_HWIF_DEVICE_NOT_OPENED"},
    {130, "ADI_STATUS_HWIF_DEVICE_ERROR"},
    {131, "ADI_STATUS_HWIF_TRANSFER_ERROR"},
    {132, "ADI_STATUS_HWIF_TRANSFER_TIMEOUT"},
    {192, "ADI_STATUS_SYS_INVALID_RESPONSE"},
    {193, "ADI_STATUS_SYS_FLASH_WRITE_CRC_ERROR"},
    {194, "ADI_STATUS_SYS_RE_ENUMERATE_DEVICE"},
};

std::string Printed(int code) {
    testing::internal::CaptureStdout();
    PrintResult(code);
    return testing::internal::GetCapturedStdout();
}

TEST(StatusName, EveryCodeHasItsNameOrItsNumber) {
    for (int code = 0; code < 256; ++code) {
        std::string expected = "Error Code (" + std::to_string(code) + ")";
        for (const auto& [named, name] : kNamed) {
            if (named == code) expected = name;
        }
        EXPECT_EQ(StatusName(static_cast<uint8_t>(code)), expected) << "code " << code;
    }
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
    for (const auto& [code, name] : kNamed) {
        if (code == 0) continue;
        EXPECT_EQ(Printed(code), name + ".\n") << "code " << code;
    }
    EXPECT_EQ(Printed(128), "ADI_STATUS_HWIF_DEVICE_NOT_FOUND.\n");
    EXPECT_EQ(Printed(12), "Error Code (12).\n");
    EXPECT_EQ(Printed(200), "Error Code (200).\n");
    EXPECT_EQ(Printed(255), "Error Code (255).\n");
}

TEST(PrintResult, CodesOutsideAByteAreShownAsNumbers) {
    EXPECT_EQ(ResultLine(256), "Error Code (256).\n");
    EXPECT_EQ(ResultLine(-1), "Error Code (-1).\n");
}

} // namespace
