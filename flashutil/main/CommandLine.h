// The command line: usage text and option parsing.
#ifndef FLASHUTIL_COMMAND_LINE_H
#define FLASHUTIL_COMMAND_LINE_H

#include <string>
#include <vector>

#include "main/RunSettings.h"

constexpr const char* kUtilityVersion = "1.5";

// Prints the banner with the adapter library's version and the usage text.
void PrintUsage();

// Fills settings from the arguments after the program's name (args[0]).
// On failure it has printed one "Error: ..." line.
bool ParseArguments(const std::vector<std::string>& args, RunSettings& settings);

// strtoul as the 32-bit Windows runtime computes it: an unsigned long of 32
// bits, ULONG_MAX when the magnitude does not fit, a leading '-' negating in
// 32 bits. The result is then the same on every host.
uint32_t StrToUl32(const std::string& text, int base);

#endif
