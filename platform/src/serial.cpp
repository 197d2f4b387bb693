// Serial ports: a DOS name of the dosdevices directory opened as a tty, with
// Windows' exclusive open, COMMTIMEOUTS and DCB semantics.
#include <windows.h>

#include <velt/com_ports.h>

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>

#include "comm_port.h"
#include "deadline.h"
#include "dosdevices.h"
#include "serial_line.h"
#include "text.h"
#include "tty.h"

namespace velt::platform {
namespace {

using Clock = Deadline::Clock;

// What a DCB says that termios does not hold: kept per open port and
// reported back by GetCommState.
struct DcbExtras {
    bool parityCheck = false;
    bool ctsOut = false;
    unsigned dtrControl = DTR_CONTROL_ENABLE;
    unsigned rtsControl = RTS_CONTROL_ENABLE;
    bool txContinueOnXoff = false;
    bool abortOnError = false;
    WORD xonLim = 2048;
    WORD xoffLim = 512;
    char eofChar = 0;
    char evtChar = 0;
};

class SerialPort final : public CommPort {
public:
    // A pty has no wire: nothing on it can be received in error (no parity,
    // no framing, no break), so its input is not marked, which also keeps
    // the kernel's fast path for it.
    // cppcheck-suppress uninitMemberVar ; rx_ holds bytes between rxHead_ and rxTail_ only
    SerialPort(int fd, bool isPty) : fd_(fd), isPty_(isPty), markErrors_(!isPty) {
        hasCounters_ = ioctl(fd_, TIOCGICOUNT, &counters_) == 0;
    }

    ~SerialPort() override {
        if (!isPty_)
            ioctl(fd_, TIOCNXCL);
        close(fd_);
    }

    BOOL Read(void* buffer, DWORD size, DWORD* done) override;
    BOOL Write(const void* buffer, DWORD size, DWORD* done) override;

    BOOL Purge(DWORD flags) override;
    BOOL GetState(DCB& dcb) override;
    BOOL SetState(const DCB& dcb) override;
    BOOL ClearErrors(DWORD* errors, COMSTAT* stat) override;
    void RecordErrors(DWORD errors) override { errors_.fetch_or(errors); }

    // One character at the current rate, 10 bits a byte.
    std::chrono::microseconds ByteTime() const {
        const uint32_t baud = baud_.load();
        return std::chrono::microseconds(baud ? 10000000ull / baud : 0);
    }

    COMMTIMEOUTS Timeouts() override {
        std::lock_guard<std::mutex> g(mu_);
        return timeouts_;
    }
    void SetTimeouts(const COMMTIMEOUTS& t) override {
        std::lock_guard<std::mutex> g(mu_);
        timeouts_ = t;
    }

private:
    // Moves up to size received bytes into out: first what the receive
    // buffer holds, else what the tty has now (never waits). Returns the
    // count, 0 when nothing has arrived, -1 when the line failed.
    ssize_t Receive(unsigned char* out, DWORD size);
    size_t TakeBuffered(unsigned char* out, size_t size);
    // Strips the kernel's error marks from bytes just read and records the
    // errors; returns the data bytes left. Under rxMu_.
    size_t Unmark(unsigned char* bytes, size_t size);
    // Errors the driver counted since the last look (CE_ flags). Under rxMu_.
    DWORD CountedErrors();
    // With fAbortOnError, a recorded error fails reads and writes.
    bool Aborting() const { return abortOnError_.load() && errors_.load() != 0; }

    const int fd_;
    const bool isPty_;
    const bool markErrors_;
    std::atomic<DWORD> errors_{0};
    std::atomic<bool> abortOnError_{false};
    std::atomic<bool> parityOn_{false};
    std::atomic<uint32_t> baud_{0};

    // The receive buffer a serial driver keeps: the tty is drained in bulk
    // and ReadFile is served from here, so a protocol reading a frame piece
    // by piece costs one read(2) per arrival rather than one per piece.
    // rxMu_ is held only while the buffer or the tty queue changes, never
    // while a reader waits, so that PurgeComm can always empty both.
    static constexpr size_t kRxBufferSize = 4096;
    std::mutex rxMu_;
    unsigned char rx_[kRxBufferSize];
    size_t rxHead_ = 0;
    size_t rxTail_ = 0;
    ParmrkDecoder decoder_;
    bool hasCounters_ = false;
    struct serial_icounter_struct counters_ {};

