// Objects that CreateFileW hands out: the kinds CloseHandle, ReadFile and
// WriteFile accept.
#ifndef VELT_PLATFORM_FILE_OBJECT_H
#define VELT_PLATFORM_FILE_OBJECT_H

#include "handles.h"

namespace velt::platform {

class FileObject : public HandleObject {
public:
    // Default: the device does not take byte-stream I/O (a WinUSB device
    // file, for instance).
    virtual BOOL Read(void* buffer, DWORD size, DWORD* done) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    virtual BOOL Write(const void* buffer, DWORD size, DWORD* done) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
};

// Openers for the two namespaces CreateFileW knows. Both set the last error
// and return INVALID_HANDLE_VALUE on failure.
HANDLE OpenSerialPort(const std::u16string& dosName);
HANDLE OpenUsbDevice(const std::u16string& interfacePath);

}  // namespace velt::platform

#endif
