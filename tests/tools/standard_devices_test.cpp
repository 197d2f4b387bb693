// velt-dfu against simulated boards that follow DFU 1.1 as the standard
// writes it: a manifestation phase with a poll time, tolerant or waiting for
// a reset, an upload that ends with a short block (after which an UPLOAD
// starts the image over), and a composite device whose DFU interface is 1
// with a device interface GUID of its own.
#include "JsonCheck.h"
#include "SimToolTest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tooltest;

namespace {

const std::string kGuid = "{6D3F2A10-88C4-4E1B-9F2D-0A1B2C3D4E5F}";

class StandardDevices : public SimToolTest {
protected:
    void SetUp() override
    {
        SimToolTest::SetUp();
        const std::string standard = "manifest=standard,manifest-poll=30,upload-end=short";
        const std::string usb = standard + ",transfer-size=1024";
        WriteBytes(File("held.bin"), held_);
        Start({"--usb", "name=held," + usb + ",flash=" + File("held.bin"),
               "--usb", "name=tolerant,attributes=0x07," + usb + ",flash=" + File("tolerant.bin"),
               "--usb", "name=resets,attributes=0x03," + usb + ",flash=" + File("resets.bin"),
               "--usb", "name=composite,interface=1,guid=" + kGuid + "," + usb,
               "--com", "COM7," + standard});
    }
    const Bytes held_ = Pattern(5000, 40); // not a whole number of 1024-byte blocks
};

TEST_F(StandardDevices, DownloadWaitsOutTheManifestationAndUploadEndsAtTheShortBlock)
{
    const Bytes image = Pattern(5000, 41);
    WriteBytes(File("image.bin"), image);
    for (const std::string& device : {UsbPath("tolerant"), std::string("COM7")}) {
        ToolRun down = RunTool({"download", device, File("image.bin"), "--verify", "--json"});
        ASSERT_EQ(down.exitCode, 0) << down.err;
        const std::string result = Lines(down.out).back();
        EXPECT_TRUE(jsoncheck::IsObject(result)) << result;
        EXPECT_TRUE(Contains(result, R"("ok":true,)")) << result;
        EXPECT_TRUE(Contains(result, R"("wait_reset":false,)")) << result;
        EXPECT_TRUE(Contains(result, R"("dfu_state_name":"dfuIDLE")")) << result;
        EXPECT_TRUE(Contains(down.err, "verified, the 5000 bytes read back match")) << down.err;

        ToolRun up = RunTool({"upload", device, File("up.bin")});
        ASSERT_EQ(up.exitCode, 0) << up.err;
        const Bytes read = ReadBytes(File("up.bin"));
        ASSERT_GE(read.size(), image.size());
        EXPECT_TRUE(std::equal(image.begin(), image.end(), read.begin())) << device;
        EXPECT_LE(read.size(), 5120u) << "the download filled its last block out; the upload ended there";
    }
    // The device asked for 30 ms while manifesting: no GETSTATUS came sooner,
    // so it never had to answer dfuMANIFEST twice in a row.
    const std::vector<std::string> log = LogLinesOf("usb:tolerant");
    size_t manifesting = 0;
    const std::string ending = "-> 6 bytes, dfuMANIFEST";
    for (const std::string& line : log)
        manifesting += Contains(line, "GETSTATUS") && line.size() > ending.size() &&
                       line.compare(line.size() - ending.size(), ending.size(), ending) == 0;
    EXPECT_EQ(manifesting, 1u) << "one download, one GETSTATUS that found it manifesting";

    // An image that ends mid-block: the short block ends the upload.
    ToolRun up = RunTool({"upload", UsbPath("held"), File("held-up.bin")});
    ASSERT_EQ(up.exitCode, 0) << up.err;
    EXPECT_EQ(ReadBytes(File("held-up.bin")), held_);
    // The library's rule, an empty block, never comes from such a device: it
    // starts its image over. --until-empty reads on until --upload-size.
    ToolRun capped = RunTool({"upload", UsbPath("held"), File("capped.bin"), "--until-empty", "--upload-size", "12000"});
    ASSERT_EQ(capped.exitCode, 0) << capped.err;
    Bytes twice = held_;
    twice.insert(twice.end(), held_.begin(), held_.end());
    twice.insert(twice.end(), held_.begin(), held_.begin() + 2000);
    EXPECT_EQ(ReadBytes(File("capped.bin")), twice);
}

TEST_F(StandardDevices, ADeviceThatWaitsForAResetHasItsImageButCannotBeReadBack)
{
    const Bytes image = Pattern(3000, 42);
    WriteBytes(File("image.bin"), image);
    ToolRun down = RunTool({"download", UsbPath("resets"), File("image.bin"), "--json"});
    ASSERT_EQ(down.exitCode, 0) << down.err;
    EXPECT_TRUE(Contains(Lines(down.out).back(), R"("wait_reset":true,)")) << down.out;
    EXPECT_TRUE(Contains(down.err, "waits for a reset (dfuMANIFEST-WAIT-RESET) and runs the new firmware after it"))
        << down.err;
    const Bytes flash = ReadBytes(File("resets.bin"));
    ASSERT_GE(flash.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), flash.begin()));

    // --verify cannot read it back: said, exit 1, and no retry would change it.
    ASSERT_EQ(RunTool({"reset", UsbPath("resets")}).exitCode, 0);
    ToolRun verify = RunTool({"download", UsbPath("resets"), File("image.bin"), "--verify", "--retries", "2"});
    EXPECT_EQ(verify.exitCode, 1);
    EXPECT_TRUE(Contains(verify.err, "not possible, the device waits for a reset")) << verify.err;
    EXPECT_FALSE(Contains(verify.err, ": retry ")) << verify.err;
}

TEST_F(StandardDevices, ACompositeDeviceIsListedAndFlashedThroughItsOwnGuid)
{
    ToolRun plain = RunTool({"list"});
    EXPECT_FALSE(Contains(plain.out, "COMPOSITE")) << plain.out;
    ToolRun listed = RunTool({"list", "--guid", kGuid});
    ASSERT_EQ(listed.exitCode, 0) << listed.err;
    ASSERT_TRUE(Contains(listed.out, "usb")) << listed.out;
    EXPECT_FALSE(Contains(listed.out, "TOLERANT")) << "only the devices of that GUID";

    const Bytes image = Pattern(2500, 43);
    WriteBytes(File("image.bin"), image);
    ToolRun down = RunTool({"download", "0", File("image.bin"), "--guid", kGuid, "--verify"});
    EXPECT_EQ(down.exitCode, 0) << down.err;
    ToolRun state = RunTool({"state", "0", "--guid", kGuid});
    EXPECT_EQ(state.out, "state: dfuIDLE (2)\n") << state.err;

    ToolRun bad = RunTool({"list", "--guid", "6D3F2A10-88C4"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_TRUE(Contains(bad.err, "invalid value '6D3F2A10-88C4' for --guid")) << bad.err;
}

} // namespace
