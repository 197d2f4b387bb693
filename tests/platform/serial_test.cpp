// Serial ports over a pty pair: the test holds the master side, the port
// under test opens the slave through a COM name.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "comm_port.h"
#include "test_env.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

class SerialPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        slave_ = ptsname(master_);
        ASSERT_EQ(symlink(slave_.c_str(), (dirs_.dos() + "/COM7").c_str()), 0);
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        close(master_);
    }

    HANDLE Open(const char16_t* name = u"\\\\.\\COM7") {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr);
    }
    void OpenPort() {
        port_ = Open();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD writeConstant = 0) {
        COMMTIMEOUTS t = {interval, multiplier, constant, 0, writeConstant};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
    }
    void FeedMaster(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    std::string Read(DWORD n) {
        std::string buf(n, '\0');
        DWORD got = 1234;
        EXPECT_TRUE(ReadFile(port_, buf.data(), n, &got, nullptr)) << GetLastError();
        buf.resize(got);
        return buf;
    }

    TempDeviceDirs dirs_;
    int master_ = -1;
    std::string slave_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(SerialPortTest, ReadReturnsWhatArrivedOnceTheTotalTimeoutPasses) {
    OpenPort();
    SetTimeouts(0, 0, 200);
    FeedMaster("abc");
    auto start = Clock::now();
    EXPECT_EQ(Read(10), "abc");
    EXPECT_GE(MsSince(start), 180);
    EXPECT_LT(MsSince(start), 1000);

    // The multiplier scales with the bytes asked for: 4 x 60 ms.
    SetTimeouts(0, 60, 0);
    start = Clock::now();
    EXPECT_EQ(Read(4), "");
    EXPECT_GE(MsSince(start), 220);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(SerialPortTest, ReadReturnsAsSoonAsTheCountIsComplete) {
    OpenPort();
    SetTimeouts(0, 0, 5000);
    std::thread feeder([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        FeedMaster("wxyz");
    });
    auto start = Clock::now();
    EXPECT_EQ(Read(4), "wxyz");
    EXPECT_LT(MsSince(start), 1000);
    feeder.join();
}

TEST_F(SerialPortTest, MaxdwordIntervalWithoutTotalsReturnsAtOnce) {
    OpenPort();
    SetTimeouts(MAXDWORD, 0, 0);
    auto start = Clock::now();
    EXPECT_EQ(Read(8), "");
    FeedMaster("hi");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Read(8), "hi");
    EXPECT_LT(MsSince(start), 500);
}

TEST_F(SerialPortTest, ZeroTimeoutsWaitForEveryByte) {
    OpenPort();
    SetTimeouts(0, 0, 0);
    std::thread feeder([this] {
        FeedMaster("12");
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        FeedMaster("34");
    });
    auto start = Clock::now();
    EXPECT_EQ(Read(4), "1234");
    EXPECT_GE(MsSince(start), 120);
    feeder.join();
}

TEST_F(SerialPortTest, IntervalTimeoutEndsAReadAfterAGap) {
    OpenPort();
    SetTimeouts(80, 0, 0);
    FeedMaster("ab");
    auto start = Clock::now();
    EXPECT_EQ(Read(10), "ab");
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(SerialPortTest, WritesReachThePeerAndAreBoundedByTheirTimeout) {
    OpenPort();
    DWORD sent = 0;
    ASSERT_TRUE(WriteFile(port_, "\x55\xAA\x00\x3A", 4, &sent, nullptr));
    EXPECT_EQ(sent, 4u);
    char got[8] = {};
    ASSERT_EQ(read(master_, got, sizeof got), 4);
    EXPECT_EQ(std::string(got, 4), std::string("\x55\xAA\x00\x3A", 4));

    // Nobody drains the master: the pty fills and the write gives up,
    // reporting success with what went out, as a Windows serial driver does.
    SetTimeouts(0, 0, 0, 150);
    std::vector<char> big(4 << 20, 'x');
    auto start = Clock::now();
    EXPECT_TRUE(WriteFile(port_, big.data(), static_cast<DWORD>(big.size()), &sent, nullptr));
    EXPECT_LT(sent, big.size());
    EXPECT_GE(MsSince(start), 130);
    EXPECT_LT(MsSince(start), 2000);
}

TEST_F(SerialPortTest, PurgeDropsPendingInput) {
    OpenPort();
    SetTimeouts(MAXDWORD, 0, 0);
    FeedMaster("stale bytes");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(PurgeComm(port_, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
    EXPECT_EQ(Read(32), "");
    FeedMaster("new");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Read(32), "new");
    EXPECT_FALSE(PurgeComm(port_, 0x100));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// The port drains the tty in bulk and serves reads from its own buffer:
// what a read leaves behind must come out of later reads in order, under
// the same time-outs, and a purge must drop it with the tty's own queue.
TEST_F(SerialPortTest, BytesLeftByAShortReadComeOutOfLaterReadsInOrder) {
    OpenPort();
    SetTimeouts(0, 0, 200);
    FeedMaster("0123456789");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Read(1), "0");
    auto start = Clock::now();
    EXPECT_EQ(Read(3), "123");
    EXPECT_LT(MsSince(start), 100);  // served at once, no time-out waited for

    // More asked for than is held: the rest is waited for under the total.
    std::thread feeder([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        FeedMaster("ab");
    });
    EXPECT_EQ(Read(8), "456789ab");
    feeder.join();
    start = Clock::now();
    EXPECT_EQ(Read(4), "");
    EXPECT_GE(MsSince(start), 180);
}

TEST_F(SerialPortTest, ReadsOfHeldBytesKeepEachTimeoutMode) {
    OpenPort();
    FeedMaster("abcdef");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetTimeouts(0, 0, 150);
    EXPECT_EQ(Read(1), "a");

    // Total limit: what is held, then the limit, then success with it.
    auto start = Clock::now();
    EXPECT_EQ(Read(3), "bcd");
    EXPECT_EQ(Read(4), "ef");
    EXPECT_GE(MsSince(start), 130);

    // Immediate: held bytes and the tty's together, without waiting.
    FeedMaster("ghi");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Read(1), "g");
    FeedMaster("jk");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetTimeouts(MAXDWORD, 0, 0);
    start = Clock::now();
    EXPECT_EQ(Read(8), "hijk");
    EXPECT_LT(MsSince(start), 100);

    // Any byte: held bytes end the read at once, not after the constant.
    FeedMaster("lmn");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Read(1), "l");
    SetTimeouts(MAXDWORD, MAXDWORD, 2000);
    start = Clock::now();
    EXPECT_EQ(Read(8), "mn");
    EXPECT_LT(MsSince(start), 1000);

    // Interval: the gap after the held bytes ends the read, not the total.
    FeedMaster("opq");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    SetTimeouts(60, 0, 0);
    EXPECT_EQ(Read(1), "o");
    start = Clock::now();
    EXPECT_EQ(Read(8), "pq");
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(SerialPortTest, PurgeDropsBytesAlreadyTakenFromTheTty) {
    OpenPort();
    SetTimeouts(MAXDWORD, 0, 0);
    FeedMaster("old reply");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Read(4), "old ");
    // A transmit-only purge leaves received bytes alone.
    ASSERT_TRUE(PurgeComm(port_, PURGE_TXCLEAR | PURGE_TXABORT));
    EXPECT_EQ(Read(1), "r");
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR));
    EXPECT_EQ(Read(32), "");
    FeedMaster("new");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(Read(32), "new");
}

