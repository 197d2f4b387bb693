#include "adapter/StatusNames.h"

#include <cstdio>

namespace {

struct NamedCode {
    uint8_t code;
    const char* text;
};

// 69 (0x45) is deliberately absent: it is not success, and a line that named
// it as success would hide a failed step from the user.
constexpr NamedCode kStatusNames[] = {
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

// Results the utility produces itself, or that have a friendlier text than
// the bare status name.
constexpr struct {
    int code;
    const char* line;
} kResultLines[] = {
    {0, "Success.  No errors reported.\n"},
    {7, "Invalid input path.\n"},
    {8, "Invalid arguments.\n"},
    {9, "Cannot disconnect device.\n"},
    {10, "No device found.\n"},
    {11, "Error downloading hex file.\n"},
};

std::string UnknownCode(int code) {
    return "Error Code (" + std::to_string(code) + ")";
}

} // namespace

std::string StatusName(uint8_t status) {
    for (const NamedCode& entry : kStatusNames) {
        if (entry.code == status) return entry.text;
    }
    return UnknownCode(status);
}

std::string ResultLine(int code) {
    for (const auto& entry : kResultLines) {
        if (entry.code == code) return entry.line;
    }
    // Result codes are exit codes (0 to 255); anything outside that range
    // cannot be a status byte, so it is shown as the number it is.
    if (code < 0 || code > 255) return UnknownCode(code) + ".\n";
    return StatusName(static_cast<uint8_t>(code)) + ".\n";
}

void PrintResult(int code) {
    const std::string line = ResultLine(code);
    std::fputs(line.c_str(), stdout);
}
