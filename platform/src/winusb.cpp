// WinUSB over the local-socket device protocol of velt/usbsock.h.
//
// A device file handle is one connection to a device; every WinUSB call is
// one request and its reply. Each WinUSB handle enforces its own control-pipe
// time-out (5000 ms, WinUSB's default, until set; 0 waits for ever). A reply
// that comes after its caller gave up is recognised by its sequence number
// and dropped. Errors: ERROR_SEM_TIMEOUT when the time-out passes, the
// device's own code for a failed request (ERROR_GEN_FAILURE for a stall), and
// ERROR_BAD_COMMAND once the connection is lost or the device breaks the
// protocol, which is what WinUSB reports for a device that has gone away.
#include <winusb.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <mutex>
#include <vector>

#include <velt/usbsock.h>

#include "file_object.h"
#include "text.h"
#include "usb_devices.h"

namespace velt::platform {
namespace {

using Clock = std::chrono::steady_clock;

constexpr DWORD kDefaultPipeTimeoutMs = 5000;
constexpr DWORD kGreetingTimeoutMs = 5000;
// Larger than any control transfer or descriptor can be; a bigger length
// means the stream is not what the protocol says.
constexpr uint32_t kMaxReplyData = 1u << 20;

// Waits until fd is ready; false when the deadline (null: none) passes.
// Sets lost when the peer hung up or the socket failed.
bool WaitReady(int fd, short events, const Clock::time_point* deadline, bool& lost) {
    lost = false;
    for (;;) {
        int waitMs = -1;
        if (deadline) {
            Clock::time_point now = Clock::now();
            if (*deadline <= now)
                return false;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - now).count();
            waitMs = static_cast<int>(std::min<long long>(left + 1, INT_MAX));
        }
        struct pollfd p = {fd, events, 0};
        int r = poll(&p, 1, waitMs);
        if (r < 0 && errno == EINTR)
            continue;
        if (r < 0) {
            lost = true;
            return false;
        }
        if (r == 0)
            continue;
        if (p.revents & (events | POLLHUP | POLLERR)) {
            // For reads, a hang-up still lets buffered bytes be read; recv
            // then reports the end.
            lost = !(p.revents & events);
            return !lost;
        }
    }
}

class UsbDevice : public FileObject {
public:
    explicit UsbDevice(int fd) : fd_(fd) {}
    ~UsbDevice() override {
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

private:
    bool SendAll(const std::vector<uint8_t>& bytes, const Clock::time_point* deadline);
    BOOL Fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    BOOL Lost() {
        dead_ = true;
        return Fail(ERROR_BAD_COMMAND);
    }

    const int fd_;
    std::atomic<bool> closed_{false};
    std::mutex mu_;  // one request in flight per connection
    uint32_t sequence_ = 0;
    bool dead_ = false;
    std::vector<uint8_t> rx_;  // bytes received and not yet consumed
};

bool UsbDevice::SendAll(const std::vector<uint8_t>& bytes, const Clock::time_point* deadline) {
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
        bool lost;
        if (!WaitReady(fd_, POLLOUT, deadline, lost))
            return false;
    }
    return true;
}

BOOL UsbDevice::Transact(uint8_t op, uint32_t arg0, uint32_t arg1, const uint8_t setup[8], const void* out,
                         uint32_t outLength, void* in, uint32_t inCapacity, uint32_t* inLength,
                         DWORD timeoutMs) {
    *inLength = 0;
    std::lock_guard<std::mutex> guard(mu_);
    if (closed_.load())
        return Fail(ERROR_INVALID_HANDLE);
    if (dead_)
        return Fail(ERROR_BAD_COMMAND);

    const Clock::time_point deadlineValue = Clock::now() + std::chrono::milliseconds(timeoutMs);
    const Clock::time_point* deadline = timeoutMs ? &deadlineValue : nullptr;

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
        bool lost;
        if (!WaitReady(fd_, POLLIN, deadline, lost)) {
            if (lost)
                return closed_.load() ? Fail(ERROR_INVALID_HANDLE) : Lost();
            return Fail(ERROR_SEM_TIMEOUT);
        }
        uint8_t chunk[4096];
        ssize_t r = recv(fd_, chunk, sizeof chunk, MSG_DONTWAIT);
        if (r > 0) {
            rx_.insert(rx_.end(), chunk, chunk + r);
        } else if (r == 0 || (errno != EAGAIN && errno != EINTR)) {
            return closed_.load() ? Fail(ERROR_INVALID_HANDLE) : Lost();
        }
    }
}

class WinUsbInterface : public HandleObject {
public:
    explicit WinUsbInterface(std::shared_ptr<UsbDevice> dev) : device(std::move(dev)) {}
    const std::shared_ptr<UsbDevice> device;
    std::atomic<DWORD> pipeTimeoutMs{kDefaultPipeTimeoutMs};
};

std::shared_ptr<WinUsbInterface> FindInterface(WINUSB_INTERFACE_HANDLE h) {
    std::shared_ptr<WinUsbInterface> i = FindHandleAs<WinUsbInterface>(h);
    if (!i)
        SetLastError(ERROR_INVALID_HANDLE);
    return i;
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

}  // namespace

