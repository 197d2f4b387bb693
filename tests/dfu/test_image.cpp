// Whole-image download and upload against a scripted device behind a real
// handle: every request the exports send is recorded, every reply chosen by
// the test, so block numbers, lengths, fill bytes, polling, progress calls
// and the statuses of each way to fail are checked exactly.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "VELT_DFU.h"
#include "api/Handles.h"
#include "transport/IControlDevice.h"

using velt::test::TempDir;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t DNLOAD = 1, UPLOAD = 2, GETSTATUS = 3, GETSTATE = 5;
constexpr uint8_t IDLE = 2, DNBUSY = 4, DNLOAD_IDLE = 5, MANIFEST_SYNC = 6, MANIFEST = 7, ERROR_STATE = 10;

struct Request {
    WINUSB_SETUP_PACKET setup;
    Bytes data; // what a host-to-device request carried
};

// A device whose replies the test scripts. By default it is a well-behaved
// DFU device in dfuIDLE that takes every block at once and uploads nothing.
class CScriptedDevice : public IControlDevice
{
public:
    CScriptedDevice() { m_hDevice = reinterpret_cast<HANDLE>(uintptr_t {0x100}); }

    BOOL OpenByIndex(uint32_t) override { return FALSE; }
    BOOL OpenByDevicePath(const WCHAR*) override { return FALSE; }
    BOOL Close() override
    {
        m_hDevice = INVALID_HANDLE_VALUE;
        return TRUE;
    }
    BOOL GetDevicePath(WCHAR*) override { return FALSE; }
    BOOL GetVidPid(uint16_t*, uint16_t*) override { return NotSupported(); }
    int GetInterface() override { return 0; }
    BOOL GetDeviceDescriptor(USB_DEVICE_DESCRIPTOR*) override { return NotSupported(); }
    BOOL GetInterfaceDescriptor(USB_INTERFACE_DESCRIPTOR*) override { return NotSupported(); }
    BOOL SetTransferTimeout(uint32_t) override { return TRUE; }
    BOOL GetTransferTimeout(uint32_t* ms) override
    {
        *ms = 1000;
        return TRUE;
    }
    BOOL SetUartConfig(uint32_t, uint8_t, uint8_t, uint8_t, uint8_t) override { return NotSupported(); }
    BOOL GetUartConfig(uint32_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*) override { return NotSupported(); }
    BOOL Initialize() override { return TRUE; }
    void ResetState() override {}

    BOOL ControlTransfer(WINUSB_SETUP_PACKET setup, uint8_t* data, uint32_t* transferred) override
    {
        Request request {setup, {}};
        if ((setup.RequestType & 0x80) == 0 && setup.Length != 0)
            request.data.assign(data, data + setup.Length);
        log.push_back(request);
        Bytes reply;
        if (!Answer(setup, reply)) {
            if (transferred != nullptr)
                *transferred = countOnFailure;
            return FALSE;
        }
        if (setup.RequestType & 0x80) {
            const size_t n = reply.size() < setup.Length ? reply.size() : setup.Length;
            std::copy(reply.begin(), reply.begin() + static_cast<long>(n), data);
            if (transferred != nullptr)
                *transferred = static_cast<uint32_t>(n);
        } else if (transferred != nullptr) {
            *transferred = dnloadCount ? dnloadCount(setup) : setup.Length;
        }
        return TRUE;
    }

    // Scripts: each returns the reply bytes, or false after SetLastError.
    std::function<bool(Bytes&)> getState = [](Bytes& r) {
        r = {IDLE};
        return true;
    };
    std::function<bool(Bytes&)> getStatus = [](Bytes& r) {
        r = Status(0, 0, DNLOAD_IDLE);
        return true;
    };
    std::function<bool(uint16_t block, Bytes&)> upload = [](uint16_t, Bytes& r) {
        r.clear();
        return true;
    };
    std::function<bool(uint16_t block)> dnload = [](uint16_t) { return true; };
    std::function<uint32_t(const WINUSB_SETUP_PACKET&)> dnloadCount;
    // Bytes a failed transfer reports, as WinUSB may.
    uint32_t countOnFailure = 0;

