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
#include "serial/framing.h"

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

namespace framing = velt::sim::framing;

// The least a device can do on the serial line: answer the handshake, accept
// every frame, and answer GETSTATE with dfuIDLE and GETSTATUS with OK and
// dfuDNLOAD-IDLE. It reads in bulk and writes each answer (acknowledgement
// and reply frame together) with one write; its frames are the simulator's
// codec's. The library's own tests check the protocol; this only serves the
// benchmark.
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
        static const std::vector<uint8_t> request = framing::encodeFrame(framing::requestPayload(5, 0, 0, 1));
        return Rate(seconds, 20, [this] {
            for (int i = 0; i < 20; ++i) {
                uint8_t reply[1 + framing::kOverhead + 1]; // acknowledgement, then the state in a frame
                size_t got = 0;
                if (write(slave_, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
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
            const framing::Decoded frame = framing::decodeFrame(in.data() + pos, in.size() - pos);
            if (frame.status == framing::DecodeStatus::Incomplete)
                break;
            if (frame.status == framing::DecodeStatus::NoStart) {
                if (in[pos] == framing::kSyncRequest) {
                    const uint8_t reply = framing::kSyncReply;
                    (void)!write(master_, &reply, 1);
                }
                ++pos; // otherwise the host's acknowledgement of our last reply
                continue;
            }
            answer(frame.payloadSize != 0 ? frame.payload[0] : 0);
            pos += frame.frameSize;
        }
        in.erase(in.begin(), in.begin() + static_cast<long>(pos));
    }

    // Each answer (acknowledgement of the host's frame, then the reply) is
    // made once and written with one write.
    void answer(uint8_t request)
    {
        static const std::vector<uint8_t> ack = {framing::kAck};
        static const std::vector<uint8_t> state = withAck(framing::encodeFrame({DFU_STATE_DFU_IDLE}));
        static const std::vector<uint8_t> status =
            withAck(framing::encodeFrame({0, 0, 0, 0, DFU_STATE_DFU_DNLOAD_IDLE, 0}));
        const std::vector<uint8_t>& out = request == 5 ? state : request == 3 ? status : ack;
        (void)!write(master_, out.data(), out.size());
    }

    static std::vector<uint8_t> withAck(const std::vector<uint8_t>& frame)
    {
        std::vector<uint8_t> out = {framing::kAck};
        out.insert(out.end(), frame.begin(), frame.end());
        return out;
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
            if (state != DFU_STATE_DFU_IDLE)
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
        if (status.bState != DFU_STATE_DFU_DNLOAD_IDLE || status.bStatus != DFU_DEVICE_STATUS_OK)
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
