// What a serial port learns from its tty besides the bytes: error marks in
// the input, line errors with fAbortOnError, and the output queue a write
// waits for; and the deadline and poll loop that its waits (and the USB
// sockets') are made of.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <string>
#include <thread>

#include "deadline.h"
#include "serial_line.h"
#include "test_env.h"

using velt::platform::Deadline;
using velt::platform::ParmrkDecoder;
using velt::platform::PollUntil;
using velt::platform::Readiness;

namespace {

using Clock = std::chrono::steady_clock;

std::string Decode(ParmrkDecoder& decoder, std::string bytes, ParmrkDecoder::Marks& marks) {
    const size_t n = decoder.Decode(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size(), marks);
    bytes.resize(n);
    return bytes;
}

}  // namespace

TEST(ParmrkDecoder, UndoesEscapesAndCountsMarksAcrossReads) {
    ParmrkDecoder decoder;
    ParmrkDecoder::Marks marks;
    EXPECT_EQ(Decode(decoder, std::string("a\xFF\xFF" "b", 4), marks), "a\xFF" "b");
    EXPECT_EQ(marks.errors + marks.breaks, 0u);

    // A parity or framing error keeps its character; a break has none.
    EXPECT_EQ(Decode(decoder, std::string("\xFF\x00" "Xc\xFF\x00\x00" "d", 8), marks), "Xcd");
    EXPECT_EQ(marks.errors, 1u);
    EXPECT_EQ(marks.breaks, 1u);

    // Marks and escapes split between two reads.
    marks = {};
    EXPECT_EQ(Decode(decoder, std::string("e\xFF", 2), marks), "e");
    EXPECT_EQ(Decode(decoder, std::string("\xFF" "f\xFF\x00", 4), marks), "\xFF" "f");
    EXPECT_EQ(Decode(decoder, std::string("Z", 1), marks), "Z");
    EXPECT_EQ(marks.errors, 1u);
}

// The write waits for a queue that empties at a line's pace, and no longer
// than its deadline; what is left then is reported.
TEST(OutputDrain, WaitsForTheQueueWithinTheDeadline) {
    const auto perByte = std::chrono::microseconds(1000);
    auto start = Clock::now();
    auto queue = [&start] {
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
        return static_cast<int>(std::max<long long>(0, 60 - ms));  // 60 bytes at 1 ms each
    };
    EXPECT_EQ(velt::platform::WaitForOutputDrain(queue, Deadline::Never(), perByte), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));

    start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(20);
    const int left = velt::platform::WaitForOutputDrain(queue, Deadline::At(deadline), perByte);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 45);
    EXPECT_GE(Clock::now(), deadline);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
}

// The clock is a parameter: each case looks at one instant.
TEST(Deadline, ExpiresAtItsInstantAndRoundsPollTimesUp) {
    using std::chrono::milliseconds;
    using std::chrono::microseconds;
    using std::chrono::nanoseconds;
    const Clock::time_point t0 = Clock::time_point() + std::chrono::hours(1);
    const Deadline tenMs = Deadline::At(t0 + milliseconds(10));
    const struct {
        const char* what;
        Deadline deadline;
        Clock::time_point now;
        bool expired;
        Clock::duration remaining;
        int pollMs;
    } cases[] = {
        {"a millisecond before", tenMs, t0 + milliseconds(9), false, milliseconds(1), 1},
        {"a nanosecond before", tenMs, t0 + milliseconds(10) - nanoseconds(1), false, nanoseconds(1), 1},
        {"exactly at it", tenMs, t0 + milliseconds(10), true, Clock::duration::zero(), 0},
        {"past it", tenMs, t0 + milliseconds(11), true, Clock::duration::zero(), 0},
        {"a part millisecond left", tenMs, t0 + microseconds(7500), false, microseconds(2500), 3},
        {"no limit", Deadline::Never(), t0, false, Clock::duration::max(), -1},
        {"a wait of 0 ms", Deadline::After(0, t0), t0, true, Clock::duration::zero(), 0},
        {"held to a year", Deadline::After(UINT64_MAX, t0), t0, false, std::chrono::hours(24 * 365), INT_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.deadline.Expired(c.now), c.expired);
        EXPECT_EQ(c.deadline.Remaining(c.now), c.remaining);
        EXPECT_EQ(c.deadline.PollTimeout(c.now), c.pollMs);
    }

    const Deadline later = Deadline::At(t0 + milliseconds(20));
    EXPECT_EQ(tenMs.Earlier(later).Remaining(t0), milliseconds(10));
    EXPECT_EQ(later.Earlier(tenMs).Remaining(t0), milliseconds(10));
    EXPECT_EQ(Deadline::Never().Earlier(later).Remaining(t0), milliseconds(20));
    EXPECT_EQ(later.Earlier(Deadline::Never()).Remaining(t0), milliseconds(20));
    EXPECT_FALSE(Deadline::Never().Earlier(Deadline::Never()).Limited());
}

class PollUntilTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(pipe(fds_), 0); }
    void TearDown() override {
        CloseWriteEnd();
        if (fds_[0] >= 0)
            close(fds_[0]);
    }
    void CloseWriteEnd() {
        if (fds_[1] >= 0)
            close(fds_[1]);
        fds_[1] = -1;
    }
    void Put(char byte) { ASSERT_EQ(write(fds_[1], &byte, 1), 1); }
    int in() const { return fds_[0]; }

    int fds_[2] = {-1, -1};
};

