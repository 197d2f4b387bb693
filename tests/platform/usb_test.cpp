// SetupAPI discovery and WinUSB requests against devices served from a test
// thread over the local-socket protocol.
#include <setupapi.h>
#include <winusb.h>

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fake_usb_device.h"
#include "test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

const char* kDfuGuidText = "{04C77E93-B54D-4714-AC96-15A62BFA307B}";
const GUID kDfuGuid = {0x04C77E93, 0xB54D, 0x4714, {0xAC, 0x96, 0x15, 0xA6, 0x2B, 0xFA, 0x30, 0x7B}};
const char* kOtherGuidText = "{11111111-2222-3333-4444-555555555555}";
const GUID kOtherGuid = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

std::string PathFor(const char* serial) {
    return std::string("\\\\?\\usb#vid_0483&pid_df11#") + serial + "#{04c77e93-b54d-4714-ac96-15a62bfa307b}";
}

std::u16string Wide(const std::string& s) { return std::u16string(s.begin(), s.end()); }

// Reads a member's path the way the DFU library does: size query, then fill.
std::u16string MemberPath(HDEVINFO set, const GUID& guid, DWORD index, DWORD* errorOut = nullptr) {
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    if (!SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &data)) {
        if (errorOut)
            *errorOut = GetLastError();
        return {};
    }
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<unsigned char> buf(required);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr)) << GetLastError();
    return detail->DevicePath;
}

HANDLE OpenPath(const std::u16string& path) {
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                       nullptr);
}

class UsbDiscoveryTest : public ::testing::Test {
protected:
    TempDeviceDirs dirs_;
};

