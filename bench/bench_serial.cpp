// Serial transport throughput over a pty, compared with the cheapest possible
// exchange on the same kind of pty: a 1-byte ping-pong between two threads.
//
//   GETSTATE            one request and its reply: one round trip
//   DNLOAD + GETSTATUS  a 1024-byte block and the status poll after it, with
//                       the device answering dfuDNLOAD-IDLE at once: two
//
// The framing adds a third crossing to every device-to-host request: the
// host's acknowledgement of the reply. Its cost on this pty is shown by the
// same ping-pong with a 1-byte acknowledgement after each echo, which bounds
// what any implementation of the protocol can reach.
//
// Both that line and the hand-written GETSTATE below write the next request
// the instant the acknowledgement is out. The pty then often hands the two
// to the peer together, waking it once instead of twice; a host that does
// any work between two requests (half a microsecond is enough) loses that,
// so those two lines are upper bounds rather than targets for a library.
//
// Each is measured against two devices: the simulator (a separate process),
// and a minimal responder thread in this process that answers from a buffer
// with one write per reply. The second isolates the library's own cost from
// the simulator's. Measurements are taken in interleaved short slices, so
// that the load of a shared machine falls on all of them alike; the figures
// are medians over the slices.
//
// Usage: bench_serial [SECONDS_PER_MEASUREMENT]   (default 2)
#include <VELT_DFU.h>

#include "SimProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kDfuIdle = 2;
constexpr uint8_t kDfuDnloadIdle = 5;
constexpr uint16_t kBlockSize = 1024;
constexpr uint32_t kFlashSize = 64u * 1024 * 1024;
constexpr int kRounds = 10;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

// Runs `step` (which does `per` operations) until `seconds` have passed;
// returns operations per second.
template <typename Step>
double Rate(double seconds, unsigned per, Step step)
{
    uint64_t done = 0;
    const Clock::time_point start = Clock::now();
    double elapsed = 0;
    do {
        step();
        done += per;
        elapsed = Seconds(Clock::now() - start);
    } while (elapsed < seconds);
    return static_cast<double>(done) / elapsed;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void MakeRaw(int fd)
{
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
}

// A pty whose master end is served by a thread.
class PtyPeer {
public:
    PtyPeer()
    {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty failed");
        MakeRaw(slave_);
    }
    virtual ~PtyPeer()
    {
        stop_ = true;
        if (slave_ >= 0)
            close(slave_);
        if (thread_.joinable())
            thread_.join();
        close(master_);
    }
    std::string slaveName() const { return ptsname(master_); }

protected:
    void start() { thread_ = std::thread([this] { serve(); }); }
    virtual void serve() = 0;
    void closeSlave()
    {
        close(slave_);
        slave_ = -1;
    }

    int master_ = -1;
    int slave_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The 1-byte ping-pong: the thread echoes on the master, the bench writes
// and reads on the slave, as the library does. The echo waits in poll() like
// the simulator's event loop, so both peers are woken the same way. (A peer
// in a process of its own measures the same here; a thread keeps it simple.)
class PingPong : public PtyPeer {
public:
    PingPong() { start(); }
    double measure(double seconds, bool acknowledge = false)
    {
        return Rate(seconds, 100, [this, acknowledge] {
            for (int i = 0; i < 100; ++i) {
                uint8_t byte = kPing;
                if (write(slave_, &byte, 1) != 1 || read(slave_, &byte, 1) != 1)
                    throw std::runtime_error("raw ping-pong failed");
                const uint8_t ack = 0x00;
                if (acknowledge && write(slave_, &ack, 1) != 1)
                    throw std::runtime_error("raw ping-pong acknowledgement failed");
            }
        });
    }

private:
    static constexpr uint8_t kPing = 0x55;

    // Echoes each ping; acknowledgements are read and dropped, as a device does.
    void serve() override
    {
        uint8_t byte = 0;
        while (!stop_) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0)
                continue;
            if (read(master_, &byte, 1) != 1)
                break;
            if (byte == kPing && write(master_, &byte, 1) != 1)
                break;
        }
    }
};

