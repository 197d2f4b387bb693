// The library against the device simulator: USB transport details, and
// every request on both transports.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <thread>
#include <cstring>
#include <memory>
#include <string>

#include "SimProcess.h"
#include "VELT_DFU.h"
#include "api/Handles.h"

using velt::sim::SimProcess;

namespace {

std::string DevicePath(uint32_t index)
{
    char path[260] = {};
    EXPECT_EQ(DFU_GetDevicePath(index, path), DFU_STATUS_SUCCESS);
    return path;
}

uint32_t Count()
{
    uint32_t count = 0;
    EXPECT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
    return count;
}

// A device is free again as soon as its handle is closed: reopening at once
// must succeed.
DFU_STATUS OpenAfterClose(DFU_HANDLE* handle, const std::string& path)
{
    return DFU_OpenByDevicePath(handle, path.c_str());
}

} // namespace

class UsbTransport : public ::testing::Test
{
protected:
    UsbTransport()
        : sim({"--usb", "vid=1A2B,pid=00FF,serial=S1,name=a", "--usb", "vid=F055,pid=D0F1,serial=S2,name=b",
               "--com", "COM7"})
    {
        sim.exportEnvironment();
    }
    SimProcess sim;
};

TEST_F(UsbTransport, IndexSpaceUsbFirstThenComPorts)
{
    ASSERT_EQ(Count(), 3u);
    uint16_t vid = 0, pid = 0;
    ASSERT_EQ(DFU_GetVidPid(0, &vid, &pid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(vid, 0x1A2B);
    EXPECT_EQ(pid, 0x00FF);
    ASSERT_EQ(DFU_GetVidPid(1, &vid, &pid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(vid, 0xF055);
    EXPECT_EQ(pid, 0xD0F1);
    EXPECT_EQ(DFU_GetVidPid(2, &vid, &pid), DFU_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(pid, 0xD0F1);

    uint8_t kinds[3] = {9, 9, 9};
    for (uint32_t i = 0; i < 3; ++i)
        ASSERT_EQ(DFU_GetInterfaceByIndex(i, &kinds[i]), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kinds[0], DFU_INTERFACE_USB);
    EXPECT_EQ(kinds[1], DFU_INTERFACE_USB);
    EXPECT_EQ(kinds[2], DFU_INTERFACE_UART);
    EXPECT_EQ(DevicePath(0).rfind("\\\\?\\usb#vid_1a2b&pid_00ff#", 0), 0u) << DevicePath(0);
    EXPECT_EQ(DevicePath(2), "\\\\.\\COM7");
}

TEST_F(UsbTransport, OpenByIndexAndByPathAreExclusive)
{
    ASSERT_EQ(Count(), 3u);
    const std::string path = DevicePath(0);
    const size_t before = HandleCount();

    DFU_HANDLE first = nullptr;
    ASSERT_EQ(DFU_OpenByIndex(&first, 0), DFU_STATUS_SUCCESS);
    EXPECT_TRUE(DFU_IsOpened(first));
    char opened[260];
    ASSERT_EQ(DFU_GetOpenedDevicePath(first, opened), DFU_STATUS_SUCCESS);
    EXPECT_EQ(path, opened);
    uint16_t vid = 0, pid = 0;
    ASSERT_EQ(DFU_GetOpenedVidPid(first, &vid, &pid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(vid, 0x1A2B);
    uint8_t kind = 9;
    ASSERT_EQ(DFU_GetOpenedInterface(first, &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_USB);
    uint32_t timeout = 0;
    ASSERT_EQ(DFU_GetTransferTimeout(first, &timeout), DFU_STATUS_SUCCESS);
    EXPECT_EQ(timeout, 1000u);
    EXPECT_NE(sim.readLog().find("value=1000"), std::string::npos);

    DFU_HANDLE second = nullptr;
    EXPECT_EQ(DFU_OpenByIndex(&second, 0), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(DFU_OpenByDevicePath(&second, path.c_str()), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(HandleCount(), before + 1);

    ASSERT_EQ(DFU_Close(first), DFU_STATUS_SUCCESS);
    EXPECT_EQ(DFU_Close(first), DFU_STATUS_INVALID_HANDLE);
    ASSERT_EQ(OpenAfterClose(&second, path), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_GetOpenedVidPid(second, &vid, &pid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(pid, 0x00FF);
    EXPECT_EQ(DFU_Close(second), DFU_STATUS_SUCCESS);
    EXPECT_EQ(HandleCount(), before);
}

TEST_F(UsbTransport, DescriptorsTransfersAndTimeOut)
{
    ASSERT_EQ(Count(), 3u);
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByIndex(&handle, 0), DFU_STATUS_SUCCESS);

    USB_DEVICE_DESCRIPTOR device {};
    ASSERT_EQ(DFU_GetDeviceDescriptor(handle, &device), DFU_STATUS_SUCCESS);
    EXPECT_EQ(device.bLength, 18);
    EXPECT_EQ(device.bDescriptorType, 1);
    EXPECT_EQ(device.idVendor, 0x1A2B);
    EXPECT_EQ(device.idProduct, 0x00FF);
    USB_INTERFACE_DESCRIPTOR iface {};
    ASSERT_EQ(DFU_GetInterfaceDescriptor(handle, &iface), DFU_STATUS_SUCCESS);
    EXPECT_EQ(iface.bLength, 9);
    EXPECT_EQ(iface.bInterfaceClass, 0xFE);
    EXPECT_EQ(DFU_SetUartConfig(handle, 9600, 8, 0, 0, 0), DFU_STATUS_NOT_SUPPORTED);
    uint32_t baud = 0;
    uint8_t b = 0;
    EXPECT_EQ(DFU_GetUartConfig(handle, &baud, &b, &b, &b, &b), DFU_STATUS_NOT_SUPPORTED);

    // GETSTATE with a data stage, ABORT without one.
    WINUSB_SETUP_PACKET getState = {0xA1, 5, 0, 0, 1};
    uint8_t state = 0;
    uint32_t transferred = 0;
    ASSERT_EQ(DFU_ControlTransfer(handle, &getState, &state, 1, &transferred), DFU_STATUS_SUCCESS);
    EXPECT_EQ(transferred, 1u);
    EXPECT_EQ(state, 2);
    WINUSB_SETUP_PACKET abort = {0x21, 6, 0, 0, 0};
    transferred = 99;
    ASSERT_EQ(DFU_ControlTransfer(handle, &abort, nullptr, 0, &transferred), DFU_STATUS_SUCCESS);
    EXPECT_EQ(transferred, 0u);
    WINUSB_SETUP_PACKET tooLong = {0xA1, 2, 0, 0, 64};
    uint8_t buffer[64];
    EXPECT_EQ(DFU_ControlTransfer(handle, &tooLong, buffer, 63, &transferred), DFU_STATUS_BUFFER_TOO_SMALL);

    // 0 is kept as 0 but the pipe gets 1 ms: WinUSB takes 0 as no limit.
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 0), DFU_STATUS_SUCCESS);
    uint32_t timeout = 99;
    ASSERT_EQ(DFU_GetTransferTimeout(handle, &timeout), DFU_STATUS_SUCCESS);
    EXPECT_EQ(timeout, 0u);
    const std::string log = sim.readLog();
    EXPECT_NE(log.find("pipe=0 policy=3 value=1 "), std::string::npos) << log;
    EXPECT_EQ(log.find("policy=3 value=0 "), std::string::npos) << log;
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 500), DFU_STATUS_SUCCESS);

    ASSERT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
}

// A composite board declares its own class; its DFU function on interface 1
// stalls any wIndex but 1, and the library's requests (wIndex 0) get there
// because the platform puts the interface number in, as WinUSB does.
TEST(UsbGuid, ACompositeDeviceOfAnotherClassIsFoundOnlyAfterTheGuidChangesAndAnswersOnItsInterface)
{
    SimProcess sim({"--usb", "guid={11223344-5566-7788-99AA-BBCCDDEEFF00},serial=G1,interface=1"});
    sim.exportEnvironment();
    EXPECT_EQ(Count(), 0u);
    const GUID other = {0x11223344, 0x5566, 0x7788, {0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00}};
    ASSERT_EQ(DFU_SetGuid(&other), DFU_STATUS_SUCCESS);
    EXPECT_EQ(Count(), 1u);
    EXPECT_EQ(DevicePath(0), "\\\\?\\usb#vid_f055&pid_d0f1&mi_01#G1#{11223344-5566-7788-99aa-bbccddeeff00}");
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByIndex(&handle, 0), DFU_STATUS_SUCCESS);
    DFU_GETSTATUS_RESULT status {};
    EXPECT_EQ(DFU_DfuGetStatus(handle, &status), DFU_STATUS_SUCCESS);
    EXPECT_EQ(status.bState, 2);
    DFU_DEVICE_INFO info {};
    EXPECT_EQ(DFU_VeltGetInfo(handle, &info), DFU_STATUS_SUCCESS);
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_SetGuid(&DFU_DEFAULT_DEVICE_GUID), DFU_STATUS_SUCCESS);
    EXPECT_EQ(Count(), 0u);
}

// The same requests over USB and over a serial line.
class Requests : public ::testing::TestWithParam<bool>
{
protected:
    void Start(const std::string& keys)
    {
        const std::string extra = keys.empty() ? "" : "," + keys;
        sim = std::make_unique<SimProcess>(
            std::vector<std::string> {"--usb", "serial=R1" + extra, "--com", "COM7" + extra});
        sim->exportEnvironment();
        ASSERT_EQ(Count(), 2u);
        ASSERT_EQ(DFU_OpenByIndex(&handle, serial() ? 1 : 0), DFU_STATUS_SUCCESS);
        uint8_t kind = 9;
        ASSERT_EQ(DFU_GetOpenedInterface(handle, &kind), DFU_STATUS_SUCCESS);
        ASSERT_EQ(kind, serial() ? DFU_INTERFACE_UART : DFU_INTERFACE_USB);
    }
    void TearDown() override
    {
        if (handle != nullptr) {
            EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
        }
    }
    bool serial() const { return GetParam(); }
    uint8_t State()
    {
        uint8_t state = 0xEE;
        EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_SUCCESS);
        return state;
    }

    std::unique_ptr<SimProcess> sim;
    DFU_HANDLE handle = nullptr;
};

TEST_P(Requests, DownloadUploadAndShortUpload)
{
    Start("");
    EXPECT_EQ(State(), 2);
    uint8_t block[16];
    for (int i = 0; i < 16; ++i)
        block[i] = static_cast<uint8_t>(0xA0 + i);
    uint16_t moved = 0;
    ASSERT_EQ(DFU_DfuDnload(handle, block, 16, 0, &moved), DFU_STATUS_SUCCESS);
    EXPECT_EQ(moved, 16);
    DFU_GETSTATUS_RESULT status {};
    ASSERT_EQ(DFU_DfuGetStatus(handle, &status), DFU_STATUS_SUCCESS);
    EXPECT_EQ(status.bStatus, 0);
    EXPECT_EQ(status.bState, 5);
    ASSERT_EQ(DFU_DfuAbort(handle), DFU_STATUS_SUCCESS);
    EXPECT_EQ(State(), 2);

    // The device holds 16 bytes: asking for 32 ends the upload short.
    uint8_t back[32] = {};
    moved = 0;
    EXPECT_EQ(DFU_DfuUpload(handle, back, 32, 0, &moved), DFU_STATUS_INCOMPLETE_TRANSFER);
    EXPECT_EQ(moved, 16);
    EXPECT_EQ(std::memcmp(back, block, 16), 0);
}

// bwPollTimeout travels as three bytes; the busy answer after a block carries it.
TEST_P(Requests, PollTimeOutUnpacking)
{
    for (const uint32_t poll : {10000u, 16777215u}) {
        SCOPED_TRACE(poll);
        if (handle != nullptr) {
            ASSERT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
            handle = nullptr;
        }
        Start("busy=1,poll=" + std::to_string(poll));
        uint8_t block[4] = {1, 2, 3, 4};
        uint16_t moved = 0;
        ASSERT_EQ(DFU_DfuDnload(handle, block, 4, 0, &moved), DFU_STATUS_SUCCESS);
        DFU_GETSTATUS_RESULT status {};
        ASSERT_EQ(DFU_DfuGetStatus(handle, &status), DFU_STATUS_SUCCESS);
        EXPECT_EQ(status.bState, 4);
        EXPECT_EQ(status.bwPollTimeout, poll);
    }
}

TEST_P(Requests, InfoRecordSwapsBytesTwoAndThree)
{
    std::string hex = "3412" "0102" "78563412" "efbeadde" "04030201";
    for (int i = 0; i < 32; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof(digits), "%02x", 0x40 + i);
        hex += digits;
    }
    Start("info=" + hex);
    DFU_DEVICE_INFO info {};
    ASSERT_EQ(DFU_VeltGetInfo(handle, &info), DFU_STATUS_SUCCESS);
    EXPECT_EQ(info.infoWord, 0x1234);
    EXPECT_EQ(info.infoByte2, 0x01);
    EXPECT_EQ(info.infoByte1, 0x02);
    EXPECT_EQ(info.infoValue1, 0x12345678u);
    EXPECT_EQ(info.infoValue2, 0xDEADBEEFu);
    EXPECT_EQ(info.infoValue3, 0x01020304u);
    EXPECT_EQ(info.infoData[0], 0x40);
    EXPECT_EQ(info.infoData[31], 0x5F);
}

TEST_P(Requests, ClearStatusLeavesErrorAndResetRestartsTheDevice)
{
    Start("state=10");
    EXPECT_EQ(State(), 10);
    ASSERT_EQ(DFU_DfuClearStatus(handle), DFU_STATUS_SUCCESS);
    EXPECT_EQ(State(), 2);
    ASSERT_EQ(DFU_VeltReset(handle), DFU_STATUS_SUCCESS);
    EXPECT_EQ(State(), 10) << "the reset returns the device to its start state";
    EXPECT_TRUE(DFU_IsOpened(handle));
}

INSTANTIATE_TEST_SUITE_P(BothTransports, Requests, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Serial" : "Usb"; });
