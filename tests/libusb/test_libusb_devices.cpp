// The library's exports on real-device paths: libusb's own Linux code
// talking to devices on a bus emulated by umockdev, each device's DFU
// function the simulator's device model.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "fake_usb_device.h"
#include "UsbTestBed.h"
#include "VELT_DFU.h"

using velt::test::DeviceLayout;
using velt::test::EmulatedDevice;
using velt::test::EmulatedInterface;
using velt::test::TempDir;
using velt::test::UsbTestBed;

namespace {

const GUID kDefaultGuid = {0x04C77E93, 0xB54D, 0x4714, {0xAC, 0x96, 0x15, 0xA6, 0x2B, 0xFA, 0x30, 0x7B}};
const char* kOtherGuidText = "{8A1C2B3D-4E5F-4061-9728-3A4B5C6D7E8F}";
const GUID kOtherGuid = {0x8A1C2B3D, 0x4E5F, 0x4061, {0x97, 0x28, 0x3A, 0x4B, 0x5C, 0x6D, 0x7E, 0x8F}};
const char* kOtherGuidPath = "{8a1c2b3d-4e5f-4061-9728-3a4b5c6d7e8f}";
const char* kDefaultGuidPath = "{04c77e93-b54d-4714-ac96-15a62bfa307b}";

std::string DfuPath(const std::string& ids, const std::string& instance, const char* guid = kDefaultGuidPath) {
    return "\\\\?\\usb#" + ids + "#" + instance + "#" + guid;
}

class LibusbDevices : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("VELT_USB_BACKEND", "libusb", 1);
        setenv("VELT_USB_GUIDS", mapPath.c_str(), 1);
        ASSERT_EQ(DFU_SetGuid(&kDefaultGuid), DFU_STATUS_SUCCESS);
    }
    void TearDown() override {
        for (DFU_HANDLE h : handles)
            DFU_Close(h);
        DFU_SetGuid(&kDefaultGuid);
        unsetenv("VELT_USB_BACKEND");
        unsetenv("VELT_USB_GUIDS");
    }

    std::vector<std::string> Paths() {
        uint32_t count = 0;
        EXPECT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
        std::vector<std::string> out;
        for (uint32_t i = 0; i < count; ++i) {
            char path[260] = {};
            EXPECT_EQ(DFU_GetDevicePath(i, path), DFU_STATUS_SUCCESS);
            out.push_back(path);
        }
        return out;
    }
    DFU_HANDLE Open(uint32_t index = 0) {
        DFU_HANDLE h = nullptr;
        EXPECT_EQ(DFU_OpenByIndex(&h, index), DFU_STATUS_SUCCESS);
        if (h)
            handles.push_back(h);
        return h;
    }
    void Close(DFU_HANDLE h) {
        EXPECT_EQ(DFU_Close(h), DFU_STATUS_SUCCESS);
        handles.erase(std::remove(handles.begin(), handles.end(), h), handles.end());
    }
    void Map(const std::string& text) { std::ofstream(mapPath) << text; }

    UsbTestBed bed;
    TempDir dir;
    const std::string mapPath = dir.path() + "/usb-guids";
    std::vector<DFU_HANDLE> handles;
};

DeviceLayout Dfu(const std::string& serial, uint8_t port = 1, uint8_t bus = 1) {
    DeviceLayout s;
    s.serial = serial;
    s.port = port;
    s.bus = bus;
    return s;
}

DeviceLayout Vendor(uint16_t pid, uint8_t port) {
    DeviceLayout s = Dfu("V" + std::to_string(pid), port);
    s.pid = pid;
    s.interfaces = {EmulatedInterface{0xFF, 0x00, 0x00, {}}};
    return s;
}

// --- discovery ---------------------------------------------------------

