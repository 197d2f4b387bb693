#include "fake_usb_device.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <stdexcept>

FakeUsbDevice::FakeUsbDevice(const std::string& dir, const std::string& stem, const std::string& path,
                             const std::string& guid, const std::string& moreDev) {
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string sock = dir + "/" + stem + ".sock";
    if (sock.size() >= sizeof addr.sun_path)
        throw std::runtime_error("socket path too long");
    memcpy(addr.sun_path, sock.c_str(), sock.size());
    if (bind(listenFd_, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr) != 0 || listen(listenFd_, 8) != 0)
        throw std::runtime_error("cannot listen on " + sock);
    std::string tmp = dir + "/." + stem + ".tmp";
    {
        std::ofstream out(tmp);
        out << "path=" << path << "\nguid=" << guid << "\n" << moreDev;
    }
    std::rename(tmp.c_str(), (dir + "/" + stem + ".dev").c_str());
    thread_ = std::thread([this] { Run(); });
}

FakeUsbDevice::~FakeUsbDevice() {
    stop_ = true;
    thread_.join();
    close(listenFd_);
}

std::vector<FakeUsbDevice::Logged> FakeUsbDevice::Log() {
    std::lock_guard<std::mutex> g(logLock_);
    return log_;
}

void FakeUsbDevice::Run() {
    int client = -1;
    std::vector<uint8_t> rx;
    while (!stop_) {
        struct pollfd p[2] = {{client, POLLIN, 0}, {listenFd_, POLLIN, 0}};
        // The held connection first, so that a host that closed and reopens
        // finds the device free.
        if (poll(p, 2, 10) <= 0)
            continue;
        if (client >= 0 && p[0].revents) {
            bool drop = false;
            Serve(client, rx, drop);
            if (drop) {
                close(client);
                client = -1;
                rx.clear();
            }
        }
        if (p[1].revents & POLLIN) {
            int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0)
                continue;
            uint8_t greeting = client >= 0 ? VUSB_GREETING_BUSY : VUSB_GREETING_OK;
            (void)!send(c, &greeting, 1, MSG_NOSIGNAL);
            if (client >= 0)
                close(c);
            else
                client = c;
        }
    }
    if (client >= 0)
        close(client);
}

void FakeUsbDevice::Reply(int client, uint32_t seq, uint32_t error, const std::vector<uint8_t>& data) {
    VusbReply rep = {seq, error, static_cast<uint32_t>(data.size())};
    std::vector<uint8_t> bytes(sizeof rep + data.size());
    memcpy(bytes.data(), &rep, sizeof rep);
    if (!data.empty())
        memcpy(bytes.data() + sizeof rep, data.data(), data.size());
    (void)!send(client, bytes.data(), bytes.size(), MSG_NOSIGNAL);
}

void FakeUsbDevice::Serve(int client, std::vector<uint8_t>& rx, bool& drop) {
    uint8_t chunk[4096];
    ssize_t n = recv(client, chunk, sizeof chunk, 0);
    if (n <= 0) {
        drop = true;
        return;
    }
    rx.insert(rx.end(), chunk, chunk + n);
    while (rx.size() >= sizeof(VusbRequest)) {
        VusbRequest req;
        memcpy(&req, rx.data(), sizeof req);
        const bool out = req.op == VUSB_OP_SET_PIPE_POLICY || (req.op == VUSB_OP_CONTROL && !(req.setup[0] & 0x80));
        const size_t dataLen = out ? req.dataLength : 0;
        if (rx.size() < sizeof req + dataLen)
            return;
        std::vector<uint8_t> data(rx.begin() + sizeof req, rx.begin() + sizeof req + dataLen);
        rx.erase(rx.begin(), rx.begin() + sizeof req + dataLen);
        {
            std::lock_guard<std::mutex> g(logLock_);
            log_.push_back({req.op, req.arg0, req.arg1, data, std::vector<uint8_t>(req.setup, req.setup + 8)});
        }
        std::vector<uint8_t> reply;
        switch (req.op) {
        case VUSB_OP_GET_DESCRIPTOR:
            if (req.arg0 != 1) {
                Reply(client, req.sequence, 31, {});
                continue;
            }
            reply = {18, 1, 0x00, 0x02, 0, 0, 0, 64, 0x83, 0x04, 0x11, 0xDF, 0x00, 0x22, 1, 2, 3, 1};
            break;
        case VUSB_OP_QUERY_INTERFACE:
            reply = {9, 4, 0, static_cast<uint8_t>(req.arg0), 0, 0xFE, 0x01, 0x02, 4};
            break;
        case VUSB_OP_SET_PIPE_POLICY:
            break;
        case VUSB_OP_CONTROL: {
            const uint8_t request = req.setup[1];
            if (request == kStallRequest) {
                Reply(client, req.sequence, 31, {});
                continue;
            }
            if (request == kHangUpRequest) {
                drop = true;
                return;
            }
            if (request == kSlowRequest)
                std::this_thread::sleep_for(std::chrono::milliseconds(slowReplyMs.load()));
            if (out)
                lastOut_ = data;
            else
                reply.assign(lastOut_.begin(), lastOut_.begin() + std::min<size_t>(lastOut_.size(), req.dataLength));
            break;
        }
        default:
            Reply(client, req.sequence, 1, {});
            continue;
        }
        if (reply.size() > req.dataLength && req.op != VUSB_OP_SET_PIPE_POLICY)
            reply.resize(req.dataLength);
        Reply(client, req.sequence, 0, reply);
    }
}
