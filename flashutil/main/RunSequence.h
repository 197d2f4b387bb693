// The top of the utility: from the argument list to the exit code.
#ifndef FLASHUTIL_RUN_SEQUENCE_H
#define FLASHUTIL_RUN_SEQUENCE_H

#include <string>
#include <vector>

#include "main/RunSettings.h"

// Result codes the run itself produces; the others are adapter statuses.
constexpr int kResultSuccess = 0;
constexpr int kResultInvalidArguments = 8;

// The whole program: usage, listing or one run. args[0] is the program name.
int RunUtility(const std::vector<std::string>& args);

// Connect, erase, halt, dump or download, close; prints the result line and
// returns the result code.
int RunSequence(RunSettings& settings);

#endif
