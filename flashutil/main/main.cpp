#include <cstdio>
#include <string>
#include <vector>

#include "main/RunSequence.h"

int main(int argc, char** argv)
{
    std::vector<std::string> args(argv, argv + argc);
    const int result = RunUtility(args);
    std::fflush(stdout);
    return result;
}
