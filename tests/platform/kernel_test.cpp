// Last error, time and critical sections.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

TEST(LastError, IsPerThread) {
    SetLastError(ERROR_SEM_TIMEOUT);
    DWORD other = 0;
    std::thread t([&] {
        other = GetLastError();
        SetLastError(ERROR_ACCESS_DENIED);
    });
    t.join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SEM_TIMEOUT));
}

TEST(TickCount, AdvancesWithSleep) {
    DWORD start = GetTickCount();
    Sleep(60);
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 59u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(CriticalSection, IsReentrantAndExcludesOtherThreads) {
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs);  // the owner may take it again

    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    LeaveCriticalSection(&cs);
    Sleep(50);
    EXPECT_FALSE(entered);  // still held once
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered);
    DeleteCriticalSection(&cs);
}

TEST(WideStrings, CopyBoundedAndCompare) {
    WCHAR buf[5];
    lstrcpynW(buf, u"\\\\.\\COM12", 5);
    EXPECT_EQ(std::u16string(buf), u"\\\\.\\");
    EXPECT_EQ(lstrlenW(TEXT("COM7")), 4);
    EXPECT_EQ(lstrcmpiW(u"\\\\?\\USB#VID_0483", u"\\\\?\\usb#vid_0483"), 0);
    EXPECT_LT(lstrcmpW(u"COM1", u"COM2"), 0);
}

}  // namespace
