// DFU 1.1 class requests and the two vendor requests, each one control
// transfer to interface 0 plus its checks.
#include "VELT_DFU.h"

#include <cstring>

#include "api/Handles.h"
#include "api/Status.h"
#include "transport/IControlDevice.h"

namespace {

enum : uint8_t {
    REQUEST_TYPE_CLASS_OUT = 0x21,
    REQUEST_TYPE_CLASS_IN = 0xA1,
    REQUEST_TYPE_VENDOR_OUT = 0x41,
    REQUEST_TYPE_VENDOR_IN = 0xC1,
};

enum : uint8_t {
    DFU_DNLOAD = 1,
    DFU_UPLOAD = 2,
    DFU_GETSTATUS = 3,
    DFU_CLRSTATUS = 4,
    DFU_GETSTATE = 5,
    DFU_ABORT = 6,
    VENDOR_REQUEST_GET_INFO = 7,
    VENDOR_REQUEST_RESET = 8,
};

constexpr uint16_t GETSTATUS_LENGTH = 6;
constexpr uint16_t GETSTATE_LENGTH = 1;
constexpr uint16_t INFO_LENGTH = 48;

WINUSB_SETUP_PACKET Setup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t length)
{
    WINUSB_SETUP_PACKET setup = {};
    setup.RequestType = requestType;
    setup.Request = request;
    setup.Value = value;
    setup.Index = 0;
    setup.Length = length;
    return setup;
}

// A transfer with a data stage: the status of the transfer, then the byte
// count must match exactly.
DFU_STATUS Transfer(IControlDevice* device, const WINUSB_SETUP_PACKET& setup, uint8_t* data, uint32_t* count)
{
    if (!device->ControlTransfer(setup, data, count))
        return StatusFromLastError();
    return *count == setup.Length ? DFU_STATUS_SUCCESS : DFU_STATUS_INCOMPLETE_TRANSFER;
}

// Requests without a data stage move no bytes and report none.
DFU_STATUS NoDataRequest(DFU_HANDLE handle, uint8_t requestType, uint8_t request)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    return device->ControlTransfer(Setup(requestType, request, 0, 0), nullptr, nullptr) ? DFU_STATUS_SUCCESS
                                                                                         : StatusFromLastError();
}

// DNLOAD and UPLOAD report the count even when it falls short: a short
// UPLOAD block is how DFU 1.1 ends an upload.
DFU_STATUS BlockRequest(DFU_HANDLE handle, uint8_t requestType, uint8_t request, uint8_t* buffer, uint16_t length,
                        uint16_t blockNumber, uint16_t* bytesTransferred)
{
    IControlDevice* device = LookupHandle(handle);
    if (device == nullptr)
        return DFU_STATUS_INVALID_HANDLE;
    if (buffer == nullptr || bytesTransferred == nullptr)
        return DFU_STATUS_INVALID_PARAMETER;
    *bytesTransferred = 0;
    if (!device->IsOpened())
        return DFU_STATUS_DEVICE_NOT_OPENED;
    uint32_t count = 0;
    if (!device->ControlTransfer(Setup(requestType, request, blockNumber, length), buffer, &count))
        return StatusFromLastError();
    *bytesTransferred = static_cast<uint16_t>(count & 0xFFFF);
    return count == length ? DFU_STATUS_SUCCESS : DFU_STATUS_INCOMPLETE_TRANSFER;
}

uint32_t Little32(const uint8_t* bytes)
{
    return static_cast<uint32_t>(bytes[0]) | static_cast<uint32_t>(bytes[1]) << 8 |
           static_cast<uint32_t>(bytes[2]) << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

} // namespace

DFU_API DFU_STATUS DFU_DfuDnload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length, uint16_t blockNumber,
                                 uint16_t* bytesTransferred)
{
    return GuardedExport([&] {
        return BlockRequest(handle, REQUEST_TYPE_CLASS_OUT, DFU_DNLOAD, buffer, length, blockNumber,
                            bytesTransferred);
    });
}

DFU_API DFU_STATUS DFU_DfuUpload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length, uint16_t blockNumber,
                                 uint16_t* bytesTransferred)
{
    return GuardedExport([&] {
        return BlockRequest(handle, REQUEST_TYPE_CLASS_IN, DFU_UPLOAD, buffer, length, blockNumber,
                            bytesTransferred);
    });
}

