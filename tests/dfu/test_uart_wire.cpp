// The serial framing byte for byte, with the test playing the device on the
// master side of a pty that the library opens as a COM port.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <map>

#include "../fuzz/ScriptedPort.h"
#include "PtyDevice.h"
#include "TestSupport.h"
#include "VELT_DFU.h"
#include "transport/ControlUart.h"

using velt::test::Bytes;
using velt::test::Frame;
using velt::test::PtyDevice;
using velt::test::ScopedDeviceDirs;
using velt::test::TempDir;

namespace {

constexpr uint8_t ACK = 0x00;
constexpr uint8_t NAK = 0xFF;

const Bytes GETSTATUS_FRAME = {0x3A, 0x00, 0x07, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00, 0x06, 0x00, 0xFA, 0xEA};
const Bytes GETSTATE_FRAME = Frame({0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});

class SerialWire : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(DFU_OpenByDevicePath(&handle, port.path().c_str()), DFU_STATUS_SUCCESS);
        ASSERT_EQ(DFU_SetTransferTimeout(handle, 150), DFU_STATUS_SUCCESS);
    }
    void TearDown() override { DFU_Close(handle); }

    // The device's half of the handshake.
    void Handshake()
    {
        ASSERT_EQ(port.Read(1), Bytes {0x55});
        port.Write({0xAA});
    }

    // Answers a GETSTATE: accept the request frame, send state 2, expect
    // the host's acknowledgement.
    void AnswerGetState(bool handshake)
    {
        if (handshake)
            Handshake();
        ASSERT_EQ(port.Read(GETSTATE_FRAME.size()), GETSTATE_FRAME);
        port.Write({ACK});
        port.Write({0x3A, 0x00, 0x01, 0x00, 0x02, 0x3E, 0x4C});
        ASSERT_EQ(port.Read(1), Bytes {ACK});
    }

    std::future<DFU_STATUS> GetStateAsync(uint8_t* state)
    {
        return std::async(std::launch::async, [this, state] { return DFU_DfuGetState(handle, state); });
    }

    TempDir dos;
    TempDir usb;
    ScopedDeviceDirs dirs {dos.path(), usb.path()};
    PtyDevice port {dos, "COM5"};
    DFU_HANDLE handle = nullptr;
};

} // namespace

TEST_F(SerialWire, HandshakeOnlyOnTheFirstTransferAndAgainAfterReset)
{
    uint8_t state = 0;
    auto first = GetStateAsync(&state);
    AnswerGetState(true);
    ASSERT_EQ(first.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 2);

    state = 0;
    auto second = GetStateAsync(&state);
    AnswerGetState(false);
    ASSERT_EQ(second.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 2);

    // The reset runs on a synchronised port, yet opens with a handshake.
    auto reset = std::async(std::launch::async, [this] { return DFU_VeltReset(handle); });
    Handshake();
    ASSERT_EQ(port.Read(13), (Bytes {0x3A, 0x00, 0x07, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x73, 0x0B}));
    port.Write({ACK});
    ASSERT_EQ(reset.get(), DFU_STATUS_SUCCESS);

    auto after = GetStateAsync(&state);
    AnswerGetState(true);
    ASSERT_EQ(after.get(), DFU_STATUS_SUCCESS);
}

