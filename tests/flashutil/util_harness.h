// Runs the built OrvixFlashUtility as a child process against a fresh
// simulated adapter world, and reads back what the world saw.
#ifndef TESTS_FLASHUTIL_UTIL_HARNESS_H
#define TESTS_FLASHUTIL_UTIL_HARNESS_H

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

struct RunOutput {
    std::string out;    // standard output
    int code = -1;      // exit code
};

class UtilityTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Runs the utility with these arguments (program name added) in the
    // test's directory.
    RunOutput Run(const std::vector<std::string>& args);

    void Scenario(const std::string& text) { WriteFile("sim/scenario", text); }
    std::vector<std::string> CallLog() const;
    // Call-log lines of one function, in call order.
    std::vector<std::string> Calls(const std::string& function) const;
    // The persisted flash of an adapter's target (256 KiB; all 0xFF when none).
    std::vector<uint8_t> Flash(const std::string& serial = "LKP00012345") const;
    void SetFlash(const std::vector<uint8_t>& flash, const std::string& serial = "LKP00012345");

    std::string Path(const std::string& name) const { return dir_ + "/" + name; }
    void WriteFile(const std::string& name, const std::string& contents) const;
    std::string ReadFile(const std::string& name) const;
    bool Exists(const std::string& name) const;

    // Entry names of a directory under the test's directory, sorted.
    std::vector<std::string> Entries(const std::string& name) const;

    std::string dir_;
    // When not 0, the largest file the utility may write (RLIMIT_FSIZE): its
    // writes past that fail as they would on a full disk.
    uint64_t fileSizeLimit_ = 0;
};

// Intel HEX text of a list of (address, bytes) blocks, as the utility's own
// writer makes it: each 1024-byte page the blocks touch, from its start to
// the last byte given, gaps 0xFF. The writer's layout is tested on its own and against objcopy and
// srec_cat; here it only carries data to the utility.
struct HexBlock {
    uint32_t address;
    std::vector<uint8_t> bytes;
};
std::string MakeHex(const std::vector<HexBlock>& blocks);

// The lines every successful run without "-i" prints around its work.
extern const char* const kConnectedLine;    // "Connected to Adapter SN: LKP00012345\n"
extern const char* const kClosingLines;     // "Disconnect successful.\nSuccess.  No errors reported.\n"

#endif
