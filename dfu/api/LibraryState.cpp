#include "api/LibraryState.h"

#include "api/Handles.h"

#include "api/Lock.h"
#include "VELT_DFU.h"
#include "transport/IControlDevice.h"

CLibraryState::CLibraryState()
    : classGuid(DFU_DEFAULT_DEVICE_GUID),
      deviceInfoSet(INVALID_HANDLE_VALUE),
      hasDeviceInfoSet(false),
      lastHandleValue(0),
      usbCount(0)
{
    InitializeCriticalSection(&comLock);
    InitializeCriticalSection(&usbLock);
    InitializeCriticalSection(&handleLock);
}

// Unload: the reverse of construction. Devices still open are closed so that
// their ports and USB connections are released with the library.
CLibraryState::~CLibraryState()
{
    EnterCriticalSection(&handleLock);
    for (HandleEntry& entry : handles) {
        if (entry.device->Device().IsOpened())
            entry.device->Device().Close();
    }
    handles.clear();
    LeaveCriticalSection(&handleLock);
    DeleteCriticalSection(&handleLock);
    std::vector<HandleEntry>().swap(handles);

    EnterCriticalSection(&usbLock);
    if (hasDeviceInfoSet && deviceInfoSet != INVALID_HANDLE_VALUE)
        SetupDiDestroyDeviceInfoList(deviceInfoSet);
    hasDeviceInfoSet = false;
    LeaveCriticalSection(&usbLock);
    DeleteCriticalSection(&usbLock);

    DeleteCriticalSection(&comLock);
    std::vector<WideString>().swap(comPorts);
}

namespace {
CLibraryState g_library; // NOLINT(cert-err58-cpp): its constructor allocates nothing; the vectors start empty
}

CLibraryState& Library()
{
    return g_library;
}
