// Only the kernel's own termios headers here: glibc's <termios.h> declares a
// different struct termios and cannot be mixed with termios2.
#include "tty.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cerrno>
#include <cstdlib>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace velt::platform {
namespace {

int Get(int fd, struct termios2& t) { return ioctl(fd, TCGETS2, &t) == 0 ? 0 : errno; }
int Set(int fd, const struct termios2& t) { return ioctl(fd, TCSETS2, &t) == 0 ? 0 : errno; }

bool RateClose(uint32_t got, uint32_t want) {
    // A UART divisor rarely hits a rate exactly; 2% is what a receiver
    // tolerates and what the kernel itself treats as the same rate.
    uint64_t diff = got > want ? got - want : want - got;
    return diff * 50 <= want;
}

// The Bnnn code of a rate in the classic table, or BOTHER. A classic code
// keeps the rate readable by every termios user, not only termios2 ones.
tcflag_t BaudCode(uint32_t rate) {
    static const struct {
        uint32_t rate;
        tcflag_t code;
    } kTable[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},       {150, B150},
                  {200, B200},       {300, B300},       {600, B600},       {1200, B1200},     {1800, B1800},
                  {2400, B2400},     {4800, B4800},     {9600, B9600},     {19200, B19200},   {38400, B38400},
                  {57600, B57600},   {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
                  {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000},
                  {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
                  {3500000, B3500000}, {4000000, B4000000}};
    for (const auto& e : kTable)
        if (e.rate == rate)
            return e.code;
    return BOTHER;
}

// Whether the queue that request (TIOCINQ or TIOCOUTQ) measures holds any
// byte; a driver that cannot tell is taken to hold some.
bool Pending(int fd, unsigned long request) {
    int count = 0;
    return ioctl(fd, request, &count) != 0 || count != 0;
}

}  // namespace

int TtyMakeRaw(int fd) {
    struct termios2 t;
    if (int e = Get(fd, t))
        return e;
    t.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    return Set(fd, t);
}

int TtyGetLine(int fd, TtyLine& line) {
    struct termios2 t;
    if (int e = Get(fd, t))
        return e;
    line.baudRate = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
    case CS5: line.dataBits = 5; break;
    case CS6: line.dataBits = 6; break;
    case CS7: line.dataBits = 7; break;
    default: line.dataBits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        line.parity = 0;
    else if (t.c_cflag & CMSPAR)
        line.parity = (t.c_cflag & PARODD) ? 3 : 4;
    else
        line.parity = (t.c_cflag & PARODD) ? 1 : 2;
    line.twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line.rtsCts = (t.c_cflag & CRTSCTS) != 0;
    line.xonXoffOut = (t.c_iflag & IXON) != 0;
    line.xonXoffIn = (t.c_iflag & IXOFF) != 0;
    line.checkParity = (t.c_iflag & INPCK) != 0 && (t.c_cflag & PARENB);
    line.markErrors = (t.c_iflag & PARMRK) != 0;
    line.xonChar = t.c_cc[VSTART];
    line.xoffChar = t.c_cc[VSTOP];
    return 0;
}

int TtySetLine(int fd, const TtyLine& line, bool isPty) {
    struct termios2 old;
    if (int e = Get(fd, old))
        return e;
    struct termios2 t = old;
    t.c_cflag &= ~(CBAUD | CIBAUD | CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    t.c_cflag |= BaudCode(line.baudRate);
    t.c_ospeed = t.c_ispeed = line.baudRate;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[line.dataBits - 5];
    switch (line.parity) {
    case 1: t.c_cflag |= PARENB | PARODD; break;
    case 2: t.c_cflag |= PARENB; break;
    case 3: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t.c_cflag |= PARENB | CMSPAR; break;
    default: break;
    }
    if (line.twoStopBits)
        t.c_cflag |= CSTOPB;
    if (line.rtsCts)
        t.c_cflag |= CRTSCTS;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | INPCK | PARMRK | IGNPAR | IGNBRK | BRKINT);
    if (line.xonXoffOut)
        t.c_iflag |= IXON;
    if (line.xonXoffIn)
        t.c_iflag |= IXOFF;
    if (line.checkParity && line.parity != 0)
        t.c_iflag |= INPCK;
    if (line.markErrors) {
        t.c_iflag |= PARMRK;
        if (line.parity == 0)
            t.c_iflag |= INPCK;
    }
    t.c_cc[VSTART] = line.xonChar;
    t.c_cc[VSTOP] = line.xoffChar;
    if (int e = Set(fd, t))
        return e;

    TtyLine got;
    if (int e = TtyGetLine(fd, got)) {
        Set(fd, old);
        return e;
    }
    bool kept = RateClose(got.baudRate, line.baudRate) && got.rtsCts == line.rtsCts;
    if (!isPty)
        kept = kept && got.dataBits == line.dataBits && got.parity == line.parity &&
               got.twoStopBits == line.twoStopBits;
    if (!kept) {
        Set(fd, old);
        return -1;
    }
    return 0;
}

int TtyFlush(int fd, int which) {
    static const int kQueues[] = {TCIFLUSH, TCOFLUSH, TCIOFLUSH};
    // Only a queue that holds something is flushed. Asking for a queue's
    // length is cheap; the flush itself is not: on a pty an input flush
    // costs about as much as a whole round trip, and a port is purged
    // before every transfer. A byte that arrives between the question and
    // the answer arrived after the purge, as it could have anyway.
    const bool in = which != 1 && Pending(fd, TIOCINQ);
    const bool out = which != 0 && Pending(fd, TIOCOUTQ);
    if (!in && !out)
        return 0;
    return ioctl(fd, TCFLSH, kQueues[in && out ? 2 : (in ? 0 : 1)]) == 0 ? 0 : errno;
}

}  // namespace velt::platform
