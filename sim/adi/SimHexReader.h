// The simulated adapter library reads Intel HEX files on its own, strictly:
// every record is checked (digits, length, checksum, known type) and the file
// must end with an end-of-file record. It shares no code with the utility.
#ifndef VELT_SIM_ADI_HEX_READER_H
#define VELT_SIM_ADI_HEX_READER_H

#include <cstdint>
#include <map>
#include <string>

namespace adisim {

enum class HexError { None, BadRecord, BadChecksum, NoEndRecord };

struct HexReadResult {
    HexError error = HexError::None;
    unsigned line = 0;                      // 1-based line of the fault, 0 when none
    std::map<uint32_t, uint8_t> bytes;      // absolute address -> value
};

HexReadResult ParseHexText(const std::string& text);

// Reads a whole file in binary mode; false when it cannot be opened.
bool ReadFileText(const std::string& path, std::string& text);

} // namespace adisim

#endif
