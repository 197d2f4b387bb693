#include "UsbDevice.h"

#include "../common/Files.h"
#include "Descriptors.h"

#include <velt/usbsock.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace velt::sim {

namespace {

constexpr uint32_t kErrorGenFailure = 31;       // what WinUSB leaves for a stalled pipe
constexpr uint32_t kErrorInvalidParameter = 87;
constexpr uint32_t kErrorNoMoreItems = 259;     // alternate setting that does not exist
constexpr uint32_t kMaxOutData = 0x10000;

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

sockaddr_un socketAddress(const std::string& path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long (" + std::to_string(path.size()) + " bytes): " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

bool socketIsLive(const std::string& path)
{
    sockaddr_un address = socketAddress(path);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    bool live = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return live;
}

bool sendAll(int fd, const void* data, size_t size)
{
    auto bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        ssize_t n = ::send(fd, bytes, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

} // namespace

std::string UsbDevice::devicePath(const UsbIdentity& id)
{
    char ids[32];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", id.vid, id.pid);
    return std::string("\\\\?\\usb#") + ids + "#" + id.serial + "#" + lower(id.guid);
}

UsbDevice::UsbDevice(const DeviceConfig& cfg, const std::string& usbDir, const EventLog& eventLog)
    : id_(cfg.usb), name_("usb:" + cfg.usb.stem), socketPath_(usbDir + "/" + cfg.usb.stem + ".sock"),
      devPath_(usbDir + "/" + cfg.usb.stem + ".dev"), log_(eventLog),
      model_(cfg.model, [this](const std::string& line) { this->log(line); })
{
    makeDirectories(usbDir);
    sockaddr_un address = socketAddress(socketPath_);
    if (::access(socketPath_.c_str(), F_OK) == 0) {
        if (socketIsLive(socketPath_))
            throw std::runtime_error(socketPath_ + " is served by another running simulator");
        ::unlink(socketPath_.c_str()); // left behind by a simulator that died
    }
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listenFd_, 8) != 0) {
        std::string reason = std::strerror(errno);
        if (listenFd_ >= 0)
            ::close(listenFd_);
        throw std::runtime_error("cannot listen on " + socketPath_ + ": " + reason);
    }
    // The .dev file appears only once the socket listens, so a host that sees it can connect.
    writeFileAtomically(devPath_, "path=" + devicePath(id_) + "\nguid=" + id_.guid + "\n");
    log("up: " + devicePath(id_));
}

UsbDevice::~UsbDevice()
{
    try {
        UsbDevice::shutdown();
    } catch (...) {
        // A destructor cannot report it; the program calls shutdown() itself first.
    }
}

void UsbDevice::shutdown()
{
    if (shutDown_)
        return;
    shutDown_ = true;
    ::unlink(devPath_.c_str());
    if (hostFd_ >= 0)
        ::close(hostFd_);
    if (listenFd_ >= 0)
        ::close(listenFd_);
    hostFd_ = listenFd_ = -1;
    ::unlink(socketPath_.c_str());
    model_.saveFlash();
}

void UsbDevice::run(int stopFd)
{
    while (true) {
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {listenFd_, POLLIN, 0}, {hostFd_, POLLIN, 0}};
        int n = ::poll(fds, hostFd_ >= 0 ? 3 : 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || fds[0].revents)
            return;
        // The current host first: a host that closed and reconnects at once must
        // find the device free, as a real device is once its handle is closed.
        if (hostFd_ >= 0 && (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) && !serveHost())
            dropHost("disconnect");
        if (fds[1].revents & POLLIN)
            acceptHost();
    }
}

void UsbDevice::acceptHost()
{
    int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return;
    // The host we serve may have closed its end after the poll that woke us;
    // take in what it left (a bounded number of reads) so its hang-up is seen.
    for (int i = 0; hostFd_ >= 0 && i < 4; ++i) {
        pollfd current{hostFd_, POLLIN, 0};
        if (::poll(&current, 1, 0) <= 0)
            break;
        if (!serveHost())
            dropHost("disconnect");
    }
    // Like WinUSB's exclusive open: a second host is told BUSY and let go.
    if (hostFd_ >= 0) {
        uint8_t busy = VUSB_GREETING_BUSY;
        sendAll(fd, &busy, 1);
        ::close(fd);
        log("connect refused: busy");
        return;
    }
    timeval limit{2, 0}; // a host that stops reading must not hang the device for ever
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    uint8_t ok = VUSB_GREETING_OK;
    if (!sendAll(fd, &ok, 1)) {
        ::close(fd);
        return;
    }
    hostFd_ = fd;
    input_.clear();
    log("connect");
}

void UsbDevice::dropHost(const char* why)
{
    ::close(hostFd_);
    hostFd_ = -1;
    input_.clear();
    log(why);
}

