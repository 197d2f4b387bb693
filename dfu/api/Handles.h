// The handle table: every handle a caller holds is checked against it.
#pragma once

#include "VELT_DFU.h"

class IControlDevice;

// The device behind a handle, or nullptr when the handle is not in the table.
// The table lock is held for the look-up only.
IControlDevice* LookupHandle(DFU_HANDLE handle);

// Registers a new device object and returns its handle; the table owns the
// object from here on. Throws std::bad_alloc with the object freed.
DFU_HANDLE CreateHandle(IControlDevice* device);

// Erases the handle, closes its device if still open and frees it.
void DestroyHandle(DFU_HANDLE handle);

size_t HandleCount();
