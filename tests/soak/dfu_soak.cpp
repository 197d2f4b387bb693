// The soak: random images downloaded over lines with random faults, on
// serial and USB, through the library in process (DFU_DownloadImage), with
// the flash each download leaves in the simulated device checked byte for
// byte; after each download that ended right, the device's image is
// uploaded (DFU_UploadImage, another random block size) and checked byte for
// byte against the flash file the device saved. A transfer ends with status
// 0 and the right bytes, or with a non-zero status; status 0 with other
// bytes is a silent corruption, the one outcome that fails the soak (as does
// a transfer that hangs).
//
// One exception, on USB only: an IN reply to an UPLOAD cut short (the
// simulator's `short` fault) looks exactly like a device whose image ends
// there, or like a short block in its middle, so no host can detect it.
// Such uploads are found in the simulator's log and counted apart.
//
// Usage: dfu_soak [--seconds S | --downloads N] [--rates R,R...] [--transports serial,usb]
//                 [--workers W] [--timeout MS] [--max-kib K] [--seed S] [--line KEYS]
//                 [--tool-downloads N [--retries R]]
// Each (transport, rate) pair runs for S seconds (or N downloads) on W
// devices at once, one thread and one handle each, in one simulator. With
// --tool-downloads, N more downloads per pair go through velt-dfu download
// --retries R (default 3), one process per download and device at a time,
// and the share of them that end with the right image is reported.
#include <VELT_DFU.h>

#include "SimProcess.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

constexpr double kHangSeconds = 120;
// Tries in a row to bring a device back to dfuIDLE after which it counts as
// gone (its simulator ended, say): its worker stops rather than spin.
constexpr unsigned kLostAfter = 50;
const uint16_t kBlockSizes[] = {256, 512, 1024, 2048};

struct Options {
    double seconds = 10;
    unsigned downloads = 0; // per configuration; 0: run for seconds
    std::vector<double> rates{0.01, 0.05};
    std::vector<std::string> transports{"serial", "usb"};
    unsigned workers = 4;
    uint32_t timeoutMs = 200;
    unsigned maxKib = 32;
    uint64_t seed = 1;
    std::string line; // extra simulator keys for every device
    unsigned toolDownloads = 0;
    unsigned retries = 3;
};

struct Counts {
    unsigned downloads = 0, successes = 0, cleanFailures = 0, corruptions = 0, unrecovered = 0;
    unsigned uploads = 0, uploadsRight = 0, uploadFailures = 0, uploadsCutShort = 0;
    unsigned toolRuns = 0, toolRight = 0, toolFailed = 0;
    unsigned long long faults = 0;
    std::map<std::string, unsigned long long> faultKinds;
    double slowest = 0;
    std::map<int, unsigned> statuses;

    void add(const Counts& o)
    {
        downloads += o.downloads;
        successes += o.successes;
        cleanFailures += o.cleanFailures;
        corruptions += o.corruptions;
        unrecovered += o.unrecovered;
        uploads += o.uploads;
        uploadsRight += o.uploadsRight;
        uploadFailures += o.uploadFailures;
        uploadsCutShort += o.uploadsCutShort;
        for (const auto& [kind, n] : o.faultKinds)
            faultKinds[kind] += n;
        toolRuns += o.toolRuns;
        toolRight += o.toolRight;
        toolFailed += o.toolFailed;
        faults += o.faults;
        slowest = std::max(slowest, o.slowest);
        for (const auto& [status, n] : o.statuses)
            statuses[status] += n;
    }
};

[[noreturn]] void usage(const char* message)
{
    std::fprintf(stderr, "dfu_soak: %s\n", message);
    std::exit(2);
}

std::vector<std::string> split(const std::string& text)
{
    std::vector<std::string> parts;
    std::stringstream in(text);
    for (std::string part; std::getline(in, part, ',');)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                usage((arg + " needs a value").c_str());
            return argv[++i];
        };
        if (arg == "--seconds")
            o.seconds = std::atof(value().c_str());
        else if (arg == "--downloads")
            o.downloads = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--rates") {
            o.rates.clear();
            for (const std::string& r : split(value()))
                o.rates.push_back(std::atof(r.c_str()));
        } else if (arg == "--transports")
            o.transports = split(value());
        else if (arg == "--workers")
            o.workers = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--timeout")
            o.timeoutMs = static_cast<uint32_t>(std::atoi(value().c_str()));
        else if (arg == "--max-kib")
            o.maxKib = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--seed")
            o.seed = std::strtoull(value().c_str(), nullptr, 10);
        else if (arg == "--line")
            o.line = value();
        else if (arg == "--tool-downloads")
            o.toolDownloads = static_cast<unsigned>(std::atoi(value().c_str()));
        else if (arg == "--retries")
            o.retries = static_cast<unsigned>(std::atoi(value().c_str()));
        else
            usage(("unknown argument " + arg).c_str());
    }
    if (o.workers == 0 || o.maxKib == 0 || o.rates.empty() || (o.downloads == 0 && !(o.seconds > 0)))
        usage("nothing to do");
    for (const std::string& t : o.transports)
        if (t != "serial" && t != "usb")
            usage("transports are serial and usb");
    return o;
}