TEST_F(SerialPortTest, LargeReadsFollowHeldBytesInOrder) {
    OpenPort();
    SetTimeouts(0, 0, 2000);
    std::string sent(12000, '\0');
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<char>('A' + i % 23);
    std::thread feeder([&] { FeedMaster(sent); });
    std::string got = Read(10);
    got += Read(7000);  // held bytes first, then straight from the tty
    got += Read(static_cast<DWORD>(sent.size() - got.size()));
    feeder.join();
    EXPECT_EQ(got, sent);
}

TEST_F(SerialPortTest, OpenIsExclusiveAndNamesResolveLikeDosNames) {
    OpenPort();
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(CloseHandle(port_));
    EXPECT_FALSE(CloseHandle(port_));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));

    // Closing released the port; DOS names ignore case.
    port_ = Open(u"\\\\.\\com7");
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << GetLastError();

    EXPECT_EQ(Open(u"\\\\.\\COM8"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    ASSERT_EQ(symlink("/nonexistent/tty", (dirs_.dos() + "/COM9").c_str()), 0);
    EXPECT_EQ(Open(u"\\\\.\\COM9"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(SerialPortTest, DcbSettingsReachTheTtyAndReadBack) {
    OpenPort();
    DCB dcb;
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    dcb.BaudRate = 57600;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_HANDSHAKE;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();

    DCB back;
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.BaudRate, 57600u);
    EXPECT_EQ(back.ByteSize, 7);  // a pty keeps no line format: remembered
    EXPECT_EQ(back.Parity, EVENPARITY);
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fRtsControl, static_cast<DWORD>(RTS_CONTROL_HANDSHAKE));

    // What the kernel holds for the tty, seen through a second descriptor.
    int fd = open(slave_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    struct termios t;
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B57600));
    EXPECT_TRUE(t.c_cflag & CRTSCTS);
    EXPECT_FALSE(t.c_lflag & (ICANON | ECHO));

    // A rate outside the Bnnn table, and flow control off again.
    back.BaudRate = 250000;
    back.fOutxCtsFlow = 0;
    back.fRtsControl = RTS_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port_, &back)) << GetLastError();
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 250000u);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_DISABLE));
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_FALSE(t.c_cflag & CRTSCTS);
    close(fd);
}

