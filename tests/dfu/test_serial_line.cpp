// The serial transport on lines that are not instant and perfect: late
// replies, slow rates, devices that never accept, hosts that die.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <iterator>
#include <thread>

#include "PtyDevice.h"
#include "SimProcess.h"
#include "TestSupport.h"
#include "VELT_DFU.h"
#include "transport/ControlUart.h"
#include "serial_line.h"  // the platform's hook for recording a line error

using velt::sim::SimProcess;
using velt::test::Bytes;
using velt::test::Frame;
using velt::test::PtyDevice;
using velt::test::ScopedDeviceDirs;
using velt::test::TempDir;

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

const Bytes GETSTATE_FRAME = Frame({0x05, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00});

DFU_HANDLE OpenSimPort(const SimProcess& sim, const char* com)
{
    sim.exportEnvironment();
    DFU_HANDLE handle = nullptr;
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, (std::string("\\\\.\\") + com).c_str()), DFU_STATUS_SUCCESS);
    return handle;
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// Exposes the port handle, to read back what the object set on it.
class OpenedUart : public CControlUart
{
public:
    HANDLE Port() const { return m_hDevice; }
    COMMTIMEOUTS Timeouts() const
    {
        COMMTIMEOUTS t = {};
        EXPECT_TRUE(GetCommTimeouts(m_hDevice, &t));
        return t;
    }
};

} // namespace

// The reply comes after the host gave up: the host lets it go by without
// acknowledging it, and the next transfer greets the device again and gets
// its own answer.
TEST(SerialLateReply, IsDrainedAndTheNextTransferResynchronises)
{
    TempDir dos, usb;
    ScopedDeviceDirs dirs {dos.path(), usb.path()};
    PtyDevice port {dos, "COM5"};
    DFU_HANDLE handle = nullptr;
    ASSERT_EQ(DFU_OpenByDevicePath(&handle, port.path().c_str()), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 150), DFU_STATUS_SUCCESS);

    uint8_t state = 0x77;
    auto first = std::async(std::launch::async, [&] { return DFU_DfuGetState(handle, &state); });
    ASSERT_EQ(port.Read(1), Bytes {0x55});
    port.Write({0xAA});
    ASSERT_EQ(port.Read(GETSTATE_FRAME.size()), GETSTATE_FRAME);
    port.Write({0x00});
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    port.Write(Frame({0x02}));
    EXPECT_EQ(first.get(), DFU_STATUS_TIMEOUT);
    EXPECT_EQ(state, 0x77);
    EXPECT_TRUE(port.Drain(50).empty()) << "the late reply was acknowledged";

    auto second = std::async(std::launch::async, [&] { return DFU_DfuGetState(handle, &state); });
    ASSERT_EQ(port.Read(1), Bytes {0x55}) << "no fresh handshake after the failure";
    port.Write({0xAA});
    ASSERT_EQ(port.Read(GETSTATE_FRAME.size()), GETSTATE_FRAME);
    port.Write({0x00});
    port.Write(Frame({0x09}));
    ASSERT_EQ(port.Read(1), Bytes {0x00});
    EXPECT_EQ(second.get(), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 9);
    DFU_Close(handle);
}

// The simulator acknowledges at once and sends the first reply late, after
// the transfer gave up and within the quiet period the line is then given:
// the state it reports changes in between, so a stale answer would show.
TEST(SerialLateReply, IsNeverTakenAsTheAnswerToTheNextRequest)
{
    SimProcess sim({"--com", "COM7,state=10,delay=450@1"});
    DFU_HANDLE handle = OpenSimPort(sim, "COM7");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 300), DFU_STATUS_SUCCESS);
    uint8_t state = 0x77;
    EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_TIMEOUT);
    ASSERT_EQ(DFU_DfuClearStatus(handle), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_SUCCESS);
    EXPECT_EQ(state, 2) << "dfuERROR is the answer to the request before CLRSTATUS";
    EXPECT_EQ(Count(sim.readLog(), " sync\n"), 2u) << sim.readLog();
    DFU_Close(handle);
}

// The host's acknowledgement of every reply reaches the simulator damaged,
// so every reply is sent twice and the copy arrives while the host waits
// for the acknowledgement of its next request. The upload still returns the
// image, each block asked for once: a copy is neither taken for a rejection
// nor for the next answer.
TEST(SerialLateReply, RepeatedAfterADamagedAcknowledgementIsNeverTakenForTheNextBlock)
{
    TempDir dir;
    const std::string flash = dir.path() + "/flash.bin", upload = dir.path() + "/upload.bin";
    Bytes image(5000);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 7 + i / 251);
    std::ofstream(flash, std::ios::binary).write(reinterpret_cast<const char*>(image.data()), 5000);
    SimProcess sim({"--com", "COM7,flash=" + flash + ",badack=1000"});
    DFU_HANDLE handle = OpenSimPort(sim, "COM7");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(DFU_SetTransferTimeout(handle, 300), DFU_STATUS_SUCCESS);
    ASSERT_EQ(DFU_UploadImage(handle, 512, upload.c_str(), nullptr, 0), DFU_STATUS_SUCCESS);
    std::ifstream in(upload, std::ios::binary);
    EXPECT_TRUE(Bytes(std::istreambuf_iterator<char>(in), {}) == image) << "the upload holds other bytes";
    DFU_Close(handle);

    const std::string log = sim.readLog();
    EXPECT_GE(Count(log, "fault bad-ack"), 11u);
    // Ten blocks with data, the empty one, and GETSTATE first.
    EXPECT_EQ(Count(log, "request UPLOAD(2)"), 11u) << log;
    EXPECT_EQ(Count(log, "request GETSTATE(5)"), 1u) << log;
}

