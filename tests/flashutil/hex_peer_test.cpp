// Intel HEX against two independent implementations: binutils objcopy and
// SRecord srec_cat. Files they write from random sparse images must load into
// exactly those bytes, and what our writer produces must read back through
// both of them as the image it came from.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "hex/CHexImage.h"
#include "hex/HexWriter.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

struct Block {
    uint32_t address;
    Bytes data;
};

std::string Hex(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

void WriteFile(const fs::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class HexPeers : public testing::Test {
protected:
    static void SetUpTestSuite() {
        char pattern[] = "/tmp/hex_peers_XXXXXX";
        const char* made = mkdtemp(pattern);
        dir = made ? made : "";
    }
    static void TearDownTestSuite() {
        if (!dir.empty()) fs::remove_all(dir);
    }

    void SetUp() override {
        ASSERT_FALSE(dir.empty()) << "no temporary directory";
        // The peers are installed by scripts/setup-deps.sh; without them this
        // check has no independent reference, which is a failure, not a skip.
        for (const char* peer : {"objcopy", "srec_cat"}) ASSERT_TRUE(OnPath(peer)) << peer << " is not installed";
    }

    static bool OnPath(const std::string& program) {
        const char* path = std::getenv("PATH");
        std::stringstream dirs(path ? path : "/usr/bin:/bin");
        for (std::string entry; std::getline(dirs, entry, ':');) {
            if (!entry.empty() && access((fs::path(entry) / program).c_str(), X_OK) == 0) return true;
        }
        return false;
    }

    // Runs a peer directly (no shell); its error output goes to a log that is
    // shown when it fails.
    static int Run(const std::vector<std::string>& args) {
        const std::string log = (fs::path(dir) / "peer.log").string();
        std::vector<char*> argv;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        pid_t pid = 0;
        const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        int status = 0;
        if (spawned != 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
        if (WEXITSTATUS(status) != 0) {
            std::string command;
            for (const std::string& a : args) command += a + " ";
            std::fprintf(stderr, "%s\n%s", command.c_str(), ReadFile(log).c_str());
        }
        return WEXITSTATUS(status);
    }

public:
    static fs::path Path(const std::string& name) { return fs::path(dir) / name; }

private:
    static inline std::string dir;
};

// Non-overlapping blocks of random bytes below limit; about half start just
// before a 64 KiB boundary so their data crosses it.
std::vector<Block> RandomBlocks(std::mt19937& rng, uint32_t limit) {
    std::vector<Block> blocks;
    const int wanted = 1 + static_cast<int>(rng() % 6);
    while (static_cast<int>(blocks.size()) < wanted) {
        const uint32_t length = 1 + rng() % 1500;
        uint32_t address = rng() % (limit - length);
        if (rng() % 2) {
            const uint32_t boundary = (address & 0xFFFF0000u) + 0x10000u;
            if (boundary < limit - length && boundary > length) address = boundary - 1 - rng() % length;
        }
        bool overlaps = false;
        for (const Block& b : blocks) {
            overlaps |= address < b.address + b.data.size() && b.address < address + length;
        }
        if (overlaps) continue;
        Block block{address, Bytes(length)};
        for (uint8_t& byte : block.data) byte = static_cast<uint8_t>(rng());
        blocks.push_back(std::move(block));
    }
    return blocks;
}

// Compares the loaded image with the blocks: exactly the pages they touch,
// their bytes where they wrote, fill bytes everywhere else.
testing::AssertionResult ImageHolds(const CHexImage& image, const std::vector<Block>& blocks) {
    std::map<int32_t, std::vector<int>> expected;
    for (const Block& block : blocks) {
        for (size_t i = 0; i < block.data.size(); ++i) {
            const uint32_t address = block.address + static_cast<uint32_t>(i);
            auto& page = expected[static_cast<int32_t>(address / 1024)];
            if (page.empty()) page.assign(1024, 0xFF);
            page[address % 1024] = block.data[i];
        }
    }
    if (image.Pages().size() != expected.size()) {
        return testing::AssertionFailure() << image.Pages().size() << " pages, expected " << expected.size();
    }
    for (const auto& [number, bytes] : expected) {
        const Bytes page = image.GetPage(number);
        if (page.size() != 1024) return testing::AssertionFailure() << "page " << number << " missing or short";
        for (size_t i = 0; i < 1024; ++i) {
            if (page[i] != bytes[i]) {
                return testing::AssertionFailure() << "byte at " << Hex(static_cast<uint32_t>(number) * 1024 + i)
                                                   << " is " << int(page[i]) << ", expected " << bytes[i];
            }
        }
    }
    return testing::AssertionSuccess();
}

// srec_cat arguments that place each block at its address, then the output.
std::vector<std::string> SrecCat(const std::vector<Block>& blocks, const fs::path& output,
                                 std::vector<std::string> format) {
    std::vector<std::string> args = {"srec_cat"};
    for (size_t i = 0; i < blocks.size(); ++i) {
        const fs::path file = HexPeers::Path("block" + std::to_string(i) + ".bin");
        WriteFile(file, std::string(blocks[i].data.begin(), blocks[i].data.end()));
        args.insert(args.end(), {file.string(), "-binary", "-offset", Hex(blocks[i].address)});
    }
    args.insert(args.end(), {"-o", output.string()});
    args.insert(args.end(), format.begin(), format.end());
    return args;
}

CHexImage Load(const fs::path& file, int* result) {
    CHexImage image;
    FILE* in = std::fopen(file.c_str(), "rb");
    const std::string text = CHexImage::ReadWholeFile(in);
    if (in) std::fclose(in);
    *result = image.LoadFromText(text);
    return image;
}

TEST_F(HexPeers, SrecCatLinearFilesLoadIntoTheSameBytes) {
    std::mt19937 rng(1001);
    for (int round = 0; round < 70; ++round) {
        const std::vector<Block> blocks = RandomBlocks(rng, 0xFFFF0000u);
        const std::string recordSize = std::to_string(1 + rng() % 64);
        ASSERT_EQ(Run(SrecCat(blocks, Path("in.hex"), {"-intel", "-obs=" + recordSize})), 0);
        int result = -1;
        const CHexImage image = Load(Path("in.hex"), &result);
        ASSERT_EQ(result, CHexImage::kLoadOk) << "round " << round;
        ASSERT_TRUE(ImageHolds(image, blocks)) << "round " << round;
    }
}

TEST_F(HexPeers, SrecCatSegmentFilesLoadIntoTheSameBytes) {
    std::mt19937 rng(1002);
    for (int round = 0; round < 50; ++round) {
        const std::vector<Block> blocks = RandomBlocks(rng, 0x100000u);
        const std::string recordSize = std::to_string(1 + rng() % 64);
        ASSERT_EQ(Run(SrecCat(blocks, Path("in.hex"), {"-intel", "-address-length=3", "-obs=" + recordSize})), 0);
        ASSERT_NE(ReadFile(Path("in.hex")).find(":02000002"), std::string::npos) << "no segment records";
        int result = -1;
        const CHexImage image = Load(Path("in.hex"), &result);
        ASSERT_EQ(result, CHexImage::kLoadOk) << "round " << round;
        ASSERT_TRUE(ImageHolds(image, blocks)) << "round " << round;
    }
}

// objcopy writes segment records below 1 MiB and linear ones above; it gets
// the sparse data as S-records, which srec_cat makes from the blocks.
TEST_F(HexPeers, ObjcopyFilesLoadIntoTheSameBytes) {
    std::mt19937 rng(1003);
    for (int round = 0; round < 70; ++round) {
        const std::vector<Block> blocks = RandomBlocks(rng, round % 2 ? 0x100000u : 0xFFFF0000u);
        ASSERT_EQ(Run(SrecCat(blocks, Path("in.srec"), {})), 0);
        ASSERT_EQ(Run({"objcopy", "-I", "srec", "-O", "ihex", Path("in.srec").string(), Path("in.hex").string()}), 0);
        int result = -1;
        const CHexImage image = Load(Path("in.hex"), &result);
        ASSERT_EQ(result, CHexImage::kLoadOk) << "round " << round;
        ASSERT_TRUE(ImageHolds(image, blocks)) << "round " << round;
    }
}

TEST_F(HexPeers, OurFilesReadBackThroughBothPeers) {
    std::mt19937 rng(1004);
    for (int round = 0; round < 50; ++round) {
        CHexImage image;
        const uint32_t base = (rng() % 0xFFF00000u) & ~1023u;
        const int pieces = 1 + static_cast<int>(rng() % 5);
        for (int p = 0; p < pieces; ++p) {
            const uint32_t at = base + rng() % 0x30000;
            const uint32_t length = 1 + rng() % 3000;
            for (uint32_t i = 0; i < length; ++i) image.SetByte(at + i, static_cast<uint8_t>(rng()));
        }
        if (rng() % 2) { // the short last page of a dump
            const Bytes tail(1 + rng() % 1023, static_cast<uint8_t>(rng()));
            image.PutPage(image.HighestPageNumber() + 1 + static_cast<int32_t>(rng() % 3), tail);
        }
        WriteFile(Path("out.hex"), ToHexText(image));

        const int32_t first = image.Pages().begin()->first;
        const int32_t last = image.HighestPageNumber();
        const uint32_t low = static_cast<uint32_t>(first) * 1024;
        const uint32_t length = static_cast<uint32_t>(last - first) * 1024 + uint32_t(image.GetPage(last).size());
        std::string expected(length, '\xEE');
        for (const auto& [number, bytes] : image.Pages()) {
            expected.replace((static_cast<uint32_t>(number) - first) * 1024, bytes.size(),
                             std::string(bytes.begin(), bytes.end()));
        }

        ASSERT_EQ(Run({"objcopy", "-I", "ihex", "-O", "binary", "--gap-fill", "0xEE", Path("out.hex").string(),
                       Path("objcopy.bin").string()}),
                  0);
        ASSERT_TRUE(ReadFile(Path("objcopy.bin")) == expected) << "objcopy, round " << round;

        ASSERT_EQ(Run({"srec_cat", Path("out.hex").string(), "-intel", "-offset", "-" + Hex(low), "-fill", "0xEE", "0",
                       Hex(length), "-o", Path("srec.bin").string(), "-binary"}),
                  0);
        ASSERT_TRUE(ReadFile(Path("srec.bin")) == expected) << "srec_cat, round " << round;
    }
}

} // namespace
