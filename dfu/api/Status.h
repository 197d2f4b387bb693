// The one mapping from a Windows error code to a DFU_STATUS, and the guard
// that keeps C++ exceptions from crossing the exported C interface.
#pragma once

#include <new>

#include "VELT_DFU.h"

DFU_STATUS StatusFromError(DWORD error);

// Maps the calling thread's last-error value.
DFU_STATUS StatusFromLastError();

// Runs the body of an export. Running out of memory has no status code of
// its own; it is reported as a general error rather than thrown at a caller
// that cannot catch it.
template <typename Body>
DFU_STATUS GuardedExport(Body&& body) noexcept
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return DFU_STATUS_GENERAL_ERROR;
    } catch (...) {
        return DFU_STATUS_GENERAL_ERROR;
    }
}
