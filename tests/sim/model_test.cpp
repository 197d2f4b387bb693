// The DFU 1.1 device model: state transitions, busy rounds, manifestation,
// misuse, and the flash that DNLOAD and UPLOAD address.
#include "dfu_model/DfuModel.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <unistd.h>

using namespace velt::sim;

namespace {

struct Status {
    uint8_t bStatus;
    uint32_t poll;
    uint8_t bState;
};

class Model : public ::testing::Test {
public:
    void make(ModelConfig config = {})
    {
        model_ = std::make_unique<DfuModel>(config, DfuModel::Logger{}, [this] { return clock_; });
        index_ = config.dfuInterface;
    }
    void advanceMs(int ms) { clock_ += std::chrono::milliseconds(ms); }

    ControlResult request(uint8_t type, uint8_t req, uint16_t value, uint16_t length,
                          const std::vector<uint8_t>& out = {})
    {
        return model_->handle(SetupPacket{type, req, value, index_, length}, out.data(), out.size());
    }
    ControlResult dnload(uint16_t block, const std::vector<uint8_t>& data)
    {
        return request(kClassOut, DFU_REQ_DNLOAD, block, static_cast<uint16_t>(data.size()), data);
    }
    ControlResult upload(uint16_t block, uint16_t length) { return request(kClassIn, DFU_REQ_UPLOAD, block, length); }
    Status getStatus()
    {
        ControlResult r = request(kClassIn, DFU_REQ_GETSTATUS, 0, 6);
        EXPECT_FALSE(r.stall);
        EXPECT_EQ(r.data.size(), 6u);
        r.data.resize(6);
        return {r.data[0], uint32_t(r.data[1] | r.data[2] << 8 | r.data[3] << 16), r.data[4]};
    }
    uint8_t getState()
    {
        ControlResult r = request(kClassIn, DFU_REQ_GETSTATE, 0, 1);
        EXPECT_EQ(r.data.size(), 1u);
        return r.data.empty() ? 0xEE : r.data[0];
    }
    DfuState state() const { return model_->state(); }

    std::unique_ptr<DfuModel> model_;
    DfuModel::Clock::time_point clock_{};
    uint16_t index_ = 0; // wIndex of every request: the DFU interface
};

} // namespace

TEST_F(Model, DownloadWalksThroughSyncBusyIdleAndManifestsToIdle)
{
    ModelConfig config;
    config.busyRounds = 2;
    config.pollTimeoutMs = 0x012345;
    make(config);
    EXPECT_EQ(getState(), 2);
    EXPECT_FALSE(dnload(0, {1, 2, 3, 4}).stall);
    EXPECT_EQ(getState(), 3); // dfuDNLOAD-SYNC until the host asks for the status
    Status s = getStatus();
    EXPECT_EQ(s.bState, 4);
    EXPECT_EQ(s.poll, 0x012345u);
    EXPECT_EQ(getStatus().bState, 4);
    s = getStatus();
    EXPECT_EQ(s.bState, 5);
    EXPECT_EQ(s.poll, 0u);
    EXPECT_FALSE(dnload(1, {5, 6, 7, 8}).stall);
    EXPECT_EQ(getStatus().bState, 4); // busy rounds again for every block
    EXPECT_EQ(getStatus().bState, 4);
    EXPECT_EQ(getStatus().bState, 5);
    EXPECT_FALSE(request(kClassOut, DFU_REQ_DNLOAD, 0, 0).stall);
    EXPECT_EQ(getState(), 6);
    s = getStatus();
    EXPECT_EQ(s.bState, 2);
    EXPECT_EQ(s.bStatus, 0);
    std::vector<uint8_t> expected{1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(model_->flash().imageEnd(), 8u);
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), model_->flash().bytes().begin()));
}

TEST_F(Model, ManifestSyncOptionReportsManifestSyncOnceThenIdle)
{
    ModelConfig config;
    config.manifest = ManifestMode::Sync;
    make(config);
    dnload(0, {9});
    EXPECT_EQ(getStatus().bState, 5);
    request(kClassOut, DFU_REQ_DNLOAD, 0, 0);
    EXPECT_EQ(getStatus().bState, 6);
    EXPECT_EQ(getStatus().bState, 2);
}