bool UsbDevice::serveHost()
{
    uint8_t chunk[65536];
    ssize_t n = ::recv(hostFd_, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false;
    input_.insert(input_.end(), chunk, chunk + n);
    return processInput();
}

bool UsbDevice::processInput()
{
    size_t used = 0;
    while (input_.size() - used >= sizeof(VusbRequest)) {
        VusbRequest request;
        std::memcpy(&request, input_.data() + used, sizeof request);
        bool outData = (request.op == VUSB_OP_CONTROL && !(request.setup[0] & 0x80)) ||
                       request.op == VUSB_OP_SET_PIPE_POLICY;
        uint32_t outLength = outData ? request.dataLength : 0;
        if (outLength > kMaxOutData) {
            log("protocol error: " + std::to_string(outLength) + " OUT bytes announced");
            return false;
        }
        if (input_.size() - used < sizeof request + outLength)
            break;
        const uint8_t* out = input_.data() + used + sizeof request;
        used += sizeof request + outLength;

        VusbReply reply{request.sequence, 0, 0};
        std::vector<uint8_t> data;
        switch (request.op) {
        case VUSB_OP_GET_DESCRIPTOR: {
            auto found = descriptor(id_, static_cast<uint8_t>(request.arg0), static_cast<uint8_t>(request.arg1));
            if (found)
                data = *found;
            else
                reply.error = kErrorGenFailure;
            log("descriptor type=" + std::to_string(request.arg0) + " index=" +
                std::to_string(request.arg1 & 0xFFFF) + " -> " + (found ? std::to_string(found->size()) + " bytes" : "STALL"));
            break;
        }
        case VUSB_OP_QUERY_INTERFACE:
            if (request.arg0 == 0)
                data = interfaceDescriptor();
            else
                reply.error = kErrorNoMoreItems;
            log("query interface alt=" + std::to_string(request.arg0) + (reply.error ? " -> none" : " -> 9 bytes"));
            break;
        case VUSB_OP_CONTROL:
            data = handleControl(request.setup, out, outLength, outData ? 0 : request.dataLength, reply.error);
            break;
        case VUSB_OP_SET_PIPE_POLICY: {
            uint32_t value = 0;
            std::memcpy(&value, out, std::min<uint32_t>(outLength, 4));
            log("pipe policy pipe=" + std::to_string(request.arg0) + " policy=" + std::to_string(request.arg1) +
                " value=" + std::to_string(value) + " (" + std::to_string(outLength) + " bytes)");
            if (outLength != 4)
                reply.error = kErrorInvalidParameter;
            break;
        }
        default:
            log("protocol error: unknown op " + std::to_string(request.op));
            return false;
        }
        if (!outData && data.size() > request.dataLength)
            data.resize(request.dataLength);
        reply.dataLength = static_cast<uint32_t>(data.size());
        if (!sendAll(hostFd_, &reply, sizeof reply) || !sendAll(hostFd_, data.data(), data.size()))
            return false;
    }
    input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(used));
    return true;
}

std::vector<uint8_t> UsbDevice::handleControl(const uint8_t* s, const uint8_t* out, uint32_t outLength,
                                              uint32_t capacity, uint32_t& error)
{
    SetupPacket setup{s[0], s[1], le16(s + 2), le16(s + 4), le16(s + 6)};
    if ((setup.requestType & 0x60) == 0)
        return handleStandard(setup, error);
    ControlResult result = model_.handle(setup, out, outLength);
    log("request " + describeRequest(setup, result, model_.state()));
    if (result.stall) {
        error = kErrorGenFailure;
        return {};
    }
    if (result.data.size() > capacity)
        result.data.resize(capacity);
    return std::move(result.data);
}

// Standard requests belong to the USB device, not to its DFU function: they
// never change the DFU state.
std::vector<uint8_t> UsbDevice::handleStandard(const SetupPacket& setup, uint32_t& error)
{
    std::vector<uint8_t> data;
    bool ok = false;
    if (setup.requestType == 0x80 && setup.request == 6) { // GET_DESCRIPTOR
        auto found = descriptor(id_, static_cast<uint8_t>(setup.value >> 8), static_cast<uint8_t>(setup.value));
        if (found) {
            data = *found;
            ok = true;
        }
    } else if ((setup.requestType & 0x80) && setup.request == 0) { // GET_STATUS
        data = {0, 0};
        ok = true;
    }
    if (data.size() > setup.length)
        data.resize(setup.length);
    char line[96];
    std::snprintf(line, sizeof line, "standard request type=0x%02X request=%u value=0x%04X length=%u -> ",
                  setup.requestType, setup.request, setup.value, setup.length);
    log(line + (ok ? std::to_string(data.size()) + " bytes" : std::string("STALL")));
    if (!ok)
        error = kErrorGenFailure;
    return data;
}

} // namespace velt::sim
