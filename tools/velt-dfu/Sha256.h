// SHA-256 (FIPS 180-4) of a firmware image, for the traceability log: the
// same digest sha256sum prints, so a line's image can be checked later.
#ifndef VELT_DFU_TOOL_SHA256_H
#define VELT_DFU_TOOL_SHA256_H

#include <cstddef>
#include <cstdint>
#include <string>

namespace veltdfu {

// 64 lower-case hexadecimal digits.
std::string Sha256Hex(const uint8_t* data, size_t size);

} // namespace veltdfu

#endif
