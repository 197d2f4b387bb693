// Devices that misbehave on purpose, on a serial line played byte by byte
// through a pty and on USB played request by request over the socket
// protocol. Each call must end with a status within its time-out (plus the
// quiet period a failed serial transfer gives the line), never write past
// the caller's buffer (the ASan run checks that) and never report garbage as
// success.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <memory>
#include <thread>

#include "PtyDevice.h"
#include "ScriptedUsbPeer.h"
#include "TestSupport.h"
#include "VELT_DFU.h"

using velt::test::Bytes;
using velt::test::Frame;
using velt::test::PtyDevice;
using velt::test::ScopedDeviceDirs;
using velt::test::ScriptedUsbPeer;
using velt::test::TempDir;

namespace {

using Clock = std::chrono::steady_clock;
constexpr uint32_t kTimeoutMs = 300;
// A request frame with the 7-byte header and no data: 4 + 7 + 2 bytes.
constexpr size_t kRequestFrameSize = 13;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

class HostileSerialDevice : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(DFU_OpenByDevicePath(&m_handle, m_device.path().c_str()), DFU_STATUS_SUCCESS);
        ASSERT_EQ(DFU_SetTransferTimeout(m_handle, kTimeoutMs), DFU_STATUS_SUCCESS);
    }
    void TearDown() override { DFU_Close(m_handle); }

    // The device's side of the handshake and of one request frame.
    void AnswerHandshake()
    {
        ASSERT_EQ(m_device.Read(1), Bytes{0x55});
        m_device.Write({0xAA});
    }
    void TakeRequest(uint8_t request)
    {
        const Bytes frame = m_device.Read(kRequestFrameSize);
        ASSERT_EQ(frame.size(), kRequestFrameSize);
        EXPECT_EQ(frame[4], request);
        m_device.Write({0x00});
    }

    // Sends chunks of `byte` (or of noise without 0x3A when byte is 0x3A)
    // and swallows what the host sends, until the host's call has ended.
    template <typename Result>
    void FloodUntil(std::future<Result>& host, uint8_t byte)
    {
        Bytes chunk(64, byte);
        if (byte == 0x3A) {
            for (size_t i = 0; i < chunk.size(); ++i)
                chunk[i] = static_cast<uint8_t>(i * 37 + 1) == 0x3A ? 0x3B : static_cast<uint8_t>(i * 37 + 1);
        }
        while (host.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready) {
            m_device.Write(chunk);
            m_device.Read(4096, 1);
        }
    }

    TempDir m_dos;
    TempDir m_usb;
    ScopedDeviceDirs m_dirs {m_dos.path(), m_usb.path()};
    PtyDevice m_device {m_dos, "COM41"};
    DFU_HANDLE m_handle = nullptr;
};

struct StateResult {
    DFU_STATUS status;
    uint8_t state;
};

} // namespace

// The device acknowledges the request and then talks without ever starting
// a frame: the host gives up after the time-out, however long the noise goes
// on, and the quiet period it then waits for is bounded too.
TEST_F(HostileSerialDevice, NoiseWithoutAStartByteEndsInATimeOut)
{
    const auto start = Clock::now();
    auto host = std::async(std::launch::async, [this] {
        StateResult r {0, 0x77};
        r.status = DFU_DfuGetState(m_handle, &r.state);
        return r;
    });
    AnswerHandshake();
    TakeRequest(5);
    FloodUntil(host, 0x3A);
    const StateResult r = host.get();
    EXPECT_EQ(r.status, DFU_STATUS_TIMEOUT);
    EXPECT_EQ(r.state, 0x77);
    EXPECT_GE(MsSince(start), kTimeoutMs * 8 / 10);
    EXPECT_LE(MsSince(start), kTimeoutMs * 4);
}