    std::vector<Request> log;

    static Bytes Status(uint8_t bStatus, uint32_t poll, uint8_t state)
    {
        return {bStatus, static_cast<uint8_t>(poll), static_cast<uint8_t>(poll >> 8), static_cast<uint8_t>(poll >> 16),
                state, 0};
    }

private:
    bool Answer(const WINUSB_SETUP_PACKET& setup, Bytes& reply)
    {
        switch (setup.Request) {
        case GETSTATE: return getState(reply);
        case GETSTATUS: return getStatus(reply);
        case UPLOAD: return upload(setup.Value, reply);
        case DNLOAD: return dnload(setup.Value);
        default: return true;
        }
    }
};

struct Call {
    int32_t percent, inProgress, block;
    uintptr_t userData;
    bool operator==(const Call& o) const
    {
        return percent == o.percent && inProgress == o.inProgress && block == o.block && userData == o.userData;
    }
};

std::ostream& operator<<(std::ostream& out, const Call& c)
{
    return out << "(" << c.percent << "," << c.inProgress << "," << c.block << ")";
}

// The callback records into the vector that userData points at; a call
// whose index is `cancelAt` returns 0.
struct Recorder {
    std::vector<Call> calls;
    size_t cancelAt = SIZE_MAX;

    static int Callback(int32_t percent, int32_t inProgress, int32_t block, uintptr_t userData)
    {
        auto* self = reinterpret_cast<Recorder*>(userData);
        self->calls.push_back({percent, inProgress, block, userData});
        return self->calls.size() - 1 == self->cancelAt ? 0 : 1;
    }
    uintptr_t data() { return reinterpret_cast<uintptr_t>(this); }
    Call opening() { return {0, 1, -1, data()}; }
    Call closing() { return {100, 0, -1, data()}; }
};

class Image : public ::testing::Test
{
protected:
    Image() : device(new CScriptedDevice), handle(CreateHandle(device)) {}
    ~Image() override { DestroyHandle(handle); }

    std::string WriteFile(const std::string& name, const Bytes& bytes)
    {
        const std::string path = dir.path() + "/" + name;
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                   static_cast<std::streamsize>(bytes.size()));
        return path;
    }
    static Bytes ReadFile(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }
    static Bytes Pattern(size_t size)
    {
        Bytes bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(i * 7 + 3);
        return bytes;
    }
    std::vector<Request> Sent(uint8_t request) const
    {
        std::vector<Request> found;
        for (const Request& r : device->log)
            if (r.setup.Request == request)
                found.push_back(r);
        return found;
    }
    DFU_STATUS Download(const std::string& path, uint16_t transferSize = 64)
    {
        return DFU_DownloadImage(handle, transferSize, path.c_str(), Recorder::Callback, recorder.data(), &status);
    }
    DFU_STATUS Upload(const std::string& path, uint16_t transferSize = 64)
    {
        return DFU_UploadImage(handle, transferSize, path.c_str(), Recorder::Callback, recorder.data());
    }
    // A status the exports must leave alone when no GETSTATUS was answered.
    static DFU_GETSTATUS_RESULT Untouched() { return {0x66, 0x666666, 0x66, 0x66}; }
    bool StatusUntouched() const
    {
        return status.bStatus == 0x66 && status.bwPollTimeout == 0x666666 && status.bState == 0x66;
    }

    TempDir dir;
    CScriptedDevice* device;
    DFU_HANDLE handle;
    Recorder recorder;
    DFU_GETSTATUS_RESULT status = Untouched();
};

bool Fail(DWORD error)
{
    SetLastError(error);
    return false;
}

} // namespace