// A 1 KiB frame needs about 1.08 s at 9600 bit/s: longer than the time-out,
// which bounds the device's time, not the line's.
TEST(SerialSlowLine, KilobyteBlocksAt9600WithTheDefaultTimeOut)
{
    SimProcess sim({"--com", "COM7,baud=9600"});
    DFU_HANDLE handle = OpenSimPort(sim, "COM7");
    ASSERT_NE(handle, nullptr);
    ASSERT_EQ(DFU_SetUartConfig(handle, 9600, 8, NOPARITY, ONESTOPBIT, 0), DFU_STATUS_SUCCESS);
    uint32_t timeout = 0;
    ASSERT_EQ(DFU_GetTransferTimeout(handle, &timeout), DFU_STATUS_SUCCESS);
    ASSERT_EQ(timeout, 1000u);

    uint8_t block[1024];
    for (size_t i = 0; i < sizeof(block); ++i)
        block[i] = static_cast<uint8_t>(i * 13 + 7);
    uint16_t moved = 0;
    const auto start = Clock::now();
    ASSERT_EQ(DFU_DfuDnload(handle, block, sizeof(block), 0, &moved), DFU_STATUS_SUCCESS);
    EXPECT_GE(MsSince(start), 1000) << "the line was not paced";
    DFU_GETSTATUS_RESULT status {};
    ASSERT_EQ(DFU_DfuGetStatus(handle, &status), DFU_STATUS_SUCCESS);
    EXPECT_EQ(status.bState, 5);
    ASSERT_EQ(DFU_DfuAbort(handle), DFU_STATUS_SUCCESS);

    uint8_t back[1024] = {};
    moved = 0;
    ASSERT_EQ(DFU_DfuUpload(handle, back, sizeof(back), 0, &moved), DFU_STATUS_SUCCESS);
    EXPECT_EQ(moved, sizeof(back));
    EXPECT_EQ(std::memcmp(back, block, sizeof(block)), 0);
    DFU_Close(handle);
}

// One character time per byte, rounded up to whole milliseconds, from the
// rate and the frame (start, data, parity, stop bits); the constants stay
// the time-out, and a new rate or time-out recomputes them.
TEST(SerialSlowLine, TimeOutMultipliersFollowTheRateAndFrame)
{
    TempDir dos, usb;
    ScopedDeviceDirs dirs {dos.path(), usb.path()};
    PtyDevice port {dos, "COM5"};
    OpenedUart uart;
    ASSERT_TRUE(uart.OpenByDevicePath(u"\\\\.\\COM5"));

    COMMTIMEOUTS t = uart.Timeouts();
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 1u) << "115200 8N1: 87 us";
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 1u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.ReadIntervalTimeout, 0u);

    struct Case {
        uint32_t baud;
        uint8_t bits, parity, stop;
        DWORD ms;
    } cases[] = {
        {9600, 8, NOPARITY, ONESTOPBIT, 2},     // 10 bits: 1.04 ms
        {115200, 8, EVENPARITY, TWOSTOPBITS, 1}, // 12 bits: 104 us
        {1200, 8, EVENPARITY, TWOSTOPBITS, 10},  // 12 bits: exactly 10 ms
        {300, 8, NOPARITY, ONESTOPBIT, 34},      // 33.3 ms
        {110, 7, ODDPARITY, TWOSTOPBITS, 100},   // 11 bits: exactly 100 ms
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        ASSERT_TRUE(uart.SetUartConfig(c.baud, c.bits, c.parity, c.stop, 0));
        t = uart.Timeouts();
        EXPECT_EQ(t.ReadTotalTimeoutMultiplier, c.ms);
        EXPECT_EQ(t.WriteTotalTimeoutMultiplier, c.ms);
        EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    }

    ASSERT_TRUE(uart.SetTransferTimeout(250));
    t = uart.Timeouts();
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 100u) << "the rate in effect is kept";
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 250u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 250u);
    uint32_t ms = 0;
    ASSERT_TRUE(uart.GetTransferTimeout(&ms));
    EXPECT_EQ(ms, 250u);

    // 0 keeps reads immediate: no multiplier may give them a limit.
    ASSERT_TRUE(uart.SetTransferTimeout(0));
    t = uart.Timeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 0u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 0u);
    uart.Close();
}

