// Intel HEX throughput: our reader and writer against objcopy on the same
// data, file to file, in the same run.
//
//   writer: binary file -> page image -> HEX text -> file
//           (objcopy -I binary -O ihex)
//   reader: HEX file -> page image -> binary file
//           (objcopy -I ihex -O binary), both reading the same HEX file
//
// Figures are MB/s of HEX text (10^6 bytes), best of several runs; objcopy's
// time includes starting the process, which matters only for small images.
// "write" streams the text to the file (WriteHexText); "write1" builds the
// whole text with ToHexText and writes it in one call; "safe" is what the
// utility does (WriteHexFileSafely: the stream into a temporary file, synced
// to the disk and renamed into place), so it pays for the sync that objcopy
// does not make.
#include <sys/resource.h>
#include <sys/wait.h>
#include <spawn.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "hex/CHexImage.h"
#include "hex/HexFile.h"
#include "hex/HexWriter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
constexpr uint32_t kPageSize = 1024;

double Seconds(const std::function<void()>& job) {
    const auto start = std::chrono::steady_clock::now();
    job();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Best time of one job over several rounds. The output file is removed
// before each run (untimed) so that no run pays for discarding the previous
// run's file.
struct Timed {
    fs::path output;
    std::function<void()> job;
    double best = 1e30;
};

// Runs the jobs in turns, round after round, so that a burst of load on the
// machine hits all of them alike rather than one of them.
void RunInTurns(int rounds, std::vector<Timed*> jobs) {
    for (int i = 0; i < rounds; ++i) {
        for (Timed* t : jobs) {
            fs::remove(t->output);
            t->best = std::min(t->best, Seconds(t->job));
        }
    }
}

// Starts a program without a shell in between, so the timing is the peer's.
bool Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string ReadFile(const fs::path& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    std::string text = CHexImage::ReadWholeFile(file);
    if (file) std::fclose(file);
    return text;
}

bool WriteFile(const fs::path& path, const char* data, size_t size) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    const bool ok = std::fwrite(data, 1, size, file) == size;
    return std::fclose(file) == 0 && ok;
}

void LoadBinary(FILE* in, CHexImage& image) {
    for (int32_t number = 0;; ++number) {
        std::vector<uint8_t> page(kPageSize);
        const size_t n = std::fread(page.data(), 1, kPageSize, in);
        if (n == 0) break;
        page.resize(n);
        image.PutPage(number, std::move(page));
    }
    std::fclose(in);
}

// Binary file to HEX file: the bytes go straight into the image's pages and
// the text is streamed to the file as it is made.
void OurWriter(const fs::path& binary, const fs::path& hex) {
    FILE* in = std::fopen(binary.c_str(), "rb");
    if (!in) std::exit(2);
    CHexImage image(kPageSize, false, 0xFF);
    LoadBinary(in, image);
    FILE* out = std::fopen(hex.c_str(), "wb");
    if (!out) std::exit(2);
    const bool written = WriteHexText(image, [out](const char* data, size_t size) {
        return std::fwrite(data, 1, size, out) == size;
    });
    if (std::fclose(out) != 0 || !written) std::exit(2);
}

// The utility's way: the same stream, then sync and rename.
void OurSafeWriter(const fs::path& binary, const fs::path& hex) {
    FILE* in = std::fopen(binary.c_str(), "rb");
    if (!in) std::exit(2);
    CHexImage image(kPageSize, false, 0xFF);
    LoadBinary(in, image);
    if (WriteHexFileSafely(image, hex.string(), HexFileMode::kReplace) != HexFileResult::kOk) std::exit(2);
}

// The same, but the whole text built first and written in one call.
void OurWriterWholeText(const fs::path& binary, const fs::path& hex) {
    FILE* in = std::fopen(binary.c_str(), "rb");
    if (!in) std::exit(2);
    CHexImage image(kPageSize, false, 0xFF);
    LoadBinary(in, image);
    const std::string text = ToHexText(image);
    if (!WriteFile(hex, text.data(), text.size())) std::exit(2);
}

void OurReader(const fs::path& hex, const fs::path& binary) {
    CHexImage image(kPageSize, false, 0xFF);
    if (image.LoadFromText(ReadFile(hex)) != CHexImage::kLoadOk) std::exit(3);
    FILE* file = std::fopen(binary.c_str(), "wb");
    if (!file) std::exit(2);
    for (const auto& [number, bytes] : image.Pages()) {
        std::fseek(file, static_cast<long>(number) * kPageSize, SEEK_SET);
        std::fwrite(bytes.data(), 1, bytes.size(), file);
    }
    std::fclose(file);
}