TEST_F(Image, ArgumentsAreCheckedHandleFirstAndNothingIsSent)
{
    const std::string path = WriteFile("a.bin", Pattern(10));
    uint64_t notAHandle = 0;
    EXPECT_EQ(DFU_DownloadImage(&notAHandle, 64, nullptr, nullptr, 0, nullptr), DFU_STATUS_INVALID_HANDLE);
    EXPECT_EQ(DFU_UploadImage(&notAHandle, 0, nullptr, nullptr, 0), DFU_STATUS_INVALID_HANDLE);
    EXPECT_EQ(DFU_DownloadImage(handle, 64, nullptr, Recorder::Callback, recorder.data(), &status),
              DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DownloadImage(handle, 64, path.c_str(), Recorder::Callback, recorder.data(), nullptr),
              DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_DownloadImage(handle, 0, path.c_str(), Recorder::Callback, recorder.data(), &status),
              DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(DFU_UploadImage(handle, 64, nullptr, Recorder::Callback, recorder.data()), DFU_STATUS_INVALID_PARAMETER);
    const std::string target = dir.path() + "/never.bin";
    EXPECT_EQ(DFU_UploadImage(handle, 0, target.c_str(), Recorder::Callback, recorder.data()),
              DFU_STATUS_INVALID_PARAMETER);
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "a refused upload created its file";
    EXPECT_TRUE(device->log.empty());
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_TRUE(StatusUntouched());
}

TEST_F(Image, StartsOnlyFromIdleWithoutAnyCallback)
{
    const std::string path = WriteFile("a.bin", Pattern(10));
    const std::string target = WriteFile("up.bin", Pattern(33));

    device->getState = [](Bytes& r) {
        r = {DNLOAD_IDLE};
        return true;
    };
    EXPECT_EQ(Download(path), DFU_STATUS_NOT_IDLE);
    EXPECT_EQ(Upload(target), DFU_STATUS_NOT_IDLE);
    EXPECT_TRUE(ReadFile(target).empty()) << "a refused upload leaves its file empty";

    device->getState = [](Bytes& r) {
        r.clear();
        return true;
    };
    EXPECT_EQ(Download(path), DFU_STATUS_INCOMPLETE_TRANSFER);
    device->getState = [](Bytes&) { return Fail(ERROR_SEM_TIMEOUT); };
    EXPECT_EQ(Download(path), DFU_STATUS_TIMEOUT);
    EXPECT_EQ(Upload(target), DFU_STATUS_TIMEOUT);

    device->Close();
    EXPECT_EQ(Download(path), DFU_STATUS_DEVICE_NOT_OPENED);
    EXPECT_EQ(Upload(target), DFU_STATUS_DEVICE_NOT_OPENED);

    // Only ever the one GETSTATE per call.
    EXPECT_EQ(device->log.size(), 5u);
    EXPECT_EQ(Sent(GETSTATE).size(), 5u);
    EXPECT_TRUE(recorder.calls.empty());
    EXPECT_TRUE(StatusUntouched());
}

TEST_F(Image, EmptyFileSendsOnlyTheClosingBlock)
{
    ASSERT_EQ(Download(WriteFile("empty.bin", {})), DFU_STATUS_SUCCESS);
    const auto& log = device->log;
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].setup.Request, GETSTATE);
    EXPECT_EQ(log[1].setup.Request, DNLOAD);
    EXPECT_EQ(log[1].setup.RequestType, 0x21);
    EXPECT_EQ(log[1].setup.Value, 0);
    EXPECT_EQ(log[1].setup.Length, 0);
    EXPECT_EQ(log[2].setup.Request, GETSTATUS);
    EXPECT_EQ(log[2].setup.RequestType, 0xA1);
    EXPECT_EQ(log[2].setup.Length, 6);
    EXPECT_EQ(recorder.calls, (std::vector<Call> {recorder.opening(), recorder.closing()}));
    EXPECT_EQ(status.bState, DNLOAD_IDLE);
}

TEST_F(Image, ShortFileIsPaddedWithFFToWholeBlocks)
{
    ASSERT_EQ(Download(WriteFile("one.bin", {0x5A}), 64), DFU_STATUS_SUCCESS);
    const auto blocks = Sent(DNLOAD);
    ASSERT_EQ(blocks.size(), 2u);
    Bytes expected(64, 0xFF);
    expected[0] = 0x5A;
    EXPECT_EQ(blocks[0].setup.Length, 64);
    EXPECT_EQ(blocks[0].data, expected);
    EXPECT_EQ(blocks[1].setup.Length, 0);
    // Each DNLOAD is followed at once by its GETSTATUS.
    ASSERT_EQ(device->log.size(), 5u);
    EXPECT_EQ(device->log[2].setup.Request, GETSTATUS);
    EXPECT_EQ(device->log[4].setup.Request, GETSTATUS);
}

