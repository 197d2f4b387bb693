// A USB device that a test scripts request by request: it listens in a USB
// device directory as the socket protocol of velt/usbsock.h describes, so
// the library opens it by its path like any simulated device, and every
// request after the pipe policies goes to the test's handler, which answers
// with raw bytes (any sequence number, error or length) or hangs up.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <velt/usbsock.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"

namespace velt::test {

class ScriptedUsbPeer
{
public:
    using Bytes = std::vector<uint8_t>;
    struct Answer {
        Bytes bytes;          // sent as they are
        bool hangUp = false;  // then the connection is closed
    };
    using Handler = std::function<Answer(const VusbRequest& request, const Bytes& outData)>;

    static constexpr const char* kPath =
        "\\\\?\\usb#vid_0483&pid_df11#HOSTILE1#{04c77e93-b54d-4714-ac96-15a62bfa307b}";

    ScriptedUsbPeer(const TempDir& dir, Handler handler) : m_handler(std::move(handler))
    {
        const std::string socketPath = dir.path() + "/hostile.sock";
        m_listen = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr {};
        addr.sun_family = AF_UNIX;
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
        if (m_listen < 0 || bind(m_listen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(m_listen, 1) != 0)
            throw std::runtime_error("cannot listen on " + socketPath);
        const std::string dev = dir.path() + "/hostile.dev";
        if (FILE* f = std::fopen((dev + ".tmp").c_str(), "w")) {
            std::fprintf(f, "path=%s\nguid={04C77E93-B54D-4714-AC96-15A62BFA307B}\n", kPath);
            std::fclose(f);
        }
        std::rename((dev + ".tmp").c_str(), dev.c_str());
        m_thread = std::thread([this] { Run(); });
    }

    ~ScriptedUsbPeer()
    {
        m_stop = true;
        shutdown(m_listen, SHUT_RDWR);
        if (m_thread.joinable())
            m_thread.join();
        close(m_listen);
    }

    ScriptedUsbPeer(const ScriptedUsbPeer&) = delete;
    ScriptedUsbPeer& operator=(const ScriptedUsbPeer&) = delete;

    // A reply header and its data, with the length the data has or another.
    static Bytes Reply(uint32_t sequence, uint32_t error, const Bytes& data, uint32_t claimedLength)
    {
        VusbReply reply {sequence, error, claimedLength};
        Bytes bytes(sizeof reply);
        std::memcpy(bytes.data(), &reply, sizeof reply);
        bytes.insert(bytes.end(), data.begin(), data.end());
        return bytes;
    }
    static Bytes Reply(uint32_t sequence, const Bytes& data)
    {
        return Reply(sequence, 0, data, static_cast<uint32_t>(data.size()));
    }

private:
    bool ReadExactly(int fd, void* into, size_t size)
    {
        uint8_t* out = static_cast<uint8_t*>(into);
        for (size_t done = 0; done < size;) {
            pollfd ready {fd, POLLIN, 0};
            if (m_stop || poll(&ready, 1, 100) < 0)
                return false;
            if (!(ready.revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = read(fd, out + done, size - done);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    void Run()
    {
        while (!m_stop) {
            const int client = accept(m_listen, nullptr, nullptr);
            if (client < 0)
                return;
            Serve(client);
            close(client);
        }
    }

    void Serve(int client)
    {
        const uint8_t greeting = VUSB_GREETING_OK;
        if (write(client, &greeting, 1) != 1)
            return;
        for (;;) {
            VusbRequest request {};
            if (!ReadExactly(client, &request, sizeof request))
                return;
            const bool out = request.op == VUSB_OP_SET_PIPE_POLICY ||
                             (request.op == VUSB_OP_CONTROL && !(request.setup[0] & 0x80));
            Bytes data(out ? request.dataLength : 0);
            if (!data.empty() && !ReadExactly(client, data.data(), data.size()))
                return;
            Answer answer = request.op == VUSB_OP_SET_PIPE_POLICY ? Answer{Reply(request.sequence, {}), false}
                                                                 : m_handler(request, data);
            if (!answer.bytes.empty() &&
                send(client, answer.bytes.data(), answer.bytes.size(), MSG_NOSIGNAL) !=
                    static_cast<ssize_t>(answer.bytes.size()))
                return;
            if (answer.hangUp)
                return;
        }
    }

    Handler m_handler;
    int m_listen = -1;
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
};

} // namespace velt::test
