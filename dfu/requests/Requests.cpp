// The single-request exports: DFU 1.1 class requests and the two vendor
// requests, each one control transfer to interface 0 plus its checks.
#include "VELT_DFU.h"

#include <cstring>

#include "api/ExportChecks.h"
#include "requests/DfuRequests.h"

namespace {

constexpr uint16_t INFO_LENGTH = 48;

// DNLOAD and UPLOAD report the count even when it falls short: a short
// UPLOAD block is how DFU 1.1 ends an upload. The count is zeroed before the
// open test, and stays 0 when the device is closed or the transfer failed.
DFU_STATUS BlockExport(DFU_HANDLE handle, uint8_t requestType, uint8_t request, uint8_t* buffer, uint16_t length,
                       uint16_t blockNumber, uint16_t* bytesTransferred)
{
    return OnDevice(handle, ArgumentsValid(buffer != nullptr && bytesTransferred != nullptr), OpenCheck::Skipped,
                    [&](IControlDevice& device) {
                        *bytesTransferred = 0;
                        if (!device.IsOpened())
                            return DFU_STATUS_DEVICE_NOT_OPENED;
                        uint32_t count = 0;
                        const DFU_STATUS result =
                            BlockRequest(device, requestType, request, blockNumber, buffer, length, &count);
                        *bytesTransferred = static_cast<uint16_t>(count & 0xFFFF);
                        return result;
                    });
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
    return BlockExport(handle, REQUEST_TYPE_CLASS_OUT, DFU_DNLOAD, buffer, length, blockNumber, bytesTransferred);
}

DFU_API DFU_STATUS DFU_DfuUpload(DFU_HANDLE handle, uint8_t* buffer, uint16_t length, uint16_t blockNumber,
                                 uint16_t* bytesTransferred)
{
    return BlockExport(handle, REQUEST_TYPE_CLASS_IN, DFU_UPLOAD, buffer, length, blockNumber, bytesTransferred);
}

DFU_API DFU_STATUS DFU_DfuGetStatus(DFU_HANDLE handle, DFU_GETSTATUS_RESULT* status)
{
    return OnOpenDevice(handle, ArgumentsValid(status != nullptr),
                        [&](IControlDevice& device) { return GetStatusRequest(device, status); });
}

DFU_API DFU_STATUS DFU_DfuClearStatus(DFU_HANDLE handle)
{
    return OnOpenDevice(handle, DFU_STATUS_SUCCESS, [](IControlDevice& device) {
        return NoDataRequest(device, REQUEST_TYPE_CLASS_OUT, DFU_CLRSTATUS);
    });
}

DFU_API DFU_STATUS DFU_DfuGetState(DFU_HANDLE handle, uint8_t* state)
{
    return OnOpenDevice(handle, ArgumentsValid(state != nullptr),
                        [&](IControlDevice& device) { return GetStateRequest(device, state); });
}

DFU_API DFU_STATUS DFU_DfuAbort(DFU_HANDLE handle)
{
    return OnOpenDevice(handle, DFU_STATUS_SUCCESS, [](IControlDevice& device) {
        return NoDataRequest(device, REQUEST_TYPE_CLASS_OUT, DFU_ABORT);
    });
}

DFU_API DFU_STATUS DFU_VeltGetInfo(DFU_HANDLE handle, DFU_DEVICE_INFO* info)
{
    return OnOpenDevice(handle, ArgumentsValid(info != nullptr), [&](IControlDevice& device) {
        uint8_t reply[INFO_LENGTH] = {};
        uint32_t count = 0;
        const DFU_STATUS result =
            BlockRequest(device, REQUEST_TYPE_VENDOR_IN, VENDOR_REQUEST_GET_INFO, 0, reply, INFO_LENGTH, &count);
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
    return OnDevice(handle, DFU_STATUS_SUCCESS, OpenCheck::Skipped, [](IControlDevice& device) {
        // A device that has just been reset expects a fresh handshake, and
        // so does one whose reset we could not confirm.
        device.ResetSync();
        DFU_STATUS result = DFU_STATUS_DEVICE_NOT_OPENED;
        if (device.IsOpened())
            result = NoDataRequest(device, REQUEST_TYPE_VENDOR_OUT, VENDOR_REQUEST_RESET);
        device.ResetSync();
        return result;
    });
}
