// Devices that vanish in the middle of a transfer: the simulator killed, the
// USB connection closed, the serial line hung up. The call in progress fails
// with a status within its time-out, nothing hangs or crashes, and the handle
// can still be closed (and refuses further work cleanly until then).
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <future>
#include <memory>
#include <random>
#include <string>
#include <thread>

#include "PtyDevice.h"
#include "SimProcess.h"
#include "TestSupport.h"
#include "VELT_DFU.h"

using velt::sim::SimProcess;
using velt::test::Bytes;
using velt::test::PtyDevice;
using velt::test::ScopedDeviceDirs;
using velt::test::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t TIMEOUT_MS = 400;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

void WriteImage(const std::string& path, size_t size)
{
    std::mt19937 random(7);
    std::string bytes(size, '\0');
    for (char& b : bytes)
        b = static_cast<char>(random());
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Kills the simulator (SIGKILL: no clean-up of its own) after a few blocks.
struct Killer {
    pid_t pid;
    int afterBlock;
};

int KillAfterBlock(int32_t, int32_t inProgress, int32_t blockIndex, uintptr_t userData)
{
    const Killer* killer = reinterpret_cast<const Killer*>(userData);
    if (inProgress && blockIndex == killer->afterBlock)
        kill(killer->pid, SIGKILL);
    return 1;
}

} // namespace

class Vanishing : public ::testing::TestWithParam<bool>
{
protected:
    bool serial() const { return GetParam(); }

    // The device, paced on a serial line so that the transfer is still
    // running when it goes.
    void Start(const std::string& keys)
    {
        sim = std::make_unique<SimProcess>(serial() ? std::vector<std::string> {"--com", "COM7,flash-size=1M," + keys}
                                                    : std::vector<std::string> {"--usb", "flash-size=1M," + keys});
        sim->exportEnvironment();
        uint32_t count = 0;
        ASSERT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
        ASSERT_EQ(count, 1u);
        ASSERT_EQ(DFU_OpenByIndex(&handle, 0), DFU_STATUS_SUCCESS);
        ASSERT_EQ(DFU_SetTransferTimeout(handle, TIMEOUT_MS), DFU_STATUS_SUCCESS);
    }

    // After the device went: every request fails fast, and the handle closes.
    void ExpectDeadButClosable()
    {
        uint8_t state = 0x77;
        const auto start = Clock::now();
        EXPECT_NE(DFU_DfuGetState(handle, &state), DFU_STATUS_SUCCESS);
        EXPECT_EQ(state, 0x77);
        EXPECT_LE(MsSince(start), 3 * TIMEOUT_MS);
        EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
        handle = nullptr;
    }

    void TearDown() override
    {
        if (handle != nullptr)
            DFU_Close(handle);
    }

    std::unique_ptr<SimProcess> sim;
    DFU_HANDLE handle = nullptr;
};

INSTANTIATE_TEST_SUITE_P(Transports, Vanishing, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& which) { return which.param ? "Serial" : "Usb"; });

// Killed between two blocks of an image download: the next request finds
// the device gone.
TEST_P(Vanishing, SimulatorKilledDuringADownload)
{
    ASSERT_NO_FATAL_FAILURE(Start(serial() ? "baud=921600" : "latency=2000"));
    TempDir dir;
    const std::string image = dir.path() + "/image.bin";
    WriteImage(image, 64 * 1024);
    Killer killer {sim->pid(), 3};
    DFU_GETSTATUS_RESULT status {};
    const auto start = Clock::now();
    const DFU_STATUS result = DFU_DownloadImage(handle, 1024, image.c_str(), KillAfterBlock,
                                                reinterpret_cast<uintptr_t>(&killer), &status);
    EXPECT_NE(result, DFU_STATUS_SUCCESS);
    EXPECT_LE(MsSince(start), 3 * TIMEOUT_MS) << "status 0x" << std::hex << int(result);
    ExpectDeadButClosable();
}

// Killed while the host waits for an answer: the wait ends when the line or
// the connection goes, not when the time-out runs out.
TEST_P(Vanishing, SimulatorKilledWhileTheHostWaitsForAnAnswer)
{
    ASSERT_NO_FATAL_FAILURE(Start(serial() ? "delay=5000" : "latency=5000000"));
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 3000), DFU_STATUS_SUCCESS);
    uint8_t state = 0x77;
    auto call = std::async(std::launch::async, [&] { return DFU_DfuGetState(handle, &state); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto killed = Clock::now();
    kill(sim->pid(), SIGKILL);
    ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the call hangs";
    EXPECT_NE(call.get(), DFU_STATUS_SUCCESS);
    EXPECT_LE(MsSince(killed), 1500) << "the call waited for its time-out, not for the line";
    EXPECT_EQ(state, 0x77);
    ExpectDeadButClosable();
}

// The device's end of the serial line goes while the host reads a reply
// frame half sent: the read fails at once and the line is not waited on.
TEST(VanishingSerial, LineHungUpMidReply)
{
    TempDir dos, usb;
    ScopedDeviceDirs dirs {dos.path(), usb.path()};
    PtyDevice port {dos, "COM5"};
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByDevicePath(&handle, port.path().c_str()), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 2000), DFU_STATUS_SUCCESS);
    DFU_GETSTATUS_RESULT status {};
    auto call = std::async(std::launch::async, [&] { return DFU_DfuGetStatus(handle, &status); });
    ASSERT_EQ(port.Read(1), Bytes {0x55});
    port.Write({0xAA});
    ASSERT_EQ(port.Read(13).size(), 13u);
    port.Write({0x00, 0x3A, 0x00, 0x06, 0x00, 0x00, 0x00}); // acknowledged, then half a reply
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto hungUp = Clock::now();
    port.HangUp();
    ASSERT_EQ(call.wait_for(std::chrono::seconds(10)), std::future_status::ready) << "the call hangs";
    EXPECT_EQ(call.get(), DFU_STATUS_TIMEOUT);
    EXPECT_LE(MsSince(hungUp), 1000);
    uint8_t state = 0;
    const auto again = Clock::now();
    EXPECT_NE(DFU_DfuGetState(handle, &state), DFU_STATUS_SUCCESS);
    EXPECT_LE(MsSince(again), 1000);
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
}
