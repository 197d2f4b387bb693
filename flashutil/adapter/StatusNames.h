// Names of adapter-library status bytes and the result line that ends a run.
#ifndef FLASHUTIL_STATUS_NAMES_H
#define FLASHUTIL_STATUS_NAMES_H

#include <cstdint>
#include <string>

// Name of an ADIU_STATUS, such as "ADI_STATUS_API_ABORTED"; a code without a
// name gives "Error Code (N)" with N from 0 to 255.
std::string StatusName(uint8_t status);

// The text PrintResult prints for a result code, line feed included.
std::string ResultLine(int code);

// Prints the one result line of a run to standard output.
void PrintResult(int code);

#endif