Bytes readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Back to dfuIDLE after whatever the last download left, through the same
// faulty line; false when that did not work in a good number of tries.
bool recover(DFU_HANDLE handle)
{
    for (int attempt = 0; attempt < 40; ++attempt) {
        uint8_t state = 0;
        if (DFU_DfuGetState(handle, &state) != DFU_STATUS_SUCCESS)
            continue;
        if (state == DFU_STATE_DFU_IDLE)
            return true;
        if (state == DFU_STATE_DFU_ERROR) {
            DFU_DfuClearStatus(handle);
        } else if (state == DFU_STATE_DFU_DNLOAD_SYNC || state == DFU_STATE_DFU_DNBUSY) {
            DFU_GETSTATUS_RESULT status{};
            DFU_DfuGetStatus(handle, &status);
        } else {
            DFU_DfuAbort(handle);
        }
    }
    return false;
}

class Soak {
public:
    Soak(const Options& options, const std::string& transport, double rate)
        : options_(options), transport_(transport), rate_(rate)
    {
    }

    Counts run()
    {
        std::vector<std::string> args;
        for (unsigned i = 0; i < options_.workers; ++i) {
            const std::string keys = "flash-size=1M,flash=FLASH" + std::to_string(i) + ",faults=" +
                                     std::to_string(rate_) + ":" + std::to_string(options_.seed * 1000 + i) +
                                     (options_.line.empty() ? "" : "," + options_.line);
            if (transport_ == "serial") {
                args.push_back("--com");
                args.push_back("COM" + std::to_string(10 + i) + "," + keys);
            } else {
                args.push_back("--usb");
                args.push_back("name=soak" + std::to_string(10 + i) + "," + keys);
            }
        }
        // The flash files live in a directory of our own, known before start.
        char pattern[] = "/tmp/velt-soak-XXXXXX";
        if (!::mkdtemp(pattern))
            usage("mkdtemp failed");
        dir_ = pattern;
        for (std::string& a : args) {
            const size_t at = a.find("flash=FLASH");
            if (at != std::string::npos)
                a.replace(at + 6, 5, dir_ + "/flash-");
        }
        velt::sim::SimProcess sim(args);
        sim.exportEnvironment();
        logPath_ = sim.logPath();
        uint32_t count = 0;
        if (DFU_GetNumDevices(&count) != DFU_STATUS_SUCCESS || count != options_.workers)
            usage("the simulated devices are not all listed");
        std::vector<std::string> paths(count);
        for (uint32_t i = 0; i < count; ++i) {
            char path[260] = {};
            DFU_GetDevicePath(i, path);
            paths[i] = path;
        }
        std::vector<Counts> counts(options_.workers);
        std::vector<std::atomic<double>> started(options_.workers);
        for (auto& s : started)
            s = -1;
        const Clock::time_point begin = Clock::now();
        std::atomic<bool> done{false};
        std::thread watchdog([&] {
            while (!done) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                const double now = std::chrono::duration<double>(Clock::now() - begin).count();
                for (unsigned i = 0; i < options_.workers; ++i) {
                    if (started[i] >= 0 && now - started[i] > kHangSeconds) {
                        std::printf("HANG: %s %s: a download has run for %.0f s; log kept at %s\n", transport_.c_str(),
                                    paths[i].c_str(), now - started[i], keepLog(sim).c_str());
                        std::fflush(stdout);
                        std::_Exit(3);
                    }
                }
            }
        });
        std::vector<std::thread> workers;
        for (unsigned i = 0; i < options_.workers; ++i)
            workers.emplace_back([&, i] { work(i, paths[i], counts[i], started[i], begin); });
        for (auto& w : workers)
            w.join();
        if (options_.toolDownloads) {
            std::vector<std::thread> tools;
            for (unsigned i = 0; i < options_.workers; ++i)
                tools.emplace_back([&, i] { throughTool(i, paths[i], counts[i], started[i], begin); });
            for (auto& t : tools)
                t.join();
        }
        done = true;
        watchdog.join();
        sim.stop();

