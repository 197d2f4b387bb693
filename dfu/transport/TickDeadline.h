// A window of milliseconds on the tick count, for the serial transport's
// retries and waits. GetTickCount wraps every 49.7 days: the unsigned
// difference from the start is the time elapsed across a wrap as well, and
// the window has passed once that difference reaches it.
#pragma once

#include <windows.h>

#include <cstdint>

class CTickDeadline
{
public:
    explicit CTickDeadline(uint64_t window) : CTickDeadline(GetTickCount(), window) {}
    CTickDeadline(DWORD start, uint64_t window) : m_start(start), m_window(window) {}

    // The same start, another window.
    void SetWindow(uint64_t window) { m_window = window; }

    bool Expired() const { return Expired(GetTickCount()); }
    bool Expired(DWORD now) const { return DWORD(now - m_start) >= m_window; }

    // What is left of the window; 0 once it has passed.
    uint64_t Remaining() const { return Remaining(GetTickCount()); }
    uint64_t Remaining(DWORD now) const
    {
        const DWORD elapsed = now - m_start;
        return elapsed >= m_window ? 0 : m_window - elapsed;
    }

private:
    DWORD m_start;
    uint64_t m_window;
};
