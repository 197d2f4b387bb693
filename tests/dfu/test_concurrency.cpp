// Several threads counting, opening, querying and closing at once. Run under
// ThreadSanitizer, this catches unguarded library state; natively it checks
// that handles stay distinct and that nothing leaks into the table.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
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