uint16_t Crc16(const uint8_t* data, size_t size)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < size; ++i) {
        crc ^= static_cast<uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

// The least a device can do on the serial line: answer the handshake, accept
// every frame, and answer GETSTATE with dfuIDLE and GETSTATUS with OK and
// dfuDNLOAD-IDLE. It reads in bulk and writes each answer (acknowledgement
// and reply frame together) with one write. The library's own tests check
// the protocol; this only serves the benchmark.
class Responder : public PtyPeer {
public:
    // For the library, which opens the slave itself, ours is closed so that
    // it does not hold the port; `keepSlave` keeps it for hand-written
    // exchanges.
    explicit Responder(bool keepSlave = false)
    {
        if (!keepSlave)
            closeSlave();
        start();
    }

    // GETSTATE written by hand with one write per frame: the request frame,
    // then the reply read whole, then the acknowledgement. What the protocol
    // itself costs on this pty, without the library.
    double measureHandWritten(double seconds)
    {
        static const uint8_t request[] = {0x3A, 0x00, 0x07, 0x00, 0x05, 0x00, 0x00,
                                          0x00, 0x00, 0x01, 0x00, 0x48, 0xD2};
        return Rate(seconds, 20, [this] {
            for (int i = 0; i < 20; ++i) {
                uint8_t reply[8];
                size_t got = 0;
                if (write(slave_, request, sizeof request) != sizeof request)
                    throw std::runtime_error("hand-written request failed");
                while (got < sizeof reply) {
                    ssize_t n = read(slave_, reply + got, sizeof reply - got);
                    if (n <= 0)
                        throw std::runtime_error("hand-written reply failed");
                    got += static_cast<size_t>(n);
                }
                const uint8_t ack = 0x00;
                if (write(slave_, &ack, 1) != 1)
                    throw std::runtime_error("hand-written acknowledgement failed");
            }
        });
    }

private:
    void serve() override
    {
        std::vector<uint8_t> in;
        uint8_t chunk[4096];
        while (!stop_) {
            pollfd ready{master_, POLLIN, 0};
            if (poll(&ready, 1, 50) <= 0)
                continue;
            ssize_t n = read(master_, chunk, sizeof chunk);
            if (n <= 0) {
                usleep(1000); // no one has the slave open yet
                continue;
            }
            in.insert(in.end(), chunk, chunk + n);
            consume(in);
        }
    }

    void consume(std::vector<uint8_t>& in)
    {
        size_t pos = 0;
        while (pos < in.size()) {
            if (in[pos] == 0x55) {
                const uint8_t reply = 0xAA;
                (void)!write(master_, &reply, 1);
                ++pos;
            } else if (in[pos] != 0x3A) {
                ++pos; // the host's acknowledgement of our last reply
            } else {
                if (in.size() - pos < 4)
                    break;
                const size_t length = in[pos + 2] | in[pos + 3] << 8;
                if (in.size() - pos < 4 + length + 2)
                    break;
                answer(in[pos + 4]);
                pos += 4 + length + 2;
            }
        }
        in.erase(in.begin(), in.begin() + static_cast<long>(pos));
    }

    void answer(uint8_t request)
    {
        uint8_t out[16] = {0x00}; // acknowledgement of the host's frame
        size_t size = 1;
        if (request == 5) { // GETSTATE
            const uint8_t payload[] = {kDfuIdle};
            size = 1 + frame(out + 1, payload, sizeof payload);
        } else if (request == 3) { // GETSTATUS: OK, no poll time-out, dfuDNLOAD-IDLE
            const uint8_t payload[] = {0, 0, 0, 0, kDfuDnloadIdle, 0};
            size = 1 + frame(out + 1, payload, sizeof payload);
        }
        (void)!write(master_, out, size);
    }

    static size_t frame(uint8_t* out, const uint8_t* payload, size_t size)
    {
        out[0] = 0x3A;
        out[1] = 0x00;
        out[2] = static_cast<uint8_t>(size);
        out[3] = 0;
        std::copy(payload, payload + size, out + 4);
        const uint16_t crc = Crc16(out, 4 + size);
        out[4 + size] = static_cast<uint8_t>(crc);
        out[5 + size] = static_cast<uint8_t>(crc >> 8);
        return 6 + size;
    }
};

void Require(DFU_STATUS status, const char* what)
{
    if (status != DFU_STATUS_SUCCESS) {
        char message[128];
        std::snprintf(message, sizeof message, "%s failed with status 0x%02X", what, status);
        throw std::runtime_error(message);
    }
}

DFU_HANDLE Open(const char* path)
{
    DFU_HANDLE handle = nullptr;
    Require(DFU_OpenByDevicePath(&handle, path), path);
    uint8_t state = 0;
    Require(DFU_DfuGetState(handle, &state), "first GETSTATE"); // handshake out of the way
    return handle;
}

double GetStateRate(DFU_HANDLE handle, double seconds)
{
    return Rate(seconds, 20, [handle] {
        for (int i = 0; i < 20; ++i) {
            uint8_t state = 0;
            Require(DFU_DfuGetState(handle, &state), "GETSTATE");
            if (state != kDfuIdle)
                throw std::runtime_error("GETSTATE: device not in dfuIDLE");
        }
    });
}

// One image download in progress per device: the next block number to send.
struct Download {
    DFU_HANDLE handle;
    uint16_t nextBlock = 0;
};

double DownloadRate(Download& download, double seconds)
{
    static std::vector<uint8_t> block = [] {
        std::vector<uint8_t> bytes(kBlockSize);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<uint8_t>(i * 13 + 7);
        return bytes;
    }();
    const double rate = Rate(seconds, 1, [&download] {
        // Stay inside the simulated flash: start the image again from block 0.
        if (download.nextBlock == kFlashSize / kBlockSize) {
            Require(DFU_DfuAbort(download.handle), "ABORT");
            download.nextBlock = 0;
        }
        uint16_t moved = 0;
        Require(DFU_DfuDnload(download.handle, block.data(), kBlockSize, download.nextBlock, &moved),
                "DNLOAD");
        DFU_GETSTATUS_RESULT status{};
        Require(DFU_DfuGetStatus(download.handle, &status), "GETSTATUS");
        if (status.bState != kDfuDnloadIdle || status.bStatus != 0)
            throw std::runtime_error("GETSTATUS after DNLOAD: not dfuDNLOAD-IDLE with OK");
        ++download.nextBlock;
    });
    // Leave the device in dfuIDLE for the GETSTATE slices.
    Require(DFU_DfuAbort(download.handle), "ABORT");
    download.nextBlock = 0;
    return rate;
}

struct Series {
    std::vector<double> rate, ratio;
};

void PrintLine(const char* label, const Series& s, const char* unit, double target)
{
    const double ratio = 100.0 * Median(s.ratio);
    std::printf("  %-30s %8.0f %-14s %5.1f %% of raw", label, Median(s.rate), unit, ratio);
    if (target > 0)
        std::printf("   target >= %.0f %%: %s", target, ratio >= target ? "met" : "MISSED");
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: bench_serial [SECONDS_PER_MEASUREMENT]\n");
        return 2;
    }
    const double slice = seconds / kRounds;
    try {
        velt::sim::SimProcess sim(
            {"--com", "COM5,state=2,flash-size=" + std::to_string(kFlashSize)});
        sim.exportEnvironment();

        PingPong raw;
        Responder responder;
        Responder handPeer(true);
        const std::string link = sim.dosDevicesDir() + "/COM6";
        if (symlink(responder.slaveName().c_str(), link.c_str()) != 0)
            throw std::runtime_error("cannot link " + link);

        DFU_HANDLE simHandle = Open("\\\\.\\COM5");
        DFU_HANDLE minHandle = Open("\\\\.\\COM6");
        Download simDownload{simHandle};
        Download minDownload{minHandle};

        Series rawSeries, rawAcked, simState, minState, simBlocks, minBlocks, handState;
        auto add = [](Series& s, double rate, double rawRate) {
            s.rate.push_back(rate);
            s.ratio.push_back(rate / rawRate);
        };
        for (int round = 0; round < kRounds; ++round) {
            // Raw on both sides of the library slices of this round.
            const double before = raw.measure(slice / 2);
            const double getState = GetStateRate(simHandle, slice);
            const double getStateMin = GetStateRate(minHandle, slice);
            const double blocks = DownloadRate(simDownload, slice);
            const double blocksMin = DownloadRate(minDownload, slice);
            const double byHand = handPeer.measureHandWritten(slice);
            const double acked = raw.measure(slice / 2, true);
            const double rawRate = (before + raw.measure(slice / 2)) / 2;
            rawSeries.rate.push_back(rawRate);
            rawSeries.ratio.push_back(1.0);
            add(simState, getState, rawRate);
            add(minState, getStateMin, rawRate);
            add(simBlocks, blocks, rawRate);
            add(minBlocks, blocksMin, rawRate);
            add(handState, byHand, rawRate);
            add(rawAcked, acked, rawRate);
        }
        DFU_DfuAbort(simHandle);
        DFU_Close(simHandle);
        DFU_Close(minHandle);
        unlink(link.c_str());

        std::printf("Serial transport over a pty: medians of %d interleaved slices of %.2f s\n",
                    kRounds, slice);
        std::printf("  %-30s %8.0f %-14s (slowest %.0f, fastest %.0f)\n", "raw ping-pong, 1 byte",
                    Median(rawSeries.rate), "round trips/s",
                    *std::min_element(rawSeries.rate.begin(), rawSeries.rate.end()),
                    *std::max_element(rawSeries.rate.begin(), rawSeries.rate.end()));
        PrintLine("raw ping-pong + 1-byte ack", rawAcked, "round trips/s", 0);
        std::printf("against the simulator:\n");
        PrintLine("GETSTATE", simState, "requests/s", 50);
        PrintLine("DNLOAD 1024 B + GETSTATUS", simBlocks, "blocks/s", 33);
        std::printf("against a minimal responder thread (library cost alone):\n");
        PrintLine("GETSTATE", minState, "requests/s", 0);
        PrintLine("DNLOAD 1024 B + GETSTATUS", minBlocks, "blocks/s", 0);
        std::printf("the same responder, GETSTATE written by hand with one write per frame:\n");
        PrintLine("GETSTATE", handState, "requests/s", 0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_serial: %s\n", e.what());
        return 1;
    }
    return 0;
}