// A device that rejects every request frame, for ever: the transfer is
// held to its time-out (plus the quiet period after it), never shorter and
// never unbounded.
TEST(SerialRejection, ForeverIsHeldToTheTimeOut)
{
    SimProcess sim({"--com", "COM7,nak=4294967295"});
    DFU_HANDLE handle = OpenSimPort(sim, "COM7");
    ASSERT_NE(handle, nullptr);
    constexpr long long timeout = 300;
    ASSERT_EQ(DFU_SetTransferTimeout(handle, timeout), DFU_STATUS_SUCCESS);
    uint8_t state = 0x77;
    const auto start = Clock::now();
    EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_TIMEOUT);
    const long long ms = MsSince(start);
    EXPECT_GE(ms, timeout * 8 / 10);
    EXPECT_LE(ms, timeout * 3);
    EXPECT_EQ(state, 0x77);
    EXPECT_GT(Count(sim.readLog(), "fault nak"), 2u) << "the frame was not sent again";
    DFU_Close(handle);
}

// The mirror image: every reply the device sends has a bad CRC, for ever.
// The host rejects each and waits for the repetition only within the
// time-out, and the caller's byte is not written.
TEST(SerialRejection, BadReplyCrcForeverIsHeldToTheTimeOut)
{
    SimProcess sim({"--com", "COM7,badcrc=4294967295"});
    DFU_HANDLE handle = OpenSimPort(sim, "COM7");
    ASSERT_NE(handle, nullptr);
    constexpr long long timeout = 300;
    ASSERT_EQ(DFU_SetTransferTimeout(handle, timeout), DFU_STATUS_SUCCESS);
    uint8_t state = 0x77;
    const auto start = Clock::now();
    EXPECT_EQ(DFU_DfuGetState(handle, &state), DFU_STATUS_TIMEOUT);
    const long long ms = MsSince(start);
    EXPECT_GE(ms, timeout * 8 / 10);
    EXPECT_LE(ms, timeout * 4);
    EXPECT_EQ(state, 0x77);
    EXPECT_GT(Count(sim.readLog(), "fault badcrc"), 1u) << "the host never asked for the frame again";
    DFU_Close(handle);
}

// A host killed while it holds the port (no close, no clean-up) must not
// leave it unopenable: exclusivity ends with the process.
TEST(SerialOpen, KilledHolderDoesNotLeaveThePortLocked)
{
    TempDir dos, usb;
    ScopedDeviceDirs dirs {dos.path(), usb.path()};
    PtyDevice port {dos, "COM5"};
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DFU_HANDLE held = nullptr;
        const uint8_t status = DFU_OpenByDevicePath(&held, port.path().c_str());
        if (write(ready[1], &status, 1) != 1)
            _exit(1);
        for (;;)
            pause();
    }
    close(ready[1]);
    uint8_t status = 0xEE;
    ASSERT_EQ(read(ready[0], &status, 1), 1);
    close(ready[0]);
    EXPECT_EQ(status, DFU_STATUS_SUCCESS);

    DFU_HANDLE handle = nullptr;
    EXPECT_EQ(DFU_OpenByDevicePath(&handle, port.path().c_str()), DFU_STATUS_GENERAL_ERROR)
        << "a held port must stay exclusive";
    // The kernel's exclusive flag would outlive the holder on a pty (and
    // lock out every later non-root opener); it must not be set.
    const int probe = open(port.slave().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(probe, 0);
    int exclusive = -1;
    ASSERT_EQ(ioctl(probe, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(probe);

    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_EQ(DFU_OpenByDevicePath(&handle, port.path().c_str()), DFU_STATUS_SUCCESS);
    EXPECT_EQ(DFU_Close(handle), DFU_STATUS_SUCCESS);
}

// A line error left from before (a break while the device reset, say) would
// fail every read and write of a port set to abort on errors; each transfer
// clears it first.
TEST(SerialLineErrors, AreClearedAtTheStartOfEachTransfer)
{
    TempDir dos, usb;
    ScopedDeviceDirs dirs {dos.path(), usb.path()};
    PtyDevice port {dos, "COM5"};
    OpenedUart uart;
    ASSERT_TRUE(uart.OpenByDevicePath(u"\\\\.\\COM5"));
    DCB dcb = {};
    ASSERT_TRUE(GetCommState(uart.Port(), &dcb));
    ASSERT_EQ(dcb.fAbortOnError, 1u);
    ASSERT_TRUE(velt::platform::RecordLineErrors(uart.Port(), CE_FRAME | CE_BREAK));

    uint8_t state = 0;
    uint32_t count = 0;
    auto transfer = std::async(std::launch::async, [&] {
        return uart.ControlTransfer(WINUSB_SETUP_PACKET {0xA1, 5, 0, 0, 1}, &state, &count);
    });
    ASSERT_EQ(port.Read(1), Bytes {0x55});
    port.Write({0xAA});
    ASSERT_EQ(port.Read(GETSTATE_FRAME.size()), GETSTATE_FRAME);
    port.Write({0x00});
    port.Write(Frame({0x04}));
    ASSERT_EQ(port.Read(1), Bytes {0x00});
    EXPECT_TRUE(transfer.get());
    EXPECT_EQ(state, 4);
    uart.Close();
}
