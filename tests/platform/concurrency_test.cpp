// Several threads counting, opening, querying and closing at once, as host
// programs do through the DFU library.
#include <setupapi.h>
#include <winusb.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "fake_usb_device.h"
#include "test_env.h"

namespace {

const GUID kDfuGuid = {0x04C77E93, 0xB54D, 0x4714, {0xAC, 0x96, 0x15, 0xA6, 0x2B, 0xFA, 0x30, 0x7B}};

TEST(PlatformConcurrency, ExclusiveOpensHoldUnderRacingThreads) {
    TempDeviceDirs dirs;
    FakeUsbDevice dev(dirs.usb(), "dev", "\\\\?\\usb#vid_0483&pid_df11#SN1#{04c77e93-b54d-4714-ac96-15a62bfa307b}",
                      "{04C77E93-B54D-4714-AC96-15A62BFA307B}");
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ASSERT_EQ(symlink(ptsname(master), (dirs.dos() + "/COM7").c_str()), 0);

    std::atomic<int> comHolders{0}, usbHolders{0}, overlaps{0}, comOpens{0}, usbOpens{0}, failures{0};
    auto worker = [&] {
        for (int i = 0; i < 25; ++i) {
            HDEVINFO set = SetupDiGetClassDevsW(&kDfuGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
            SP_DEVICE_INTERFACE_DATA data = {};
            data.cbSize = sizeof data;
            DWORD required = 0;
            if (!SetupDiEnumDeviceInterfaces(set, nullptr, &kDfuGuid, 0, &data) ||
                SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr) ||
                GetLastError() != ERROR_INSUFFICIENT_BUFFER)
                ++failures;
            std::vector<unsigned char> buf(required);
            auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buf.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
            if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr))
                ++failures;
            SetupDiDestroyDeviceInfoList(set);

            HANDLE usb = CreateFileW(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_OVERLAPPED, nullptr);
            if (usb != INVALID_HANDLE_VALUE) {
                if (++usbHolders > 1)
                    ++overlaps;
                ++usbOpens;
                WINUSB_INTERFACE_HANDLE h;
                USB_INTERFACE_DESCRIPTOR d;
                if (!WinUsb_Initialize(usb, &h) || !WinUsb_QueryInterfaceSettings(h, 0, &d) || !WinUsb_Free(h))
                    ++failures;
                --usbHolders;
                CloseHandle(usb);
            } else if (GetLastError() != ERROR_ACCESS_DENIED) {
                ++failures;
            }

            HANDLE com = CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
            if (com != INVALID_HANDLE_VALUE) {
                if (++comHolders > 1)
                    ++overlaps;
                ++comOpens;
                DCB dcb;
                if (!GetCommState(com, &dcb))
                    ++failures;
                --comHolders;
                CloseHandle(com);
            } else if (GetLastError() != ERROR_ACCESS_DENIED) {
                ++failures;
            }
            WCHAR names[256];
            if (QueryDosDeviceW(nullptr, names, 256) != 6)
                ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(worker);
    for (std::thread& t : threads)
        t.join();
    close(master);
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(comOpens.load(), 0);
    EXPECT_GT(usbOpens.load(), 0);
}

// Windows lets one thread purge a port while another reads it; the port's
// receive buffer is shared between the two.
TEST(PlatformConcurrency, PurgeWhileAnotherThreadReadsKeepsThePortWhole) {
    TempDeviceDirs dirs;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    ASSERT_EQ(symlink(ptsname(master), (dirs.dos() + "/COM7").c_str()), 0);
    HANDLE com = CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(com, INVALID_HANDLE_VALUE);
    COMMTIMEOUTS t = {0, 0, 5, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(com, &t));

    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    std::thread feeder([&] {
        const char chunk[] = "0123456789abcdef";
        while (!done)
            if (write(master, chunk, sizeof chunk - 1) < 0)
                std::this_thread::yield();
    });
    std::thread purger([&] {
        while (!done) {
            if (!PurgeComm(com, PURGE_RXCLEAR | PURGE_RXABORT))
                ++failures;
            std::this_thread::yield();
        }
    });
    long received = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
    while (std::chrono::steady_clock::now() < until) {
        char buf[7];
        DWORD got = 0;
        if (!ReadFile(com, buf, sizeof buf, &got, nullptr) || got > sizeof buf)
            ++failures;
        received += got;
    }
    done = true;
    purger.join();
    feeder.join();
    EXPECT_TRUE(CloseHandle(com));
    close(master);
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(received, 0);
}

}  // namespace
