// Flashing over faulty lines through velt-dfu, as a production line would:
// N simulated devices at once, R rounds of a fresh random image each, with
// the simulator's random faults at several rates, on a serial line paced at
// 115200 bit/s and on USB. For each rate:
//
//   - the share of downloads that end with the right image in flash,
//   - silent corruptions: a download reported as done whose flash differs
//     (must be 0; the program exits 1 when there is one),
//   - recoveries (lost requests recovered in place) per injected fault,
//   - the mean download time against the same downloads on a clean line.
//
// No --retries: what is measured is the transfer engine's own recovery.
//
// Usage: bench_faults [--quick] [--naive] [--devices N] [--rounds R] [--size BYTES] [--timeout MS]
//   --quick: 3 devices, 2 rounds of 16 KiB, 3 % only, unpaced lines (the suite's smoke run)
//   --naive: serial devices that carry out a frame repeated after a damaged
//            acknowledgement a second time (a repeated DNLOAD stalls them)
#include "SimProcess.h"

#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef VELT_DFU_TOOL
#define VELT_DFU_TOOL "velt-dfu"
#endif

namespace {

struct Options {
    bool quick = false;
    unsigned devices = 10;
    unsigned rounds = 5;
    size_t size = 64 * 1024;
    unsigned timeoutMs = 200;
    bool naive = false; // serial devices without the repeated-frame rule (repeats=execute)
};

struct Tally {
    unsigned downloads = 0, right = 0, reported = 0, silent = 0;
    unsigned long recoveries = 0, faults = 0;
    double seconds = 0;
};

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::string Capture(const std::string& command)
{
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        throw std::runtime_error("cannot run " + command);
    std::string out;
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        out.append(buffer, got);
    pclose(pipe);
    return out;
}

// The value after "key": in a JSON line of ours (numbers and booleans only).
std::string Field(const std::string& line, const std::string& key)
{
    const std::string tag = "\"" + key + "\":";
    const size_t at = line.find(tag);
    if (at == std::string::npos)
        return "";
    const size_t from = at + tag.size();
    return line.substr(from, line.find_first_of(",}", from) - from);
}

unsigned CountFaults(const std::string& log)
{
    unsigned faults = 0;
    for (size_t at = log.find(" fault "); at != std::string::npos; at = log.find(" fault ", at + 1))
        ++faults;
    return faults;
}

class Bench {
public:
    explicit Bench(const Options& options) : options_(options) {}

    Tally Run(bool serial, double rate)
    {
        std::vector<std::string> args;
        const std::string tag = std::to_string(static_cast<int>(rate * 1000));
        for (unsigned i = 0; i < options_.devices; ++i) {
            std::string keys = "flash=" + FlashFile(i, tag);
            if (rate > 0)
                keys += ",faults=" + std::to_string(rate) + ":" + std::to_string(1000 + i);
            if (serial) {
                if (!options_.quick)
                    keys += ",baud=115200";
                if (options_.naive)
                    keys += ",repeats=execute";
                args.insert(args.end(), {"--com", "COM" + std::to_string(20 + i) + "," + keys});
            } else {
                if (!options_.quick)
                    keys += ",latency=1000";
                args.insert(args.end(), {"--usb", "name=d" + std::to_string(i) + ",serial=D" + std::to_string(i) + "," + keys});
            }
        }
        velt::sim::SimProcess sim(args);
        sim.exportEnvironment();
        std::string devices;
        for (unsigned i = 0; i < options_.devices; ++i)
            devices += (i ? "," : "") + (serial ? "COM" + std::to_string(20 + i) : UsbPath(sim, i));
        devices = "'" + devices + "'"; // USB paths hold '&' and '#'

        Tally tally;
        std::mt19937_64 random(rate * 1e6 + (serial ? 1 : 2));
        for (unsigned round = 0; round < options_.rounds; ++round) {
            std::string image(options_.size, '\0');
            for (char& c : image)
                c = static_cast<char>(random());
            const std::string imagePath = dir_ + "/image.bin";
            WriteFile(imagePath, image);
            const std::string out = Capture(std::string(VELT_DFU_TOOL) + " download " + devices + " " + imagePath +
                                            " --json --timeout " + std::to_string(options_.timeoutMs) + " 2>/dev/null");
            Score(out, image, tag, tally);
        }
        tally.faults = CountFaults(sim.readLog());
        if (tally.downloads != options_.devices * options_.rounds)
            throw std::runtime_error("velt-dfu gave " + std::to_string(tally.downloads) + " results for " +
                                     std::to_string(options_.devices * options_.rounds) + " downloads");
        return tally;
    }