// A reply header announcing 65535 bytes and then a few: a GETSTATUS cannot
// take it and fails at once without acknowledging; the next request greets
// the device again and gets its answer.
TEST_F(HostileSerialDevice, HeaderOf65535BytesThenAFewFailsAndTheLineRecovers)
{
    auto host = std::async(std::launch::async, [this] {
        DFU_GETSTATUS_RESULT record;
        std::memset(&record, 0x5A, sizeof record);
        const DFU_STATUS status = DFU_DfuGetStatus(m_handle, &record);
        return std::make_pair(status, record.bState);
    });
    AnswerHandshake();
    TakeRequest(3);
    m_device.Write({0x3A, 0x00, 0xFF, 0xFF, 0x01, 0x02, 0x03, 0x04});
    const auto [status, state] = host.get();
    EXPECT_EQ(status, DFU_STATUS_TIMEOUT);
    EXPECT_EQ(state, 0x5A) << "the record was written by a failed request";
    EXPECT_TRUE(m_device.Drain().empty()) << "the host acknowledged a frame it could not take";

    auto again = std::async(std::launch::async, [this] {
        DFU_GETSTATUS_RESULT record {};
        const DFU_STATUS s = DFU_DfuGetStatus(m_handle, &record);
        return std::make_pair(s, record.bState);
    });
    AnswerHandshake();
    TakeRequest(3);
    m_device.Write(Frame({0x00, 0x00, 0x00, 0x00, 0x02, 0x00}));
    EXPECT_EQ(again.get(), std::make_pair(DFU_STATUS_SUCCESS, uint8_t(2)));
}

// The same header on a 64 KiB upload, which could take it: the device stops
// after a few bytes, and the host waits the time-out plus the frame's time
// on the line, not a millisecond per byte (over a minute).
TEST_F(HostileSerialDevice, HeaderOf65535BytesOnAFullUploadWaitsOnlyItsLineTime)
{
    ASSERT_EQ(DFU_SetUartConfig(m_handle, 3000000, 8, 0, 0, 0), DFU_STATUS_SUCCESS);
    auto buffer = std::make_unique<uint8_t[]>(65535);
    const auto start = Clock::now();
    auto host = std::async(std::launch::async, [this, &buffer] {
        uint16_t count = 0x7777;
        const DFU_STATUS status = DFU_DfuUpload(m_handle, buffer.get(), 65535, 0, &count);
        return std::make_pair(status, count);
    });
    AnswerHandshake();
    TakeRequest(2);
    Bytes partial = {0x3A, 0x00, 0xFF, 0xFF};
    partial.resize(partial.size() + 100, 0x42);
    m_device.Write(partial);
    const auto [status, count] = host.get();
    EXPECT_EQ(status, DFU_STATUS_TIMEOUT);
    EXPECT_EQ(count, 0);
    // Time-out, 65535 characters of 4 us, the quiet period, and slack.
    EXPECT_LE(MsSince(start), kTimeoutMs * 3 + 1500);
}

// A device that takes a long frame and never acknowledges it: the host
// waits the time-out plus the frame's time on the line (16 ms here), not a
// millisecond per byte (4 s).
TEST_F(HostileSerialDevice, SilenceAfterALongOutFrameWaitsOnlyItsLineTime)
{
    ASSERT_EQ(DFU_SetUartConfig(m_handle, 3000000, 8, 0, 0, 0), DFU_STATUS_SUCCESS);
    constexpr uint16_t length = 4096;
    auto data = std::make_unique<uint8_t[]>(length);
    const auto start = Clock::now();
    auto host = std::async(std::launch::async, [this, &data] {
        uint16_t count = 0x7777;
        return DFU_DfuDnload(m_handle, data.get(), length, 0, &count);
    });
    AnswerHandshake();
    EXPECT_EQ(m_device.Read(4 + 7 + length + 2).size(), 4u + 7 + length + 2);
    EXPECT_EQ(host.get(), DFU_STATUS_TIMEOUT);
    EXPECT_LE(MsSince(start), kTimeoutMs * 3 + 1000);
}

// A device that sends its reply twice: the host takes the first, and the
// copy is gone before the next request, which gets its own answer.
TEST_F(HostileSerialDevice, ReplySentTwiceIsNotTakenAsTheNextAnswer)
{
    auto first = std::async(std::launch::async, [this] {
        StateResult r {0, 0x77};
        r.status = DFU_DfuGetState(m_handle, &r.state);
        return r;
    });
    AnswerHandshake();
    TakeRequest(5);
    Bytes twice = Frame({0x02});
    const Bytes copy = twice;
    twice.insert(twice.end(), copy.begin(), copy.end());
    m_device.Write(twice);
    StateResult r = first.get();
    EXPECT_EQ(r.status, DFU_STATUS_SUCCESS);
    EXPECT_EQ(r.state, 2);
    EXPECT_EQ(m_device.Drain(), Bytes{0x00}) << "one acknowledgement, for the frame the host took";

    auto second = std::async(std::launch::async, [this] {
        StateResult s {0, 0x77};
        s.status = DFU_DfuGetState(m_handle, &s.state);
        return s;
    });
    TakeRequest(5);
    m_device.Write(Frame({0x05}));
    r = second.get();
    EXPECT_EQ(r.status, DFU_STATUS_SUCCESS);
    EXPECT_EQ(r.state, 5);
}