        Counts total;
        for (const Counts& c : counts)
            total.add(c);
        total.faultKinds = countFaults(sim.readLog());
        for (const auto& [kind, n] : total.faultKinds)
            total.faults += n;
        if (total.corruptions > 0 || std::getenv("VELT_SOAK_KEEP_LOG"))
            std::printf("  simulator log kept at %s\n", keepLog(sim).c_str());
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
        return total;
    }

private:
    void work(unsigned index, const std::string& path, Counts& counts, std::atomic<double>& started,
              Clock::time_point begin)
    {
        std::mt19937_64 random(options_.seed * 7919 + index);
        DFU_HANDLE handle = nullptr;
        if (DFU_OpenByDevicePath(&handle, path.c_str()) != DFU_STATUS_SUCCESS) {
            std::printf("cannot open %s\n", path.c_str());
            ++counts.unrecovered;
            return;
        }
        DFU_SetTransferTimeout(handle, options_.timeoutMs);
        const std::string image = dir_ + "/image-" + std::to_string(index) + ".bin";
        const std::string flash = dir_ + "/flash-" + std::to_string(index);
        const double limit = options_.seconds;
        unsigned unrecoveredInARow = 0;
        for (;;) {
            const double elapsed = std::chrono::duration<double>(Clock::now() - begin).count();
            if (options_.downloads ? counts.downloads + counts.unrecovered >= perWorker(index) : elapsed >= limit)
                break;
            if (!recover(handle)) {
                ++counts.unrecovered;
                if (++unrecoveredInARow < kLostAfter)
                    continue;
                std::lock_guard<std::mutex> lock(printMu_);
                std::printf("DEVICE LOST: %s %s rate %.3f: no way back to dfuIDLE %u times in a row after %u "
                            "downloads; its worker stops\n",
                            transport_.c_str(), path.c_str(), rate_, kLostAfter, counts.downloads);
                std::fflush(stdout);
                break;
            }
            unrecoveredInARow = 0;
            const size_t size = 1 + random() % (options_.maxKib * 1024);
            const uint16_t block = kBlockSizes[random() % std::size(kBlockSizes)];
            Bytes bytes(size);
            for (uint8_t& b : bytes)
                b = static_cast<uint8_t>(random());
            writeFile(image, bytes);

            DFU_GETSTATUS_RESULT status{};
            started = std::chrono::duration<double>(Clock::now() - begin).count();
            const DFU_STATUS result = DFU_DownloadImage(handle, block, image.c_str(), nullptr, 0, &status);
            const double took = std::chrono::duration<double>(Clock::now() - begin).count() - started;
            started = -1;
            counts.slowest = std::max(counts.slowest, took);
            ++counts.downloads;
            ++counts.statuses[result];
            if (result != DFU_STATUS_SUCCESS) {
                ++counts.cleanFailures;
                continue;
            }
            const Bytes flashed = readFile(flash);
            const std::string mismatch = compare(flashed, bytes, block);
            if (mismatch.empty()) {
                ++counts.successes;
                upload(handle, index, path, flashed, random, counts, started, begin);
                continue;
            }
            ++counts.corruptions;
            std::lock_guard<std::mutex> lock(printMu_);
            std::printf("CORRUPTION: %s %s rate %.3f: %zu bytes in blocks of %u reported success; %s\n",
                        transport_.c_str(), path.c_str(), rate_, size, block, mismatch.c_str());
            std::fflush(stdout);
        }
        DFU_Close(handle);
    }

    // The device's memory is what it saved at the end of the download that
    // just ended right: an upload that ends with status 0 must return it.
    void upload(DFU_HANDLE handle, unsigned index, const std::string& path, const Bytes& flashed,
                std::mt19937_64& random, Counts& counts, std::atomic<double>& started, Clock::time_point begin)
    {
        if (!recover(handle)) {
            ++counts.unrecovered;
            return;
        }
        const uint16_t block = kBlockSizes[random() % std::size(kBlockSizes)];
        const std::string target = dir_ + "/upload-" + std::to_string(index) + ".bin";
        std::error_code ignored;
        const uintmax_t logFrom = std::filesystem::file_size(logPath_, ignored);
        started = std::chrono::duration<double>(Clock::now() - begin).count();
        const DFU_STATUS result = DFU_UploadImage(handle, block, target.c_str(), nullptr, 0);
        const double took = std::chrono::duration<double>(Clock::now() - begin).count() - started;
        started = -1;
        counts.slowest = std::max(counts.slowest, took);
        ++counts.uploads;
        ++counts.statuses[result];
        if (result != DFU_STATUS_SUCCESS) {
            ++counts.uploadFailures;
            return;
        }
        const Bytes got = readFile(target);
        if (got == flashed) {
            ++counts.uploadsRight;
            return;
        }
        if (transport_ == "usb" && uploadCutShort(logFrom, "usb:soak" + std::to_string(10 + index))) {
            ++counts.uploadsCutShort;
            return;
        }
        ++counts.corruptions;
        const auto differ = std::mismatch(got.begin(), got.end(), flashed.begin(), flashed.end());
        std::lock_guard<std::mutex> lock(printMu_);
        std::printf("CORRUPTION: %s %s rate %.3f: upload in blocks of %u reported success with %zu bytes of %zu, "
                    "first difference at offset %zu (block %zu)\n",
                    transport_.c_str(), path.c_str(), rate_, block, got.size(), flashed.size(),
                    static_cast<size_t>(differ.first - got.begin()),
                    static_cast<size_t>(differ.first - got.begin()) / block);
        std::fflush(stdout);
    }

    // Whether the device's log lines since `from` show an UPLOAD reply cut
    // short: the fault is logged right after the request it hit.
    bool uploadCutShort(uintmax_t from, const std::string& device) const
    {
        std::ifstream in(logPath_, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(from));
        bool afterUpload = false;
        for (std::string line; std::getline(in, line);) {
            const size_t at = line.find(' ');
            if (at == std::string::npos || line.compare(at + 1, device.size() + 1, device + " ") != 0)
                continue;
            const std::string event = line.substr(at + device.size() + 2);
            if (event.rfind("fault short:", 0) == 0 && afterUpload)
                return true;
            afterUpload = event.rfind("request UPLOAD(", 0) == 0;
        }
        return false;
    }

    // velt-dfu download --retries on one device, one process per download.
    void throughTool(unsigned index, const std::string& path, Counts& counts, std::atomic<double>& started,
                     Clock::time_point begin)
    {
        std::mt19937_64 random(options_.seed * 104729 + index);
        const std::string image = dir_ + "/tool-" + std::to_string(index) + ".bin";
        const std::string flash = dir_ + "/flash-" + std::to_string(index);
        const unsigned runs = options_.toolDownloads / options_.workers +
                              (index < options_.toolDownloads % options_.workers ? 1 : 0);
        for (unsigned run = 0; run < runs; ++run) {
            const size_t size = 1 + random() % (options_.maxKib * 1024);
            const uint16_t block = kBlockSizes[random() % std::size(kBlockSizes)];
            Bytes bytes(size);
            for (uint8_t& b : bytes)
                b = static_cast<uint8_t>(random());
            writeFile(image, bytes);
            const std::string command = "'" VELT_DFU_TOOL "' download '" + path + "' '" + image +
                                        "' --no-suffix --transfer-size " + std::to_string(block) + " --timeout " +
                                        std::to_string(options_.timeoutMs) + " --retries " +
                                        std::to_string(options_.retries) + " >/dev/null 2>&1";
            started = std::chrono::duration<double>(Clock::now() - begin).count();
            const int status = std::system(command.c_str());
            started = -1;
            ++counts.toolRuns;
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
                ++counts.toolFailed;
                continue;
            }
            const std::string mismatch = compare(readFile(flash), bytes, block);
            if (mismatch.empty()) {
                ++counts.toolRight;
                continue;
            }
            ++counts.corruptions;
            std::lock_guard<std::mutex> lock(printMu_);
            std::printf("CORRUPTION: velt-dfu on %s %s rate %.3f: %zu bytes in blocks of %u ended 0; %s\n",
                        transport_.c_str(), path.c_str(), rate_, size, block, mismatch.c_str());
            std::fflush(stdout);
        }
    }

    unsigned perWorker(unsigned index) const
    {
        return options_.downloads / options_.workers + (index < options_.downloads % options_.workers ? 1 : 0);
    }

    // Empty when flash holds the image and its 0xFF fill to the block.
    static std::string compare(const Bytes& flash, const Bytes& image, uint16_t block)
    {
        const size_t rounded = (image.size() + block - 1) / block * block;
        char text[160];
        if (flash.size() < rounded) {
            std::snprintf(text, sizeof text, "the flash holds %zu bytes, %zu expected", flash.size(), rounded);
            return text;
        }
        for (size_t i = 0; i < rounded; ++i) {
            const uint8_t want = i < image.size() ? image[i] : 0xFF;
            if (flash[i] != want) {
                std::snprintf(text, sizeof text, "first difference at offset %zu (block %zu): 0x%02X in flash, 0x%02X sent",
                              i, i / block, flash[i], want);
                return text;
            }
        }
        return {};
    }

    // Injected faults by kind ("fault bad-ack: ..." counts as bad-ack).
    static std::map<std::string, unsigned long long> countFaults(const std::string& log)
    {
        std::map<std::string, unsigned long long> kinds;
        for (size_t at = log.find(" fault "); at != std::string::npos; at = log.find(" fault ", at + 1)) {
            const size_t end = log.find(':', at + 7);
            if (end != std::string::npos)
                ++kinds[log.substr(at + 7, end - at - 7)];
        }
        return kinds;
    }

    std::string keepLog(const velt::sim::SimProcess& sim) const
    {
        const std::string kept = "/tmp/velt-soak-" + transport_ + "-" + std::to_string(::getpid()) + ".log";
        std::error_code ignored;
        std::filesystem::copy_file(sim.logPath(), kept, std::filesystem::copy_options::overwrite_existing, ignored);
        return kept;
    }

    const Options& options_;
    std::string transport_;
    double rate_;
    std::string dir_;
    std::string logPath_;
    std::mutex printMu_;
};