TEST_F(UsbDiscoveryTest, MembersAreTheLiveDevicesOfTheClassInStemOrder) {
    FakeUsbDevice b(dirs_.usb(), "b", PathFor("SN-B"), kDfuGuidText);
    FakeUsbDevice a(dirs_.usb(), "a", PathFor("SN-A"), kDfuGuidText);
    FakeUsbDevice other(dirs_.usb(), "c", PathFor("SN-C"), kOtherGuidText);
    // A description without a socket, and one whose socket nobody listens on.
    std::ofstream(dirs_.usb() + "/0.dev") << "path=" << PathFor("SN-0") << "\nguid=" << kDfuGuidText << "\n";
    {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::string sock = dirs_.usb() + "/1.sock";
        memcpy(addr.sun_path, sock.c_str(), sock.size());
        ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
        close(fd);
        std::ofstream(dirs_.usb() + "/1.dev") << "path=" << PathFor("SN-1") << "\nguid=" << kDfuGuidText << "\n";
    }

    HDEVINFO set = SetupDiGetClassDevsW(&kDfuGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(MemberPath(set, kDfuGuid, 0), Wide(PathFor("SN-A")));
    EXPECT_EQ(MemberPath(set, kDfuGuid, 1), Wide(PathFor("SN-B")));
    DWORD error = 0;
    EXPECT_EQ(MemberPath(set, kDfuGuid, 2, &error), u"");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    // The set was built for one class; asking it for another finds nothing.
    EXPECT_EQ(MemberPath(set, kOtherGuid, 0, &error), u"");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDfuGuid, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    HDEVINFO others = SetupDiGetClassDevsW(&kOtherGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_EQ(MemberPath(others, kOtherGuid, 0), Wide(PathFor("SN-C")));
    SetupDiDestroyDeviceInfoList(others);
}

TEST_F(UsbDiscoveryTest, DeviceBoundThroughAnotherSpellingOfTheDirectoryIsLive) {
    FakeUsbDevice dev(dirs_.root() + "/dos/../usb", "dev", PathFor("SN-X"), kDfuGuidText);
    HDEVINFO set = SetupDiGetClassDevsW(&kDfuGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_EQ(MemberPath(set, kDfuGuid, 0), Wide(PathFor("SN-X")));
    SetupDiDestroyDeviceInfoList(set);
}

TEST_F(UsbDiscoveryTest, DetailCallFollowsTheSizeContract) {
    FakeUsbDevice dev(dirs_.usb(), "dev", PathFor("SN1"), kDfuGuidText);
    HDEVINFO set = SetupDiGetClassDevsW(&kDfuGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof data;
    ASSERT_TRUE(SetupDiEnumDeviceInterfaces(set, nullptr, &kDfuGuid, 0, &data));
    EXPECT_TRUE(IsEqualGUID(data.InterfaceClassGuid, kDfuGuid));

    const std::u16string path = Wide(PathFor("SN1"));
    DWORD required = 0;
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, 8 + (path.size() + 1) * 2);

    std::vector<unsigned char> buf(required + 16);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
    detail->cbSize = 6;  // the 32-bit layout's size is wrong here
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, 4 + static_cast<DWORD>(path.size()) * 2,
                                                  nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(std::u16string(detail->DevicePath), path);
    SetupDiDestroyDeviceInfoList(set);
}

class UsbDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        dev_ = std::make_unique<FakeUsbDevice>(dirs_.usb(), "dev", PathFor("SN1"), kDfuGuidText);
        file_ = OpenPath(Wide(PathFor("SN1")));
        ASSERT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();
        ASSERT_TRUE(WinUsb_Initialize(file_, &usb_)) << GetLastError();
    }
    void TearDown() override {
        if (usb_)
            WinUsb_Free(usb_);
        if (file_ != INVALID_HANDLE_VALUE)
            CloseHandle(file_);
    }
    BOOL Control(uint8_t requestType, uint8_t request, std::vector<uint8_t>& data, ULONG* moved) {
        WINUSB_SETUP_PACKET setup = {requestType, request, 0, 0, static_cast<USHORT>(data.size())};
        return WinUsb_ControlTransfer(usb_, setup, data.data(), static_cast<ULONG>(data.size()), moved, nullptr);
    }

    TempDeviceDirs dirs_;
    std::unique_ptr<FakeUsbDevice> dev_;
    HANDLE file_ = INVALID_HANDLE_VALUE;
    WINUSB_INTERFACE_HANDLE usb_ = nullptr;
};

TEST_F(UsbDeviceTest, OpenIsExclusiveUntilClosed) {
    // Interface paths ignore case.
    std::string upper = PathFor("SN1");
    for (char& c : upper)
        c = static_cast<char>(toupper(c));
    EXPECT_EQ(OpenPath(Wide(upper)), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(WinUsb_Free(usb_));
    usb_ = nullptr;
    ASSERT_TRUE(CloseHandle(file_));
    file_ = OpenPath(Wide(upper));
    EXPECT_NE(file_, INVALID_HANDLE_VALUE) << GetLastError();

    EXPECT_EQ(OpenPath(Wide(PathFor("SN2"))), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(UsbDeviceTest, WinUsbHandlesComeOnlyFromDeviceFiles) {
    WINUSB_INTERFACE_HANDLE h = nullptr;
    EXPECT_FALSE(WinUsb_Initialize(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x4444440)), &h));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    // A WinUSB handle is not a file handle, and the reverse.
    EXPECT_FALSE(CloseHandle(usb_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(WinUsb_Free(file_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    USB_INTERFACE_DESCRIPTOR d;
    EXPECT_FALSE(WinUsb_QueryInterfaceSettings(file_, 0, &d));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(UsbDeviceTest, ControlTransfersMoveDataBothWays) {
    std::vector<uint8_t> out = {1, 2, 3, 4, 5};
    ULONG moved = 0;
    ASSERT_TRUE(Control(0x21, 1, out, &moved)) << GetLastError();
    EXPECT_EQ(moved, 5u);

    std::vector<uint8_t> in(16, 0);
    ASSERT_TRUE(Control(0xA1, 2, in, &moved)) << GetLastError();
    EXPECT_EQ(moved, 5u);  // a short IN stage
    EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 5), out);

    // No data stage, no buffer and no count.
    WINUSB_SETUP_PACKET bare = {0x21, 4, 0, 0, 0};
    EXPECT_TRUE(WinUsb_ControlTransfer(usb_, bare, nullptr, 0, nullptr, nullptr)) << GetLastError();

    std::vector<uint8_t> none(6);
    EXPECT_FALSE(Control(0xA1, FakeUsbDevice::kStallRequest, none, &moved));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(moved, 0u);
}

// WinUSB puts the handle's interface number in the low byte of wIndex of
// every request to an interface, and leaves every other request alone.
TEST_F(UsbDeviceTest, RequestsToAnInterfaceCarryTheHandlesNumberInWIndex) {
    FakeUsbDevice composite(dirs_.usb(), "comp", PathFor("SN-MI"), kDfuGuidText, "interface=3\n");
    HANDLE file = OpenPath(Wide(PathFor("SN-MI")));
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << GetLastError();
    for (HANDLE device : {file_, file}) {
        WINUSB_INTERFACE_HANDLE usb = nullptr;
        ASSERT_TRUE(WinUsb_Initialize(device, &usb)) << GetLastError();
        uint8_t buffer[8] = {};
        ULONG moved = 0;
        for (UCHAR type : {0xA1, 0x21, 0xC1, 0x80, 0xA2, 0xC0, 0xA3})
            EXPECT_TRUE(WinUsb_ControlTransfer(usb, WINUSB_SETUP_PACKET{type, 5, 0, 0x0207, 1}, buffer, 1, &moved,
                                               nullptr));
        WinUsb_Free(usb);
    }
    CloseHandle(file);
    const UCHAR number = 3;
    for (const auto& [log, interfaceNumber] : {std::make_pair(dev_->Log(), UCHAR{0}), std::make_pair(composite.Log(), number)}) {
        SCOPED_TRACE(static_cast<int>(interfaceNumber));
        std::vector<std::pair<uint8_t, uint16_t>> seen;
        for (const auto& entry : log)
            if (entry.op == VUSB_OP_CONTROL)
                seen.emplace_back(entry.setup[0], static_cast<uint16_t>(entry.setup[4] | entry.setup[5] << 8));
        const uint16_t rewritten = static_cast<uint16_t>(0x0200 | interfaceNumber);
        EXPECT_EQ(seen, (std::vector<std::pair<uint8_t, uint16_t>>{
                            {0xA1, rewritten}, {0x21, rewritten}, {0xC1, rewritten}, {0x80, 0x0207},
                            {0xA2, 0x0207}, {0xC0, 0x0207}, {0xA3, 0x0207}}));
    }
}

TEST_F(UsbDeviceTest, DescriptorsArriveWhole) {
    USB_DEVICE_DESCRIPTOR dd;
    ULONG got = 0;
    ASSERT_TRUE(WinUsb_GetDescriptor(usb_, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, reinterpret_cast<PUCHAR>(&dd),
                                     sizeof dd, &got));
    EXPECT_EQ(got, 18u);
    EXPECT_EQ(dd.idVendor, 0x0483);
    EXPECT_EQ(dd.idProduct, 0xDF11);
    EXPECT_EQ(dd.bNumConfigurations, 1);

    USB_INTERFACE_DESCRIPTOR id;
    ASSERT_TRUE(WinUsb_QueryInterfaceSettings(usb_, 0, &id));
    EXPECT_EQ(id.bLength, 9);
    EXPECT_EQ(id.bInterfaceClass, 0xFE);
    EXPECT_EQ(id.bInterfaceSubClass, 0x01);

    auto log = dev_->Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].op, VUSB_OP_GET_DESCRIPTOR);
    EXPECT_EQ(log[0].arg0, 1u);
}

TEST_F(UsbDeviceTest, PipeTimeoutIsEnforcedAndLateRepliesDropped) {
    ULONG ms = 150;
    ASSERT_TRUE(WinUsb_SetPipePolicy(usb_, 0, PIPE_TRANSFER_TIMEOUT, sizeof ms, &ms)) << GetLastError();
    auto log = dev_->Log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].op, VUSB_OP_SET_PIPE_POLICY);
    EXPECT_EQ(log[0].arg1, static_cast<uint32_t>(PIPE_TRANSFER_TIMEOUT));
    EXPECT_EQ(log[0].data, (std::vector<uint8_t>{150, 0, 0, 0}));

    std::vector<uint8_t> out = {9, 8, 7};
    ULONG moved = 0;
    dev_->slowReplyMs = 350;
    auto start = Clock::now();
    EXPECT_FALSE(Control(0x21, FakeUsbDevice::kSlowRequest, out, &moved));
    auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
    EXPECT_GE(waited, 140);
    EXPECT_LT(waited, 340);

    // Once the late reply has come in, the next request still gets its own
    // answer, not the late one.
    Sleep(500);
    std::vector<uint8_t> in(3);
    ASSERT_TRUE(Control(0xA1, 2, in, &moved)) << GetLastError();
    EXPECT_EQ(moved, 3u);
    EXPECT_EQ(in, out);
}

TEST_F(UsbDeviceTest, LostConnectionFailsEveryLaterCall) {
    std::vector<uint8_t> none;
    ULONG moved = 0;
    EXPECT_FALSE(Control(0x21, FakeUsbDevice::kHangUpRequest, none, &moved));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
    USB_INTERFACE_DESCRIPTOR id;
    EXPECT_FALSE(WinUsb_QueryInterfaceSettings(usb_, 0, &id));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_COMMAND));
}

}  // namespace
