// Helpers the parser fuzz targets share: argument lists cut from the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace velt::fuzz {

// The input cut at NUL bytes into words, as a shell hands them over; the
// program name first.
inline std::vector<std::string> SplitArguments(const uint8_t* data, size_t size, const char* program)
{
    std::vector<std::string> args = {program};
    std::string word;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            args.push_back(word);
            word.clear();
        } else {
            word.push_back(static_cast<char>(data[i]));
        }
    }
    if (!word.empty())
        args.push_back(word);
    return args;
}

[[noreturn]] inline void Fail(const char* what)
{
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
}

inline void Require(bool condition, const char* what)
{
    if (!condition)
        Fail(what);
}

} // namespace velt::fuzz
