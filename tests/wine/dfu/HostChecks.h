// What the Windows test hosts share: one line per check, a tally for the
// closing "N passed, N failed" line, and binding exports by name.
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdio>

namespace hostcheck {

inline int g_passed = 0;
inline int g_failed = 0;

inline void Check(bool ok, const char* name, const char* detailFormat = "", ...)
{
    if (ok) {
        ++g_passed;
        std::printf("ok   %s\n", name);
        return;
    }
    ++g_failed;
    char detail[256] = {};
    va_list args;
    va_start(args, detailFormat);
    std::vsnprintf(detail, sizeof detail, detailFormat, args);
    va_end(args);
    std::printf("FAIL %s%s%s\n", name, *detail ? ": " : "", detail);
}

template <typename Fn>
Fn Resolve(HMODULE module, const char* name)
{
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

inline int Summary()
{
    std::printf("%d passed, %d failed\n", g_passed, g_failed);
    return g_failed == 0 ? 0 : 1;
}

} // namespace hostcheck
