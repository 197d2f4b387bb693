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
#include <time.h>
#include <sys/prctl.h>
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
    char ids[40];
    std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", id.vid, id.pid);
    // A composite device's function is named by its interface, as on Windows.
    if (id.dfuInterface > 0)
        std::snprintf(ids + 17, sizeof ids - 17, "&mi_%02x", id.dfuInterface);
    return std::string("\\\\?\\usb#") + ids + "#" + id.serial + "#" + lower(id.guid);
}

UsbDevice::UsbDevice(const DeviceConfig& cfg, const std::string& usbDir, const EventLog& eventLog)
    : id_(cfg.usb), name_("usb:" + cfg.usb.stem), socketPath_(usbDir + "/" + cfg.usb.stem + ".sock"),
      devPath_(usbDir + "/" + cfg.usb.stem + ".dev"), log_(eventLog),
      model_(cfg.model, [this](const std::string& line) { this->log(line); }), latency_(cfg.line.latency),
      random_(cfg.faults.random)
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
    std::string description = "path=" + devicePath(id_) + "\nguid=" + id_.guid + "\n";
    if (id_.dfuInterface > 0)
        description += "interface=" + std::to_string(id_.dfuInterface) + "\n";
    writeFileAtomically(devPath_, description);
    log("up: " + devicePath(id_));
    if (random_.active())
        log("random faults: rate " + std::to_string(cfg.faults.random.rate) + " seed " + std::to_string(random_.seed()));
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
    if (latency_.count() != 0)
        ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL); // held replies go on time, not 50 us late
    while (true) {
        if (hostFd_ >= 0 && !sendDue(Clock::now()))
            dropHost("disconnect");
        // Asleep until a held reply is due, or for ever.
        timespec timeout{};
        timespec* limit = nullptr;
        if (!replies_.empty()) {
            const auto wait = std::max<Clock::duration>(replies_.front().due - Clock::now(), Clock::duration::zero());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
            timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
            timeout.tv_nsec = static_cast<long>(ns % 1000000000);
            limit = &timeout;
        }
        pollfd fds[3] = {{stopFd, POLLIN, 0}, {listenFd_, POLLIN, 0}, {hostFd_, POLLIN, 0}};
        int n = ::ppoll(fds, hostFd_ >= 0 ? 3 : 2, limit, nullptr);
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
    replies_.clear();
    log(why);
}

bool UsbDevice::sendDue(Clock::time_point now)
{
    while (!replies_.empty() && replies_.front().due <= now) {
        if (!sendAll(hostFd_, replies_.front().bytes.data(), replies_.front().bytes.size()))
            return false;
        replies_.pop_front();
    }
    return true;
}

// A reply that waits for nothing still waits for the ones before it.
bool UsbDevice::queueReply(std::vector<uint8_t> bytes, bool late)
{
    Clock::time_point due = Clock::now();
    if (late)
        due += latency_;
    if (!replies_.empty())
        due = std::max(due, replies_.back().due);
    else if (!late || latency_.count() == 0)
        return sendAll(hostFd_, bytes.data(), bytes.size());
    replies_.push_back({due, std::move(bytes)});
    return true;
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
                data = interfaceDescriptor(id_.dfuInterface);
            else
                reply.error = kErrorNoMoreItems;
            log("query interface alt=" + std::to_string(request.arg0) + (reply.error ? " -> none" : " -> 9 bytes"));
            break;
        case VUSB_OP_CONTROL: {
            const Fault fault = rollFault(request.setup);
            if (fault == Fault::NotDelivered || fault == Fault::Stall) {
                reply.error = kErrorGenFailure;
                break;
            }
            data = handleControl(request.setup, out, outLength, outData ? 0 : request.dataLength, reply.error);
            if (fault == Fault::NoReply)
                continue;
            if (fault == Fault::StatusLost) {
                reply.error = kErrorGenFailure;
                data.clear();
            }
            if (fault == Fault::Short && !data.empty()) {
                const size_t cut = random_.below(static_cast<uint32_t>(data.size()));
                log("fault short: IN reply of " + std::to_string(data.size()) + " bytes cut to " + std::to_string(cut));
                data.resize(cut);
            }
            break;
        }
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
        std::vector<uint8_t> bytes(sizeof reply + data.size());
        std::memcpy(bytes.data(), &reply, sizeof reply);
        std::copy(data.begin(), data.end(), bytes.begin() + sizeof reply);
        // Control transfers cross the bus; interface settings and pipe
        // policies are the host driver's own and answer at once.
        const bool crossesBus = request.op == VUSB_OP_CONTROL || request.op == VUSB_OP_GET_DESCRIPTOR;
        if (!queueReply(std::move(bytes), crossesBus))
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
    if (setup.requestType == 0xC0 && setup.request == kMsOs20VendorCode && setup.index == kMsOs20DescriptorIndex)
        return handleMsOs20(setup, error);
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

// USB packets carry their own CRC and are retried by the hardware: a line
// fault shows as a failed transfer (before or after the device took the
// request), a stall, no answer at all, or an IN reply cut short, never as
// wrong bytes.
UsbDevice::Fault UsbDevice::rollFault(const uint8_t* setup)
{
    if (!random_.hit())
        return Fault::None;
    const bool in = (setup[0] & 0x80) != 0;
    char what[64];
    std::snprintf(what, sizeof what, "request %u type=0x%02X value=%u", setup[1], setup[0], le16(setup + 2));
    switch (random_.below(in ? 5 : 4)) {
    case 0:
        log(std::string("fault transfer-error: ") + what + " lost before the device saw it");
        return Fault::NotDelivered;
    case 1:
        log(std::string("fault status-lost: ") + what + " taken, its status stage lost");
        return Fault::StatusLost;
    case 2:
        log(std::string("fault stall: ") + what + " stalled unread");
        return Fault::Stall;
    case 3:
        log(std::string("fault no-reply: ") + what + " taken, never answered");
        return Fault::NoReply;
    default:
        return Fault::Short; // logged with the sizes once the reply is known
    }
}

// The MS OS 2.0 descriptor set belongs to the USB device, not to its DFU function.
std::vector<uint8_t> UsbDevice::handleMsOs20(const SetupPacket& setup, uint32_t& error)
{
    auto set = msOs20DescriptorSet(id_);
    log("MS OS 2.0 descriptor set length=" + std::to_string(setup.length) + " -> " +
        (set ? std::to_string(set->size()) + " bytes" : std::string("STALL")));
    if (!set) {
        error = kErrorGenFailure;
        return {};
    }
    if (set->size() > setup.length)
        set->resize(setup.length);
    return *set;
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
