// The handle table: every handle a caller holds is checked against it.
#pragma once

#include <windows.h>

#include <memory>

#include "VELT_DFU.h"

class IControlDevice;

// The device behind a handle, owned jointly by the table and by every call
// running on it: a close takes the handle out of the table, and the object
// goes when the last call that holds it returns. Calls on one device take
// turns through its own lock, never a library-wide one, so two threads on
// one handle never interleave their requests on the line.
class CHandleDevice
{
public:
    explicit CHandleDevice(IControlDevice* device);
    ~CHandleDevice();
    CHandleDevice(const CHandleDevice&) = delete;
    CHandleDevice& operator=(const CHandleDevice&) = delete;

    IControlDevice& Device() { return *m_device; }
    CRITICAL_SECTION& CallLock() { return m_callLock; }
    // Set by the close, under the call lock: a call that waited for the
    // lock finds the handle gone.
    bool closed;

private:
    IControlDevice* m_device;
    CRITICAL_SECTION m_callLock;
};

// The device behind a handle, shared, or null when the handle is not in the
// table. The table lock is held for the look-up only.
std::shared_ptr<CHandleDevice> LookupHandle(DFU_HANDLE handle);

// Registers a new device object and returns its handle; the table owns the
// object from here on. Throws std::bad_alloc with the object freed.
DFU_HANDLE CreateHandle(IControlDevice* device);

// Erases the handle and closes its device if still open; the object is
// freed once no call holds it. The caller holds the device's call lock or
// is the only one who knows the handle.
void DestroyHandle(DFU_HANDLE handle);

size_t HandleCount();