TEST_F(SerialPortTest, ImpossibleSettingsFailAndChangeNothing) {
    OpenPort();
    DCB good;
    ASSERT_TRUE(GetCommState(port_, &good));
    good.BaudRate = 115200;
    ASSERT_TRUE(SetCommState(port_, &good));

    auto rejected = [&](auto mutate) {
        DCB dcb = good;
        mutate(dcb);
        EXPECT_FALSE(SetCommState(port_, &dcb));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    };
    rejected([](DCB& d) { d.StopBits = ONE5STOPBITS; });
    rejected([](DCB& d) { d.ByteSize = 9; });
    rejected([](DCB& d) { d.Parity = 5; });
    rejected([](DCB& d) { d.BaudRate = 0; });
    rejected([](DCB& d) { d.fOutxDsrFlow = 1; });

    DCB after;
    ASSERT_TRUE(GetCommState(port_, &after));
    EXPECT_EQ(after.BaudRate, 115200u);
    EXPECT_EQ(after.StopBits, ONESTOPBIT);
    EXPECT_EQ(after.ByteSize, 8);
}

TEST(SerialHandles, CallsOnHandlesThatAreNotPortsFail) {
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7777770));
    DCB dcb;
    COMMTIMEOUTS t;
    DWORD n = 99;
    char buf[4];
    EXPECT_FALSE(GetCommState(bogus, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(GetCommTimeouts(INVALID_HANDLE_VALUE, &t));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(ReadFile(bogus, buf, sizeof buf, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(CloseHandle(bogus));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace

// A port put in place of the dosdevices entry by the port factory: it gets
// ReadFile, WriteFile and the Comm functions of the handle; names it does not
// take fall through to the directory, and without it nothing changes.
namespace {

class EchoPort final : public velt::platform::CommPort {
public:
    BOOL Read(void* buffer, DWORD size, DWORD* done) override {
        const DWORD n = std::min<DWORD>(size, static_cast<DWORD>(bytes.size()));
        std::copy(bytes.begin(), bytes.begin() + n, static_cast<char*>(buffer));
        bytes.erase(0, n);
        *done = n;
        return TRUE;
    }
    BOOL Write(const void* buffer, DWORD size, DWORD* done) override {
        bytes.append(static_cast<const char*>(buffer), size);
        *done = size;
        return TRUE;
    }
    BOOL Purge(DWORD) override {
        ++purges;
        return TRUE;
    }
    BOOL GetState(DCB& dcb) override {
        dcb = state;
        return TRUE;
    }
    BOOL SetState(const DCB& dcb) override {
        state = dcb;
        return TRUE;
    }
    BOOL ClearErrors(DWORD* errors, COMSTAT*) override {
        if (errors)
            *errors = 0;
        return TRUE;
    }
    COMMTIMEOUTS Timeouts() override { return timeouts; }
    void SetTimeouts(const COMMTIMEOUTS& t) override { timeouts = t; }
    void RecordErrors(DWORD) override {}

    std::string bytes;
    int purges = 0;
    DCB state{};
    COMMTIMEOUTS timeouts{};
};

std::shared_ptr<EchoPort> g_echo;

std::shared_ptr<velt::platform::CommPort> EchoFactory(const std::u16string& name) {
    return name == u"COM99" ? g_echo : nullptr;
}

}  // namespace

TEST_F(SerialPortTest, FactoryPortTakesItsNameAndTheRestFallThrough) {
    g_echo = std::make_shared<EchoPort>();
    velt::platform::SetCommPortFactory(EchoFactory);
    HANDLE echo = Open(u"\\\\.\\COM99");
    OpenPort();  // COM7, the pty, through the directory
    velt::platform::SetCommPortFactory(nullptr);
    ASSERT_NE(echo, INVALID_HANDLE_VALUE);

    DWORD done = 0;
    ASSERT_TRUE(WriteFile(echo, "ping", 4, &done, nullptr));
    char back[8] = {};
    ASSERT_TRUE(ReadFile(echo, back, sizeof back, &done, nullptr));
    EXPECT_EQ(std::string(back, done), "ping");
    EXPECT_TRUE(PurgeComm(echo, PURGE_RXCLEAR));
    EXPECT_EQ(g_echo->purges, 1);
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = 4800;
    EXPECT_TRUE(SetCommState(echo, &dcb));
    EXPECT_EQ(g_echo->state.BaudRate, 4800u);
    EXPECT_TRUE(CloseHandle(echo));

    FeedMaster("x");
    SetTimeouts(0, 0, 500);
    EXPECT_EQ(Read(1), "x");
    EXPECT_EQ(Open(u"\\\\.\\COM99"), INVALID_HANDLE_VALUE) << "the factory outlived its removal";
    g_echo.reset();
}
