// What a serial port learns from its tty besides the bytes: error marks in
// the input, line errors with fAbortOnError, and the output queue a write
// waits for.
#include <windows.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "serial_line.h"
#include "test_env.h"

using velt::platform::ParmrkDecoder;

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
    EXPECT_EQ(velt::platform::WaitForOutputDrain(queue, nullptr, perByte), 0);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(60));
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1000));

    start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::milliseconds(20);
    const int left = velt::platform::WaitForOutputDrain(queue, &deadline, perByte);
    EXPECT_GT(left, 0);
    EXPECT_LE(left, 45);
    EXPECT_GE(Clock::now(), deadline);
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
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
