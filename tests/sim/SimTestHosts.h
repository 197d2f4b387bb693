// Minimal hosts that the simulator tests write by hand: a serial port end on
// a COMn link and a client of a USB device socket.
#ifndef VELT_SIM_TEST_HOSTS_H
#define VELT_SIM_TEST_HOSTS_H

#include "serial/framing.h"

#include <velt/usbsock.h>

#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <optional>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace simtest {

// Reads from fd until `count` bytes came or `ms` passed; returns what came.
inline std::vector<uint8_t> readFor(int fd, size_t count, int ms)
{
    std::vector<uint8_t> got;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (got.size() < count) {
        int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&p, 1, left) <= 0)
            break;
        uint8_t buffer[65536];
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, count - got.size()));
        if (n <= 0)
            break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

class SerialHost {
public:
    explicit SerialHost(const std::string& path)
    {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (fd_ < 0)
            throw std::runtime_error("cannot open " + path);
        termios tio{};
        ::tcgetattr(fd_, &tio);
        ::cfmakeraw(&tio);
        ::tcsetattr(fd_, TCSANOW, &tio);
    }
    ~SerialHost() { ::close(fd_); }

    void send(const std::vector<uint8_t>& bytes) const
    {
        if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("short write");
    }
    std::vector<uint8_t> receive(size_t count, int ms = 1000) const { return readFor(fd_, count, ms); }
    // Reads one frame after skipping anything before its start byte; empty on time-out.
    std::vector<uint8_t> receiveFrame(int ms = 1000) const
    {
        std::vector<uint8_t> frame;
        while (frame.empty()) {
            auto b = receive(1, ms);
            if (b.empty())
                return {};
            if (b[0] == velt::sim::framing::kStart)
                frame = b;
        }
        auto header = receive(3, ms);
        frame.insert(frame.end(), header.begin(), header.end());
        if (frame.size() < 4)
            return {};
        auto rest = receive(size_t(frame[2] | frame[3] << 8) + 2, ms);
        frame.insert(frame.end(), rest.begin(), rest.end());
        return frame;
    }
    void sync() const
    {
        send({velt::sim::framing::kSyncRequest});
        if (receive(1) != std::vector<uint8_t>{velt::sim::framing::kSyncReply})
            throw std::runtime_error("no handshake");
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

class UsbClient {
public:
    explicit UsbClient(const std::string& socketPath)
    {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socketPath.c_str(), sizeof address.sun_path - 1);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to " + socketPath);
        auto g = readFor(fd_, 1, 2000);
        greeting_ = g.empty() ? -1 : g[0];
    }
    ~UsbClient() { ::close(fd_); }

    int greeting() const { return greeting_; }
    bool closedByPeer() const { return readFor(fd_, 1, 1000).empty(); }

    struct Reply {
        uint32_t error = 0xFFFFFFFF;
        std::vector<uint8_t> data;
    };
    Reply call(uint8_t op, uint32_t arg0, uint32_t arg1, const std::vector<uint8_t>& setup, uint32_t dataLength,
               const std::vector<uint8_t>& out = {})
    {
        std::optional<Reply> reply = callWithin(op, arg0, arg1, setup, dataLength, out, 2000);
        if (!reply)
            throw std::runtime_error("no reply");
        return *reply;
    }
    // None when no reply came within ms.
    std::optional<Reply> callWithin(uint8_t op, uint32_t arg0, uint32_t arg1, const std::vector<uint8_t>& setup,
                                    uint32_t dataLength, const std::vector<uint8_t>& out, int ms)
    {
        VusbRequest request{};
        request.sequence = ++sequence_;
        request.op = op;
        request.arg0 = arg0;
        request.arg1 = arg1;
        if (!setup.empty())
            std::memcpy(request.setup, setup.data(), std::min<size_t>(8, setup.size()));
        request.dataLength = dataLength;
        std::vector<uint8_t> bytes(sizeof request);
        std::memcpy(bytes.data(), &request, sizeof request);
        bytes.insert(bytes.end(), out.begin(), out.end());
        if (::write(fd_, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
            throw std::runtime_error("short write");
        auto head = readFor(fd_, sizeof(VusbReply), ms);
        if (head.empty())
            return std::nullopt;
        if (head.size() != sizeof(VusbReply))
            throw std::runtime_error("part of a reply");
        VusbReply reply;
        std::memcpy(&reply, head.data(), sizeof reply);
        if (reply.sequence != request.sequence)
            throw std::runtime_error("reply to another request");
        Reply result;
        result.error = reply.error;
        result.data = readFor(fd_, reply.dataLength, 2000);
        return result;
    }
    Reply control(uint8_t type, uint8_t request, uint16_t value, uint16_t length, const std::vector<uint8_t>& out = {},
                  uint16_t index = 0)
    {
        std::vector<uint8_t> setup{type, request, uint8_t(value), uint8_t(value >> 8), uint8_t(index),
                                   uint8_t(index >> 8), uint8_t(length), uint8_t(length >> 8)};
        bool in = type & 0x80;
        return call(VUSB_OP_CONTROL, 0, 0, setup, in ? length : static_cast<uint32_t>(out.size()), out);
    }
    std::optional<Reply> controlWithin(uint8_t type, uint8_t request, uint16_t value, uint16_t length, int ms)
    {
        std::vector<uint8_t> setup{type, request, uint8_t(value), uint8_t(value >> 8), 0, 0, uint8_t(length),
                                   uint8_t(length >> 8)};
        return callWithin(VUSB_OP_CONTROL, 0, 0, setup, length, {}, ms);
    }

private:
    int fd_ = -1;
    int greeting_ = -1;
    uint32_t sequence_ = 0;
};

} // namespace simtest

#endif
