// Line settings of a tty through the kernel's termios2 interface, which
// carries any baud rate (BOTHER), not only the fixed Bnnn set.
#ifndef VELT_PLATFORM_TTY_H
#define VELT_PLATFORM_TTY_H

#include <cstdint>

namespace velt::platform {

struct TtyLine {
    uint32_t baudRate = 0;
    int dataBits = 8;       // 5..8
    int parity = 0;         // Windows codes: 0 none, 1 odd, 2 even, 3 mark, 4 space
    bool twoStopBits = false;
    bool rtsCts = false;    // hardware handshake
    bool xonXoffOut = false;  // honour XON/XOFF from the peer
    bool xonXoffIn = false;   // send XON/XOFF to the peer
    bool checkParity = false;  // input parity checking (INPCK)
    // Mark received errors in the input (PARMRK): a parity or framing error,
    // and a break. Framing errors are only marked with INPCK, which is
    // therefore also set without parity.
    bool markErrors = false;
    unsigned char xonChar = 0x11;
    unsigned char xoffChar = 0x13;
};

// Raw 8-bit mode without echo or line editing, reads never block in the
// kernel (the caller waits with poll), receiver on, modem lines ignored.
// Keeps the current rate. Returns 0 or errno.
int TtyMakeRaw(int fd);

// Returns 0 or errno.
int TtyGetLine(int fd, TtyLine& line);

// Applies line and reads it back. Returns 0, errno of a failed call, or -1
// when the driver did not keep what was asked; then the previous settings are
// restored. On a pty only the rate and the handshake are compared: a pty has
// no wire, and its driver forces 8 data bits without parity.
int TtySetLine(int fd, const TtyLine& line, bool isPty);

// Discards what the kernel holds for the tty; which: 0 input, 1 output,
// 2 both. Returns 0 or errno.
int TtyFlush(int fd, int which);

}  // namespace velt::platform

#endif