// The handshake answered with a flood. Zeros are a wrong reply (0x83); a
// flood of 0xAA passes the handshake and then rejects every frame the host
// sends (0x84). Either way the call ends within the time-out and the quiet
// period, with the flood still going.
TEST_F(HostileSerialDevice, HandshakeFloodEndsWithAStatus)
{
    for (const auto& [byte, expected] : {std::make_pair(uint8_t(0x00), DFU_STATUS_TRANSFER_ERROR),
                                         std::make_pair(uint8_t(0xAA), DFU_STATUS_TIMEOUT)}) {
        SCOPED_TRACE(int(byte));
        const auto start = Clock::now();
        auto host = std::async(std::launch::async, [this] {
            StateResult r {0, 0x77};
            r.status = DFU_DfuGetState(m_handle, &r.state);
            return r;
        });
        ASSERT_EQ(m_device.Read(1), Bytes{0x55});
        FloodUntil(host, byte);
        const StateResult r = host.get();
        EXPECT_EQ(r.status, expected);
        EXPECT_EQ(r.state, 0x77);
        EXPECT_LE(MsSince(start), kTimeoutMs * 4);
        m_device.Drain();
    }
}

namespace {

constexpr uint32_t kUsbTimeoutMs = 500;

// The library opens the scripted device by its path over the socket backend.
class HostileUsbDevice : public ::testing::Test
{
protected:
    void Start(ScriptedUsbPeer::Handler handler)
    {
        m_peer = std::make_unique<ScriptedUsbPeer>(m_usb, std::move(handler));
        ASSERT_EQ(DFU_OpenByDevicePath(&m_handle, ScriptedUsbPeer::kPath), DFU_STATUS_SUCCESS);
        ASSERT_EQ(DFU_SetTransferTimeout(m_handle, kUsbTimeoutMs), DFU_STATUS_SUCCESS);
    }
    void TearDown() override
    {
        if (m_handle)
            DFU_Close(m_handle);
        m_peer.reset();
        unsetenv("VELT_USB_BACKEND");
    }

    TempDir m_dos;
    TempDir m_usb;
    ScopedDeviceDirs m_dirs {m_dos.path(), m_usb.path()};
    int m_backend = setenv("VELT_USB_BACKEND", "sim", 1);
    std::unique_ptr<ScriptedUsbPeer> m_peer;
    DFU_HANDLE m_handle = nullptr;
};

const Bytes kDeviceDescriptor = {18, 1, 0x10, 0x01, 0, 0, 0, 64, 0x83, 0x04, 0x11, 0xDF, 0x00, 0x01, 1, 2, 3, 1};

} // namespace