TEST_F(Image, ExactBlocksAreSentUnpaddedWithTheirProgress)
{
    const Bytes image = Pattern(3 * 100);
    ASSERT_EQ(Download(WriteFile("three.bin", image), 100), DFU_STATUS_SUCCESS);
    const auto blocks = Sent(DNLOAD);
    ASSERT_EQ(blocks.size(), 4u);
    for (uint16_t i = 0; i < 3; ++i) {
        EXPECT_EQ(blocks[i].setup.Value, i);
        EXPECT_EQ(blocks[i].data, Bytes(image.begin() + i * 100, image.begin() + (i + 1) * 100));
    }
    EXPECT_EQ(blocks[3].setup.Value, 0);
    const uintptr_t u = recorder.data();
    EXPECT_EQ(recorder.calls, (std::vector<Call> {recorder.opening(), {33, 1, 0, u}, {66, 1, 1, u}, {100, 1, 2, u},
                                                  recorder.closing()}));
}

TEST_F(Image, CancellingStopsAtOnceAndStillMakesTheClosingCall)
{
    // At the opening call: the file is never opened, so a missing file
    // cannot turn the cancellation into a read error.
    recorder.cancelAt = 0;
    EXPECT_EQ(Download(dir.path() + "/missing.bin"), DFU_STATUS_CANCELLED);
    EXPECT_EQ(recorder.calls, (std::vector<Call> {recorder.opening(), recorder.closing()}));
    EXPECT_TRUE(Sent(DNLOAD).empty());
    EXPECT_TRUE(StatusUntouched());

    // After the second block: no third block, no closing DNLOAD.
    recorder = Recorder();
    recorder.cancelAt = 2;
    device->log.clear();
    EXPECT_EQ(Download(WriteFile("four.bin", Pattern(256))), DFU_STATUS_CANCELLED);
    EXPECT_EQ(Sent(DNLOAD).size(), 2u);
    EXPECT_EQ(recorder.calls.back(), recorder.closing());

    // An upload keeps the blocks that arrived before the cancellation.
    recorder = Recorder();
    recorder.cancelAt = 2;
    device->upload = [](uint16_t block, Bytes& r) {
        r.assign(64, static_cast<uint8_t>(block));
        return true;
    };
    const std::string target = dir.path() + "/up.bin";
    EXPECT_EQ(Upload(target), DFU_STATUS_CANCELLED);
    Bytes expected(64, 0);
    expected.insert(expected.end(), 64, 1);
    EXPECT_EQ(ReadFile(target), expected);
    EXPECT_EQ(recorder.calls.size(), 4u);
    EXPECT_EQ(recorder.calls.back(), recorder.closing());
}

TEST_F(Image, FileThatCannotBeReadIsAReadErrorAfterTheOpeningCall)
{
    EXPECT_EQ(Download(dir.path() + "/missing.bin"), DFU_STATUS_FILE_READ_ERROR);
    EXPECT_EQ(Download(dir.path()), DFU_STATUS_FILE_READ_ERROR) << "a directory is not an image";
    EXPECT_EQ(recorder.calls, (std::vector<Call> {recorder.opening(), recorder.closing(), recorder.opening(),
                                                  recorder.closing()}));
    EXPECT_TRUE(Sent(DNLOAD).empty());
    EXPECT_TRUE(StatusUntouched());
}

TEST_F(Image, ImageTooLargeToHoldIsAGeneralErrorWithNothingSent)
{
    // A sparse file of 8 TiB: its buffer cannot be had on any machine that
    // runs this suite, and the file itself costs no disk.
    const std::string path = dir.path() + "/huge.bin";
    ASSERT_EQ(truncate(WriteFile("huge.bin", {}).c_str(), off_t {8} << 40), 0) << "sparse file not supported here";
    EXPECT_EQ(Download(path, 4096), DFU_STATUS_GENERAL_ERROR);
    EXPECT_TRUE(Sent(DNLOAD).empty());
    EXPECT_EQ(recorder.calls, (std::vector<Call> {recorder.opening(), recorder.closing()}));
}