// manifest=standard: GETSTATUS reports dfuMANIFEST with the poll time until
// that time is up, then dfuIDLE (tolerant) or dfuMANIFEST-WAIT-RESET, which
// only a reset leaves.
TEST_F(Model, StandardManifestationHoldsItsPollTimeThenEndsByTolerance)
{
    for (bool tolerant : {true, false}) {
        SCOPED_TRACE(tolerant ? "tolerant" : "not tolerant");
        ModelConfig config;
        config.manifest = ManifestMode::Standard;
        config.manifestPollMs = 300;
        config.manifestTolerant = tolerant;
        make(config);
        dnload(0, {9});
        EXPECT_EQ(getStatus().bState, 5);
        request(kClassOut, DFU_REQ_DNLOAD, 1, 0);
        EXPECT_EQ(getState(), 6);
        Status s = getStatus();
        EXPECT_EQ(s.bState, 7);
        EXPECT_EQ(s.poll, 300u);
        advanceMs(100);
        s = getStatus(); // earlier than asked: still manifesting
        EXPECT_EQ(s.bState, 7);
        EXPECT_EQ(s.poll, 200u);
        EXPECT_TRUE(request(kClassIn, DFU_REQ_GETSTATE, 0, 1).stall) << "nothing but GETSTATUS while manifesting";
        EXPECT_EQ(getState(), 10);
        request(kClassOut, DFU_REQ_CLRSTATUS, 0, 0);

        make(config);
        dnload(0, {9});
        getStatus();
        request(kClassOut, DFU_REQ_DNLOAD, 1, 0);
        EXPECT_EQ(getStatus().bState, 7);
        advanceMs(300);
        if (tolerant) {
            EXPECT_EQ(getState(), 6) << "back in dfuMANIFEST-SYNC once the time is up";
            s = getStatus();
            EXPECT_EQ(s.bState, 2);
            EXPECT_EQ(s.poll, 0u);
            continue;
        }
        s = getStatus();
        EXPECT_EQ(s.bState, 8);
        EXPECT_EQ(s.bStatus, 0);
        EXPECT_TRUE(upload(0, 4).stall);
        EXPECT_TRUE(request(kClassOut, DFU_REQ_ABORT, 0, 0).stall);
        EXPECT_TRUE(request(kClassOut, DFU_REQ_CLRSTATUS, 0, 0).stall);
        EXPECT_EQ(getState(), 8) << "stays until a reset, not in dfuERROR";
        model_->busReset();
        EXPECT_EQ(getState(), 2);
        EXPECT_EQ(model_->flash().bytes()[0], 9);
        request(kClassOut, DFU_REQ_DNLOAD, 0, 1, {7});
        getStatus();
        request(kClassOut, DFU_REQ_DNLOAD, 1, 0);
        getStatus();
        advanceMs(300);
        EXPECT_EQ(getStatus().bState, 8);
        EXPECT_FALSE(request(kVendorOut, VENDOR_REQ_RESET, 0, 0).stall) << "the vendor reset is a reset too";
        EXPECT_EQ(getState(), 2);
    }
}

TEST_F(Model, UploadInIdleAfterTheShortBlockIsEmptyOrStartsAgainByUploadEnd)
{
    for (UploadEnd end : {UploadEnd::Empty, UploadEnd::Short}) {
        SCOPED_TRACE(end == UploadEnd::Short ? "short" : "empty");
        ModelConfig config;
        config.uploadEnd = end;
        config.uploadSize = 6;
        make(config);
        dnload(0, {1, 2, 3, 4, 5, 6});
        getStatus();
        request(kClassOut, DFU_REQ_DNLOAD, 1, 0);
        getStatus();
        EXPECT_EQ(upload(0, 4).data, std::vector<uint8_t>({1, 2, 3, 4}));
        EXPECT_EQ(upload(1, 4).data, std::vector<uint8_t>({5, 6}));
        EXPECT_EQ(state(), DfuState::DfuIdle);
        ControlResult next = upload(2, 4);
        EXPECT_FALSE(next.stall);
        if (end == UploadEnd::Empty) {
            EXPECT_TRUE(next.data.empty());
            EXPECT_EQ(state(), DfuState::DfuIdle);
        } else {
            EXPECT_EQ(next.data, std::vector<uint8_t>({1, 2, 3, 4})) << "a new upload from the start";
            EXPECT_EQ(state(), DfuState::UploadIdle);
            EXPECT_EQ(upload(3, 4).data, std::vector<uint8_t>({5, 6}));
        }
    }
}

