// Process-wide table of the objects behind HANDLE, HDEVINFO and
// WINUSB_INTERFACE_HANDLE values.
//
// Handle values are never reused within a process, so a stale handle can
// only ever miss (ERROR_INVALID_HANDLE), never reach another object. Lookups
// hand out shared ownership: an object stays alive for a call that found it
// even if another thread closes the handle meanwhile.
#ifndef VELT_PLATFORM_HANDLES_H
#define VELT_PLATFORM_HANDLES_H

#include <windows.h>

#include <memory>
#include <typeinfo>

namespace velt::platform {

class FileObject;

class HandleObject {
public:
    virtual ~HandleObject() = default;
    // Called once, when the handle is closed; the object may outlive it
    // while calls that found it are still running.
    virtual void Close() {}
    // ReadFile and WriteFile look this up on every call; a virtual call is
    // far cheaper there than a dynamic_cast through the class hierarchy.
    virtual FileObject* AsFile() { return nullptr; }
};

// Registers obj and returns its new handle value.
HANDLE RegisterHandle(std::shared_ptr<HandleObject> obj);

// The object behind h, or null when h is not a live handle.
std::shared_ptr<HandleObject> FindHandle(HANDLE h);

// Unregisters h and returns its object (null if h was not live).
std::shared_ptr<HandleObject> RemoveHandle(HANDLE h);

// The object behind h if it is live and of type T.
template <typename T>
std::shared_ptr<T> FindHandleAs(HANDLE h) {
    std::shared_ptr<HandleObject> obj = FindHandle(h);
    // Callers mostly name the object's own class: comparing type_info
    // settles that without dynamic_cast's walk through the bases.
    if (!obj)
        return nullptr;
    const HandleObject& object = *obj;
    if (typeid(object) == typeid(T))
        return std::static_pointer_cast<T>(std::move(obj));
    return std::dynamic_pointer_cast<T>(std::move(obj));
}

}  // namespace velt::platform

#endif
