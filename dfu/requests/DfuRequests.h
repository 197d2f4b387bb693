// The DFU 1.1 class requests and the vendor requests as single control
// transfers on an open device, shared by the single-request exports and the
// whole-image transfers. Each returns a DFU_STATUS: a transport failure is
// mapped from the last error, a byte count other than asked is 0x85.
#pragma once

#include "VELT_DFU.h"

#include "transport/IControlDevice.h"

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

// A request to interface 0.
WINUSB_SETUP_PACKET DfuSetup(uint8_t requestType, uint8_t request, uint16_t value, uint16_t length);

// A request without a data stage.
DFU_STATUS NoDataRequest(IControlDevice& device, uint8_t requestType, uint8_t request);

// DNLOAD or UPLOAD of one block. *count receives the bytes moved, also when
// they fall short of length (then the result is 0x85), and 0 when the
// transfer failed; data may be null for a zero-length block.
DFU_STATUS BlockRequest(IControlDevice& device, uint8_t requestType, uint8_t request, uint16_t blockNumber,
                        uint8_t* data, uint16_t length, uint32_t* count);

// GETSTATUS, unpacked into *status only when all 6 bytes came.
DFU_STATUS GetStatusRequest(IControlDevice& device, DFU_GETSTATUS_RESULT* status);

// GETSTATE; *state is written only when the request succeeded.
DFU_STATUS GetStateRequest(IControlDevice& device, uint8_t* state);
