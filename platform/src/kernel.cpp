// Last error, time, critical sections, strings and the generic file calls.
#include <windows.h>

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <string>

#include "file_object.h"
#include "handles.h"

using namespace velt::platform;

namespace {

thread_local DWORD t_lastError = 0;

pthread_mutex_t* MutexOf(LPCRITICAL_SECTION cs) {
    return reinterpret_cast<pthread_mutex_t*>(cs->u.Opaque);
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(CRITICAL_SECTION), "mutex fits a CRITICAL_SECTION");
static_assert(alignof(pthread_mutex_t) <= alignof(CRITICAL_SECTION), "mutex alignment");

}  // namespace

extern "C" {

DWORD WINAPI GetLastError(void) { return t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD WINAPI GetTickCount(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    struct timespec ts;
    ts.tv_sec = dwMilliseconds / 1000;
    ts.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(MutexOf(lpCriticalSection), &attr);
    pthread_mutexattr_destroy(&attr);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    InitializeCriticalSection(lpCriticalSection);
    return TRUE;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_lock(MutexOf(lpCriticalSection));
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    return pthread_mutex_trylock(MutexOf(lpCriticalSection)) == 0 ? TRUE : FALSE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_unlock(MutexOf(lpCriticalSection));
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    pthread_mutex_destroy(MutexOf(lpCriticalSection));
}

int WINAPI lstrlenW(LPCWSTR lpString) {
    if (!lpString)
        return 0;
    int n = 0;
    while (lpString[n])
        ++n;
    return n;
}

LPWSTR WINAPI lstrcpyW(LPWSTR lpString1, LPCWSTR lpString2) {
    LPWSTR d = lpString1;
    while ((*d++ = *lpString2++) != 0) {
    }
    return lpString1;
}

// Copies at most iMaxLength - 1 characters and always terminates.
LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    if (iMaxLength <= 0)
        return lpString1;
    int i = 0;
    for (; i + 1 < iMaxLength && lpString2[i]; ++i)
        lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

int WINAPI lstrcmpW(LPCWSTR a, LPCWSTR b) {
    for (;; ++a, ++b) {
        if (*a != *b)
            return *a < *b ? -1 : 1;
        if (!*a)
            return 0;
    }
}

int WINAPI lstrcmpiW(LPCWSTR a, LPCWSTR b) {
    auto fold = [](WCHAR c) { return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c - u'A' + u'a') : c; };
    for (;; ++a, ++b) {
        WCHAR x = fold(*a), y = fold(*b);
        if (x != y)
            return x < y ? -1 : 1;
        if (!x)
            return 0;
    }
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (!lpFileName) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Devices exist or not; they are never created.
    if (dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string path(lpFileName);
    if (path.size() > 4 && path[0] == u'\\' && path[1] == u'\\' && path[3] == u'\\') {
        if (path[2] == u'.')
            return OpenSerialPort(path.substr(4));
        if (path[2] == u'?')
            return OpenUsbDevice(path);
    }
    // Plain files are not part of this layer; the library reads and writes
    // image files through the C runtime.
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    // Only file handles close here: a device-information set or a WinUSB
    // handle is not a kernel handle, as on Windows.
    if (!FindFile(hObject)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::shared_ptr<HandleObject> obj = RemoveHandle(hObject);
    if (!obj) {  // closed by another thread meanwhile
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    obj->Close();
    return TRUE;
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    std::shared_ptr<FileObject> file = FindFile(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!lpNumberOfBytesRead || (!lpBuffer && nNumberOfBytesToRead)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return file->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    std::shared_ptr<FileObject> file = FindFile(hFile);
    if (!file) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpOverlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    if (!lpNumberOfBytesWritten || (!lpBuffer && nNumberOfBytesToWrite)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return file->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
}

}  // extern "C"
