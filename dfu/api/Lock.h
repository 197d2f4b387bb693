// Scoped ownership of one of the library's re-entrant critical sections.
#pragma once

#include <windows.h>

class CAutoLock
{
public:
    explicit CAutoLock(CRITICAL_SECTION& section) : m_section(section) { EnterCriticalSection(&m_section); }
    ~CAutoLock() { LeaveCriticalSection(&m_section); }
    CAutoLock(const CAutoLock&) = delete;
    CAutoLock& operator=(const CAutoLock&) = delete;

private:
    CRITICAL_SECTION& m_section;
};