void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "bench_hex: %s\n", what);
        std::exit(1);
    }
}

void Row(const char* what, double oursBytes, double ours, double theirBytes, double theirs) {
    const double oursRate = oursBytes / ours / 1e6;
    const double theirRate = theirBytes / theirs / 1e6;
    std::printf("  %-7s ours %8.1f MB/s (%7.2f ms)   objcopy %8.1f MB/s (%7.2f ms)   ratio %5.2fx\n", what, oursRate,
                ours * 1e3, theirRate, theirs * 1e3, oursRate / theirRate);
}

void Measure(const fs::path& dir, size_t size, int runs) {
    std::mt19937 rng(0x4845u + static_cast<unsigned>(size));
    std::string data(size, '\0');
    for (char& c : data) c = static_cast<char>(rng());
    const fs::path bin = dir / "image.bin", ours = dir / "ours.hex", theirs = dir / "objcopy.hex";
    const fs::path oursBack = dir / "ours.bin", theirBack = dir / "objcopy.bin";
    Require(WriteFile(bin, data.data(), data.size()), "cannot write the test image");

    Timed writeOurs{ours, [&] { OurWriter(bin, ours); }};
    Timed writeWhole{ours, [&] { OurWriterWholeText(bin, ours); }};
    const fs::path safe = dir / "safe.hex";
    Timed writeSafe{safe, [&] { OurSafeWriter(bin, safe); }};
    Timed writeTheirs{theirs, [&] {
        Require(Spawn({"objcopy", "-I", "binary", "-O", "ihex", bin.string(), theirs.string()}), "objcopy write failed");
    }};
    RunInTurns(runs, {&writeOurs, &writeWhole, &writeSafe, &writeTheirs});
    Require(fs::file_size(safe) == fs::file_size(ours), "the safe writer wrote other text");
    Timed readOurs{oursBack, [&] { OurReader(ours, oursBack); }};
    Timed readTheirs{theirBack, [&] {
        Require(Spawn({"objcopy", "-I", "ihex", "-O", "binary", ours.string(), theirBack.string()}), "objcopy read failed");
    }};
    RunInTurns(runs, {&readOurs, &readTheirs});
    Require(ReadFile(oursBack) == data, "our reader lost bytes");
    Require(ReadFile(theirBack) == data, "objcopy read our file differently");

    const double oursHex = static_cast<double>(fs::file_size(ours));
    const double theirHex = static_cast<double>(fs::file_size(theirs));
    std::printf("%zu KiB image: HEX text %.0f bytes (objcopy's own: %.0f), best of %d\n", size / 1024, oursHex,
                theirHex, runs);
    // Each side is rated on the text it wrote or read.
    Row("write", oursHex, writeOurs.best, theirHex, writeTheirs.best);
    Row("write1", oursHex, writeWhole.best, theirHex, writeTheirs.best);
    Row("safe", oursHex, writeSafe.best, theirHex, writeTheirs.best);
    Row("read", oursHex, readOurs.best, oursHex, readTheirs.best);
}

} // namespace

int main() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/bench_hex_XXXXXX";
    Require(mkdtemp(pattern.data()) != nullptr, "cannot make a temporary directory");
    const fs::path dir = pattern;

    std::printf("Intel HEX reader and writer against objcopy (file to file)\n");
    std::printf("  write: text streamed to the file as it is made; write1: whole text built first, one write;\n"
                "  safe: the utility's file writer (stream, sync to disk, rename);\n"
                "  read: HEX file into the page image. Target: 2x objcopy on the 16 MiB image (write, read).\n");
    Measure(dir, 256 * 1024, 20);
    Measure(dir, 16 * 1024 * 1024, 7);

    rusage self{}, children{};
    getrusage(RUSAGE_SELF, &self);
    getrusage(RUSAGE_CHILDREN, &children);
    std::printf("peak resident memory: ours %ld MiB, objcopy %ld MiB (16 MiB image, %.1f MB of HEX text)\n",
                self.ru_maxrss / 1024, children.ru_maxrss / 1024,
                static_cast<double>(fs::file_size(dir / "ours.hex")) / 1e6);
    fs::remove_all(dir);
    return 0;
}
