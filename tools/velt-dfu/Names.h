// Human-readable names for the numbers the library and DFU 1.1 devices report.
#ifndef VELT_DFU_TOOL_NAMES_H
#define VELT_DFU_TOOL_NAMES_H

#include <cstdint>
#include <string>

namespace veltdfu {

// Library status code, e.g. "DFU_STATUS_TIMEOUT"; unknown codes get a
// generic name so a newer library never makes the tool print nothing.
std::string LibraryStatusName(uint8_t status);

// "DFU_STATUS_TIMEOUT (0x84)": the form every failure message ends with.
std::string LibraryStatusText(uint8_t status);

// DFU 1.1 device state (bState), e.g. "dfuIDLE"; "unknown" outside 0..10.
const char* DfuStateName(uint8_t state);

// DFU 1.1 status (bStatus), e.g. "errTARGET"; "unknown" outside 0..15.
const char* DfuStatusName(uint8_t status);

} // namespace veltdfu

#endif
