// Simulated USB devices: the local-socket protocol of velt/usbsock.h.
//
// A device file handle is one connection to a device; every WinUSB call is
// one request and its reply. A reply that comes after its caller gave up is
// recognised by its sequence number and dropped. Errors: ERROR_SEM_TIMEOUT
// when the time-out passes, the device's own code for a failed request
// (ERROR_GEN_FAILURE for a stall), and ERROR_BAD_COMMAND once the connection
// is lost or the device breaks the protocol, which is what WinUSB reports for
// a device that has gone away.
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <vector>

#include <velt/usbsock.h>

#include "deadline.h"
#include "text.h"
#include "usb_backend.h"
#include "usb_devices.h"

namespace velt::platform {
namespace {

constexpr DWORD kGreetingTimeoutMs = 5000;
// Larger than any control transfer or descriptor can be; a bigger length
// means the stream is not what the protocol says.
constexpr uint32_t kMaxReplyData = 1u << 20;

class SocketDevice final : public UsbDeviceFile {
public:
    SocketDevice(int fd, UCHAR interfaceNumber) : fd_(fd), interface_(interfaceNumber) {}
    ~SocketDevice() override {
        if (fd_ >= 0)
            close(fd_);
    }

    void Close() override {
        closed_.store(true);
        shutdown(fd_, SHUT_RDWR);  // wakes a call waiting for a reply
    }

    // One request and its reply. in/inCapacity receive IN data; inLength the
    // bytes that came. Returns TRUE, or FALSE with the last error set.
    BOOL Transact(uint8_t op, uint32_t arg0, uint32_t arg1, const uint8_t setup[8], const void* out,
                  uint32_t outLength, void* in, uint32_t inCapacity, uint32_t* inLength, DWORD timeoutMs);

    BOOL Control(const UCHAR setup[8], UCHAR* data, ULONG* transferred, DWORD timeoutMs) override;
    BOOL GetDescriptor(UCHAR type, UCHAR index, USHORT language, UCHAR* buffer, ULONG length, ULONG* transferred,
                       DWORD timeoutMs) override;
    BOOL QueryInterface(UCHAR alternate, USB_INTERFACE_DESCRIPTOR* out, DWORD timeoutMs) override;
    BOOL SetPipePolicy(UCHAR pipe, ULONG policy, ULONG length, const void* value, DWORD timeoutMs) override;
    UCHAR InterfaceNumber() const override { return interface_; }

private:
    bool SendAll(const std::vector<uint8_t>& bytes, const Deadline& deadline);
    BOOL Fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    BOOL Lost() {
        dead_ = true;
        return Fail(ERROR_BAD_COMMAND);
    }

    const int fd_;
    const UCHAR interface_;
    std::atomic<bool> closed_{false};
    std::mutex mu_;  // one request in flight per connection
    uint32_t sequence_ = 0;
    bool dead_ = false;
    std::vector<uint8_t> rx_;  // bytes received and not yet consumed
};

bool SocketDevice::SendAll(const std::vector<uint8_t>& bytes, const Deadline& deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t r = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            sent += static_cast<size_t>(r);
            continue;
        }
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0 && errno != EAGAIN)
            return false;
        if (!IsReady(PollUntil(fd_, POLLOUT, deadline)))
            return false;
    }
    return true;
}

