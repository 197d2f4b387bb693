// The ordered checks every handle-taking export makes, in one place: the
// handle (0x48), the caller's arguments (0x40 or another argument status),
// whether the device is open (0x81), and only then the operation. Every
// export body runs inside GuardedExport, so no exception reaches the caller.
#pragma once

#include "VELT_DFU.h"

#include "api/Handles.h"
#include "api/Lock.h"
#include "api/Status.h"
#include "transport/IControlDevice.h"

// What an export's own argument test found: success, or the status to
// return once the handle has been found valid.
inline DFU_STATUS ArgumentsValid(bool valid)
{
    return valid ? DFU_STATUS_SUCCESS : DFU_STATUS_INVALID_PARAMETER;
}

enum class OpenCheck { Required, Skipped };

// Runs body(IControlDevice&) after the checks. `arguments` is evaluated by
// the caller before the handle is looked up, so it must not depend on the
// device; its status is reported only for a valid handle.
template <typename Body>
DFU_STATUS OnDevice(DFU_HANDLE handle, DFU_STATUS arguments, OpenCheck open, Body&& body) noexcept
{
    return GuardedExport([&]() -> DFU_STATUS {
        const std::shared_ptr<CHandleDevice> shared = LookupHandle(handle);
        if (!shared)
            return DFU_STATUS_INVALID_HANDLE;
        if (arguments != DFU_STATUS_SUCCESS)
            return arguments;
        // One call at a time on a device; a close waits for the call running.
        CAutoLock calls(shared->CallLock());
        if (shared->closed)
            return DFU_STATUS_INVALID_HANDLE;
        IControlDevice& device = shared->Device();
        if (open == OpenCheck::Required && !device.IsOpened())
            return DFU_STATUS_DEVICE_NOT_OPENED;
        return body(device);
    });
}

// The common case: the device must be open.
template <typename Body>
DFU_STATUS OnOpenDevice(DFU_HANDLE handle, DFU_STATUS arguments, Body&& body) noexcept
{
    return OnDevice(handle, arguments, OpenCheck::Required, static_cast<Body&&>(body));
}
