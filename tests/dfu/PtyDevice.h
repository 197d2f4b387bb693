// The device end of a serial line: the master side of a pty whose slave is
// linked into a dosdevices directory, so the library opens it as a COM port
// and the test plays the device byte by byte.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "serial/framing.h"

namespace velt::test {

using Bytes = std::vector<uint8_t>;

// A frame as the device sends it. The device side's own codec, not the
// library's: a device is an outside party, and the bytes the library must
// accept are checked against a second implementation of the format.
inline Bytes Frame(const Bytes& payload, uint8_t second = 0x00)
{
    return velt::sim::framing::encodeFrame(payload, second);
}

class PtyDevice
{
public:
    PtyDevice(const TempDir& dosDevices, const std::string& comName)
    {
        m_master = posix_openpt(O_RDWR | O_NOCTTY);
        if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0)
            throw std::runtime_error("cannot create a pty");
        termios settings {};
        tcgetattr(m_master, &settings);
        cfmakeraw(&settings);
        tcsetattr(m_master, TCSANOW, &settings);
        m_slave = ptsname(m_master);
        dosDevices.Link(comName, m_slave);
        m_path = "\\\\.\\" + comName;
    }
    ~PtyDevice() { HangUp(); }
    PtyDevice(const PtyDevice&) = delete;
    PtyDevice& operator=(const PtyDevice&) = delete;

    const std::string& path() const { return m_path; }
    // The device end goes away: the host's side of the pty is hung up.
    void HangUp()
    {
        if (m_master >= 0)
            close(m_master);
        m_master = -1;
    }
    const std::string& slave() const { return m_slave; }

    // Reads exactly count bytes, or what arrived before the deadline.
    Bytes Read(size_t count, int timeoutMs = 2000)
    {
        Bytes bytes;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (bytes.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd ready {m_master, POLLIN, 0};
            if (poll(&ready, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t chunk[4096];
            const size_t want = count - bytes.size() < sizeof(chunk) ? count - bytes.size() : sizeof(chunk);
            const ssize_t got = read(m_master, chunk, want);
            if (got <= 0)
                break;
            bytes.insert(bytes.end(), chunk, chunk + got);
        }
        return bytes;
    }

    // Everything that arrives within the quiet period.
    Bytes Drain(int quietMs = 100)
    {
        Bytes all;
        for (;;) {
            Bytes more = Read(4096, quietMs);
            if (more.empty())
                return all;
            all.insert(all.end(), more.begin(), more.end());
        }
    }

    void Write(const Bytes& bytes)
    {
        size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(m_master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                throw std::runtime_error("pty write failed");
            done += static_cast<size_t>(n);
        }
    }

private:
    int m_master = -1;
    std::string m_slave;
    std::string m_path;
};

} // namespace velt::test