TEST_F(Image, BusyDeviceIsPolledAfterItsPollTimeout)
{
    // Three busy answers per block, the first two without a poll time-out.
    int round = 0;
    device->getStatus = [&round](Bytes& r) {
        const int n = round++ % 4;
        r = n < 3 ? CScriptedDevice::Status(0, n < 2 ? 0 : 40, DNBUSY) : CScriptedDevice::Status(0, 0, DNLOAD_IDLE);
        return true;
    };
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(Download(WriteFile("two.bin", Pattern(64))), DFU_STATUS_SUCCESS);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(Sent(GETSTATUS).size(), 8u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(80)) << "the device's poll time-out was not waited for";
    // Polling goes on as long as the device is busy: no fixed round limit.
    round = 0;
    device->log.clear();
    device->getStatus = [&round](Bytes& r) {
        r = CScriptedDevice::Status(0, 0, ++round < 500 ? DNBUSY : DNLOAD_IDLE);
        return true;
    };
    ASSERT_EQ(Download(WriteFile("one.bin", {1})), DFU_STATUS_SUCCESS);
    EXPECT_EQ(Sent(GETSTATUS).size(), 500u + 1) << "500 for the block, 1 for the closing block";
}

TEST_F(Image, ErrorStateMidDownloadEndsItWithThatStatus)
{
    int round = 0;
    device->getStatus = [&round](Bytes& r) {
        r = ++round < 2 ? CScriptedDevice::Status(0, 0, DNLOAD_IDLE) : CScriptedDevice::Status(0x08, 0, ERROR_STATE);
        return true;
    };
    EXPECT_EQ(Download(WriteFile("four.bin", Pattern(256))), DFU_STATUS_UNEXPECTED_STATE);
    EXPECT_EQ(Sent(DNLOAD).size(), 2u);
    EXPECT_EQ(status.bState, ERROR_STATE);
    EXPECT_EQ(status.bStatus, 0x08);
    EXPECT_EQ(recorder.calls.back(), recorder.closing());
    // A GETSTATUS that fails in transfer gives the transport's status.
    device->getStatus = [](Bytes&) { return Fail(ERROR_SEM_TIMEOUT); };
    EXPECT_EQ(Download(WriteFile("one.bin", {1})), DFU_STATUS_TIMEOUT);
    device->getStatus = [](Bytes& r) {
        r = {0, 0, 0, 0, DNLOAD_IDLE};
        return true;
    };
    EXPECT_EQ(Download(WriteFile("one.bin", {1})), DFU_STATUS_INCOMPLETE_TRANSFER) << "a 5-byte GETSTATUS";
    // A DNLOAD that moved fewer bytes than asked.
    device->getStatus = [](Bytes& r) {
        r = CScriptedDevice::Status(0, 0, DNLOAD_IDLE);
        return true;
    };
    device->dnloadCount = [](const WINUSB_SETUP_PACKET& s) { return s.Length / 2u; };
    EXPECT_EQ(Download(WriteFile("one.bin", {1})), DFU_STATUS_INCOMPLETE_TRANSFER);
}

TEST_F(Image, TheEndIsJudgedByTheLastStatus)
{
    auto lastAnswer = [this](Bytes last) {
        device->getStatus = [this, last](Bytes& r) {
            r = Sent(DNLOAD).back().setup.Length == 0 ? last : CScriptedDevice::Status(0, 0, DNLOAD_IDLE);
            return true;
        };
    };
    lastAnswer(CScriptedDevice::Status(0, 0, IDLE));
    EXPECT_EQ(Download(WriteFile("a.bin", Pattern(100))), DFU_STATUS_SUCCESS);
    lastAnswer(CScriptedDevice::Status(0x0A, 0, IDLE));
    EXPECT_EQ(Download(WriteFile("a.bin", Pattern(100))), DFU_STATUS_DOWNLOAD_FAILED);
    EXPECT_EQ(status.bStatus, 0x0A);
    for (uint8_t manifesting : {MANIFEST_SYNC, MANIFEST, uint8_t {8}}) {
        lastAnswer(CScriptedDevice::Status(0, 0, manifesting));
        EXPECT_EQ(Download(WriteFile("a.bin", Pattern(100))), DFU_STATUS_UNEXPECTED_STATE) << int(manifesting);
        EXPECT_EQ(status.bState, manifesting);
    }
}

