// Several threads counting, opening, querying and closing at once. Run under
// ThreadSanitizer, this catches unguarded library state; natively it checks
// that handles stay distinct and that nothing leaks into the table.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <unistd.h>
#include <thread>
#include <vector>

#include "SimProcess.h"
#include "VELT_DFU.h"
#include "api/Handles.h"

using velt::sim::SimProcess;

TEST(Concurrency, CountOpenQueryAndCloseFromManyThreads)
{
    SimProcess sim({"--usb", "serial=C1,name=a", "--usb", "serial=C2,name=b", "--usb", "serial=C3,name=c",
                    "--com", "COM3", "--com", "COM4"});
    sim.exportEnvironment();
    uint32_t count = 0;
    ASSERT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
    ASSERT_EQ(count, 5u);

    constexpr int ROUNDS = 15;
    std::atomic<int> failures {0};
    std::vector<std::thread> threads;
    // One thread per device, each owning its index so exclusive opens never
    // collide; all of them also count and look up every index.
    for (uint32_t own = 0; own < 5; ++own) {
        threads.emplace_back([own, &failures] {
            for (int round = 0; round < ROUNDS; ++round) {
                uint32_t n = 0;
                if (DFU_GetNumDevices(&n) != DFU_STATUS_SUCCESS || n != 5)
                    ++failures;
                for (uint32_t i = 0; i < 5; ++i) {
                    char path[260];
                    if (DFU_GetDevicePath(i, path) != DFU_STATUS_SUCCESS)
                        ++failures;
                    uint16_t vid = 0, pid = 0;
                    const DFU_STATUS vidPid = DFU_GetVidPid(i, &vid, &pid);
                    if (vidPid != (i < 3 ? DFU_STATUS_SUCCESS : DFU_STATUS_NOT_SUPPORTED))
                        ++failures;
                }
                DFU_HANDLE handle = nullptr;
                const DFU_STATUS openResult = DFU_OpenByIndex(&handle, own);
                if (openResult != DFU_STATUS_SUCCESS) {
                    ADD_FAILURE() << "open of index " << own << " gave " << int(openResult) << " in round " << round;
                    ++failures;
                    continue;
                }
                uint8_t state = 0;
                const DFU_STATUS got = DFU_DfuGetState(handle, &state);
                if (!DFU_IsOpened(handle) || got != DFU_STATUS_SUCCESS || state != 2) {
                    ADD_FAILURE() << "GETSTATE on index " << own << " gave " << int(got) << " in round " << round;
                    ++failures;
                }
                char opened[260];
                if (DFU_GetOpenedDevicePath(handle, opened) != DFU_STATUS_SUCCESS)
                    ++failures;
                if (DFU_Close(handle) != DFU_STATUS_SUCCESS || DFU_IsOpened(handle))
                    ++failures;
            }
        });
    }
    // A sixth thread reads and rewrites the class GUID with its own value.
    threads.emplace_back([&failures] {
        for (int round = 0; round < ROUNDS * 5; ++round) {
            GUID guid {};
            if (DFU_GetGuid(&guid) != DFU_STATUS_SUCCESS || DFU_SetGuid(&guid) != DFU_STATUS_SUCCESS)
                ++failures;
        }
    });
    for (std::thread& thread : threads)
        thread.join();

    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(HandleCount(), 0u);
}

// One handle shared by threads: their calls take turns (a request of one
// never lands inside another's exchange on the line), and a close while a
// transfer runs waits for it, after which the handle is gone for everyone.
TEST(Concurrency, ThreadsSharingAHandleTakeTurnsAndACloseWaitsForTheRunningCall)
{
    char dir[] = "/tmp/velt-shared-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string image = std::string(dir) + "/image.bin";
    {
        std::vector<char> bytes(6000);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 13 + 7);
        FILE* file = std::fopen(image.c_str(), "wb");
        ASSERT_NE(file, nullptr);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    // A paced line: a download takes most of a second.
    SimProcess sim({"--com", "COM5,baud=115200"});
    sim.exportEnvironment();
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByDevicePath(&handle, "\\\\.\\COM5"), DFU_STATUS_SUCCESS);

    std::atomic<bool> downloading {true};
    std::atomic<int> polls {0}, badPolls {0};
    std::thread poller([&] {
        while (downloading) {
            uint8_t state = 0xFF;
            const DFU_STATUS status = DFU_DfuGetState(handle, &state);
            // Between two whole requests of the download the device is idle or between blocks.
            if (status != DFU_STATUS_SUCCESS || (state != 2 && state != 3 && state != 5))
                ++badPolls;
            ++polls;
        }
    });
    EXPECT_EQ(DFU_DownloadImage(handle, 1024, image.c_str(), nullptr, 0, nullptr), DFU_STATUS_INVALID_PARAMETER);
    DFU_GETSTATUS_RESULT last {};
    EXPECT_EQ(DFU_DownloadImage(handle, 1024, image.c_str(), nullptr, 0, &last), DFU_STATUS_SUCCESS);
    downloading = false;
    poller.join();
    EXPECT_GT(polls.load(), 0);
    EXPECT_EQ(badPolls.load(), 0) << "of " << polls.load() << " GETSTATEs beside the download";

    // The close comes while the second download runs; it returns only once
    // the download's last progress call has been made.
    std::atomic<bool> finished {false};
    DFU_STATUS result = DFU_STATUS_GENERAL_ERROR;
    std::thread transfer([&] {
        result = DFU_DownloadImage(
            handle, 1024, image.c_str(),
            [](int32_t, int32_t inProgress, int32_t, uintptr_t data) {
                if (inProgress == 0)
                    reinterpret_cast<std::atomic<bool>*>(data)->store(true);
                return 1;
            },
            reinterpret_cast<uintptr_t>(&finished), &last);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
    EXPECT_TRUE(finished.load()) << "the close ran before the download it was waiting for ended";
    transfer.join();
    EXPECT_EQ(result, DFU_STATUS_SUCCESS);
    uint8_t state = 0;
    EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_INVALID_HANDLE);
    EXPECT_EQ(HandleCount(), 0u);
    std::remove(image.c_str());
    rmdir(dir);
}