BOOL SocketDevice::Transact(uint8_t op, uint32_t arg0, uint32_t arg1, const uint8_t setup[8], const void* out,
                         uint32_t outLength, void* in, uint32_t inCapacity, uint32_t* inLength,
                         DWORD timeoutMs) {
    *inLength = 0;
    std::lock_guard<std::mutex> guard(mu_);
    if (closed_.load())
        return Fail(ERROR_INVALID_HANDLE);
    if (dead_)
        return Fail(ERROR_BAD_COMMAND);

    const Deadline deadline = timeoutMs ? Deadline::After(timeoutMs) : Deadline::Never();

    VusbRequest req;
    memset(&req, 0, sizeof req);
    req.sequence = ++sequence_;
    req.op = op;
    req.arg0 = arg0;
    req.arg1 = arg1;
    if (setup)
        memcpy(req.setup, setup, 8);
    req.dataLength = out ? outLength : inCapacity;
    std::vector<uint8_t> bytes(sizeof req + (out ? outLength : 0));
    memcpy(bytes.data(), &req, sizeof req);
    if (out && outLength)
        memcpy(bytes.data() + sizeof req, out, outLength);
    // A request only partly sent leaves the stream unusable.
    if (!SendAll(bytes, deadline))
        return Lost();

    for (;;) {
        while (rx_.size() >= sizeof(VusbReply)) {
            VusbReply rep;
            memcpy(&rep, rx_.data(), sizeof rep);
            if (rep.dataLength > kMaxReplyData)
                return Lost();
            if (rx_.size() < sizeof rep + rep.dataLength)
                break;  // the rest of this reply is still on its way
            const int32_t age = static_cast<int32_t>(rep.sequence - req.sequence);
            if (age > 0)
                return Lost();  // a reply to a request never made
            if (age < 0) {  // late reply to a request that timed out
                rx_.erase(rx_.begin(), rx_.begin() + sizeof rep + rep.dataLength);
                continue;
            }
            if (rep.dataLength > inCapacity)
                return Lost();
            if (rep.dataLength)
                memcpy(in, rx_.data() + sizeof rep, rep.dataLength);
            rx_.erase(rx_.begin(), rx_.begin() + sizeof rep + rep.dataLength);
            if (rep.error != 0)
                return Fail(rep.error);
            *inLength = rep.dataLength;
            return TRUE;
        }
        const Readiness ready = PollUntil(fd_, POLLIN, deadline);
        if (ready == Readiness::TimedOut)
            return Fail(ERROR_SEM_TIMEOUT);
        // A hang-up with bytes still buffered lets them be read; recv then
        // reports the end.
        if (ready == Readiness::Lost)
            return closed_.load() ? Fail(ERROR_INVALID_HANDLE) : Lost();
        uint8_t chunk[4096];
        ssize_t r = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (r > 0) {
            rx_.insert(rx_.end(), chunk, chunk + r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            return closed_.load() ? Fail(ERROR_INVALID_HANDLE) : Lost();
        }
    }
}

// Connects to a socket path of any length: a path too long for sockaddr_un
// is reached through its directory's descriptor.
int ConnectUnix(const std::string& path) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    std::string target = path;
    int dirFd = -1;
    if (target.size() >= sizeof addr.sun_path) {
        size_t slash = path.rfind('/');
        dirFd = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (dirFd >= 0)
            target = "/proc/self/fd/" + std::to_string(dirFd) + path.substr(slash);
    }
    int r = -1;
    if (target.size() < sizeof addr.sun_path) {
        memcpy(addr.sun_path, target.c_str(), target.size());
        do {
            r = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr);
        } while (r < 0 && errno == EINTR);
    } else {
        errno = ENAMETOOLONG;
    }
    int saved = errno;
    if (dirFd >= 0)
        close(dirFd);
    if (r < 0) {
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}


BOOL SocketDevice::Control(const UCHAR setup[8], UCHAR* data, ULONG* transferred, DWORD timeoutMs) {
    const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
    uint32_t got = 0;
    BOOL ok = (setup[0] & 0x80) ? Transact(VUSB_OP_CONTROL, 0, 0, setup, nullptr, 0, data, length, &got, timeoutMs)
                                : Transact(VUSB_OP_CONTROL, 0, 0, setup, data ? data : setup, length, nullptr, 0,
                                           &got, timeoutMs);
    if (ok)
        *transferred = (setup[0] & 0x80) ? got : length;
    return ok;
}