    std::string dir_ = MakeDir();

private:
    static std::string MakeDir()
    {
        char dir[] = "/tmp/velt-bench-faults-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            throw std::runtime_error("cannot make a temporary directory");
        return dir;
    }

    std::string FlashFile(unsigned i, const std::string& tag) const
    {
        return dir_ + "/flash-" + tag + "-" + std::to_string(i) + ".bin";
    }

    static std::string UsbPath(const velt::sim::SimProcess& sim, unsigned i)
    {
        const std::string dev = ReadFile(sim.usbDir() + "/d" + std::to_string(i) + ".dev");
        return dev.substr(5, dev.find('\n') - 5);
    }

    // Each device's result line against what its flash now holds.
    void Score(const std::string& out, const std::string& image, const std::string& tag, Tally& tally) const
    {
        size_t index = 0;
        for (size_t at = 0; (at = out.find("{\"type\":\"result\"", at)) != std::string::npos; ++at, ++index) {
            const std::string line = out.substr(at, out.find('\n', at) - at);
            const bool ok = Field(line, "ok") == "true";
            const std::string flash = ReadFile(FlashFile(static_cast<unsigned>(index), tag));
            const bool right = flash.size() >= image.size() && flash.compare(0, image.size(), image) == 0;
            ++tally.downloads;
            tally.reported += ok;
            tally.right += ok && right;
            tally.silent += ok && !right;
            tally.recoveries += std::strtoul(Field(line, "recoveries").c_str(), nullptr, 10);
            tally.seconds += std::strtod(Field(line, "elapsed_s").c_str(), nullptr);
        }
    }

    Options options_;
};

Options Parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                throw std::runtime_error(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--quick") {
            o.quick = true;
            o.devices = 3;
            o.rounds = 2;
            o.size = 16 * 1024;
        } else if (arg == "--naive") {
            o.naive = true;
        } else if (arg == "--devices") {
            o.devices = static_cast<unsigned>(std::stoul(value()));
        } else if (arg == "--rounds") {
            o.rounds = static_cast<unsigned>(std::stoul(value()));
        } else if (arg == "--size") {
            o.size = std::stoul(value());
        } else if (arg == "--timeout") {
            o.timeoutMs = static_cast<unsigned>(std::stoul(value()));
        } else {
            throw std::runtime_error("unknown argument " + arg);
        }
    }
    return o;
}

} // namespace

int main(int argc, char** argv)
{
    try {
        const Options options = Parse(argc, argv);
        Bench bench(options);
        std::printf("velt-dfu download over faulty lines: %u devices at once x %u rounds of %zu bytes, "
                    "--timeout %u, no --retries%s\n",
                    options.devices, options.rounds, options.size, options.timeoutMs,
                    options.quick ? " (quick: unpaced lines)" : options.naive ? " (serial devices: repeats=execute)" : "");
        std::printf("%-7s %5s %9s %12s %7s %7s %11s %12s %9s\n", "line", "rate", "downloads", "right image",
                    "silent", "faults", "recoveries", "per fault", "time");
        unsigned silent = 0;
        for (bool serial : {true, false}) {
            double clean = 0;
            const std::vector<double> rates = options.quick ? std::vector<double>{0, 0.03}
                                                            : std::vector<double>{0, 0.01, 0.03, 0.05};
            for (double rate : rates) {
                const Tally t = bench.Run(serial, rate);
                const double mean = t.downloads ? t.seconds / t.downloads : 0;
                if (rate == 0)
                    clean = mean;
                if (rate == 0 && serial && !options.quick && mean > 0)
                    std::printf("serial clean line: %.1f %% of the payload's line time (%zu bytes x 10 bits / 115200 "
                                "over the mean download)\n",
                                100.0 * static_cast<double>(options.size) * 10 / 115200 / mean, options.size);
                silent += t.silent;
                char share[32], perFault[32], time[32];
                std::snprintf(share, sizeof share, "%u (%.1f%%)", t.right, t.downloads ? 100.0 * t.right / t.downloads : 0);
                std::snprintf(perFault, sizeof perFault, "%.2f", t.faults ? double(t.recoveries) / t.faults : 0.0);
                std::snprintf(time, sizeof time, "%.2fx", clean > 0 ? mean / clean : 0.0);
                std::printf("%-7s %4.0f%% %9u %12s %7u %7lu %11lu %12s %9s\n", serial ? "serial" : "usb",
                            rate * 100, t.downloads, share, t.silent, t.faults, t.recoveries, perFault, time);
                std::fflush(stdout);
            }
        }
        std::printf("time: mean download time over the same downloads on a clean line (serial paced at 115200 "
                    "bit/s, USB with 1 ms per control transfer)\n");
        return silent == 0 ? 0 : 1;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_faults: %s\n", e.what());
        return 2;
    }
}