DFU_API DFU_STATUS DFU_DfuGetStatus(DFU_HANDLE handle, DFU_GETSTATUS_RESULT* status)
{
    return GuardedExport([&] {
        IControlDevice* device = LookupHandle(handle);
        if (device == nullptr)
            return DFU_STATUS_INVALID_HANDLE;
        if (status == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        if (!device->IsOpened())
            return DFU_STATUS_DEVICE_NOT_OPENED;
        uint8_t reply[GETSTATUS_LENGTH] = {};
        uint32_t count = 0;
        const DFU_STATUS result =
            Transfer(device, Setup(REQUEST_TYPE_CLASS_IN, DFU_GETSTATUS, 0, GETSTATUS_LENGTH), reply, &count);
        if (result != DFU_STATUS_SUCCESS)
            return result;
        status->bStatus = reply[0];
        status->bwPollTimeout = static_cast<uint32_t>(reply[1]) | static_cast<uint32_t>(reply[2]) << 8 |
                                static_cast<uint32_t>(reply[3]) << 16;
        status->bState = reply[4];
        status->iString = reply[5];
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_DfuClearStatus(DFU_HANDLE handle)
{
    return GuardedExport([&] { return NoDataRequest(handle, REQUEST_TYPE_CLASS_OUT, DFU_CLRSTATUS); });
}

DFU_API DFU_STATUS DFU_DfuGetState(DFU_HANDLE handle, uint8_t* state)
{
    return GuardedExport([&] {
        IControlDevice* device = LookupHandle(handle);
        if (device == nullptr)
            return DFU_STATUS_INVALID_HANDLE;
        if (state == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        if (!device->IsOpened())
            return DFU_STATUS_DEVICE_NOT_OPENED;
        // The reply goes into a local byte so that a failed or empty
        // transfer leaves the caller's state as it was.
        uint8_t reply = 0;
        uint32_t count = 0;
        const DFU_STATUS result =
            Transfer(device, Setup(REQUEST_TYPE_CLASS_IN, DFU_GETSTATE, 0, GETSTATE_LENGTH), &reply, &count);
        if (result == DFU_STATUS_SUCCESS)
            *state = reply;
        return result;
    });
}

DFU_API DFU_STATUS DFU_DfuAbort(DFU_HANDLE handle)
{
    return GuardedExport([&] { return NoDataRequest(handle, REQUEST_TYPE_CLASS_OUT, DFU_ABORT); });
}

DFU_API DFU_STATUS DFU_VeltGetInfo(DFU_HANDLE handle, DFU_DEVICE_INFO* info)
{
    return GuardedExport([&] {
        IControlDevice* device = LookupHandle(handle);
        if (device == nullptr)
            return DFU_STATUS_INVALID_HANDLE;
        if (info == nullptr)
            return DFU_STATUS_INVALID_PARAMETER;
        if (!device->IsOpened())
            return DFU_STATUS_DEVICE_NOT_OPENED;
        uint8_t reply[INFO_LENGTH] = {};
        uint32_t count = 0;
        const DFU_STATUS result =
            Transfer(device, Setup(REQUEST_TYPE_VENDOR_IN, VENDOR_REQUEST_GET_INFO, 0, INFO_LENGTH), reply, &count);
        if (result != DFU_STATUS_SUCCESS)
            return result;
        info->infoWord = static_cast<uint16_t>(reply[0] | reply[1] << 8);
        info->infoByte1 = reply[3];
        info->infoByte2 = reply[2];
        info->infoValue1 = Little32(reply + 4);
        info->infoValue2 = Little32(reply + 8);
        info->infoValue3 = Little32(reply + 12);
        std::memcpy(info->infoData, reply + 16, sizeof(info->infoData));
        return DFU_STATUS_SUCCESS;
    });
}

DFU_API DFU_STATUS DFU_VeltReset(DFU_HANDLE handle)
{
    return GuardedExport([&] {
        IControlDevice* device = LookupHandle(handle);
        if (device == nullptr)
            return DFU_STATUS_INVALID_HANDLE;
        // A device that has just been reset expects a fresh handshake, and
        // so does one whose reset we could not confirm.
        device->ResetSync();
        DFU_STATUS result = DFU_STATUS_DEVICE_NOT_OPENED;
        if (device->IsOpened()) {
            result = device->ControlTransfer(Setup(REQUEST_TYPE_VENDOR_OUT, VENDOR_REQUEST_RESET, 0, 0), nullptr,
                                             nullptr)
                         ? DFU_STATUS_SUCCESS
                         : StatusFromLastError();
        }
        device->ResetSync();
        return result;
    });
}