TEST_F(LibusbDevices, DfuInterfacesAreDefaultClassMembersInBusAndPortOrderWithSerialOrPortPaths) {
    bed.Add(Dfu("B-SERIAL", 3));
    bed.Add(Dfu("", 2, 2));  // no serial number: the bus-port chain stands in
    bed.Add(Dfu("A-SERIAL", 1));
    bed.Add(Vendor(0x1234, 4));  // neither DFU nor declared nor mapped
    EXPECT_EQ(Paths(), (std::vector<std::string>{DfuPath("vid_0483&pid_df11", "A-SERIAL"),
                                                 DfuPath("vid_0483&pid_df11", "B-SERIAL"),
                                                 DfuPath("vid_0483&pid_df11", "2-2")}));
    uint16_t vid = 0, pid = 0;
    EXPECT_EQ(DFU_GetVidPid(2, &vid, &pid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(vid, 0x0483);
    EXPECT_EQ(pid, 0xDF11);
}

TEST_F(LibusbDevices, NoDeviceOnTheBusCountsNone) {
    EXPECT_TRUE(Paths().empty());
    char path[260];
    EXPECT_EQ(DFU_GetDevicePath(0, path), DFU_STATUS_DEVICE_NOT_FOUND);
}

TEST_F(LibusbDevices, MsOs20GuidsPlaceDevicesAndCompositeInterfacesOnlyInTheirClass) {
    DeviceLayout whole = Vendor(0x0001, 1);
    whole.serial = "W1";
    whole.msOs20Guids = {kOtherGuidText};
    bed.Add(whole);
    DeviceLayout composite = Vendor(0x0002, 2);
    composite.serial = "C2";
    composite.interfaces = {EmulatedInterface{0x02, 0x02, 0x01, {}}, EmulatedInterface{0xFE, 0x01, 0x02, {kOtherGuidText}}};
    bed.Add(composite);
    // A DFU device that declares another class is no member of the default one.
    DeviceLayout declared = Dfu("D3", 3);
    declared.msOs20Guids = {kOtherGuidText};
    bed.Add(declared);

    EXPECT_TRUE(Paths().empty());
    ASSERT_EQ(DFU_SetGuid(&kOtherGuid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(Paths(), (std::vector<std::string>{DfuPath("vid_0483&pid_0001", "W1", kOtherGuidPath),
                                                 DfuPath("vid_0483&pid_0002&mi_01", "C2", kOtherGuidPath),
                                                 DfuPath("vid_0483&pid_df11", "D3", kOtherGuidPath)}));
    // The composite's interface 1 is the one opened.
    DFU_HANDLE h = Open(1);
    USB_INTERFACE_DESCRIPTOR itf = {};
    ASSERT_EQ(DFU_GetInterfaceDescriptor(h, &itf), DFU_STATUS_SUCCESS);
    EXPECT_EQ(itf.bInterfaceNumber, 1);
    EXPECT_EQ(itf.bInterfaceClass, 0xFE);
}

TEST_F(LibusbDevices, MsOs10ExtendedPropertiesPlaceADevice) {
    DeviceLayout s = Vendor(0x0010, 1);
    s.serial = "OS1";
    s.msOs10Guids = {kOtherGuidText};
    bed.Add(s);
    EXPECT_TRUE(Paths().empty());
    ASSERT_EQ(DFU_SetGuid(&kOtherGuid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(Paths(), (std::vector<std::string>{DfuPath("vid_0483&pid_0010", "OS1", kOtherGuidPath)}));
}

TEST_F(LibusbDevices, TheMappingFileBindsDevicesAndInterfacesToAClass) {
    bed.Add(Vendor(0x00AA, 1));
    DeviceLayout composite = Vendor(0x00BB, 2);
    composite.interfaces = {EmulatedInterface{0x02, 0x02, 0x01, {}}, EmulatedInterface{0xFF, 0, 0, {}}};
    bed.Add(composite);
    bed.Add(Dfu("MAPPED-DFU", 3));
    Map("# bench boards\n"
        "483:aa " + std::string(kOtherGuidText) + "\n"
        "0483:00BB/1 " + kOtherGuidText + "  # the vendor interface\n"
        "0483:df11 " + kOtherGuidText + "\n"
        "not a line\n");
    EXPECT_TRUE(Paths().empty()) << "a mapped DFU device leaves the default class";
    ASSERT_EQ(DFU_SetGuid(&kOtherGuid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(Paths(), (std::vector<std::string>{DfuPath("vid_0483&pid_00aa", "V170", kOtherGuidPath),
                                                 DfuPath("vid_0483&pid_00bb&mi_01", "V187", kOtherGuidPath),
                                                 DfuPath("vid_0483&pid_df11", "MAPPED-DFU", kOtherGuidPath)}));
}

TEST_F(LibusbDevices, ADeviceOfAnotherClassIsFoundOnlyAfterSetGuidAndACount) {
    DeviceLayout s = Dfu("OTHER", 1);
    s.msOs20Guids = {kOtherGuidText};
    bed.Add(s);
    EXPECT_TRUE(Paths().empty());
    ASSERT_EQ(DFU_SetGuid(&kOtherGuid), DFU_STATUS_SUCCESS);
    char path[260];
    EXPECT_EQ(DFU_GetDevicePath(0, path), DFU_STATUS_DEVICE_NOT_FOUND) << "still the old count's snapshot";
    EXPECT_EQ(Paths().size(), 1u);
    EXPECT_NE(Open(0), nullptr);
}

// --- open, descriptors, requests -------------------------------------

TEST_F(LibusbDevices, OpenIsExclusiveAndCloseLetsTheNextOpenIn) {
    EmulatedDevice& d = bed.Add(Dfu("EXCL"));
    ASSERT_EQ(Paths().size(), 1u);
    DFU_HANDLE first = Open(0);
    ASSERT_NE(first, nullptr);
    DFU_HANDLE second = nullptr;
    EXPECT_EQ(DFU_OpenByIndex(&second, 0), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(DFU_OpenByDevicePath(&second, DfuPath("vid_0483&pid_df11", "EXCL").c_str()),
              DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(second, nullptr);
    Close(first);
    for (int i = 0; i < 200 && d.OpenClients() != 0; ++i)
        usleep(10000);  // the bed hears of a closed descriptor on its own thread
    EXPECT_EQ(d.OpenClients(), 0u) << "closing leaves no descriptor open";
    DFU_HANDLE again = nullptr;
    EXPECT_EQ(DFU_OpenByDevicePath(&again, "\\\\?\\USB#VID_0483&PID_DF11#EXCL#{04C77E93-B54D-4714-AC96-15A62BFA307B}"),
              DFU_STATUS_SUCCESS)
        << "paths compare without regard to case";
    handles.push_back(again);
    char path[260] = {};
    EXPECT_EQ(DFU_GetOpenedDevicePath(again, path), DFU_STATUS_SUCCESS);
}

TEST_F(LibusbDevices, DescriptorsComeFromTheDevice) {
    bed.Add(Dfu("DESC"));
    ASSERT_EQ(Paths().size(), 1u);
    DFU_HANDLE h = Open();
    USB_DEVICE_DESCRIPTOR dev = {};
    ASSERT_EQ(DFU_GetDeviceDescriptor(h, &dev), DFU_STATUS_SUCCESS);
    EXPECT_EQ(dev.bLength, 18);
    EXPECT_EQ(dev.idVendor, 0x0483);
    EXPECT_EQ(dev.idProduct, 0xDF11);
    EXPECT_EQ(dev.iSerialNumber, 3);
    USB_INTERFACE_DESCRIPTOR itf = {};
    ASSERT_EQ(DFU_GetInterfaceDescriptor(h, &itf), DFU_STATUS_SUCCESS);
    EXPECT_EQ(itf.bInterfaceClass, 0xFE);
    EXPECT_EQ(itf.bInterfaceSubClass, 0x01);
    EXPECT_EQ(itf.bInterfaceProtocol, 0x02);
    uint16_t vid = 0, pid = 0;
    EXPECT_EQ(DFU_GetOpenedVidPid(h, &vid, &pid), DFU_STATUS_SUCCESS);
    EXPECT_EQ(pid, 0xDF11);
    uint32_t timeout = 0;
    EXPECT_EQ(DFU_GetTransferTimeout(h, &timeout), DFU_STATUS_SUCCESS);
    EXPECT_EQ(timeout, 1000u);

    // The serial number string, as a raw standard request.
    WINUSB_SETUP_PACKET get = {0x80, 6, 0x0303, 0x0409, 255};
    uint8_t text[255] = {};
    uint32_t got = 0;
    ASSERT_EQ(DFU_ControlTransfer(h, &get, text, sizeof text, &got), DFU_STATUS_SUCCESS);
    ASSERT_EQ(got, 10u);
    EXPECT_EQ(std::string(text + 2, text + 10), std::string("D\0E\0S\0C\0", 8));
}

TEST_F(LibusbDevices, EveryDfuRequestReachesTheModel) {
    EmulatedDevice& d = bed.Add(Dfu("REQ"));
    ASSERT_EQ(Paths().size(), 1u);
    DFU_HANDLE h = Open();
    uint8_t state = 0xEE;
    ASSERT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 2);  // dfuIDLE
    uint8_t block[64];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<uint8_t>(i * 7);
    uint16_t moved = 0;
    ASSERT_EQ(DFU_DfuDnload(h, block, sizeof block, 0, &moved), DFU_STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof block);
    DFU_GETSTATUS_RESULT status = {};
    ASSERT_EQ(DFU_DfuGetStatus(h, &status), DFU_STATUS_SUCCESS);
    EXPECT_EQ(status.bState, 5);  // dfuDNLOAD-IDLE
    ASSERT_EQ(DFU_DfuAbort(h), DFU_STATUS_SUCCESS);
    uint8_t back[64] = {};
    ASSERT_EQ(DFU_DfuUpload(h, back, sizeof back, 0, &moved), DFU_STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof back);
    EXPECT_EQ(std::vector<uint8_t>(back, back + 64), std::vector<uint8_t>(block, block + 64));
    ASSERT_EQ(DFU_DfuAbort(h), DFU_STATUS_SUCCESS);
    // CLRSTATUS outside dfuERROR is stalled and puts the device there.
    EXPECT_EQ(DFU_DfuClearStatus(h), DFU_STATUS_GENERAL_ERROR);
    ASSERT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 10);
    ASSERT_EQ(DFU_DfuClearStatus(h), DFU_STATUS_SUCCESS);
    DFU_DEVICE_INFO info = {};
    ASSERT_EQ(DFU_VeltGetInfo(h, &info), DFU_STATUS_SUCCESS);
    EXPECT_EQ(info.infoWord, 0xD0F1);
    ASSERT_EQ(DFU_VeltReset(h), DFU_STATUS_SUCCESS);
    EXPECT_EQ(d.Requests(), (std::vector<uint8_t>{5, 1, 3, 6, 2, 6, 4, 5, 4, 7, 8}));
}

// A composite board whose DFU function is interface 1 stalls requests whose
// wIndex does not name it; the library sends wIndex 0, and the platform puts
// the claimed interface's number there, as WinUSB does.
TEST_F(LibusbDevices, ACompositeDevicesDfuInterfaceOneAnswersTheLibrary) {
    DeviceLayout s = Vendor(0x0003, 1);
    s.serial = "MI1";
    s.interfaces = {EmulatedInterface{0xFF, 0x00, 0x00, {}}, EmulatedInterface{0xFE, 0x01, 0x02, {kOtherGuidText}}};
    EmulatedDevice& d = bed.Add(s);
    ASSERT_EQ(DFU_SetGuid(&kOtherGuid), DFU_STATUS_SUCCESS);
    const std::string path = DfuPath("vid_0483&pid_0003&mi_01", "MI1", kOtherGuidPath);
    ASSERT_EQ(Paths(), (std::vector<std::string>{path}));
    for (bool byPath : {true, false}) {
        SCOPED_TRACE(byPath ? "by path" : "by index");
        DFU_HANDLE h = nullptr;
        ASSERT_EQ(byPath ? DFU_OpenByDevicePath(&h, path.c_str()) : DFU_OpenByIndex(&h, 0), DFU_STATUS_SUCCESS);
        handles.push_back(h);
        DFU_GETSTATUS_RESULT status = {};
        ASSERT_EQ(DFU_DfuGetStatus(h, &status), DFU_STATUS_SUCCESS);
        EXPECT_EQ(status.bState, 2);
        uint8_t block[16] = {1, 2, 3};
        uint16_t moved = 0;
        EXPECT_EQ(DFU_DfuDnload(h, block, sizeof block, 0, &moved), DFU_STATUS_SUCCESS);
        ASSERT_EQ(DFU_DfuGetStatus(h, &status), DFU_STATUS_SUCCESS);
        EXPECT_EQ(status.bState, 5);
        EXPECT_EQ(DFU_DfuAbort(h), DFU_STATUS_SUCCESS);
        uint8_t state = 0;
        EXPECT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_SUCCESS);
        EXPECT_EQ(state, 2) << "no request was stalled into dfuERROR";
        DFU_DEVICE_INFO info = {};
        EXPECT_EQ(DFU_VeltGetInfo(h, &info), DFU_STATUS_SUCCESS);
        Close(h);
    }
    EXPECT_EQ(d.Requests(), (std::vector<uint8_t>{3, 1, 3, 6, 5, 7, 3, 1, 3, 6, 5, 7}));
}

TEST_F(LibusbDevices, AStallAndATimeOutReachTheCallerAsTheirStatuses) {
    EmulatedDevice& d = bed.Add(Dfu("FAULT"));
    ASSERT_EQ(Paths().size(), 1u);
    DFU_HANDLE h = Open();
    uint8_t state = 0;
    d.StallNext(1);
    EXPECT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_SUCCESS) << "a stall clears with the next request";

    ASSERT_EQ(DFU_SetTransferTimeout(h, 150), DFU_STATUS_SUCCESS);
    d.SetSilent(true);
    EXPECT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_TIMEOUT);
    d.SetSilent(false);
    EXPECT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_SUCCESS) << "the cancelled transfer is not taken as this one's";
    EXPECT_EQ(state, 2);
}

TEST_F(LibusbDevices, ADeviceRemovedMidSessionFailsItsCallsAndClosesCleanly) {
    EmulatedDevice& d = bed.Add(Dfu("GONE"));
    ASSERT_EQ(Paths().size(), 1u);
    DFU_HANDLE h = Open();
    uint8_t state = 0;
    ASSERT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_SUCCESS);
    bed.Remove(d);
    EXPECT_EQ(DFU_DfuGetState(h, &state), DFU_STATUS_GENERAL_ERROR);
    USB_DEVICE_DESCRIPTOR dev;
    EXPECT_EQ(DFU_GetDeviceDescriptor(h, &dev), DFU_STATUS_GENERAL_ERROR);
    Close(h);
    EXPECT_TRUE(Paths().empty());
}

// A board that leaves between the listing and the open: its claim fails with
// ENODEV. That is "not found", as if it was never there, not "device lost":
// the caller hears ERROR_FILE_NOT_FOUND and the next backend is asked.
TEST_F(LibusbDevices, ABoardGoneBeforeItsOpenIsNotFoundAndTheNextBackendIsAsked) {
    EmulatedDevice& d = bed.Add(Dfu("LEFT"));
    ASSERT_EQ(Paths().size(), 1u);
    const std::string path = DfuPath("vid_0483&pid_df11", "LEFT");
    d.FailNextClaim(ENODEV);
    const std::u16string widePath(path.begin(), path.end());
    const HANDLE file = CreateFileW(widePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_EQ(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    d.FailNextClaim(ENODEV);
    DFU_HANDLE h = nullptr;
    EXPECT_EQ(DFU_OpenByIndex(&h, 0), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(h, nullptr);

    // With every backend asked, a simulated device under the same path is
    // the one that opens.
    TempDir usb;
    FakeUsbDevice twin(usb.path(), "twin", path, "{04C77E93-B54D-4714-AC96-15A62BFA307B}");
    setenv("VELT_USBDEVICES", usb.path().c_str(), 1);
    unsetenv("VELT_USB_BACKEND");
    d.FailNextClaim(ENODEV);
    EXPECT_EQ(DFU_OpenByDevicePath(&h, path.c_str()), DFU_STATUS_SUCCESS);
    if (h)
        handles.push_back(h);
    EXPECT_EQ(d.OpenClients(), 0u) << "the emulated board kept nothing open";
    unsetenv("VELT_USBDEVICES");
}

// --- images ----------------------------------------------------------

std::vector<uint8_t> Random(size_t size, unsigned seed) {
    std::mt19937 generator(seed);
    std::vector<uint8_t> bytes(size);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(generator());
    return bytes;
}

TEST_F(LibusbDevices, AnImageGoesDownAndComesBackByteForByte) {
    EmulatedDevice& d = bed.Add(Dfu("IMAGE"));
    ASSERT_EQ(Paths().size(), 1u);
    DFU_HANDLE h = Open();
    const std::vector<uint8_t> image = Random(10000, 5);
    const std::string in = dir.path() + "/image.bin", out = dir.path() + "/upload.bin";
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());
    DFU_GETSTATUS_RESULT status = {};
    ASSERT_EQ(DFU_DownloadImage(h, 2048, in.c_str(), nullptr, 0, &status), DFU_STATUS_SUCCESS);
    std::vector<uint8_t> flash = d.Flash();
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));

    ASSERT_EQ(DFU_UploadImage(h, 2048, out.c_str(), nullptr, 0), DFU_STATUS_SUCCESS);
    std::ifstream back(out, std::ios::binary);
    std::vector<uint8_t> uploaded((std::istreambuf_iterator<char>(back)), {});
    ASSERT_GE(uploaded.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), uploaded.begin()));
}

}  // namespace