    std::mutex mu_;  // guards the settings below, not the I/O
    COMMTIMEOUTS timeouts_{};
    DcbExtras extras_;
    // A pty has no line: what was asked for is remembered and reported.
    int ptyDataBits_ = 8;
    int ptyParity_ = NOPARITY;
    bool ptyTwoStopBits_ = false;
};

size_t SerialPort::TakeBuffered(unsigned char* out, size_t size) {
    const size_t n = std::min(size, rxTail_ - rxHead_);
    if (n == 0)
        return 0;
    memcpy(out, rx_ + rxHead_, n);
    rxHead_ += n;
    if (rxHead_ == rxTail_)
        rxHead_ = rxTail_ = 0;
    return n;
}

ssize_t SerialPort::Receive(unsigned char* out, DWORD size) {
    std::lock_guard<std::mutex> g(rxMu_);
    if (rxHead_ != rxTail_)
        return static_cast<ssize_t>(TakeBuffered(out, size));
    for (;;) {
        // A request at least as large as the buffer is read straight into
        // the caller's memory; anything smaller takes whatever has arrived.
        const bool direct = size >= kRxBufferSize;
        unsigned char* into = direct ? out : rx_;
        ssize_t r = read(fd_, into, direct ? size : kRxBufferSize);
        if (r > 0) {
            const size_t n = Unmark(into, static_cast<size_t>(r));
            if (direct)
                return static_cast<ssize_t>(n);
            rxTail_ = n;
            return static_cast<ssize_t>(TakeBuffered(out, size));
        }
        if (r < 0 && errno == EINTR)
            continue;
        return r < 0 && errno != EAGAIN ? -1 : 0;
    }
}

size_t SerialPort::Unmark(unsigned char* bytes, size_t size) {
    DWORD errors = CountedErrors();
    if (markErrors_) {
        ParmrkDecoder::Marks marks;
        size = decoder_.Decode(bytes, size, marks);
        // Without the driver's counters a mark cannot say which error it was.
        if (marks.errors && !(errors & (CE_FRAME | CE_RXPARITY)))
            errors |= parityOn_.load() ? CE_RXPARITY : CE_FRAME;
        if (marks.breaks && !(errors & CE_BREAK))
            errors |= CE_BREAK;
    }
    if (errors)
        RecordErrors(errors);
    return size;
}

DWORD SerialPort::CountedErrors() {
    struct serial_icounter_struct now {};
    if (!hasCounters_ || ioctl(fd_, TIOCGICOUNT, &now) != 0)
        return 0;
    DWORD errors = 0;
    if (now.frame != counters_.frame)
        errors |= CE_FRAME;
    if (now.parity != counters_.parity)
        errors |= CE_RXPARITY;
    if (now.brk != counters_.brk)
        errors |= CE_BREAK;
    if (now.overrun != counters_.overrun)
        errors |= CE_OVERRUN;
    if (now.buf_overrun != counters_.buf_overrun)
        errors |= CE_RXOVER;
    counters_ = now;
    return errors;
}

BOOL SerialPort::ClearErrors(DWORD* errors, COMSTAT* stat) {
    // Called before every exchange: without counters or queue sizes to read
    // there is nothing to lock for.
    if (!hasCounters_ && !stat) {
        const DWORD all = errors_.exchange(0);
        if (errors)
            *errors = all;
        return TRUE;
    }
    std::lock_guard<std::mutex> g(rxMu_);
    const DWORD counted = CountedErrors();
    const DWORD all = errors_.exchange(0) | counted;
    if (errors)
        *errors = all;
    if (stat) {
        memset(stat, 0, sizeof *stat);
        int in = 0, out = 0;
        ioctl(fd_, TIOCINQ, &in);
        ioctl(fd_, TIOCOUTQ, &out);
        stat->cbInQue = static_cast<DWORD>(rxTail_ - rxHead_) + static_cast<DWORD>(in > 0 ? in : 0);
        stat->cbOutQue = static_cast<DWORD>(out > 0 ? out : 0);
    }
    return TRUE;
}

// ReadFile under COMMTIMEOUTS, as a Windows serial driver times it:
//  - interval MAXDWORD, both totals 0: whatever is buffered, at once;
//  - interval and multiplier MAXDWORD, constant between: return as soon as
//    any byte is there, else after the constant;
//  - all zero: wait for every byte;
//  - otherwise the total limit is multiplier * size + constant (none when
//    both are 0), and a non-zero interval limits the gap between bytes once
//    the first one has come.
// A read that runs out of time succeeds with the bytes it got.
// A line error with fAbortOnError set fails the read at once, or as soon
// as it is seen, with the bytes moved so far.
BOOL SerialPort::Read(void* buffer, DWORD size, DWORD* done) {
    unsigned char* out = static_cast<unsigned char*>(buffer);
    DWORD got = 0;
    if (Aborting()) {
        *done = 0;
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    {
        // Bytes already received complete a read at once under any time-outs.
        std::lock_guard<std::mutex> g(rxMu_);
        got = static_cast<DWORD>(TakeBuffered(out, size));
    }
    if (got == size) {
        *done = got;
        return TRUE;
    }

    const COMMTIMEOUTS t = Timeouts();
    const Clock::time_point start = Clock::now();
    const bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    const bool anyByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                         t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    const bool totalLimit = t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0;
    const uint64_t totalMs = anyByte ? t.ReadTotalTimeoutConstant
                                     : uint64_t(t.ReadTotalTimeoutMultiplier) * size + t.ReadTotalTimeoutConstant;
    const Deadline total = totalLimit ? Deadline::After(totalMs, start) : Deadline::Never();
    const bool intervalLimit = !anyByte && !immediate && t.ReadIntervalTimeout != 0;

    Clock::time_point lastByte = start;
    // A hung-up tty polls readable for ever and reads as empty: once the
    // wait says so and nothing more comes, the line is gone, and waiting
    // out the time-out would only spin.
    bool hungUp = false;
    while (got < size) {
        ssize_t r = Receive(out + got, size - got);
        if (r == 0 && hungUp)
            r = -1;
        if (Aborting()) {
            *done = got + static_cast<DWORD>(r > 0 ? r : 0);
            SetLastError(ERROR_OPERATION_ABORTED);
            return FALSE;
        }
        if (r > 0) {
            got += static_cast<DWORD>(r);
            lastByte = Clock::now();
            if (anyByte)
                break;
            continue;
        }
        if (r < 0) {
            *done = got;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        if (immediate || (anyByte && got > 0))
            break;
        // Nothing buffered: wait for the nearer of the two limits.
        const Deadline deadline = intervalLimit && got > 0
                                      ? total.Earlier(Deadline::After(t.ReadIntervalTimeout, lastByte))
                                      : total;
        const Readiness w = PollUntil(fd_, POLLIN, deadline);
        if (w == Readiness::TimedOut)
            break;
        hungUp = w == Readiness::ReadyHungUp;
        if (w == Readiness::Lost) {
            *done = got;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
    }
    *done = got;
    return TRUE;
}

// WriteFile bounded by multiplier * size + constant (no bound when both are
// 0), and complete only once the bytes have left the output queue, as a
// synchronous write to a Windows serial port is: otherwise the purge at the
// start of the next exchange could drop an acknowledgement still queued.
// When time runs out the call succeeds with the bytes that went out, which
// is what a Windows serial driver reports for a write time-out; the bytes
// still queued are dropped, as that driver never sends them.
BOOL SerialPort::Write(const void* buffer, DWORD size, DWORD* done) {
    if (Aborting()) {
        *done = 0;
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    const COMMTIMEOUTS t = Timeouts();
    const bool limited = t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0;
    const Deadline deadline =
        limited ? Deadline::After(uint64_t(t.WriteTotalTimeoutMultiplier) * size + t.WriteTotalTimeoutConstant)
                : Deadline::Never();
    const unsigned char* in = static_cast<const unsigned char*>(buffer);
    DWORD sent = 0;
    while (sent < size) {
        ssize_t r = write(fd_, in + sent, size - sent);
        if (r > 0) {
            sent += static_cast<DWORD>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN) {
            *done = sent;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        const Readiness w = PollUntil(fd_, POLLOUT, deadline);
        if (w == Readiness::TimedOut)
            break;
        if (w == Readiness::Lost) {
            *done = sent;
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
    }
    // A pty's output queue is always empty (its bytes are in the peer's
    // input at once): nothing to wait for, and no call to pay for it.
    const int queued = isPty_ ? 0
                              : WaitForOutputDrain(
                                    [this] {
                                        int n = 0;
                                        return ioctl(fd_, TIOCOUTQ, &n) == 0 ? n : 0;
                                    },
                                    deadline, ByteTime());
    if (queued > 0) {
        TtyFlush(fd_, 1);
        sent -= std::min<DWORD>(sent, static_cast<DWORD>(queued));
    }
    *done = sent;
    if (Aborting()) {
        SetLastError(ERROR_OPERATION_ABORTED);
        return FALSE;
    }
    return TRUE;
}

BOOL SerialPort::Purge(DWORD flags) {
    if (flags & ~DWORD(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // I/O here is synchronous, so there is never a pending request to abort:
    // an abort flag empties its direction like the matching clear flag.
    const bool rx = flags & (PURGE_RXABORT | PURGE_RXCLEAR);
    const bool tx = flags & (PURGE_TXABORT | PURGE_TXCLEAR);
    if (!rx && !tx)
        return TRUE;
    // Under the receive lock, so that no reader refills the buffer with
    // bytes from before the purge.
    std::lock_guard<std::mutex> g(rxMu_);
    if (rx) {
        rxHead_ = rxTail_ = 0;
        decoder_.Reset();  // half a mark is dropped with the bytes around it
    }
    if (TtyFlush(fd_, rx && tx ? 2 : (rx ? 0 : 1)) != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    return TRUE;
}

BOOL SerialPort::GetState(DCB& dcb) {
    TtyLine line;
    if (TtyGetLine(fd_, line) != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    std::lock_guard<std::mutex> g(mu_);
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = line.baudRate;
    dcb.fBinary = 1;
    dcb.fParity = extras_.parityCheck;
    // Linux has one flag for both directions of the handshake; report the
    // flags that asked for it, or both when it was set from elsewhere.
    const bool ours = extras_.ctsOut || extras_.rtsControl == RTS_CONTROL_HANDSHAKE;
    // The extras came from these 2-bit fields; the masks only say so.
    if (line.rtsCts) {
        dcb.fOutxCtsFlow = ours ? extras_.ctsOut : true;
        dcb.fRtsControl = (ours ? extras_.rtsControl : RTS_CONTROL_HANDSHAKE) & 3u;
    } else {
        dcb.fOutxCtsFlow = 0;
        dcb.fRtsControl =
            (ours && extras_.rtsControl == RTS_CONTROL_HANDSHAKE ? RTS_CONTROL_ENABLE : extras_.rtsControl) & 3u;
    }
    dcb.fDtrControl = extras_.dtrControl & 3u;
    dcb.fTXContinueOnXoff = extras_.txContinueOnXoff;
    dcb.fOutX = line.xonXoffOut;
    dcb.fInX = line.xonXoffIn;
    dcb.fAbortOnError = extras_.abortOnError;
    dcb.XonLim = extras_.xonLim;
    dcb.XoffLim = extras_.xoffLim;
    if (isPty_) {
        dcb.ByteSize = static_cast<BYTE>(ptyDataBits_);
        dcb.Parity = static_cast<BYTE>(ptyParity_);
        dcb.StopBits = ptyTwoStopBits_ ? TWOSTOPBITS : ONESTOPBIT;
    } else {
        dcb.ByteSize = static_cast<BYTE>(line.dataBits);
        dcb.Parity = static_cast<BYTE>(line.parity);
        dcb.StopBits = line.twoStopBits ? TWOSTOPBITS : ONESTOPBIT;
    }
    dcb.XonChar = static_cast<char>(line.xonChar);
    dcb.XoffChar = static_cast<char>(line.xoffChar);
    dcb.EofChar = extras_.eofChar;
    dcb.EvtChar = extras_.evtChar;
    return TRUE;
}

// Sets the modem line when the driver has modem lines at all; a tty without
// them (a pty, some virtual ports) has nothing to drive.
bool DriveModemLine(int fd, int bit, bool on) {
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bit) == 0)
        return true;
    return errno == ENOTTY || errno == EINVAL;
}

// A setting this host cannot give a port fails the whole call with
// ERROR_INVALID_PARAMETER and changes nothing; it is never dropped quietly.
BOOL SerialPort::SetState(const DCB& dcb) {
    const bool supported = dcb.BaudRate != 0 && dcb.ByteSize >= 5 && dcb.ByteSize <= 8 &&
                           dcb.Parity <= SPACEPARITY &&
                           (dcb.StopBits == ONESTOPBIT || dcb.StopBits == TWOSTOPBITS) &&  // no 1.5 here
                           !dcb.fOutxDsrFlow && !dcb.fDsrSensitivity && dcb.fDtrControl != DTR_CONTROL_HANDSHAKE &&
                           dcb.fRtsControl != RTS_CONTROL_TOGGLE && !dcb.fNull && !dcb.fErrorChar &&
                           !((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar);
    if (!supported) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    TtyLine line;
    line.baudRate = dcb.BaudRate;
    line.dataBits = dcb.ByteSize;
    line.parity = dcb.Parity;
    line.twoStopBits = dcb.StopBits == TWOSTOPBITS;
    line.rtsCts = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
    line.xonXoffOut = dcb.fOutX;
    line.xonXoffIn = dcb.fInX;
    line.checkParity = dcb.fParity;
    line.xonChar = static_cast<unsigned char>(dcb.XonChar);
    line.xoffChar = static_cast<unsigned char>(dcb.XoffChar);
    line.markErrors = markErrors_;

    std::lock_guard<std::mutex> g(mu_);
    int e = TtySetLine(fd_, line, isPty_);
    if (e != 0) {
        SetLastError(e == -1 || e == EINVAL ? ERROR_INVALID_PARAMETER : ERROR_GEN_FAILURE);
        return FALSE;
    }
    bool linesOk = DriveModemLine(fd_, TIOCM_DTR, dcb.fDtrControl == DTR_CONTROL_ENABLE);
    if (!line.rtsCts)
        linesOk = DriveModemLine(fd_, TIOCM_RTS, dcb.fRtsControl == RTS_CONTROL_ENABLE) && linesOk;
    if (!linesOk) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    extras_.parityCheck = dcb.fParity;
    extras_.ctsOut = dcb.fOutxCtsFlow;
    extras_.dtrControl = dcb.fDtrControl;
    extras_.rtsControl = dcb.fRtsControl;
    extras_.txContinueOnXoff = dcb.fTXContinueOnXoff;
    extras_.abortOnError = dcb.fAbortOnError;
    abortOnError_ = dcb.fAbortOnError != 0;
    parityOn_ = dcb.Parity != NOPARITY;
    baud_ = dcb.BaudRate;
    extras_.xonLim = dcb.XonLim;
    extras_.xoffLim = dcb.XoffLim;
    extras_.eofChar = dcb.EofChar;
    extras_.evtChar = dcb.EvtChar;
    ptyDataBits_ = dcb.ByteSize;
    ptyParity_ = dcb.Parity;
    ptyTwoStopBits_ = line.twoStopBits;
    return TRUE;
}

DWORD ErrorFromOpenErrno(int e) {
    switch (e) {
    case ENOENT:
    case ENOTDIR:
    case ENXIO:
    case ENODEV:
    case ELOOP:
        return ERROR_FILE_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EBUSY:
        return ERROR_ACCESS_DENIED;
    default:
        return ERROR_GEN_FAILURE;
    }
}

bool IsPtySlave(int fd) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    unsigned m = major(st.st_rdev);
    return m >= 136 && m <= 143;  // Unix98 pty slaves
}

std::atomic<CommPortFactory> portFactory{nullptr};

std::shared_ptr<CommPort> FindPort(HANDLE h) {
    std::shared_ptr<CommPort> port = FindHandleAs<CommPort>(h);
    if (!port)
        SetLastError(ERROR_INVALID_HANDLE);
    return port;
}

}  // namespace

// A COM port is exclusive on Windows, against every other opener. Here a
// second open fails with ERROR_ACCESS_DENIED: flock() on the tty stops any
// other opener that checks it (this layer always does, root included), and
// on a real port TIOCEXCL stops every other non-root open at the kernel. A
// pty slave gets no TIOCEXCL: its flag lives as long as the pty, not the
// descriptor, so a host killed before it could close would leave a
// simulator's port unopenable; flock ends with the process.
HANDLE OpenSerialPort(const std::u16string& dosName) {
    if (CommPortFactory factory = portFactory.load()) {
        if (std::shared_ptr<CommPort> port = factory(dosName))
            return RegisterHandle(std::move(port));
    }
    // A dosdevices entry is opened through its link; a discovered port
    // through its /dev node.
    std::optional<std::string> entry = FindDosDevice(dosName);
    if (!entry) {
        const velt::ComPort port = velt::FindComPort(Utf16ToUtf8(dosName));
        if (!port.node.empty())
            entry = port.node;
    }
    if (!entry) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd = open(entry->c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        SetLastError(ErrorFromOpenErrno(errno));
        return INVALID_HANDLE_VALUE;
    }
    if (!isatty(fd)) {  // the name does not lead to a serial port
        close(fd);
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        DWORD err = errno == EWOULDBLOCK ? ERROR_ACCESS_DENIED : ERROR_GEN_FAILURE;
        close(fd);
        SetLastError(err);
        return INVALID_HANDLE_VALUE;
    }
    const bool isPty = IsPtySlave(fd);
    if (!isPty)
        ioctl(fd, TIOCEXCL);
    if (TtyMakeRaw(fd) != 0) {
        close(fd);
        SetLastError(ERROR_GEN_FAILURE);
        return INVALID_HANDLE_VALUE;
    }
    auto port = std::make_shared<SerialPort>(fd, isPty);
    return RegisterHandle(std::move(port));
}

void SetCommPortFactory(CommPortFactory factory) {
    portFactory.store(factory);
}

BOOL RecordLineErrors(HANDLE h, DWORD errors) {
    std::shared_ptr<CommPort> port = FindPort(h);
    if (!port)
        return FALSE;
    port->RecordErrors(errors);
    return TRUE;
}

}  // namespace velt::platform

using namespace velt::platform;

extern "C" {

BOOL WINAPI ClearCommError(HANDLE hFile, LPDWORD lpErrors, LPCOMSTAT lpStat) {
    std::shared_ptr<CommPort> port = FindPort(hFile);
    return port ? port->ClearErrors(lpErrors, lpStat) : FALSE;
}

BOOL WINAPI PurgeComm(HANDLE hFile, DWORD dwFlags) {
    std::shared_ptr<CommPort> port = FindPort(hFile);
    return port ? port->Purge(dwFlags) : FALSE;
}

BOOL WINAPI GetCommState(HANDLE hFile, LPDCB lpDCB) {
    std::shared_ptr<CommPort> port = FindPort(hFile);
    if (!port)
        return FALSE;
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->GetState(*lpDCB);
}

BOOL WINAPI SetCommState(HANDLE hFile, LPDCB lpDCB) {
    std::shared_ptr<CommPort> port = FindPort(hFile);
    if (!port)
        return FALSE;
    if (!lpDCB) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return port->SetState(*lpDCB);
}

BOOL WINAPI GetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    std::shared_ptr<CommPort> port = FindPort(hFile);
    if (!port)
        return FALSE;
    if (!lpCommTimeouts) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *lpCommTimeouts = port->Timeouts();
    return TRUE;
}

BOOL WINAPI SetCommTimeouts(HANDLE hFile, LPCOMMTIMEOUTS lpCommTimeouts) {
    std::shared_ptr<CommPort> port = FindPort(hFile);
    if (!port)
        return FALSE;
    // All three read values MAXDWORD is the one combination Windows refuses.
    if (!lpCommTimeouts || (lpCommTimeouts->ReadIntervalTimeout == MAXDWORD &&
                            lpCommTimeouts->ReadTotalTimeoutMultiplier == MAXDWORD &&
                            lpCommTimeouts->ReadTotalTimeoutConstant == MAXDWORD)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    port->SetTimeouts(*lpCommTimeouts);
    return TRUE;
}

}  // extern "C"