TEST_F(Model, RequestsToAnotherInterfaceStallIntoError)
{
    for (uint16_t dfuInterface : {0, 1}) {
        SCOPED_TRACE(dfuInterface);
        ModelConfig config;
        config.dfuInterface = dfuInterface;
        make(config);
        EXPECT_EQ(getState(), 2);
        EXPECT_EQ(request(kVendorIn, VENDOR_REQ_GET_INFO, 0, 48).data.size(), kInfoSize);
        for (uint16_t other : {uint16_t(dfuInterface ^ 1), uint16_t(dfuInterface | 0x100)}) {
            SCOPED_TRACE(other);
            EXPECT_TRUE(model_->handle(SetupPacket{kClassIn, DFU_REQ_GETSTATE, 0, other, 1}, nullptr, 0).stall);
            EXPECT_EQ(getState(), 10);
            request(kClassOut, DFU_REQ_CLRSTATUS, 0, 0);
        }
    }
}

TEST_F(Model, OnlyGetStatusIsAnsweredWhileBusy)
{
    ModelConfig config;
    config.busyRounds = 3;
    make(config);
    dnload(0, {1});
    EXPECT_EQ(getStatus().bState, 4);
    EXPECT_TRUE(request(kClassIn, DFU_REQ_GETSTATE, 0, 1).stall);
    EXPECT_EQ(state(), DfuState::DfuError);
    EXPECT_EQ(model_->status(), DfuStatus::ErrStalledPkt);
}