TEST_F(SerialWire, RequestFramesAreByteExact)
{
    DFU_GETSTATUS_RESULT status {};
    auto getStatus = std::async(std::launch::async, [&] { return DFU_DfuGetStatus(handle, &status); });
    Handshake();
    ASSERT_EQ(port.Read(13), GETSTATUS_FRAME);
    port.Write({ACK});
    port.Write(Frame({0x00, 0x10, 0x27, 0x00, 0x05, 0x00}));
    ASSERT_EQ(port.Read(1), Bytes {ACK});
    ASSERT_EQ(getStatus.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(status.bwPollTimeout, 10000u);
    EXPECT_EQ(status.bState, 5);

    uint8_t block[2] = {0xAA, 0xBB};
    uint16_t moved = 0;
    auto dnload = std::async(std::launch::async, [&] { return DFU_DfuDnload(handle, block, 2, 0, &moved); });
    ASSERT_EQ(port.Read(15),
              (Bytes {0x3A, 0x00, 0x09, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0xAA, 0xBB, 0xC5, 0x0A}));
    port.Write({ACK});
    ASSERT_EQ(dnload.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(moved, 2);

    DFU_DEVICE_INFO info {};
    auto getInfo = std::async(std::launch::async, [&] { return DFU_VeltGetInfo(handle, &info); });
    ASSERT_EQ(port.Read(13), (Bytes {0x3A, 0x00, 0x07, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x30, 0x00, 0x0F, 0x84}));
    port.Write({ACK});
    Bytes record(48);
    for (size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<uint8_t>(i + 1);
    port.Write(Frame(record));
    ASSERT_EQ(port.Read(1), Bytes {ACK});
    ASSERT_EQ(getInfo.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(info.infoWord, 0x0201);
    EXPECT_EQ(info.infoByte1, 4);
    EXPECT_EQ(info.infoByte2, 3);
    EXPECT_EQ(info.infoValue1, 0x08070605u);
    EXPECT_EQ(info.infoData[0], 17);
    EXPECT_EQ(info.infoData[31], 48);
}

TEST_F(SerialWire, EmptyReplyAndRawControlTransfer)
{
    uint8_t data[4] = {};
    uint32_t transferred = 99;
    WINUSB_SETUP_PACKET setup = {0xC1, 0x42, 0x1234, 0x0001, 4};
    auto transfer = std::async(std::launch::async,
                               [&] { return DFU_ControlTransfer(handle, &setup, data, sizeof(data), &transferred); });
    Handshake();
    ASSERT_EQ(port.Read(13), Frame({0x42, 0x34, 0x12, 0x01, 0x00, 0x04, 0x00}));
    port.Write({ACK});
    // An empty reply with a non-zero second byte: that byte only counts
    // towards the CRC.
    port.Write(Frame({}, 0x7E));
    ASSERT_EQ(port.Read(1), Bytes {ACK});
    ASSERT_EQ(transfer.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(transferred, 0u);
    EXPECT_EQ(Frame({}), (Bytes {0x3A, 0x00, 0x00, 0x00, 0x82, 0xC0}));
}

TEST_F(SerialWire, NoiseIsSkippedAndBadFramesAreRetried)
{
    uint8_t state = 0;
    auto getState = GetStateAsync(&state);
    Handshake();
    // The device rejects the request twice; the host repeats it unchanged.
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(port.Read(GETSTATE_FRAME.size()), GETSTATE_FRAME);
        port.Write({0x01});
    }
    ASSERT_EQ(port.Read(GETSTATE_FRAME.size()), GETSTATE_FRAME);
    port.Write({ACK});
    // Noise before the start byte, then a reply with a broken CRC that the
    // host must refuse and wait to see again.
    Bytes corrupt = Frame({0x09});
    corrupt.back() ^= 0x01;
    port.Write({0x11, 0x22, 0x55, 0xAA});
    port.Write(corrupt);
    ASSERT_EQ(port.Read(1), Bytes {NAK});
    port.Write(Frame({0x09}));
    ASSERT_EQ(port.Read(1), Bytes {ACK});
    ASSERT_EQ(getState.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 9);
}

TEST_F(SerialWire, ReplyLongerThanAskedFailsWithoutAcknowledgement)
{
    uint8_t state = 0x77;
    auto getState = GetStateAsync(&state);
    Handshake();
    ASSERT_EQ(port.Read(GETSTATE_FRAME.size()), GETSTATE_FRAME);
    port.Write({ACK});
    port.Write(Frame({0x02, 0x03}));
    EXPECT_EQ(getState.get(), DFU_STATUS_TIMEOUT);
    EXPECT_EQ(state, 0x77);
    EXPECT_TRUE(port.Drain(50).empty()) << "the host acknowledged a frame it could not take";

    // The port stays usable: the rest of the bad frame is drained and the
    // next transfer greets the device again.
    auto again = GetStateAsync(&state);
    AnswerGetState(true);
    ASSERT_EQ(again.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 2);
}

// Each way the line can fail, with the status the caller sees. The device
// misbehaves at one step and then stays silent; every failure leaves the
// port unsynchronised, so each next transfer opens with the handshake.
TEST_F(SerialWire, EveryLineFailureMapsToItsStatus)
{
    uint8_t state = 0x77;
    auto run = [&](auto&& device) {
        auto call = GetStateAsync(&state);
        device();
        return call.get();
    };
    const auto started = std::chrono::steady_clock::now();

    EXPECT_EQ(run([&] { port.Read(1); }), DFU_STATUS_TIMEOUT) << "no handshake reply";
    EXPECT_EQ(run([&] { port.Read(1); port.Write({0x5A}); }), DFU_STATUS_TRANSFER_ERROR) << "wrong handshake reply";
    EXPECT_EQ(run([&] { Handshake(); port.Read(GETSTATE_FRAME.size()); }), DFU_STATUS_TIMEOUT)
        << "no acknowledgement";
    EXPECT_EQ(run([&] {
                  Handshake();
                  while (port.Read(GETSTATE_FRAME.size(), 300).size() == GETSTATE_FRAME.size())
                      port.Write({NAK});
              }),
              DFU_STATUS_TIMEOUT)
        << "rejected until the time-out";
    EXPECT_EQ(run([&] { Handshake(); port.Read(GETSTATE_FRAME.size()); port.Write({ACK}); }), DFU_STATUS_TIMEOUT)
        << "no start byte";
    EXPECT_EQ(run([&] { Handshake(); port.Read(GETSTATE_FRAME.size()); port.Write({ACK, 0x3A, 0x00}); }),
              DFU_STATUS_TIMEOUT)
        << "short header";
    EXPECT_EQ(run([&] {
                  Handshake();
                  port.Read(GETSTATE_FRAME.size());
                  port.Write({ACK, 0x3A, 0x00, 0x01, 0x00, 0x02});
              }),
              DFU_STATUS_TIMEOUT)
        << "missing CRC";
    EXPECT_EQ(run([&] {
                  Handshake();
                  port.Read(GETSTATE_FRAME.size());
                  port.Write({ACK});
                  Bytes corrupt = Frame({0x02});
                  corrupt[4] ^= 0x40;
                  while (port.Read(1, 300) == Bytes {NAK})
                      port.Write(corrupt);
              }),
              DFU_STATUS_TIMEOUT)
        << "CRC wrong until the time-out";
    EXPECT_EQ(state, 0x77);

    // Eight failures with a 150 ms time-out: bounded, no hang.
    const auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 8 * 1000);
}

TEST_F(SerialWire, SilentDeviceFailsWithinBoundedTime)
{
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 200), DFU_STATUS_SUCCESS);
    DFU_GETSTATUS_RESULT status;
    std::memset(&status, 0x66, sizeof(status));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(DFU_DfuGetStatus(handle, &status), DFU_STATUS_TIMEOUT);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_GE(ms.count(), 150);
    EXPECT_LT(ms.count(), 2000);
    EXPECT_EQ(status.bState, 0x66);
}

TEST_F(SerialWire, OversizedHostToDeviceRequestIsRefusedBeforeSending)
{
    std::vector<uint8_t> big(65529);
    uint32_t transferred = 0;
    WINUSB_SETUP_PACKET setup = {0x21, 1, 0, 0, 65529};
    EXPECT_EQ(DFU_ControlTransfer(handle, &setup, big.data(), static_cast<uint32_t>(big.size()), &transferred),
              DFU_STATUS_INVALID_PARAMETER);
    uint16_t moved = 0x7777;
    EXPECT_EQ(DFU_DfuDnload(handle, big.data(), 65529, 0, &moved), DFU_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(moved, 0);
    EXPECT_TRUE(port.Drain(100).empty()) << "bytes went out for a request the frame cannot describe";

    // The largest describable request still goes out, as one frame.
    setup.Length = 65528;
    auto largest = std::async(std::launch::async, [&] {
        return DFU_ControlTransfer(handle, &setup, big.data(), 65528, &transferred);
    });
    Handshake();
    const Bytes frame = port.Read(4 + 65535 + 2, 5000);
    ASSERT_EQ(frame.size(), 4u + 65535 + 2);
    EXPECT_EQ(frame[2], 0xFF);
    EXPECT_EQ(frame[3], 0xFF);
    port.Write({ACK});
    EXPECT_EQ(largest.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(transferred, 65528u);
}

TEST_F(SerialWire, SettingsAndUnsupportedUsbOperations)
{
    uint32_t timeout = 0;
    ASSERT_EQ(DFU_GetTransferTimeout(handle, &timeout), DFU_STATUS_SUCCESS);
    EXPECT_EQ(timeout, 150u);

    uint32_t baud = 0;
    uint8_t bits = 0, parity = 9, stop = 9, flow = 9;
    ASSERT_EQ(DFU_GetUartConfig(handle, &baud, &bits, &parity, &stop, &flow), DFU_STATUS_SUCCESS);
    EXPECT_EQ(baud, 115200u);
    EXPECT_EQ(flow, 0);
    ASSERT_EQ(DFU_SetUartConfig(handle, 57600, 8, NOPARITY, ONESTOPBIT, 1), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_GetUartConfig(handle, &baud, &bits, &parity, &stop, &flow), DFU_STATUS_SUCCESS);
    EXPECT_EQ(baud, 57600u);
    EXPECT_EQ(bits, 8);
    EXPECT_EQ(flow, 1);
    ASSERT_EQ(DFU_SetUartConfig(handle, 9600, 8, NOPARITY, ONESTOPBIT, 2), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_GetUartConfig(handle, &baud, &bits, &parity, &stop, &flow), DFU_STATUS_SUCCESS);
    EXPECT_EQ(baud, 9600u);
    EXPECT_EQ(flow, 0) << "only 1 selects RTS/CTS";

    uint16_t vid = 7, pid = 7;
    USB_DEVICE_DESCRIPTOR device {};
    USB_INTERFACE_DESCRIPTOR iface {};
    EXPECT_EQ(DFU_GetOpenedVidPid(handle, &vid, &pid), DFU_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(DFU_GetDeviceDescriptor(handle, &device), DFU_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(DFU_GetInterfaceDescriptor(handle, &iface), DFU_STATUS_NOT_SUPPORTED);
    uint8_t kind = 0;
    ASSERT_EQ(DFU_GetOpenedInterface(handle, &kind), DFU_STATUS_SUCCESS);
    EXPECT_EQ(kind, DFU_INTERFACE_UART);
    char path[260];
    ASSERT_EQ(DFU_GetOpenedDevicePath(handle, path), DFU_STATUS_SUCCESS);
    EXPECT_EQ(std::string(path), port.path());
    EXPECT_TRUE(DFU_IsOpened(handle));

    // A second open of a port already held fails and leaves the first alone.
    DFU_HANDLE second = nullptr;
    EXPECT_EQ(DFU_OpenByDevicePath(&second, port.path().c_str()), DFU_STATUS_GENERAL_ERROR);
    EXPECT_EQ(second, nullptr);
    EXPECT_TRUE(DFU_IsOpened(handle));
}

TEST_F(SerialWire, ZeroTimeOutReadsReturnAtOnce)
{
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 0), DFU_STATUS_SUCCESS);
    uint32_t timeout = 99;
    ASSERT_EQ(DFU_GetTransferTimeout(handle, &timeout), DFU_STATUS_SUCCESS);
    EXPECT_EQ(timeout, 0u);
    uint8_t state = 0;
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_TIMEOUT);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started);
    EXPECT_LT(ms.count(), 100);
}

// Operations on a serial device object that never opened.
TEST(SerialDevice, ClosedObjectRefusesTransfers)
{
    CControlUart device;
    EXPECT_FALSE(device.IsOpened());
    WINUSB_SETUP_PACKET setup = {0xA1, 5, 0, 0, 1};
    uint8_t state = 0;
    uint32_t count = 0;
    EXPECT_FALSE(device.ControlTransfer(setup, &state, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    WCHAR path[260];
    EXPECT_FALSE(device.GetDevicePath(path));
    EXPECT_FALSE(device.GetVidPid(nullptr, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
}

TEST_F(SerialWire, ShortStatusReplyLeavesTheRecordUntouched)
{
    DFU_GETSTATUS_RESULT status;
    std::memset(&status, 0x66, sizeof(status));
    auto getStatus = std::async(std::launch::async, [&] { return DFU_DfuGetStatus(handle, &status); });
    Handshake();
    ASSERT_EQ(port.Read(13), GETSTATUS_FRAME);
    port.Write({ACK});
    port.Write(Frame({0x00, 0x10, 0x27}));
    ASSERT_EQ(port.Read(1), Bytes {ACK});
    EXPECT_EQ(getStatus.get(), DFU_STATUS_INCOMPLETE_TRANSFER);
    EXPECT_EQ(status.bState, 0x66);
    EXPECT_EQ(status.bwPollTimeout, 0x66666666u);
}

// Whole uploads from a scripted device on an in-process port: the device
// serves GETSTATE and twelve 16-byte blocks, and disturbs the exchange of
// UPLOAD 4 once in one of the ways that leave a copy of a reply on the line
// after its exchange. Nothing in a frame says which request it answers: a
// copy taken for the next answer shifts every later block by one.
namespace {

using velt::fuzz::HostTokens;
using velt::fuzz::ScriptedPort;

constexpr uint16_t kBlocks = 12;
constexpr uint16_t kBlockSize = 16;
constexpr uint16_t kDisturbed = 4;

enum class Disturbance {
    // Reply 3 sent once more just before the answer to UPLOAD 4 (the host's
    // acknowledgement of it reached the device damaged).
    StaleReplyBeforeTheAnswer,
    // The device takes UPLOAD 4 but its acknowledgement arrives damaged, as
    // a rejection: it answers the repeated frame as well.
    DamagedAcknowledgementOfTheRequest,
    // Reply 4 arrives with a bad CRC; after the host's rejection two good
    // copies follow.
    RejectedReplyRepeatedTwice,
    // The last bytes of reply 3, whose start the purge took, come before the
    // answer to UPLOAD 4.
    TailOfAPurgedReply,
};

Bytes Block(uint16_t number)
{
    Bytes block(number < kBlocks ? kBlockSize : 0);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<uint8_t>(0x80 + number * kBlockSize + i);
    return block;
}

class DisturbedUploadDevice
{
public:
    explicit DisturbedUploadDevice(Disturbance disturbance) : m_disturbance(disturbance)
    {
        m_port->answersInFlight = true;
        m_port->onWrite = [this](const uint8_t* bytes, size_t size) {
            for (const HostTokens::Token& token : m_tokens.Feed(bytes, size))
                Take(token);
        };
    }
    std::shared_ptr<ScriptedPort> Port() const { return m_port; }
    // How many times the host sent UPLOAD of this block, and the handshake.
    unsigned Uploads(uint16_t block) const { return m_uploads.count(block) ? m_uploads.at(block) : 0; }
    unsigned Handshakes() const { return m_handshakes; }

private:
    void Take(const HostTokens::Token& token)
    {
        if (token.kind == HostTokens::Kind::Sync) {
            ++m_handshakes;
            Send({0xAA});
        } else if (token.kind == HostTokens::Kind::Nak) {
            Send(m_last);
            if (m_disturbance == Disturbance::RejectedReplyRepeatedTwice)
                Send(m_last);
        } else if (token.kind == HostTokens::Kind::Frame) {
            Answer(token.payload);
        }
    }

    void Answer(const Bytes& request)
    {
        ASSERT_GE(request.size(), 7u);
        if (request[0] == 5) {
            m_last = Frame({2});
            Send({ACK});
            Send(m_last);
            return;
        }
        ASSERT_EQ(request[0], 2) << "only GETSTATE and UPLOAD belong to an upload";
        const uint16_t block = static_cast<uint16_t>(request[1] | request[2] << 8);
        ++m_uploads[block];
        m_last = Frame(Block(block));
        if (block != kDisturbed || m_disturbed) {
            Send({ACK});
            Send(m_last);
            return;
        }
        m_disturbed = true;
        const Bytes previous = Frame(Block(block - 1));
        switch (m_disturbance) {
        case Disturbance::StaleReplyBeforeTheAnswer:
            Send(previous);
            Send({ACK});
            Send(m_last);
            break;
        case Disturbance::DamagedAcknowledgementOfTheRequest:
            Send({0x04});
            Send(m_last);
            break;
        case Disturbance::RejectedReplyRepeatedTwice: {
            Bytes corrupt = m_last;
            corrupt[6] ^= 0x10;
            Send({ACK});
            Send(corrupt);
            break;
        }
        case Disturbance::TailOfAPurgedReply:
            Send(Bytes(previous.end() - 5, previous.end()));
            Send({ACK});
            Send(m_last);
            break;
        }
    }

    void Send(const Bytes& bytes) { m_port->Queue(bytes.data(), bytes.size()); }

    Disturbance m_disturbance;
    std::shared_ptr<ScriptedPort> m_port = std::make_shared<ScriptedPort>(nullptr, 0, ScriptedPort::AtEnd::Silence);
    HostTokens m_tokens;
    Bytes m_last;
    bool m_disturbed = false;
    std::map<uint16_t, unsigned> m_uploads;
    unsigned m_handshakes = 0;
};

std::string DisturbanceName(const ::testing::TestParamInfo<Disturbance>& info)
{
    static const char* const names[] = {"StaleReplyBeforeTheAnswer", "DamagedAcknowledgementOfTheRequest",
                                        "RejectedReplyRepeatedTwice", "TailOfAPurgedReply"};
    return names[static_cast<int>(info.param)];
}

class StaleReplyUpload : public ::testing::TestWithParam<Disturbance>
{
protected:
    void SetUp() override { velt::platform::SetCommPortFactory(velt::fuzz::OpenScriptedPort); }
    void TearDown() override { velt::platform::SetCommPortFactory(nullptr); }
    TempDir dir;
};

} // namespace

TEST_P(StaleReplyUpload, NeverShiftsTheBlocksAndNeverLeavesACopyForTheNextRequest)
{
    DisturbedUploadDevice device(GetParam());
    velt::fuzz::NextPort() = device.Port();
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByDevicePath(&handle, "\\\\.\\COM9"), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 150), DFU_STATUS_SUCCESS);
    const std::string path = dir.path() + "/upload.bin";
    const DFU_STATUS status = DFU_UploadImage(handle, kBlockSize, path.c_str(), nullptr, 0);
    DFU_Close(handle);

    ASSERT_EQ(status, DFU_STATUS_SUCCESS);
    Bytes image;
    for (uint16_t b = 0; b < kBlocks; ++b) {
        const Bytes block = Block(b);
        image.insert(image.end(), block.begin(), block.end());
    }
    std::ifstream in(path, std::ios::binary);
    const Bytes got(std::istreambuf_iterator<char>(in), {});
    const auto differ = std::mismatch(got.begin(), got.end(), image.begin(), image.end());
    EXPECT_TRUE(got.size() == image.size() && differ.first == got.end())
        << got.size() << " bytes; first difference in block " << (differ.first - got.begin()) / kBlockSize;
    for (uint16_t b = 0; b <= kBlocks; ++b) {
        if (b != kDisturbed) {
            EXPECT_EQ(device.Uploads(b), 1u) << "block " << b;
        }
    }
    // A stale frame is no rejection: the request goes out once; a rejection
    // sends it once more, not once per byte behind the rejection.
    const bool rejected = GetParam() == Disturbance::DamagedAcknowledgementOfTheRequest ||
                          GetParam() == Disturbance::TailOfAPurgedReply;
    EXPECT_EQ(device.Uploads(kDisturbed), rejected ? 2u : 1u);
    // After the disturbed exchange the host greeted the device again.
    EXPECT_EQ(device.Handshakes(), 2u);
}

INSTANTIATE_TEST_SUITE_P(EachWayACopyIsLeft, StaleReplyUpload,
                         ::testing::Values(Disturbance::StaleReplyBeforeTheAnswer,
                                           Disturbance::DamagedAcknowledgementOfTheRequest,
                                           Disturbance::RejectedReplyRepeatedTwice,
                                           Disturbance::TailOfAPurgedReply),
                         DisturbanceName);
