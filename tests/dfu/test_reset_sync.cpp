// The vendor reset re-arms the serial handshake around its transfer, even
// when the device behind the handle is not open.
#include <gtest/gtest.h>

#include "VELT_DFU.h"
#include "api/Handles.h"
#include "transport/IControlDevice.h"

namespace {

// A closed device that records how the request code drives it.
class CRecordingDevice : public IControlDevice
{
public:
    int resetSyncCalls = 0;
    int transfers = 0;

    BOOL OpenByIndex(uint32_t) override { return FALSE; }
    BOOL OpenByDevicePath(const WCHAR*) override { return FALSE; }
    BOOL Close() override { return TRUE; }
    BOOL GetDevicePath(WCHAR*) override { return FALSE; }
    BOOL GetVidPid(uint16_t*, uint16_t*) override { return NotSupported(); }
    int GetInterface() override { return 1; }
    BOOL GetDeviceDescriptor(USB_DEVICE_DESCRIPTOR*) override { return NotSupported(); }
    BOOL GetInterfaceDescriptor(USB_INTERFACE_DESCRIPTOR*) override { return NotSupported(); }
    BOOL ControlTransfer(WINUSB_SETUP_PACKET, uint8_t*, uint32_t*) override
    {
        ++transfers;
        return FALSE;
    }
    BOOL SetTransferTimeout(uint32_t) override { return FALSE; }
    BOOL GetTransferTimeout(uint32_t*) override { return FALSE; }
    BOOL SetUartConfig(uint32_t, uint8_t, uint8_t, uint8_t, uint8_t) override { return NotSupported(); }
    BOOL GetUartConfig(uint32_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*) override { return NotSupported(); }
    void ResetSync() override { ++resetSyncCalls; }
    BOOL Initialize() override { return FALSE; }
    void ResetState() override {}
};

} // namespace

TEST(VendorReset, ClosedDeviceGivesNotOpenedAfterResettingSyncTwice)
{
    auto* device = new CRecordingDevice();
    DFU_HANDLE handle = CreateHandle(device);
    EXPECT_FALSE(DFU_IsOpened(handle));
    EXPECT_EQ(DFU_VeltReset(handle), DFU_STATUS_DEVICE_NOT_OPENED);
    EXPECT_EQ(device->resetSyncCalls, 2);
    EXPECT_EQ(device->transfers, 0);

    // Every other request stops at the open test without touching the line.
    uint8_t state = 0x77;
    uint16_t moved = 0x7777;
    uint8_t buffer[4] = {};
    EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_DEVICE_NOT_OPENED);
    EXPECT_EQ(state, 0x77);
    EXPECT_EQ(DFU_DfuDnload(handle, buffer, 4, 0, &moved), DFU_STATUS_DEVICE_NOT_OPENED);
    EXPECT_EQ(moved, 0) << "the count is cleared before the open test";
    EXPECT_EQ(DFU_DfuAbort(handle), DFU_STATUS_DEVICE_NOT_OPENED);
    EXPECT_EQ(device->transfers, 0);

    // Close reports what the device says and destroys the handle either way.
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_INVALID_HANDLE);
}
