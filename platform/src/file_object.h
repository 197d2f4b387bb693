// Objects that CreateFileW hands out: the kinds CloseHandle, ReadFile and
// WriteFile accept.
#ifndef VELT_PLATFORM_FILE_OBJECT_H
#define VELT_PLATFORM_FILE_OBJECT_H

#include "handles.h"

namespace velt::platform {

class FileObject : public HandleObject {
public:
    FileObject* AsFile() final { return this; }

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

// The file object behind h, or null when h is no live file handle.
inline std::shared_ptr<FileObject> FindFile(HANDLE h) {
    std::shared_ptr<HandleObject> obj = FindHandle(h);
    FileObject* file = obj ? obj->AsFile() : nullptr;
    return file ? std::shared_ptr<FileObject>(obj, file) : nullptr;
}

// Openers for the two namespaces CreateFileW knows. Both set the last error
// and return INVALID_HANDLE_VALUE on failure.
HANDLE OpenSerialPort(const std::u16string& dosName);
HANDLE OpenUsbDevice(const std::u16string& interfacePath);

}  // namespace velt::platform

#endif
