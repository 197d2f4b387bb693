// Only the kernel's termios headers: glibc's struct termios cannot carry a
// rate outside the Bnnn table, termios2 can.
#include "HostLine.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace velt::sim {

std::optional<HostLineSettings> readHostLine(int masterFd)
{
    struct termios2 t;
    if (ioctl(masterFd, TCGETS2, &t) != 0)
        return std::nullopt;
    HostLineSettings line;
    line.baud = t.c_ospeed;
    unsigned data = 8;
    switch (t.c_cflag & CSIZE) {
    case CS5: data = 5; break;
    case CS6: data = 6; break;
    case CS7: data = 7; break;
    default: break;
    }
    line.bitsPerChar = 1 + data + ((t.c_cflag & PARENB) ? 1 : 0) + ((t.c_cflag & CSTOPB) ? 2 : 1);
    return line;
}

} // namespace velt::sim
