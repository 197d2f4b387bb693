// Reading a block of target flash into an Intel HEX file.
#ifndef FLASHUTIL_FLASH_DUMP_H
#define FLASHUTIL_FLASH_DUMP_H

#include <cstdint>
#include <string>

#include "adilib/VELT_ADI_Util.h"

// The largest dump held in memory at once. Flash parts of this family are far
// smaller; the cap keeps a mistyped length from exhausting the address space
// of a 32-bit process (the HEX text takes about three times the bytes).
constexpr uint32_t kMaxDumpBytes = 16u * 1024 * 1024;

// Result codes of the dump besides the adapter library's statuses.
constexpr uint8_t kDumpBadPath = 7;          // the output file cannot be created or written
constexpr uint8_t kDumpTooLarge = 0x41;      // ADI_STATUS_API_INVALID_BUFFER_SIZE

// Reads length bytes from address and writes them as Intel HEX to path, at
// file addresses counted from 0 (the start address is not in the file). An
// existing file at path is replaced only by a complete dump: a failed read or
// write leaves it as it was, and no partial file remains. Returns 0, the
// ADIU_ReadBlock status, kDumpBadPath or kDumpTooLarge.
uint8_t DumpFlashToHexFile(ADIU_HANDLE handle, const std::string& path, uint32_t address, uint32_t length,
                           ADIU_READ_CALLBACK progress);

#endif