// What the descriptor says is what comes back, whatever time is left.
TEST_F(PollUntilTest, ReportsReadinessHangUpAndLoss) {
    EXPECT_EQ(PollUntil(in(), POLLIN, Deadline::At(Clock::now() - std::chrono::milliseconds(1))),
              Readiness::TimedOut)
        << "an expired deadline ends the wait before it starts";
    Put('x');
    EXPECT_EQ(PollUntil(in(), POLLIN, Deadline::Never()), Readiness::Ready);
    CloseWriteEnd();
    EXPECT_EQ(PollUntil(in(), POLLIN, Deadline::Never()), Readiness::ReadyHungUp)
        << "the byte can still be read after the hang-up";
    char byte = 0;
    ASSERT_EQ(read(in(), &byte, 1), 1);
    EXPECT_EQ(PollUntil(in(), POLLIN, Deadline::Never()), Readiness::Lost);
    // A descriptor that is not open (POLLNVAL) ends the wait too.
    const int gone = in();
    close(fds_[0]);
    fds_[0] = -1;
    EXPECT_EQ(PollUntil(gone, POLLIN, Deadline::Never()), Readiness::Lost);
}

std::atomic<int> signalsCaught{0};

void CountSignal(int) { signalsCaught.fetch_add(1); }

// Signals keep landing on the waiting thread (a handler without SA_RESTART,
// so poll fails with EINTR) until the wait ends: it must go on with the time
// left, ending neither early nor in failure.
TEST_F(PollUntilTest, SignalsNeitherEndNorShortenTheWait) {
    struct sigaction action = {};
    struct sigaction previous = {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);
    signalsCaught = 0;

    auto waitAmidSignals = [&](const Deadline& deadline, bool& expiredAtReturn, auto&& whileWaiting) {
        std::atomic<bool> done{false};
        Readiness result = Readiness::Lost;
        std::thread waiter([&] {
            result = PollUntil(in(), POLLIN, deadline);
            expiredAtReturn = deadline.Expired();
            done = true;
        });
        for (int i = 0; i < 20 && !done; ++i) {
            pthread_kill(waiter.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        whileWaiting();
        while (!done) {
            pthread_kill(waiter.native_handle(), SIGUSR1);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        waiter.join();
        return result;
    };

    bool expired = true;
    EXPECT_EQ(waitAmidSignals(Deadline::After(60000), expired, [&] { Put('x'); }), Readiness::Ready);
    EXPECT_FALSE(expired);
    char byte = 0;
    ASSERT_EQ(read(in(), &byte, 1), 1);

    expired = false;
    EXPECT_EQ(waitAmidSignals(Deadline::After(50), expired, [] {}), Readiness::TimedOut);
    EXPECT_TRUE(expired) << "a signal cut the wait short of its deadline";

    EXPECT_GT(signalsCaught.load(), 0);
    sigaction(SIGUSR1, &previous, nullptr);
}

// A pty cannot receive anything in error (it has no parity, framing or
// break), so the error is recorded the way the receive path records the
// kernel's marks on a real port; what follows is the port's own behaviour.
class LineErrorTest : public ::testing::Test {
protected:
    void SetUp() override {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(master_, 0);
        ASSERT_EQ(grantpt(master_), 0);
        ASSERT_EQ(unlockpt(master_), 0);
        ASSERT_EQ(symlink(ptsname(master_), (dirs_.dos() + "/COM7").c_str()), 0);
        port_ = CreateFileW(u"\\\\.\\COM7", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(port_, INVALID_HANDLE_VALUE);
        COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 100};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
    }
    void TearDown() override {
        CloseHandle(port_);
        close(master_);
    }
    void AbortOnError(bool on) {
        DCB dcb;
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.fAbortOnError = on;
        ASSERT_TRUE(SetCommState(port_, &dcb));
    }
    void Feed(const std::string& bytes) {
        ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }

    TempDeviceDirs dirs_;
    int master_ = -1;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(LineErrorTest, AbortOnErrorFailsIoUntilClearCommError) {
    AbortOnError(true);
    Feed("abcdef");
    char buf[8];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port_, buf, 2, &n, nullptr));
    DWORD errors = 99;
    COMSTAT stat;
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 4u) << "bytes received and not yet read";
    EXPECT_EQ(stat.cbOutQue, 0u);

    ASSERT_TRUE(velt::platform::RecordLineErrors(port_, CE_FRAME));
    EXPECT_FALSE(ReadFile(port_, buf, 2, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(port_, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_OPERATION_ABORTED));
    // A purge empties the queues but leaves the error standing.
    ASSERT_TRUE(PurgeComm(port_, PURGE_RXCLEAR | PURGE_TXCLEAR));
    EXPECT_FALSE(ReadFile(port_, buf, 2, &n, nullptr));

    ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_FRAME));
    ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(errors, 0u) << "reported once";
    Feed("gh");
    ASSERT_TRUE(ReadFile(port_, buf, 8, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "gh");
    ASSERT_TRUE(WriteFile(port_, "y", 1, &n, nullptr));
    EXPECT_EQ(n, 1u);
}

TEST_F(LineErrorTest, WithoutAbortOnErrorErrorsAreOnlyReported) {
    AbortOnError(false);
    ASSERT_TRUE(velt::platform::RecordLineErrors(port_, CE_BREAK));
    Feed("ok");
    char buf[4];
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port_, buf, 4, &n, nullptr));
    EXPECT_EQ(std::string(buf, n), "ok");
    DWORD errors = 0;
    ASSERT_TRUE(ClearCommError(port_, &errors, nullptr));
    EXPECT_EQ(errors, static_cast<DWORD>(CE_BREAK));

    EXPECT_FALSE(ClearCommError(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7777770)), &errors, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}
