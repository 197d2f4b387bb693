#include "api/Handles.h"

#include <algorithm>
#include <memory>

#include "api/LibraryState.h"
#include "api/Lock.h"
#include "transport/IControlDevice.h"

namespace {

std::vector<HandleCell*>::iterator Find(std::vector<HandleCell*>& handles, DFU_HANDLE handle)
{
    return std::find(handles.begin(), handles.end(), static_cast<HandleCell*>(handle));
}

} // namespace

IControlDevice* LookupHandle(DFU_HANDLE handle)
{
    CLibraryState& library = Library();
    CAutoLock lock(library.handleLock);
    auto entry = Find(library.handles, handle);
    return entry == library.handles.end() ? nullptr : **entry;
}

DFU_HANDLE CreateHandle(IControlDevice* device)
{
    std::unique_ptr<IControlDevice> owned(device);
    std::unique_ptr<HandleCell> cell(new HandleCell(device));
    CLibraryState& library = Library();
    CAutoLock lock(library.handleLock);
    library.handles.push_back(cell.get());
    owned.release();
    return cell.release();
}

void DestroyHandle(DFU_HANDLE handle)
{
    CLibraryState& library = Library();
    CAutoLock lock(library.handleLock);
    auto entry = Find(library.handles, handle);
    if (entry == library.handles.end())
        return;
    HandleCell* cell = *entry;
    library.handles.erase(entry);
    IControlDevice* device = *cell;
    if (device->IsOpened())
        device->Close();
    delete device;
    delete cell;
}

size_t HandleCount()
{
    CLibraryState& library = Library();
    CAutoLock lock(library.handleLock);
    return library.handles.size();
}
