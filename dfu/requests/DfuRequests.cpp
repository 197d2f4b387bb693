#include "requests/DfuRequests.h"

#include "api/Status.h"

namespace {

constexpr uint16_t GETSTATUS_LENGTH = 6;
constexpr uint16_t GETSTATE_LENGTH = 1;

} // namespace

WINUSB_SETUP_PACKET DfuSetup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t length)
{
    WINUSB_SETUP_PACKET setup = {};
    setup.RequestType = requestType;
    setup.Request = request;
    setup.Value = value;
    setup.Index = 0;
    setup.Length = length;
    return setup;
}

DFU_STATUS NoDataRequest(IControlDevice& device, uint8_t requestType, uint8_t request)
{
    return device.ControlTransfer(DfuSetup(requestType, request, 0, 0), nullptr, nullptr) ? DFU_STATUS_SUCCESS
                                                                                          : StatusFromLastError();
}

DFU_STATUS BlockRequest(IControlDevice& device, uint8_t requestType, uint8_t request, uint16_t blockNumber,
                        uint8_t* data, uint16_t length, uint32_t* count)
{
    // A transport may report bytes for a transfer that failed (WinUSB can);
    // they are not a count the caller may act on, so a failure leaves 0.
    *count = 0;
    uint32_t moved = 0;
    if (!device.ControlTransfer(DfuSetup(requestType, request, blockNumber, length), data, &moved))
        return StatusFromLastError();
    *count = moved;
    return moved == length ? DFU_STATUS_SUCCESS : DFU_STATUS_INCOMPLETE_TRANSFER;
}

DFU_STATUS GetStatusRequest(IControlDevice& device, DFU_GETSTATUS_RESULT* status)
{
    uint8_t reply[GETSTATUS_LENGTH] = {};
    uint32_t count = 0;
    if (!device.ControlTransfer(DfuSetup(REQUEST_TYPE_CLASS_IN, DFU_GETSTATUS, 0, GETSTATUS_LENGTH), reply, &count))
        return StatusFromLastError();
    if (count != GETSTATUS_LENGTH)
        return DFU_STATUS_INCOMPLETE_TRANSFER;
    status->bStatus = reply[0];
    status->bwPollTimeout = static_cast<uint32_t>(reply[1]) | static_cast<uint32_t>(reply[2]) << 8 |
                            static_cast<uint32_t>(reply[3]) << 16;
    status->bState = reply[4];
    status->iString = reply[5];
    return DFU_STATUS_SUCCESS;
}

DFU_STATUS GetStateRequest(IControlDevice& device, uint8_t* state)
{
    // A local byte, so that a failed or empty transfer leaves the caller's
    // state as it was.
    uint8_t reply = 0;
    uint32_t count = 0;
    if (!device.ControlTransfer(DfuSetup(REQUEST_TYPE_CLASS_IN, DFU_GETSTATE, 0, GETSTATE_LENGTH), &reply, &count))
        return StatusFromLastError();
    if (count != GETSTATE_LENGTH)
        return DFU_STATUS_INCOMPLETE_TRANSFER;
    *state = reply;
    return DFU_STATUS_SUCCESS;
}