TEST_F(Image, BlockNumbersWrapPast65535)
{
    // 65538 one-byte blocks: numbers 65535, 0, 1 at the wrap, then the
    // closing block numbered 0.
    ASSERT_EQ(DFU_DownloadImage(handle, 1, WriteFile("big.bin", Pattern(65538)).c_str(), nullptr, 0, &status),
              DFU_STATUS_SUCCESS);
    const auto blocks = Sent(DNLOAD);
    ASSERT_EQ(blocks.size(), 65539u);
    EXPECT_EQ(blocks[65535].setup.Value, 65535);
    EXPECT_EQ(blocks[65536].setup.Value, 0);
    EXPECT_EQ(blocks[65537].setup.Value, 1);
    EXPECT_EQ(blocks[65537].data, Bytes {Pattern(65538)[65537]});
    EXPECT_EQ(blocks[65538].setup.Length, 0);
    EXPECT_EQ(blocks[65538].setup.Value, 0);

    device->log.clear();
    int uploaded = 0;
    device->upload = [&uploaded](uint16_t, Bytes& r) {
        r.assign(++uploaded <= 65537 ? 1 : 0, 0xA5);
        return true;
    };
    ASSERT_EQ(DFU_UploadImage(handle, 1, (dir.path() + "/up.bin").c_str(), nullptr, 0), DFU_STATUS_SUCCESS);
    const auto uploads = Sent(UPLOAD);
    ASSERT_EQ(uploads.size(), 65538u);
    EXPECT_EQ(uploads[65535].setup.Value, 65535);
    EXPECT_EQ(uploads[65536].setup.Value, 0);
    EXPECT_EQ(ReadFile(dir.path() + "/up.bin").size(), 65537u);
}

TEST_F(Image, UploadReadsUntilAnEmptyBlockAndReckonsAgainst240)
{
    device->upload = [](uint16_t block, Bytes& r) {
        r = block < 300 ? Bytes(64, static_cast<uint8_t>(block)) : Bytes {};
        return true;
    };
    const std::string target = dir.path() + "/up.bin";
    ASSERT_EQ(Upload(target), DFU_STATUS_SUCCESS);
    const Bytes file = ReadFile(target);
    ASSERT_EQ(file.size(), 300u * 64);
    EXPECT_EQ(file[64 * 299], static_cast<uint8_t>(299));
    const auto uploads = Sent(UPLOAD);
    ASSERT_EQ(uploads.size(), 301u);
    EXPECT_EQ(uploads[0].setup.RequestType, 0xA1);
    EXPECT_EQ(uploads[0].setup.Length, 64);
    EXPECT_EQ(uploads[300].setup.Value, 300);

    ASSERT_EQ(recorder.calls.size(), 302u);
    const uintptr_t u = recorder.data();
    EXPECT_EQ(recorder.calls[0], recorder.opening());
    EXPECT_EQ(recorder.calls[1], (Call {0, 1, 0, u}));
    EXPECT_EQ(recorder.calls[3], (Call {1, 1, 2, u}));
    EXPECT_EQ(recorder.calls[239], (Call {99, 1, 238, u}));
    EXPECT_EQ(recorder.calls[240], (Call {100, 1, 239, u}));
    EXPECT_EQ(recorder.calls[300], (Call {100, 1, 299, u}));
    EXPECT_EQ(recorder.calls[301], recorder.closing());
}

TEST_F(Image, ShortUploadBlockIsWrittenAndTheNextOneAskedFor)
{
    device->upload = [](uint16_t block, Bytes& r) {
        r = block == 0 ? Bytes(64, 1) : block == 1 ? Bytes(10, 2) : block == 2 ? Bytes(64, 3) : Bytes {};
        return true;
    };
    const std::string target = dir.path() + "/up.bin";
    ASSERT_EQ(Upload(target), DFU_STATUS_SUCCESS);
    Bytes expected(64, 1);
    expected.insert(expected.end(), 10, 2);
    expected.insert(expected.end(), 64, 3);
    EXPECT_EQ(ReadFile(target), expected);
    EXPECT_EQ(Sent(UPLOAD).size(), 4u);
}

