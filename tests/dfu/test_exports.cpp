// The rules every export follows, checked without any simulator: order of
// the argument checks, outputs left alone on failure, handles that leave no
// trace, discovery over a private dosdevices directory, and bad input.
#include <gtest/gtest.h>

#include <dlfcn.h>

#include <cstring>
#include <string>
#include <vector>

#include "PtyDevice.h"
#include "TestSupport.h"
#include "VELT_DFU.h"
#include "api/Handles.h"

using velt::test::PtyDevice;
using velt::test::ScopedDeviceDirs;
using velt::test::TempDir;

namespace {

class ExportRules : public ::testing::Test
{
protected:
    TempDir dos;
    TempDir usb;
    ScopedDeviceDirs dirs {dos.path(), usb.path()};

    // A handle whose device has been closed, made by opening a pty.
    DFU_HANDLE ClosedHandle()
    {
        PtyDevice port(dos, "COM90");
        DFU_HANDLE handle = nullptr;
        EXPECT_EQ(DFU_OpenByDevicePath(&handle, port.path().c_str()), DFU_STATUS_SUCCESS);
        EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
        unlink((dos.path() + "/COM90").c_str());
        return handle;
    }

    // Every handle-taking export, with valid-looking outputs that must stay
    // untouched when the handle is refused.
    void ExpectEveryExportRefuses(DFU_HANDLE handle)
    {
        char path[260];
        std::memset(path, 0x5A, sizeof(path));
        uint16_t vid = 0x1111, pid = 0x2222, count16 = 0x3333;
        uint8_t kind = 0x77, byte = 0x77, parity = 0x77, stop = 0x77, flow = 0x77;
        uint32_t value = 0x44444444, transferred = 0x55555555;
        USB_DEVICE_DESCRIPTOR device;
        std::memset(&device, 0x66, sizeof(device));
        USB_INTERFACE_DESCRIPTOR iface;
        std::memset(&iface, 0x66, sizeof(iface));
        WINUSB_SETUP_PACKET setup = {0xA1, 5, 0, 0, 1};
        uint8_t data[64] = {};
        DFU_GETSTATUS_RESULT status;
        std::memset(&status, 0x66, sizeof(status));
        DFU_DEVICE_INFO info;
        std::memset(&info, 0x66, sizeof(info));

        EXPECT_EQ(DFU_GetOpenedDevicePath(handle, path), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetOpenedVidPid(handle, &vid, &pid), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetOpenedInterface(handle, &kind), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetDeviceDescriptor(handle, &device), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetInterfaceDescriptor(handle, &iface), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_ControlTransfer(handle, &setup, data, sizeof(data), &transferred), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_SetTransferTimeout(handle, 100), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetTransferTimeout(handle, &value), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_SetUartConfig(handle, 9600, 8, 0, 0, 0), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetUartConfig(handle, &value, &byte, &parity, &stop, &flow), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuDnload(handle, data, 2, 0, &count16), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuUpload(handle, data, 2, 0, &count16), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuGetStatus(handle, &status), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuClearStatus(handle), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuGetState(handle, &byte), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuAbort(handle), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_VeltGetInfo(handle, &info), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_VeltReset(handle), DFU_STATUS_INVALID_HANDLE);
        const std::string upload = dos.path() + "/upload.bin";
        EXPECT_EQ(DFU_DownloadImage(handle, 64, "/dev/null", nullptr, 0, &status), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_UploadImage(handle, 64, upload.c_str(), nullptr, 0), DFU_STATUS_INVALID_HANDLE);
        EXPECT_NE(access(upload.c_str(), F_OK), 0) << "an upload on a bad handle created its file";
        // The handle is checked before any pointer.
        EXPECT_EQ(DFU_GetOpenedDevicePath(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_ControlTransfer(handle, nullptr, nullptr, 0, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuGetStatus(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuDnload(handle, nullptr, 0, 0, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetOpenedVidPid(handle, nullptr, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetOpenedInterface(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetDeviceDescriptor(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetInterfaceDescriptor(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetTransferTimeout(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_GetUartConfig(handle, nullptr, nullptr, nullptr, nullptr, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuUpload(handle, nullptr, 0, 0, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DfuGetState(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_VeltGetInfo(handle, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_DownloadImage(handle, 0, nullptr, nullptr, 0, nullptr), DFU_STATUS_INVALID_HANDLE);
        EXPECT_EQ(DFU_UploadImage(handle, 0, nullptr, nullptr, 0), DFU_STATUS_INVALID_HANDLE);
        EXPECT_FALSE(DFU_IsOpened(handle));
        EXPECT_EQ(DFU_Close(handle), DFU_STATUS_INVALID_HANDLE);

        for (unsigned char c : path)
            ASSERT_EQ(c, 0x5A);
        EXPECT_EQ(vid, 0x1111);
        EXPECT_EQ(pid, 0x2222);
        EXPECT_EQ(count16, 0x3333);
        EXPECT_EQ(kind, 0x77);
        EXPECT_EQ(byte, 0x77);
        EXPECT_EQ(value, 0x44444444u);
        EXPECT_EQ(transferred, 0x55555555u);
        EXPECT_EQ(device.bLength, 0x66);
        EXPECT_EQ(iface.bLength, 0x66);
        EXPECT_EQ(status.bState, 0x66);
        EXPECT_EQ(info.infoWord, 0x6666);
    }
};

} // namespace

TEST_F(ExportRules, HandlesNoOpenReturnedAreRefusedEverywhere)
{
    uint64_t notACell = 0;
    ExpectEveryExportRefuses(nullptr);
    ExpectEveryExportRefuses(&notACell);
    ExpectEveryExportRefuses(reinterpret_cast<DFU_HANDLE>(uintptr_t {0x1234}));
}

TEST_F(ExportRules, ClosedHandlesAreRefusedEverywhere)
{
    const size_t before = HandleCount();
    DFU_HANDLE closed = ClosedHandle();
    EXPECT_EQ(HandleCount(), before);
    ExpectEveryExportRefuses(closed);
}

// A program that keeps using a handle after closing it must not reach the
// device opened next, even when that open could have reused its memory.
TEST_F(ExportRules, ClosedHandleValueNeverComesBack)
{
    PtyDevice first(dos, "COM81");
    PtyDevice second(dos, "COM82");
    std::vector<DFU_HANDLE> closed;
    for (int i = 0; i < 20; ++i) {
        DFU_HANDLE handle = nullptr;
        ASSERT_EQ(DFU_OpenByDevicePath(&handle, first.path().c_str()), DFU_STATUS_SUCCESS);
        ASSERT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
        closed.push_back(handle);
    }
    DFU_HANDLE open = nullptr;
    ASSERT_EQ(DFU_OpenByDevicePath(&open, second.path().c_str()), DFU_STATUS_SUCCESS);
    for (DFU_HANDLE old : closed) {
        ASSERT_NE(old, open);
        ExpectEveryExportRefuses(old);
    }
    char path[260] = {};
    ASSERT_EQ(DFU_GetOpenedDevicePath(open, path), DFU_STATUS_SUCCESS);
    EXPECT_STREQ(path, second.path().c_str());
    EXPECT_EQ(DFU_Close(open), DFU_STATUS_SUCCESS);
}

TEST_F(ExportRules, PointerChecksComeBeforeTheOpenTest)
{
    PtyDevice port(dos, "COM3");
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByDevicePath(&handle, port.path().c_str()), DFU_STATUS_SUCCESS);

    uint16_t v16 = 0;
    uint8_t v8 = 0;
    uint32_t v32 = 0;
    uint8_t data[8] = {};
    WINUSB_SETUP_PACKET setup = {0x21, 1, 0, 0, 8};
    EXPECT_EQ(DFU_GetOpenedDevicePath(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetOpenedVidPid(handle, &v16, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetOpenedVidPid(handle, nullptr, &v16), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetOpenedInterface(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetDeviceDescriptor(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetInterfaceDescriptor(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_ControlTransfer(handle, nullptr, data, 8, &v32), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_ControlTransfer(handle, &setup, nullptr, 8, &v32), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_ControlTransfer(handle, &setup, data, 8, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_ControlTransfer(handle, &setup, data, 7, &v32), DFU_STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(DFU_GetTransferTimeout(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetUartConfig(handle, &v32, &v8, &v8, &v8, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetUartConfig(handle, nullptr, &v8, &v8, &v8, &v8), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DfuDnload(handle, nullptr, 0, 0, &v16), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DfuDnload(handle, data, 0, 0, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DfuUpload(handle, nullptr, 2, 0, &v16), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DfuGetStatus(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DfuGetState(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_VeltGetInfo(handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    DFU_GETSTATUS_RESULT status = {};
    EXPECT_EQ(DFU_DownloadImage(handle, 64, nullptr, nullptr, 0, &status), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DownloadImage(handle, 64, "/dev/null", nullptr, 0, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DownloadImage(handle, 0, "/dev/null", nullptr, 0, &status), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_UploadImage(handle, 64, nullptr, nullptr, 0), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_UploadImage(handle, 0, "/dev/null", nullptr, 0), DFU_STATUS_INVALID_PARAMETER);
    // None of these reached the line: the device end saw nothing at all.
    EXPECT_TRUE(port.Drain(50).empty());
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
}

TEST_F(ExportRules, QueriesWithoutHandleCheckTheirPointers)
{
    uint16_t v16 = 0;
    uint8_t v8 = 0;
    uint32_t v32 = 0;
    EXPECT_EQ(DFU_GetGuid(nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_SetGuid(nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetNumDevices(nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetDevicePath(0, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetVidPid(0, nullptr, &v16), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetVidPid(0, &v16, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetInterfaceByIndex(0, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetInterfaceByDevicePath(nullptr, &v8), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetInterfaceByDevicePath("\\\\.\\COM1", nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetLibraryVersion(&v8, &v8, nullptr), DFU_STATUS_INVALID_PARAMETER);

    uint8_t major = 0, minor = 0;
    ASSERT_EQ(DFU_GetLibraryVersion(&major, &minor, &v32), DFU_STATUS_SUCCESS);
    EXPECT_EQ(major, 1);
    EXPECT_EQ(minor, 1);
    EXPECT_EQ(v32, 1u);
}

TEST_F(ExportRules, FailedOpensLeaveNoTraceAndWriteNoHandle)
{
    const size_t before = HandleCount();
    DFU_HANDLE handle = reinterpret_cast<DFU_HANDLE>(uintptr_t {0xABCD});
    EXPECT_EQ(DFU_OpenByIndex(nullptr, 0), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_OpenByDevicePath(nullptr, "\\\\.\\COM1"), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, nullptr), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, "\\\\.\\COM99"), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, "\\\\?\\usb#vid_0000&pid_0000#none#{x}"), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(DFU_OpenByIndex(&handle, 12345), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(handle, reinterpret_cast<DFU_HANDLE>(uintptr_t {0xABCD}));
    EXPECT_EQ(HandleCount(), before);
}

TEST_F(ExportRules, OverlongAndNonAsciiPathsAreRefusedCleanly)
{
    const size_t before = HandleCount();
    DFU_HANDLE handle = nullptr;
    uint8_t kind = 0x77;
    const std::string comTooLong = "\\\\.\\COM" + std::string(260, '1');
    const std::string exactly260(260, 'x');
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, comTooLong.c_str()), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, exactly260.c_str()), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_GetInterfaceByDevicePath(comTooLong.c_str(), &kind), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(kind, 0x77);

    const std::string fits259 = "\\\\.\\COM" + std::string(252, '1');
    ASSERT_EQ(fits259.size(), 259u);
    EXPECT_EQ(DFU_GetInterfaceByDevicePath(fits259.c_str(), &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_UART);
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, fits259.c_str()), DFU_STATUS_GENERAL_ERROR);

    const char high[] = {'\\', '\\', '.', '\\', 'C', 'O', 'M', static_cast<char>(0xC3), static_cast<char>(0xA9), 0};
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, high), DFU_STATUS_GENERAL_ERROR);
    const char highUsb[] = {static_cast<char>(0xFF), static_cast<char>(0x80), 'u', 's', 'b', 0};
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, highUsb), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(DFU_GetInterfaceByDevicePath(highUsb, &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_USB);
    EXPECT_EQ(handle, nullptr);
    EXPECT_EQ(HandleCount(), before);
}

TEST_F(ExportRules, ComPathsAreKnownInAnyCaseAndOpenAsPorts)
{
    uint8_t kind = 0x77;
    ASSERT_EQ(DFU_GetInterfaceByDevicePath("\\\\.\\COM7", &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_UART);
    kind = 0x77;
    ASSERT_EQ(DFU_GetInterfaceByDevicePath("\\\\.\\com7", &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_UART);
    ASSERT_EQ(DFU_GetInterfaceByDevicePath("\\\\?\\usb#vid_1a2b&pid_00ff#S1#{g}", &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_USB);

    // The port is the same whatever the case of its name, for the library's
    // choice of transport and for the platform's name lookup alike.
    PtyDevice port(dos, "COM7");
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByDevicePath(&handle, "\\\\.\\com7"), DFU_STATUS_SUCCESS);
    uint8_t opened = 0x77;
    EXPECT_EQ(DFU_GetOpenedInterface(handle, &opened), DFU_STATUS_SUCCESS);
    EXPECT_EQ(opened, DFU_INTERFACE_UART);
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
}

TEST_F(ExportRules, GuidRoundTrip)
{
    GUID original {};
    ASSERT_EQ(DFU_GetGuid(&original), DFU_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&original, &DFU_DEFAULT_DEVICE_GUID, sizeof(GUID)), 0);
    const uint8_t defaultBytes[16] = {0x93, 0x7E, 0xC7, 0x04, 0x4D, 0xB5, 0x14, 0x47,
                                      0xAC, 0x96, 0x15, 0xA6, 0x2B, 0xFA, 0x30, 0x7B};
    EXPECT_EQ(std::memcmp(&original, defaultBytes, sizeof(defaultBytes)), 0);

    const GUID other = {0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
    ASSERT_EQ(DFU_SetGuid(&other), DFU_STATUS_SUCCESS);
    GUID read {};
    ASSERT_EQ(DFU_GetGuid(&read), DFU_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&read, &other, sizeof(GUID)), 0);
    ASSERT_EQ(DFU_SetGuid(&original), DFU_STATUS_SUCCESS);
}

// Before the first count every index names a COM port that is not there. A
// freshly loaded copy of the shared library is the only state guaranteed
// never to have counted.
TEST(Discovery, BeforeAnyCount)
{
    void* library = dlopen(VELT_DFU_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto getDevicePath = reinterpret_cast<DFU_STATUS (*)(uint32_t, char*)>(dlsym(library, "DFU_GetDevicePath"));
    auto getInterface = reinterpret_cast<DFU_STATUS (*)(uint32_t, uint8_t*)>(dlsym(library, "DFU_GetInterfaceByIndex"));
    auto openByIndex = reinterpret_cast<DFU_STATUS (*)(DFU_HANDLE*, uint32_t)>(dlsym(library, "DFU_OpenByIndex"));
    auto getVidPid = reinterpret_cast<DFU_STATUS (*)(uint32_t, uint16_t*, uint16_t*)>(dlsym(library, "DFU_GetVidPid"));
    ASSERT_TRUE(getDevicePath && getInterface && openByIndex && getVidPid);

    char path[260];
    std::memset(path, 0x5A, sizeof(path));
    uint8_t kind = 0x77;
    DFU_HANDLE handle = nullptr;
    EXPECT_EQ(getDevicePath(0, path), DFU_STATUS_DEVICE_NOT_FOUND);
    EXPECT_EQ(static_cast<unsigned char>(path[0]), 0x5A);
    ASSERT_EQ(getInterface(0, &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_UART);
    EXPECT_EQ(openByIndex(&handle, 0), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(handle, nullptr);
    uint16_t vid = 7, pid = 7;
    EXPECT_EQ(getVidPid(0, &vid, &pid), DFU_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(vid, 7);
    dlclose(library);
}

TEST_F(ExportRules, ComPortsAreCountedAfterUsbAndFiltered)
{
    for (const char* name : {"COM1", "COM12", "COMBO", "com2", "CNCA0"})
        dos.Link(name, "/dev/null");
    uint32_t count = 0;
    ASSERT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
    ASSERT_EQ(count, 4u);

    std::vector<std::string> paths;
    for (uint32_t i = 0; i < count; ++i) {
        char path[260];
        std::memset(path, 0x5A, sizeof(path));
        ASSERT_EQ(DFU_GetDevicePath(i, path), DFU_STATUS_SUCCESS);
        for (size_t k = std::strlen(path); k < sizeof(path); ++k)
            ASSERT_EQ(path[k], 0) << "path buffer not zero-filled at " << k;
        paths.push_back(path);
        uint8_t kind = 0;
        ASSERT_EQ(DFU_GetInterfaceByIndex(i, &kind), DFU_STATUS_SUCCESS);
        EXPECT_EQ(kind, DFU_INTERFACE_UART);
        uint16_t vid = 7, pid = 7;
        EXPECT_EQ(DFU_GetVidPid(i, &vid, &pid), DFU_STATUS_NOT_SUPPORTED);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string> {"\\\\.\\COM1", "\\\\.\\COM12", "\\\\.\\COMBO", "\\\\.\\com2"}));
    char path[260];
    EXPECT_EQ(DFU_GetDevicePath(count, path), DFU_STATUS_DEVICE_NOT_FOUND);
}

TEST_F(ExportRules, LongDosDeviceListIsReadAfterDoubling)
{
    // 300 names of 8 characters make a list of 2700 characters, more than
    // twice the first 1024-character buffer.
    for (int i = 0; i < 300; ++i)
        dos.Link("COM" + std::to_string(10000 + i), "/dev/null");
    uint32_t count = 0;
    ASSERT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
    EXPECT_EQ(count, 300u);
}

// All 32 exports are there by their plain C names.
TEST(SharedLibrary, ExportsEveryFunctionByItsPlainName)
{
    static const char* const kExports[] = {
        "DFU_GetGuid", "DFU_SetGuid", "DFU_GetNumDevices", "DFU_GetDevicePath", "DFU_GetVidPid",
        "DFU_GetInterfaceByIndex", "DFU_GetInterfaceByDevicePath", "DFU_GetLibraryVersion", "DFU_OpenByIndex",
        "DFU_OpenByDevicePath", "DFU_Close", "DFU_IsOpened", "DFU_GetOpenedDevicePath", "DFU_GetOpenedVidPid",
        "DFU_GetOpenedInterface", "DFU_GetDeviceDescriptor", "DFU_GetInterfaceDescriptor", "DFU_ControlTransfer",
        "DFU_SetTransferTimeout", "DFU_GetTransferTimeout", "DFU_SetUartConfig", "DFU_GetUartConfig",
        "DFU_DfuDnload", "DFU_DfuUpload", "DFU_DfuGetStatus", "DFU_DfuClearStatus", "DFU_DfuGetState",
        "DFU_DfuAbort", "DFU_VeltGetInfo", "DFU_VeltReset", "DFU_DownloadImage", "DFU_UploadImage",
    };
    static_assert(sizeof(kExports) / sizeof(kExports[0]) == 32, "the library has 32 exports");
    void* library = dlopen(VELT_DFU_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    for (const char* name : kExports)
        EXPECT_NE(dlsym(library, name), nullptr) << name;
    dlclose(library);
}

// The shared library exports nothing but the DFU_ functions, and its state
// is rebuilt from scratch when it is loaded again.
TEST(SharedLibrary, ReloadRestoresTheDefaultGuid)
{
    void* library = dlopen(VELT_DFU_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    using SetGuidFn = DFU_STATUS (*)(const GUID*);
    using GetGuidFn = DFU_STATUS (*)(GUID*);
    auto setGuid = reinterpret_cast<SetGuidFn>(dlsym(library, "DFU_SetGuid"));
    ASSERT_NE(setGuid, nullptr);
    EXPECT_EQ(dlsym(library, "_Z12LookupHandlePv"), nullptr);
    EXPECT_EQ(dlsym(library, "_Z19StatusFromLastErrorv"), nullptr);
    EXPECT_EQ(dlsym(library, "SetupDiGetClassDevsW"), nullptr);
    const GUID other = {0xDEADBEEF, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    ASSERT_EQ(setGuid(&other), DFU_STATUS_SUCCESS);
    ASSERT_EQ(dlclose(library), 0);

    library = dlopen(VELT_DFU_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto getGuid = reinterpret_cast<GetGuidFn>(dlsym(library, "DFU_GetGuid"));
    ASSERT_NE(getGuid, nullptr);
    GUID read {};
    ASSERT_EQ(getGuid(&read), DFU_STATUS_SUCCESS);
    EXPECT_EQ(std::memcmp(&read, &DFU_DEFAULT_DEVICE_GUID, sizeof(GUID)), 0);
    dlclose(library);
}
