// dfu-util, a DFU host we did not write, against the simulator's device model
// on the emulated bus: where our library and our model could share a
// misreading of DFU 1.1, it would not. Boards as most people own them:
// a composite device whose DFU interface is 1, wTransferSize 1024, the
// standard manifestation (tolerant or not) and an upload that ends with a
// short block.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "UsbTestBed.h"

using velt::test::DeviceLayout;
using velt::test::EmulatedDevice;
using velt::test::EmulatedInterface;
using velt::test::ProgramRun;
using velt::test::RunOnBus;
using velt::test::TempDir;
using velt::test::UsbTestBed;

namespace {

constexpr const char* kDfuUtil = "/usr/bin/dfu-util";

class DfuUtilOnEmulatedBus : public ::testing::Test {
protected:
    void SetUp() override {
        if (access(kDfuUtil, X_OK) != 0)
            GTEST_SKIP() << kDfuUtil << " is missing: install Debian's dfu-util package (scripts/setup-deps.sh does)";
    }
    UsbTestBed bed;
    TempDir dir;
};

DeviceLayout StandardBoard(const std::string& serial, uint8_t port, uint8_t attributes) {
    DeviceLayout s;
    s.serial = serial;
    s.port = port;
    s.interfaces = {EmulatedInterface{0xFF, 0x00, 0x00, {}}, EmulatedInterface{}};
    s.dfuAttributes = attributes;
    s.transferSize = 1024;
    s.model.manifest = velt::sim::ManifestMode::Standard;
    s.model.manifestPollMs = 150;
    s.model.uploadEnd = velt::sim::UploadEnd::Short;
    return s;
}

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}

// 5000 bytes at 1024 a block: dfu-util sends a short last block (904 bytes
// as block 4), which must land at 4096, and reads the image back until the
// short block that ends the upload. A board that is not manifestation
// tolerant waits in dfuMANIFEST-WAIT-RESET until dfu-util resets it.
TEST_F(DfuUtilOnEmulatedBus, AnImageOfPartBlocksGoesDownAndComesBackOnTolerantAndStrictBoards) {
    std::vector<uint8_t> image(5000);
    std::mt19937 generator(17);
    for (uint8_t& b : image)
        b = static_cast<uint8_t>(generator());
    const std::string in = dir.path() + "/image.bin";
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), image.size());

    uint8_t port = 1;
    for (uint8_t attributes : {0x07, 0x03}) {
        const bool tolerant = (attributes & 0x04) != 0;
        SCOPED_TRACE(tolerant ? "manifestation tolerant" : "not manifestation tolerant");
        const std::string serial = tolerant ? "TOLERANT" : "STRICT";
        EmulatedDevice& d = bed.Add(StandardBoard(serial, port++, attributes));

        ProgramRun down = RunOnBus({kDfuUtil, "-d", "0483:df11", "-S", serial, "-D", in});
        EXPECT_EQ(down.exitCode, 0) << down.out;
        std::vector<uint8_t> flash = d.Flash();
        ASSERT_GE(flash.size(), image.size() + 1);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin())) << down.out;
        EXPECT_EQ(flash[image.size()], 0xFF) << "nothing written past the image";
        EXPECT_EQ(d.Resets(), tolerant ? 0u : 1u) << down.out;

        const std::string out = dir.path() + "/upload-" + serial + ".bin";
        ProgramRun up = RunOnBus({kDfuUtil, "-d", "0483:df11", "-S", serial, "-U", out});
        EXPECT_EQ(up.exitCode, 0) << up.out;
        EXPECT_EQ(ReadFile(out), image) << up.out;
    }
}

}  // namespace