// Data longer than the caller asked for: nothing lands past the caller's
// buffer, the call fails, and the device that broke the protocol is treated
// as gone.
TEST_F(HostileUsbDevice, ReplyLongerThanTheBufferFails)
{
    Start([](const VusbRequest& request, const Bytes&) {
        return ScriptedUsbPeer::Answer {ScriptedUsbPeer::Reply(request.sequence, Bytes(64, 0xEE)), false};
    });
    auto buffer = std::make_unique<uint8_t[]>(8);
    std::memset(buffer.get(), 0x11, 8);
    WINUSB_SETUP_PACKET setup = {0xC1, 0x80, 0, 0, 8};
    uint32_t count = 0x7777;
    EXPECT_EQ(DFU_ControlTransfer(m_handle, &setup, buffer.get(), 8, &count), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(count, 0u);
    for (size_t i = 0; i < 8; ++i)
        EXPECT_EQ(buffer[i], 0x11) << i;

    DFU_GETSTATUS_RESULT record;
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(DFU_DfuGetStatus(m_handle, &record), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(record.bState, 0x5A);
}

// A device descriptor has 18 bytes: fewer is not one (it is not handed out
// with zeros for the rest), more breaks the protocol. The interface
// descriptor's 9 bytes likewise.
TEST_F(HostileUsbDevice, DescriptorsOfTheWrongSizeAreRefused)
{
    std::atomic<int> call {0};
    Start([&call](const VusbRequest& request, const Bytes&) {
        Bytes data;
        switch (call++) {
        case 0: data.assign(kDeviceDescriptor.begin(), kDeviceDescriptor.begin() + 10); break;  // short
        case 1: data = kDeviceDescriptor; break;                                                   // right
        case 2: data = {9, 4, 0, 0, 0}; break;                                                     // short
        default: data = kDeviceDescriptor; data.resize(30, 0x33); break;                           // long
        }
        return ScriptedUsbPeer::Answer {ScriptedUsbPeer::Reply(request.sequence, data), false};
    });
    USB_DEVICE_DESCRIPTOR device;
    std::memset(&device, 0x5A, sizeof device);
    EXPECT_EQ(DFU_GetDeviceDescriptor(m_handle, &device), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(device.idVendor, 0) << "a failed descriptor keeps the device's partial bytes";

    ASSERT_EQ(DFU_GetDeviceDescriptor(m_handle, &device), DFU_STATUS_SUCCESS);
    EXPECT_EQ(device.idVendor, 0x0483);
    EXPECT_EQ(device.idProduct, 0xDF11);

    USB_INTERFACE_DESCRIPTOR interface;
    EXPECT_EQ(DFU_GetInterfaceDescriptor(m_handle, &interface), DFU_STATUS_GENERAL_ERROR);

    EXPECT_EQ(DFU_GetDeviceDescriptor(m_handle, &device), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(device.idVendor, 0);
}

// The connection closes halfway through a reply header: the call fails at
// once rather than waiting out its time-out, and so does every call after.
TEST_F(HostileUsbDevice, ConnectionClosedMidMessageFailsAtOnce)
{
    Start([](const VusbRequest& request, const Bytes&) {
        Bytes half = ScriptedUsbPeer::Reply(request.sequence, {0, 0, 0, 0, 2, 0});
        half.resize(6);
        return ScriptedUsbPeer::Answer {half, true};
    });
    const auto start = Clock::now();
    DFU_GETSTATUS_RESULT record;
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(DFU_DfuGetStatus(m_handle, &record), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(record.bState, 0x5A);
    uint8_t state = 0x77;
    EXPECT_EQ(DFU_DfuGetState(m_handle, &state), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(state, 0x77);
    EXPECT_LT(MsSince(start), kUsbTimeoutMs);
}

// WinUSB may report bytes for a transfer that fails part-way through its data
// stage; our platform never does. The linker's seam (--wrap) plays that
// WinUSB for the transfers a test asks it to fail.
namespace {

std::atomic<uint32_t> g_bytesOfFailedTransfer {0};

} // namespace

extern "C" BOOL __real_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE, WINUSB_SETUP_PACKET, PUCHAR, ULONG, PULONG,
                                              LPOVERLAPPED);

extern "C" BOOL __wrap_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE handle, WINUSB_SETUP_PACKET setup,
                                              PUCHAR buffer, ULONG length, PULONG transferred,
                                              LPOVERLAPPED overlapped)
{
    const uint32_t partial = g_bytesOfFailedTransfer.load();
    if (partial == 0)
        return __real_WinUsb_ControlTransfer(handle, setup, buffer, length, transferred, overlapped);
    if (transferred != nullptr)
        *transferred = partial;
    SetLastError(ERROR_SEM_TIMEOUT);
    return FALSE;
}

TEST_F(HostileUsbDevice, BytesReportedForAFailedTransferAreNoCount)
{
    Start([](const VusbRequest& request, const Bytes&) {
        return ScriptedUsbPeer::Answer {ScriptedUsbPeer::Reply(request.sequence, Bytes(8, 0xEE)), false};
    });
    struct Restore {
        ~Restore() { g_bytesOfFailedTransfer = 0; }
    } restore;
    g_bytesOfFailedTransfer = 5;
    uint8_t buffer[8] = {};
    WINUSB_SETUP_PACKET setup = {0xC1, 0x80, 0, 0, 8};
    uint32_t count = 0x7777;
    EXPECT_EQ(DFU_ControlTransfer(m_handle, &setup, buffer, 8, &count), DFU_STATUS_TIMEOUT);
    EXPECT_EQ(count, 0u);
    uint16_t moved = 0x5555;
    EXPECT_EQ(DFU_DfuUpload(m_handle, buffer, 8, 0, &moved), DFU_STATUS_TIMEOUT);
    EXPECT_EQ(moved, 0);

    g_bytesOfFailedTransfer = 0;
    EXPECT_EQ(DFU_ControlTransfer(m_handle, &setup, buffer, 8, &count), DFU_STATUS_SUCCESS);
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(DFU_DfuUpload(m_handle, buffer, 8, 0, &moved), DFU_STATUS_SUCCESS);
    EXPECT_EQ(moved, 8);
}