// Device interface paths compare without regard to ASCII case, as Windows
// compares them.
HANDLE OpenUsbDevice(const std::u16string& interfacePath) {
    std::string socketPath;
    for (const UsbDeviceEntry& e : ScanUsbDevices()) {
        if (EqualNoCase(e.interfacePath, interfacePath)) {
            socketPath = e.socketPath;
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
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kGreetingTimeoutMs);
    uint8_t greeting = 0;
    ssize_t r = -1;
    bool lost = false;
    while (WaitReady(fd, POLLIN, &deadline, lost)) {
        r = recv(fd, &greeting, 1, 0);
        if (r >= 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
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
    return RegisterHandle(std::make_shared<UsbDevice>(fd));
}

}  // namespace velt::platform

using namespace velt::platform;

extern "C" {

BOOL WINAPI WinUsb_Initialize(HANDLE DeviceHandle, PWINUSB_INTERFACE_HANDLE InterfaceHandle) {
    std::shared_ptr<UsbDevice> dev = FindHandleAs<UsbDevice>(DeviceHandle);
    if (!dev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!InterfaceHandle) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *InterfaceHandle = RegisterHandle(std::make_shared<WinUsbInterface>(std::move(dev)));
    return TRUE;
}

BOOL WINAPI WinUsb_Free(WINUSB_INTERFACE_HANDLE InterfaceHandle) {
    if (!FindHandleAs<WinUsbInterface>(InterfaceHandle) || !RemoveHandle(InterfaceHandle)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE InterfaceHandle, WINUSB_SETUP_PACKET SetupPacket,
                                   PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred,
                                   LPOVERLAPPED Overlapped) {
    if (LengthTransferred)
        *LengthTransferred = 0;
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (Overlapped) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    // The data stage is the setup packet's Length; the buffer must hold it.
    if (SetupPacket.Length > BufferLength || (SetupPacket.Length && !Buffer)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint8_t setup[8];
    memcpy(setup, &SetupPacket, sizeof setup);
    const bool deviceToHost = SetupPacket.RequestType & 0x80;
    uint32_t got = 0;
    BOOL ok = deviceToHost
                  ? i->device->Transact(VUSB_OP_CONTROL, 0, 0, setup, nullptr, 0, Buffer, SetupPacket.Length, &got,
                                        i->pipeTimeoutMs.load())
                  : i->device->Transact(VUSB_OP_CONTROL, 0, 0, setup, Buffer ? Buffer : setup, SetupPacket.Length,
                                        nullptr, 0, &got, i->pipeTimeoutMs.load());
    if (ok && LengthTransferred)
        *LengthTransferred = deviceToHost ? got : SetupPacket.Length;
    return ok;
}

BOOL WINAPI WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR DescriptorType, UCHAR Index,
                                 USHORT LanguageID, PUCHAR Buffer, ULONG BufferLength, PULONG LengthTransferred) {
    if (LengthTransferred)
        *LengthTransferred = 0;
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (!Buffer || !BufferLength || !LengthTransferred) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint32_t got = 0;
    const uint32_t capacity = BufferLength > 0xFFFF ? 0xFFFF : BufferLength;  // wLength is 16 bits
    BOOL ok = i->device->Transact(VUSB_OP_GET_DESCRIPTOR, DescriptorType, Index | (uint32_t(LanguageID) << 16),
                                  nullptr, nullptr, 0, Buffer, capacity, &got, i->pipeTimeoutMs.load());
    if (ok)
        *LengthTransferred = got;
    return ok;
}

BOOL WINAPI WinUsb_QueryInterfaceSettings(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR AlternateInterfaceNumber,
                                          PUSB_INTERFACE_DESCRIPTOR UsbAltInterfaceDescriptor) {
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (!UsbAltInterfaceDescriptor) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    USB_INTERFACE_DESCRIPTOR d;
    uint32_t got = 0;
    if (!i->device->Transact(VUSB_OP_QUERY_INTERFACE, AlternateInterfaceNumber, 0, nullptr, nullptr, 0, &d,
                             sizeof d, &got, i->pipeTimeoutMs.load()))
        return FALSE;
    if (got != sizeof d) {  // the device answered with something that is not a descriptor
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    *UsbAltInterfaceDescriptor = d;
    return TRUE;
}

// The policy goes to the device as well (a simulator logs it); the time-out
// takes effect here once the device has accepted it.
BOOL WINAPI WinUsb_SetPipePolicy(WINUSB_INTERFACE_HANDLE InterfaceHandle, UCHAR PipeID, ULONG PolicyType,
                                 ULONG ValueLength, PVOID Value) {
    std::shared_ptr<WinUsbInterface> i = FindInterface(InterfaceHandle);
    if (!i)
        return FALSE;
    if (!Value || ValueLength == 0 || ValueLength > 4 ||
        (PolicyType == PIPE_TRANSFER_TIMEOUT && ValueLength != sizeof(ULONG))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint32_t got = 0;
    if (!i->device->Transact(VUSB_OP_SET_PIPE_POLICY, PipeID, PolicyType, nullptr, Value, ValueLength, nullptr, 0,
                             &got, i->pipeTimeoutMs.load()))
        return FALSE;
    if (PolicyType == PIPE_TRANSFER_TIMEOUT && PipeID == 0) {
        ULONG ms;
        memcpy(&ms, Value, sizeof ms);
        i->pipeTimeoutMs.store(ms);
    }
    return TRUE;
}

}  // extern "C"
