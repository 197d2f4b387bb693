// Whole-image throughput against the device simulator, on USB and on a
// serial line: DFU_DownloadImage and DFU_UploadImage for images of 64 KiB to
// 1 MiB in blocks of 64, 1024 and 4096 bytes. Beside each figure, the cost of
// one block as a multiple of one GETSTATE measured in the same run on the
// same device: a downloaded block is a DNLOAD and a GETSTATUS (two requests,
// one of them carrying the block), an uploaded block one UPLOAD. The
// GETSTATE rate is measured again beside every row, so that the load of a
// shared machine falls on both alike.
//
// Usage: bench_image [REPEATS]   (default 3; each figure is the median)
#include <VELT_DFU.h>

#include "SimProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Check(DFU_STATUS status, const char* what)
{
    if (status != DFU_STATUS_SUCCESS) {
        std::fprintf(stderr, "bench_image: %s failed with 0x%02X\n", what, status);
        std::exit(1);
    }
}

double GetStateRate(DFU_HANDLE handle, double seconds)
{
    uint8_t state = 0;
    unsigned done = 0;
    const Clock::time_point start = Clock::now();
    while (Seconds(Clock::now() - start) < seconds) {
        for (int i = 0; i < 100; ++i)
            Check(DFU_DfuGetState(handle, &state), "GETSTATE");
        done += 100;
    }
    return done / Seconds(Clock::now() - start);
}

template <typename Transfer>
double TimeOf(int repeats, Transfer transfer)
{
    std::vector<double> times;
    for (int i = 0; i < repeats; ++i) {
        const Clock::time_point start = Clock::now();
        transfer();
        times.push_back(Seconds(Clock::now() - start));
    }
    return Median(times);
}

void Measure(const char* transport, DFU_HANDLE handle, const std::string& dir, int repeats)
{
    std::printf("\n%s\n", transport);
    std::printf("  %-9s %6s %11s  %12s %10s %9s  %12s %10s %9s\n", "image", "block", "GETSTATE/s", "download",
                "blocks/s", "GETSTATEs", "upload", "blocks/s", "GETSTATEs");
    const std::string image = dir + "/image.bin";
    const std::string upload = dir + "/upload.bin";
    std::mt19937 random(42);
    for (unsigned kib : {64u, 256u, 1024u}) {
        std::vector<char> bytes(kib * 1024);
        for (char& b : bytes)
            b = static_cast<char>(random());
        std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        for (unsigned block : {64u, 1024u, 4096u}) {
            const double blocks = kib * 1024.0 / block;
            DFU_GETSTATUS_RESULT status = {};
            const double down = TimeOf(repeats, [&] {
                Check(DFU_DownloadImage(handle, static_cast<uint16_t>(block), image.c_str(), nullptr, 0, &status),
                      "download");
            });
            const double up = TimeOf(repeats, [&] {
                Check(DFU_UploadImage(handle, static_cast<uint16_t>(block), upload.c_str(), nullptr, 0), "upload");
            });
            const double getState = GetStateRate(handle, 0.3);
            std::printf("  %5u KiB %6u %11.0f  %7.0f KiB/s %10.0f %9.2f  %7.0f KiB/s %10.0f %9.2f\n", kib, block,
                        getState, kib / down, blocks / down, getState / (blocks / down), kib / up, blocks / up,
                        getState / (blocks / up));
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    const int repeats = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    velt::sim::SimProcess sim({"--usb", "serial=BENCH,flash-size=2M", "--com", "COM7,flash-size=2M"});
    sim.exportEnvironment();
    uint32_t count = 0;
    Check(DFU_GetNumDevices(&count), "count");
    if (count != 2) {
        std::fprintf(stderr, "bench_image: expected 2 simulated devices, found %u\n", count);
        return 1;
    }
    std::printf("Image transfers against velt-dfu-sim (median of %d runs per figure; GETSTATEs = the cost of one\n"
                "block as a multiple of one GETSTATE on the same device)\n", repeats);
    const char* names[] = {"USB (simulated, local socket)", "Serial (simulated, pty, unpaced)"};
    for (uint32_t index = 0; index < 2; ++index) {
        DFU_HANDLE handle = nullptr;
        Check(DFU_OpenByIndex(&handle, index), "open");
        Measure(names[index], handle, sim.usbDir(), repeats);
        DFU_Close(handle);
    }
    return 0;
}