void print(const char* label, const Counts& c)
{
    std::printf("  %-22s %9u %9u %14u %7u %7u %14u %9u %13llu %11u %11.2f\n", label, c.downloads, c.successes,
                c.cleanFailures, c.uploads, c.uploadsRight, c.uploadFailures, c.uploadsCutShort, c.faults,
                c.corruptions, c.slowest);
}

} // namespace

int main(int argc, char** argv)
{
    const Options options = parse(argc, argv);
    std::printf("Soak: random images (1 B to %u KiB, blocks of 256 to 2048 B) over faulty lines, %u devices at once, "
                "time-out %u ms%s%s\n",
                options.maxKib, options.workers, options.timeoutMs, options.line.empty() ? "" : ", line ",
                options.line.c_str());
    std::printf("  %-22s %9s %9s %14s %7s %7s %14s %9s %13s %11s %11s\n", "configuration", "downloads", "successes",
                "clean failures", "uploads", "right", "clean failures", "cut short", "faulted frames", "corruptions",
                "slowest (s)");
    std::fflush(stdout);
    Counts total;
    for (const std::string& transport : options.transports) {
        for (double rate : options.rates) {
            Soak soak(options, transport, rate);
            const Counts counts = soak.run();
            char label[64];
            std::snprintf(label, sizeof label, "%s faults=%.3g", transport.c_str(), rate);
            print(label, counts);
            if (counts.toolRuns)
                std::printf("  %-22s velt-dfu download --retries %u: %u of %u ended with the right image (%.1f %%), "
                            "%u failed\n",
                            "", options.retries, counts.toolRight, counts.toolRuns,
                            100.0 * counts.toolRight / counts.toolRuns, counts.toolFailed);
            if (counts.unrecovered)
                std::printf("  %-22s %u times the device could not be brought back to dfuIDLE first\n", "",
                            counts.unrecovered);
            std::fflush(stdout);
            total.add(counts);
        }
    }
    print("all", total);
    std::printf("  faults by kind:");
    for (const auto& [kind, n] : total.faultKinds)
        std::printf(" %s %llu", kind.c_str(), n);
    std::printf("\n");
    if (total.toolRuns)
        std::printf("  %-22s velt-dfu download --retries %u: %u of %u ended with the right image (%.1f %%)\n", "",
                    options.retries, total.toolRight, total.toolRuns, 100.0 * total.toolRight / total.toolRuns);
    std::printf("  statuses:");
    for (const auto& [status, n] : total.statuses)
        std::printf(" 0x%02X x %u", status, n);
    std::printf("\n");
    if (total.corruptions > 0) {
        std::printf("FAILED: %u transfers reported success with other bytes\n", total.corruptions);
        return 1;
    }
    return 0;
}
