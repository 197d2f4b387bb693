#include "api/Handles.h"

#include <algorithm>
#include <memory>

#include "api/LibraryState.h"
#include "api/Lock.h"
#include "transport/IControlDevice.h"

namespace {

// Handle values start well away from small integers (which a caller could
// confuse with device indexes) and step by 16, so they look like the
// addresses they stand in for. On a 64-bit host they never wrap.
constexpr uintptr_t FIRST_HANDLE_VALUE = 0x7E1D0000;
constexpr uintptr_t HANDLE_VALUE_STEP = 16;

std::vector<HandleEntry>::iterator Find(std::vector<HandleEntry>& handles, DFU_HANDLE handle)
{
    const uintptr_t value = reinterpret_cast<uintptr_t>(handle);
    auto entry = std::lower_bound(handles.begin(), handles.end(), value,
                                  [](const HandleEntry& e, uintptr_t v) { return e.value < v; });
    return entry != handles.end() && entry->value == value ? entry : handles.end();
}

} // namespace

CHandleDevice::CHandleDevice(IControlDevice* device) : closed(false), m_device(device)
{
    InitializeCriticalSection(&m_callLock);
}

CHandleDevice::~CHandleDevice()
{
    delete m_device;
    DeleteCriticalSection(&m_callLock);
}

std::shared_ptr<CHandleDevice> LookupHandle(DFU_HANDLE handle)
{
    CLibraryState& library = Library();
    CAutoLock lock(library.handleLock);
    auto entry = Find(library.handles, handle);
    return entry == library.handles.end() ? nullptr : entry->device;
}

DFU_HANDLE CreateHandle(IControlDevice* device)
{
    std::unique_ptr<IControlDevice> owned(device);
    auto shared = std::make_shared<CHandleDevice>(device);
    (void)owned.release(); // the shared object owns it now
    CLibraryState& library = Library();
    CAutoLock lock(library.handleLock);
    const uintptr_t value =
        library.lastHandleValue == 0 ? FIRST_HANDLE_VALUE : library.lastHandleValue + HANDLE_VALUE_STEP;
    library.handles.push_back(HandleEntry{value, std::move(shared)});
    library.lastHandleValue = value;
    return reinterpret_cast<DFU_HANDLE>(value);
}

void DestroyHandle(DFU_HANDLE handle)
{
    std::shared_ptr<CHandleDevice> device;
    {
        CLibraryState& library = Library();
        CAutoLock lock(library.handleLock);
        auto entry = Find(library.handles, handle);
        if (entry == library.handles.end())
            return;
        device = std::move(entry->device);
        library.handles.erase(entry);
    }
    device->closed = true;
    if (device->Device().IsOpened())
        device->Device().Close();
}

size_t HandleCount()
{
    CLibraryState& library = Library();
    CAutoLock lock(library.handleLock);
    return library.handles.size();
}