TEST_F(Image, UploadFailuresReportTheirStatus)
{
    // The target cannot be created: nothing is asked of the device.
    EXPECT_EQ(Upload(dir.path() + "/no/such/dir/up.bin"), DFU_STATUS_FILE_WRITE_ERROR);
    EXPECT_TRUE(device->log.empty());
    EXPECT_TRUE(recorder.calls.empty());

    // A transfer failure mid-upload stops it with the mapped status.
    device->upload = [](uint16_t block, Bytes& r) {
        if (block == 2)
            return Fail(ERROR_GEN_FAILURE);
        r.assign(64, 7);
        return true;
    };
    const std::string target = dir.path() + "/up.bin";
    EXPECT_EQ(Upload(target), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(ReadFile(target).size(), 128u);
    EXPECT_EQ(recorder.calls.back(), recorder.closing());
}

TEST_F(Image, UploadToAFullDiskIsAWriteErrorNotSuccess)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "/dev/full is not writable on this machine";
    int blocks = 0;
    device->upload = [&blocks](uint16_t, Bytes& r) {
        r.assign(++blocks <= 3 ? 64 : 0, 0x11);
        return true;
    };
    // Small blocks sit in the stream's buffer: the failure shows only when
    // the file is closed, after the closing call.
    EXPECT_EQ(Upload("/dev/full", 64), DFU_STATUS_FILE_WRITE_ERROR);
    EXPECT_EQ(recorder.calls.back(), recorder.closing());

    // A block larger than the buffer fails in its own write: the upload
    // stops there instead of reading the rest of the device.
    blocks = 0;
    recorder = Recorder();
    device->log.clear();
    device->upload = [&blocks](uint16_t, Bytes& r) {
        r.assign(++blocks <= 3 ? 60000 : 0, 0x22);
        return true;
    };
    EXPECT_EQ(Upload("/dev/full", 60000), DFU_STATUS_FILE_WRITE_ERROR);
    EXPECT_EQ(Sent(UPLOAD).size(), 1u);
    EXPECT_EQ(recorder.calls.back(), recorder.closing());
}

// The bytes a transport reports for a failed transfer are no count: the
// caller's stays 0. A short block that did arrive keeps its count with 0x85.
TEST_F(Image, BlockRequestsCountOnlyWhatATransferThatWorkedMoved)
{
    device->countOnFailure = 17;
    device->upload = [](uint16_t, Bytes&) {
        SetLastError(ERROR_SEM_TIMEOUT);
        return false;
    };
    device->dnload = [](uint16_t) {
        SetLastError(ERROR_GEN_FAILURE);
        return false;
    };
    uint8_t buffer[64] = {};
    uint16_t moved = 0x5555;
    EXPECT_EQ(DFU_DfuUpload(handle, buffer, 64, 0, &moved), DFU_STATUS_TIMEOUT);
    EXPECT_EQ(moved, 0);
    moved = 0x5555;
    EXPECT_EQ(DFU_DfuDnload(handle, buffer, 64, 0, &moved), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(moved, 0);

    device->upload = [](uint16_t, Bytes& r) {
        r.assign(5, 0xAB);
        return true;
    };
    EXPECT_EQ(DFU_DfuUpload(handle, buffer, 64, 0, &moved), DFU_STATUS_INCOMPLETE_TRANSFER);
    EXPECT_EQ(moved, 5);
    EXPECT_EQ(buffer[4], 0xAB);
}

TEST_F(Image, NullCallbackIsNeverCalledAndNeverCancels)
{
    ASSERT_EQ(DFU_DownloadImage(handle, 16, WriteFile("a.bin", Pattern(100)).c_str(), nullptr, 0, &status),
              DFU_STATUS_SUCCESS);
    EXPECT_EQ(Sent(DNLOAD).size(), 8u);
}
