// Whole images against the device simulator, on USB and on a serial line:
// what arrives in the device's flash, what comes back, and how the device's
// own answers (busy, errors, manifestation, a refused start) end a transfer.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "SimProcess.h"
#include "TestSupport.h"
#include "VELT_DFU.h"

using velt::sim::SimProcess;
using velt::test::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                               static_cast<std::streamsize>(bytes.size()));
}

Bytes Random(size_t size, unsigned seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(size);
    for (uint8_t& b : bytes)
        b = static_cast<uint8_t>(generator());
    return bytes;
}

int Record(int32_t percent, int32_t, int32_t, uintptr_t userData)
{
    reinterpret_cast<std::vector<int32_t>*>(userData)->push_back(percent);
    return 1;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

} // namespace

class ImageOnSimulator : public ::testing::TestWithParam<bool>
{
protected:
    void Start(const std::string& keys = "")
    {
        const std::string extra = "flash=" + flashPath + (keys.empty() ? "" : "," + keys);
        sim = std::make_unique<SimProcess>(serial() ? std::vector<std::string> {"--com", "COM7," + extra}
                                                    : std::vector<std::string> {"--usb", "serial=IMG," + extra});
        sim->exportEnvironment();
        uint32_t count = 0;
        ASSERT_EQ(DFU_GetNumDevices(&count), DFU_STATUS_SUCCESS);
        ASSERT_EQ(count, 1u);
        ASSERT_EQ(DFU_OpenByIndex(&handle, 0), DFU_STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (handle != nullptr) {
            EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
        }
    }
    bool serial() const { return GetParam(); }
    DFU_STATUS Download(const Bytes& image, uint16_t transferSize)
    {
        WriteFile(imagePath, image);
        return DFU_DownloadImage(handle, transferSize, imagePath.c_str(), Record,
                                 reinterpret_cast<uintptr_t>(&percents), &status);
    }
    DFU_STATUS Upload(uint16_t transferSize)
    {
        return DFU_UploadImage(handle, transferSize, uploadPath.c_str(), nullptr, 0);
    }
    uint8_t State()
    {
        uint8_t state = 0xEE;
        EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_SUCCESS);
        return state;
    }

    TempDir dir;
    const std::string flashPath = dir.path() + "/flash.bin";
    const std::string imagePath = dir.path() + "/image.bin";
    const std::string uploadPath = dir.path() + "/upload.bin";
    std::unique_ptr<SimProcess> sim;
    DFU_HANDLE handle = nullptr;
    DFU_GETSTATUS_RESULT status = {};
    std::vector<int32_t> percents;
};

TEST_P(ImageOnSimulator, DownloadedImageArrivesAndUploadsBackByteForByte)
{
    Start();
    const Bytes image = Random(5000, 11);
    ASSERT_EQ(Download(image, 1024), DFU_STATUS_SUCCESS);
    EXPECT_EQ(percents, (std::vector<int32_t> {0, 20, 40, 60, 80, 100, 100}));
    EXPECT_EQ(status.bStatus, 0);
    EXPECT_EQ(State(), 2);

    // Five blocks: the image and then 0xFF up to the block boundary.
    Bytes padded = image;
    padded.resize(5 * 1024, 0xFF);
    EXPECT_EQ(ReadFile(flashPath), padded) << "the device saved its flash at manifestation";
    ASSERT_EQ(Upload(1024), DFU_STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(uploadPath), padded);
    EXPECT_EQ(State(), 2);

    const std::string log = sim->readLog();
    EXPECT_EQ(Count(log, "request DNLOAD(1)"), 6u);
    EXPECT_NE(log.find("request DNLOAD(1) type=0x21 value=4 index=0 length=1024"), std::string::npos) << log;
    EXPECT_NE(log.find("request DNLOAD(1) type=0x21 value=0 index=0 length=0"), std::string::npos) << log;
}

TEST_P(ImageOnSimulator, BusyDeviceIsWaitedFor)
{
    Start("busy=2,poll=5");
    ASSERT_EQ(Download(Random(600, 3), 256), DFU_STATUS_SUCCESS);
    // Three blocks, each polled through two busy answers; the closing block
    // goes straight to manifestation.
    EXPECT_EQ(Count(sim->readLog(), "request GETSTATUS(3)"), 3u * 3 + 1);
}

TEST_P(ImageOnSimulator, BlockOutsideTheFlashEndsWithTheDeviceError)
{
    Start("flash-size=2K");
    EXPECT_EQ(Download(Random(4096, 5), 1024), DFU_STATUS_UNEXPECTED_STATE);
    EXPECT_EQ(status.bState, 10) << "dfuERROR";
    EXPECT_EQ(status.bStatus, 8) << "errADDRESS";
    EXPECT_EQ(Count(sim->readLog(), "request DNLOAD(1)"), 3u) << "nothing sent after the failing block";
    // The device stays in dfuERROR: a new transfer is refused up front.
    percents.clear();
    EXPECT_EQ(Download(Random(10, 5), 1024), DFU_STATUS_NOT_IDLE);
    EXPECT_TRUE(percents.empty());
}

TEST_P(ImageOnSimulator, ManifestationStateAfterTheEndIsUnexpected)
{
    Start("manifest=sync");
    EXPECT_EQ(Download(Random(100, 7), 64), DFU_STATUS_UNEXPECTED_STATE);
    EXPECT_EQ(status.bState, 6) << "dfuMANIFEST-SYNC";
}

TEST_P(ImageOnSimulator, DeviceNotIdleIsRefusedAndTheUploadFileLeftEmpty)
{
    Start("state=10");
    WriteFile(uploadPath, Bytes(100, 1));
    EXPECT_EQ(Upload(64), DFU_STATUS_NOT_IDLE);
    EXPECT_TRUE(ReadFile(uploadPath).empty());
    EXPECT_EQ(Download(Bytes(10, 1), 64), DFU_STATUS_NOT_IDLE);
    EXPECT_TRUE(percents.empty());
    EXPECT_EQ(Count(sim->readLog(), "request DNLOAD(1)"), 0u);
}

TEST_P(ImageOnSimulator, UploadEndsAtTheDevicesShortBlockWithExactlyItsBytes)
{
    WriteFile(flashPath, Random(1000, 9));
    Start();
    ASSERT_EQ(Upload(256), DFU_STATUS_SUCCESS);
    EXPECT_EQ(ReadFile(uploadPath), Random(1000, 9));
}

INSTANTIATE_TEST_SUITE_P(BothTransports, ImageOnSimulator, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "Serial" : "Usb"; });