BOOL SocketDevice::GetDescriptor(UCHAR type, UCHAR index, USHORT language, UCHAR* buffer, ULONG length,
                                 ULONG* transferred, DWORD timeoutMs) {
    uint32_t got = 0;
    BOOL ok = Transact(VUSB_OP_GET_DESCRIPTOR, type, index | (uint32_t(language) << 16), nullptr, nullptr, 0, buffer,
                       length, &got, timeoutMs);
    if (ok)
        *transferred = got;
    return ok;
}

BOOL SocketDevice::QueryInterface(UCHAR alternate, USB_INTERFACE_DESCRIPTOR* out, DWORD timeoutMs) {
    USB_INTERFACE_DESCRIPTOR d;
    uint32_t got = 0;
    if (!Transact(VUSB_OP_QUERY_INTERFACE, alternate, 0, nullptr, nullptr, 0, &d, sizeof d, &got, timeoutMs))
        return FALSE;
    if (got != sizeof d)  // the device answered with something that is not a descriptor
        return Fail(ERROR_GEN_FAILURE);
    *out = d;
    return TRUE;
}

// The policy goes to the device as well (a simulator logs it).
BOOL SocketDevice::SetPipePolicy(UCHAR pipe, ULONG policy, ULONG length, const void* value, DWORD timeoutMs) {
    uint32_t got = 0;
    return Transact(VUSB_OP_SET_PIPE_POLICY, pipe, policy, nullptr, value, length, nullptr, 0, &got, timeoutMs);
}

class SocketUsbBackend final : public UsbBackend {
public:
    const char* Name() const override { return "sim"; }
    std::vector<UsbMember> Members() override {
        std::vector<UsbMember> out;
        for (UsbDeviceEntry& e : ScanUsbDevices())
            out.push_back(UsbMember{std::move(e.interfacePath), e.interfaceClass, e.live});
        return out;
    }
    HANDLE Open(const std::u16string& interfacePath) override;
};

}  // namespace

// Device interface paths compare without regard to ASCII case, as Windows
// compares them.
HANDLE SocketUsbBackend::Open(const std::u16string& interfacePath) {
    std::string socketPath;
    UCHAR interfaceNumber = 0;
    for (const UsbDeviceEntry& e : ScanUsbDevices()) {
        if (EqualNoCase(e.interfacePath, interfacePath)) {
            socketPath = e.socketPath;
            interfaceNumber = e.interfaceNumber;
            break;
        }
    }
    if (socketPath.empty()) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    int fd = ConnectUnix(socketPath);
    if (fd < 0) {  // nobody listening: the device has gone
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return OpenUsbSocketConnection(fd, interfaceNumber);
}

HANDLE OpenUsbSocketConnection(int fd, UCHAR interfaceNumber) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const Deadline deadline = Deadline::After(kGreetingTimeoutMs);
    uint8_t greeting = 0;
    ssize_t r = -1;
    Readiness ready = Readiness::TimedOut;
    while (IsReady(ready = PollUntil(fd, POLLIN, deadline))) {
        r = recv(fd, &greeting, 1, 0);
        if (r >= 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    const bool lost = ready == Readiness::Lost;
    DWORD error = 0;
    if (r == 1 && greeting == VUSB_GREETING_BUSY)
        error = ERROR_ACCESS_DENIED;  // another host holds it: the exclusive open fails
    else if (r == 1 && greeting != VUSB_GREETING_OK)
        error = ERROR_GEN_FAILURE;
    else if (r == 0 || lost)
        error = ERROR_FILE_NOT_FOUND;  // closed on us: it is going away
    else if (r != 1)
        error = ERROR_SEM_TIMEOUT;
    if (error) {
        close(fd);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return RegisterHandle(std::make_shared<SocketDevice>(fd, interfaceNumber));
}

UsbBackend& SocketBackend() {
    static SocketUsbBackend* backend = new SocketUsbBackend;
    return *backend;
}

}  // namespace velt::platform