TEST_F(Model, MisuseStallsIntoErrorUntilClrStatus)
{
    struct Case {
        const char* what;
        std::function<void(Model&)> prepare;
        uint8_t type, request;
        uint16_t length;
    };
    std::vector<Case> cases{
        {"zero-length DNLOAD in dfuIDLE", [](Model&) {}, kClassOut, DFU_REQ_DNLOAD, 0},
        {"UPLOAD in dfuDNLOAD-IDLE", [](Model& m) { m.dnload(0, {1}); m.getStatus(); }, kClassIn, DFU_REQ_UPLOAD, 8},
        {"DNLOAD in dfuUPLOAD-IDLE", [](Model& m) { m.dnload(0, std::vector<uint8_t>(8, 1)); m.getStatus();
                                        m.request(kClassOut, DFU_REQ_ABORT, 0, 0); m.upload(0, 4); },
         kClassOut, DFU_REQ_DNLOAD, 0},
        {"CLRSTATUS outside dfuERROR", [](Model&) {}, kClassOut, DFU_REQ_CLRSTATUS, 0},
        {"DETACH in DFU mode", [](Model&) {}, kClassOut, DFU_REQ_DETACH, 0},
        {"unknown request", [](Model&) {}, kClassIn, 0x42, 4},
        {"GETSTATUS with an OUT request type", [](Model&) {}, kClassOut, DFU_REQ_GETSTATUS, 0},
        {"UPLOAD of length 0", [](Model&) {}, kClassIn, DFU_REQ_UPLOAD, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        make();
        c.prepare(*this);
        EXPECT_TRUE(request(c.type, c.request, 0, c.length).stall);
        Status s = getStatus();
        EXPECT_EQ(s.bState, 10);
        EXPECT_EQ(s.bStatus, 0x0F);
        EXPECT_TRUE(request(kClassOut, DFU_REQ_ABORT, 0, 0).stall) << "only CLRSTATUS leaves dfuERROR";
        EXPECT_EQ(getState(), 10);
        EXPECT_FALSE(request(kClassOut, DFU_REQ_CLRSTATUS, 0, 0).stall);
        s = getStatus();
        EXPECT_EQ(s.bState, 2);
        EXPECT_EQ(s.bStatus, 0);
    }
}

TEST_F(Model, AbortReturnsToIdleFromDownloadAndUpload)
{
    make();
    dnload(0, {1, 2});
    getStatus();
    EXPECT_FALSE(request(kClassOut, DFU_REQ_ABORT, 0, 0).stall);
    EXPECT_EQ(getState(), 2);
    EXPECT_EQ(upload(0, 1).data.size(), 1u);
    EXPECT_EQ(getState(), 9);
    EXPECT_FALSE(request(kClassOut, DFU_REQ_ABORT, 0, 0).stall);
    EXPECT_EQ(getState(), 2);
}

TEST_F(Model, UploadReadsBlocksAndEndsWithShortThenEmptyBlock)
{
    make();
    std::vector<uint8_t> image(10);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(0x10 + i);
    dnload(0, image);
    getStatus();
    request(kClassOut, DFU_REQ_DNLOAD, 0, 0);
    getStatus();
    EXPECT_EQ(upload(0, 4).data, std::vector<uint8_t>(image.begin(), image.begin() + 4));
    EXPECT_EQ(state(), DfuState::UploadIdle);
    EXPECT_EQ(upload(1, 4).data, std::vector<uint8_t>(image.begin() + 4, image.begin() + 8));
    EXPECT_EQ(upload(2, 4).data, std::vector<uint8_t>(image.begin() + 8, image.end()));
    EXPECT_EQ(state(), DfuState::DfuIdle); // the short block ended the upload
    ControlResult tail = upload(3, 4);
    EXPECT_FALSE(tail.stall);
    EXPECT_TRUE(tail.data.empty());
}

TEST_F(Model, UploadSizeOptionLimitsTheImage)
{
    ModelConfig config;
    config.uploadSize = 6;
    make(config);
    EXPECT_EQ(upload(0, 4).data, std::vector<uint8_t>(4, 0xFF)); // erased flash
    EXPECT_EQ(upload(1, 4).data.size(), 2u);
}

TEST_F(Model, UploadCorruptInvertsOneByteOnTheWayOutOnly)
{
    ModelConfig config;
    config.uploadCorrupt = 5;
    make(config);
    dnload(0, {1, 2, 3, 4, 5, 6, 7, 8});
    getStatus();
    request(kClassOut, DFU_REQ_DNLOAD, 0, 0);
    getStatus();
    EXPECT_EQ(upload(0, 4).data, std::vector<uint8_t>({1, 2, 3, 4}));
    EXPECT_EQ(upload(1, 4).data, std::vector<uint8_t>({5, 0xF9, 7, 8}));
    EXPECT_EQ(model_->flash().bytes()[5], 6);
}

TEST_F(Model, BlocksLieAtTheTransfersBlockSizeAndWrapPast65535)
{
    ModelConfig config;
    config.flashSize = 0x10000 * 2 + 16;
    make(config);
    // The first block sets the block size; a shorter last block (the rest of
    // an image) lands at its number times that size, not times its own length.
    dnload(0, {1, 2, 3, 4});
    getStatus();
    dnload(1, {5, 6, 7, 8});
    getStatus();
    dnload(2, {9, 10});
    getStatus();
    dnload(2, {9, 10}); // sent again after a lost status: the same place
    getStatus();
    request(kClassOut, DFU_REQ_DNLOAD, 3, 0);
    getStatus();
    const std::vector<uint8_t> image{1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(model_->flash().imageEnd(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), model_->flash().bytes().begin()));
    EXPECT_EQ(upload(0, 4).data, std::vector<uint8_t>(image.begin(), image.begin() + 4));
    EXPECT_EQ(upload(2, 4).data, std::vector<uint8_t>(image.begin() + 8, image.end()));
    request(kClassOut, DFU_REQ_ABORT, 0, 0);

    make(config);
    dnload(3, {0xAB, 0xCD});
    getStatus();
    EXPECT_EQ(model_->flash().bytes()[6], 0xAB);
    EXPECT_EQ(model_->flash().bytes()[7], 0xCD);
    dnload(0xFFFF, {0x11, 0x22});
    getStatus();
    dnload(0, {0x33, 0x44}); // block 65536
    getStatus();
    EXPECT_EQ(model_->flash().bytes()[0x1FFFE], 0x11);
    EXPECT_EQ(model_->flash().bytes()[0x20000], 0x33);
    EXPECT_EQ(model_->flash().bytes()[0], 0xFF) << "the wrapped block must not overwrite block 0";
}

TEST_F(Model, BlockBeyondFlashIsReportedAsErrAddressByGetStatus)
{
    ModelConfig config;
    config.flashSize = 8;
    make(config);
    EXPECT_FALSE(dnload(2, {1, 2, 3, 4}).stall);
    Status s = getStatus();
    EXPECT_EQ(s.bState, 10);
    EXPECT_EQ(s.bStatus, 0x08);
    EXPECT_EQ(model_->flash().imageEnd(), 0u);
}

TEST_F(Model, ShortRequestLengthTruncatesReplies)
{
    make();
    ControlResult r = request(kClassIn, DFU_REQ_GETSTATUS, 0, 3);
    EXPECT_EQ(r.data.size(), 3u);
    r = request(kVendorIn, VENDOR_REQ_GET_INFO, 0, 100);
    EXPECT_EQ(r.data.size(), kInfoSize);
}

TEST_F(Model, InfoRecordIsConfigurableWithARecognisableDefault)
{
    make();
    ControlResult r = request(kVendorIn, VENDOR_REQ_GET_INFO, 0, 48);
    ASSERT_EQ(r.data.size(), 48u);
    EXPECT_EQ(r.data[2], 0x01);
    EXPECT_EQ(r.data[3], 0x02);
    EXPECT_EQ(r.data[4] | r.data[5] << 8 | r.data[6] << 16, 256 * 1024);
    EXPECT_EQ(std::string(r.data.begin() + 16, r.data.begin() + 34), "VELT DFU SIMULATOR");

    ModelConfig config;
    std::array<uint8_t, kInfoSize> info{};
    for (size_t i = 0; i < info.size(); ++i)
        info[i] = static_cast<uint8_t>(i * 3);
    config.info = info;
    make(config);
    r = request(kVendorIn, VENDOR_REQ_GET_INFO, 0, 48);
    EXPECT_TRUE(std::equal(info.begin(), info.end(), r.data.begin()));
}

TEST_F(Model, ResetReturnsToStartStateAndKeepsFlash)
{
    ModelConfig config;
    config.startState = DfuState::DfuError;
    make(config);
    EXPECT_EQ(getStatus().bState, 10);
    request(kClassOut, DFU_REQ_CLRSTATUS, 0, 0);
    dnload(0, {0x5A});
    getStatus();
    EXPECT_FALSE(request(kVendorOut, VENDOR_REQ_RESET, 0, 0).stall);
    EXPECT_EQ(getState(), 10);
    EXPECT_EQ(model_->flash().bytes()[0], 0x5A);

    // A device told to detach comes back in DFU mode after the reset.
    config.startState = DfuState::AppIdle;
    make(config);
    EXPECT_TRUE(dnload(0, {1}).stall);
    EXPECT_EQ(getState(), 0) << "application mode stalls without dfuERROR";
    EXPECT_FALSE(request(kClassOut, DFU_REQ_DETACH, 0, 0).stall);
    EXPECT_EQ(getState(), 1);
    request(kVendorOut, VENDOR_REQ_RESET, 0, 0);
    EXPECT_EQ(getState(), 2);
}

TEST_F(Model, FlashFileIsLoadedAndSavedOnManifestation)
{
    std::string path = ::testing::TempDir() + "sim_model_flash_" + std::to_string(::getpid()) + ".bin";
    {
        std::ofstream out(path, std::ios::binary);
        out << "ABCDEFGH";
    }
    ModelConfig config;
    config.flashFile = path;
    make(config);
    EXPECT_EQ(upload(0, 16).data, std::vector<uint8_t>({'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H'}));
    dnload(1, {'x', 'y'}); // block 1 of length 2: bytes 2 and 3
    getStatus();
    request(kClassOut, DFU_REQ_DNLOAD, 0, 0);
    std::ifstream in(path, std::ios::binary);
    std::string saved((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(saved, "ABxyEFGH");
    std::remove(path.c_str());

    std::ofstream big(path, std::ios::binary);
    big << std::string(20, 'z');
    big.close();
    config.flashSize = 16;
    EXPECT_THROW(make(config), std::runtime_error);
    std::remove(path.c_str());
}
