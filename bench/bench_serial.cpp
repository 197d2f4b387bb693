// Serial transport throughput against the device simulator over a pty,
// compared with the cheapest possible exchange on the same kind of pty: a
// 1-byte ping-pong between two threads, measured in the same run.
//
//   GETSTATE            one request and its reply: one round trip
//   DNLOAD + GETSTATUS  a 1024-byte block and the status poll after it, with
//                       the device answering dfuDNLOAD-IDLE at once: two
//
// Usage: bench_serial [SECONDS_PER_MEASUREMENT]   (default 1.5)
#include <VELT_DFU.h>

#include "SimProcess.h"

#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kStopByte = 0xFF;
constexpr uint8_t kDfuIdle = 2;
constexpr uint8_t kDfuDnloadIdle = 5;
constexpr uint16_t kBlockSize = 1024;
constexpr uint32_t kFlashSize = 64u * 1024 * 1024;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Round trips per second of a 1-byte ping-pong over a fresh raw pty: the
// "device" thread echoes on the master, this thread writes and reads on the
// slave, as the library does.
double RawPingPong(double seconds)
{
    int master = -1, slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        throw std::runtime_error("openpty failed");
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);

    std::thread echo([master] {
        uint8_t byte = 0;
        while (read(master, &byte, 1) == 1) {
            if (write(master, &byte, 1) != 1 || byte == kStopByte)
                break;
        }
    });

    uint64_t trips = 0;
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds));
    uint8_t byte = 0x55;
    while (Clock::now() < end) {
        if (write(slave, &byte, 1) != 1 || read(slave, &byte, 1) != 1)
            throw std::runtime_error("raw ping-pong failed");
        ++trips;
    }
    const double elapsed = Seconds(Clock::now() - start);
    byte = kStopByte;
    if (write(slave, &byte, 1) == 1 && read(slave, &byte, 1) == 1) {
    }
    echo.join();
    close(slave);
    close(master);
    return static_cast<double>(trips) / elapsed;
}

void Require(DFU_STATUS status, const char* what)
{
    if (status != DFU_STATUS_SUCCESS) {
        char message[128];
        std::snprintf(message, sizeof message, "%s failed with status 0x%02X", what, status);
        throw std::runtime_error(message);
    }
}

double GetStateRate(DFU_HANDLE handle, double seconds)
{
    uint64_t requests = 0;
    const Clock::time_point start = Clock::now();
    double elapsed = 0;
    do {
        for (int i = 0; i < 50; ++i) {
            uint8_t state = 0;
            Require(DFU_DfuGetState(handle, &state), "GETSTATE");
            if (state != kDfuIdle)
                throw std::runtime_error("GETSTATE: device not in dfuIDLE");
        }
        requests += 50;
        elapsed = Seconds(Clock::now() - start);
    } while (elapsed < seconds);
    return static_cast<double>(requests) / elapsed;
}

double DownloadRate(DFU_HANDLE handle, double seconds)
{
    std::vector<uint8_t> block(kBlockSize);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(i * 13 + 7);

    uint64_t blocks = 0;
    uint16_t blockNumber = 0;
    const Clock::time_point start = Clock::now();
    double elapsed = 0;
    do {
        // Stay inside the simulated flash: start the image again from block 0.
        if (blockNumber == kFlashSize / kBlockSize) {
            Require(DFU_DfuAbort(handle), "ABORT");
            blockNumber = 0;
        }
        uint16_t moved = 0;
        Require(DFU_DfuDnload(handle, block.data(), kBlockSize, blockNumber, &moved), "DNLOAD");
        DFU_GETSTATUS_RESULT status{};
        Require(DFU_DfuGetStatus(handle, &status), "GETSTATUS");
        if (status.bState != kDfuDnloadIdle || status.bStatus != 0)
            throw std::runtime_error("GETSTATUS after DNLOAD: not dfuDNLOAD-IDLE with OK");
        ++blockNumber;
        ++blocks;
        elapsed = Seconds(Clock::now() - start);
    } while (elapsed < seconds);
    Require(DFU_DfuAbort(handle), "ABORT");
    return static_cast<double>(blocks) / elapsed;
}

void PrintRate(const char* label, double rate, const char* unit, double raw, double target)
{
    const double ratio = 100.0 * rate / raw;
    std::printf("%-34s %9.0f %-14s %5.1f %% of raw   (target >= %.0f %%: %s)\n", label, rate, unit,
                ratio, target, ratio >= target ? "met" : "MISSED");
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 1.5;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: bench_serial [SECONDS_PER_MEASUREMENT]\n");
        return 2;
    }
    try {
        velt::sim::SimProcess sim(
            {"--com", "COM5,state=2,flash-size=" + std::to_string(kFlashSize)});
        sim.exportEnvironment();

        DFU_HANDLE handle = nullptr;
        Require(DFU_OpenByDevicePath(&handle, "\\\\.\\COM5"), "open \\\\.\\COM5");
        uint8_t state = 0;
        Require(DFU_DfuGetState(handle, &state), "first GETSTATE"); // handshake out of the way

        // Raw measurements on either side of the library ones, so that a
        // change in machine load shows up as a difference between them.
        const double rawBefore = RawPingPong(seconds);
        const double getState = GetStateRate(handle, seconds);
        const double download = DownloadRate(handle, seconds);
        const double rawAfter = RawPingPong(seconds);
        DFU_Close(handle);

        const double raw = (rawBefore + rawAfter) / 2;
        std::printf("Serial transport over a pty, %.1f s per measurement\n", seconds);
        std::printf("%-34s %9.0f %-14s (%.0f before, %.0f after)\n", "raw pty ping-pong, 1 byte", raw,
                    "round trips/s", rawBefore, rawAfter);
        PrintRate("GETSTATE", getState, "requests/s", raw, 50);
        PrintRate("DNLOAD 1024 B + GETSTATUS", download, "blocks/s", raw, 33);
        std::printf("%-34s %9.2f MB/s\n", "  download payload", download * kBlockSize / 1e6);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_serial: %s\n", e.what());
        return 1;
    }
    return 0;
}
