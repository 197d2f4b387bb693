#include "engine/Requests.h"

#include <chrono>
#include <thread>

namespace veltdfu::engine {

DFU_STATUS LibraryRequests::Dnload(uint16_t block, const uint8_t* data, uint16_t length)
{
    // The export takes a writable buffer and wants one even for the
    // zero-length block; it never writes to it.
    uint8_t none = 0;
    uint8_t* buffer = length == 0 ? &none : const_cast<uint8_t*>(data);
    uint16_t moved = 0;
    return DFU_DfuDnload(handle_, buffer, length, block, &moved);
}

DFU_STATUS LibraryRequests::Upload(uint16_t block, uint8_t* data, uint16_t length, uint16_t& received)
{
    received = 0;
    const DFU_STATUS status = DFU_DfuUpload(handle_, data, length, block, &received);
    // Fewer bytes than asked is how a device ends its image.
    return status == DFU_STATUS_INCOMPLETE_TRANSFER && received < length ? DFU_STATUS_SUCCESS : status;
}

DFU_STATUS LibraryRequests::GetStatus(DFU_GETSTATUS_RESULT& status)
{
    return DFU_DfuGetStatus(handle_, &status);
}

DFU_STATUS LibraryRequests::GetState(uint8_t& state)
{
    return DFU_DfuGetState(handle_, &state);
}

DFU_STATUS LibraryRequests::ClearStatus()
{
    return DFU_DfuClearStatus(handle_);
}

DFU_STATUS LibraryRequests::Abort()
{
    return DFU_DfuAbort(handle_);
}

// sleep_for never returns early; the steady clock keeps it from ending
// early across a clock change.
void LibraryRequests::Wait(uint32_t milliseconds)
{
    if (milliseconds != 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

} // namespace veltdfu::engine
