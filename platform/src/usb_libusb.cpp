// Real USB devices through libusb-1.0.
//
// Membership: an interface joins a class GUID when the device declares the
// GUID in its Microsoft OS 2.0 or 1.0 descriptors, or the GUID mapping file
// binds it (usb_guid_map.h); a DFU interface (class 0xFE, subclass 0x01) of
// a device that declares nothing joins the library's default class.
// Devices are listed in bus and port order.
//
// Paths: \\?\usb#vid_xxxx&pid_xxxx[&mi_NN]#<instance>#{guid}, lower-case
// hexadecimal; mi_NN names the interface of a composite device; the
// instance is the serial number string, or the bus-port chain (1-2.3) when
// the device has none, or none that can stand in a path, or shares it with
// another device of its VID and PID.
//
// Each listing and each open device has a libusb context of its own, so
// devices on several threads never share libusb's event handling, and
// nothing runs in the background: every transfer is synchronous on the
// caller's thread.
#include <libusb.h>
#include <winusb.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "libusb_errors.h"
#include "msos_descriptors.h"
#include "text.h"
#include "usb_backend.h"
#include "usb_guid_map.h"

namespace velt::platform {
namespace {

// {04C77E93-B54D-4714-AC96-15A62BFA307B}: the DFU library's default class.
constexpr GUID kDefaultDfuClass = {0x04C77E93, 0xB54D, 0x4714, {0xAC, 0x96, 0x15, 0xA6, 0x2B, 0xFA, 0x30, 0x7B}};

constexpr unsigned kProbeTimeoutMs = 1000;
// bmRequestType of a vendor request to the host; libusb spreads the bit
// fields over separate enums, so they are combined as plain bits.
constexpr unsigned kVendorIn =
    static_cast<unsigned>(LIBUSB_ENDPOINT_IN) | static_cast<unsigned>(LIBUSB_REQUEST_TYPE_VENDOR);
constexpr uint8_t kDfuClass = 0xFE;
constexpr uint8_t kDfuSubclass = 0x01;
constexpr size_t kMaxDescriptorSet = 0xFFFF;

using Context = std::shared_ptr<libusb_context>;

Context NewContext() {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != LIBUSB_SUCCESS)
        return nullptr;  // no USB on this host (no usbfs): no real devices
    return Context(ctx, libusb_exit);
}

struct DeviceList {
    libusb_device** devices = nullptr;
    ssize_t count = 0;
    explicit DeviceList(libusb_context* ctx) {
        count = libusb_get_device_list(ctx, &devices);
        if (count < 0)
            count = 0;
    }
    ~DeviceList() {
        if (devices)
            libusb_free_device_list(devices, 1);
    }
    DeviceList(const DeviceList&) = delete;
    DeviceList& operator=(const DeviceList&) = delete;
};

struct ConfigDescriptor {
    libusb_config_descriptor* config = nullptr;
    explicit ConfigDescriptor(libusb_device* dev) {
        if (libusb_get_active_config_descriptor(dev, &config) != LIBUSB_SUCCESS)
            config = nullptr;
    }
    ~ConfigDescriptor() {
        if (config)
            libusb_free_config_descriptor(config);
    }
    ConfigDescriptor(const ConfigDescriptor&) = delete;
    ConfigDescriptor& operator=(const ConfigDescriptor&) = delete;
};

struct InterfaceInfo {
    int number;
    uint8_t cls;
    uint8_t subclass;
};

// One present device, as its descriptors (kernel copies, no device I/O) and
// its place on the bus describe it.
struct DeviceInfo {
    libusb_device* device;
    uint8_t bus;
    std::vector<uint8_t> ports;
    libusb_device_descriptor descriptor;
    std::vector<InterfaceInfo> interfaces;  // alternate setting 0 of each, in order

    bool Composite() const { return interfaces.size() > 1; }
    std::string PortChain() const {
        std::string s = std::to_string(bus) + "-";
        for (size_t i = 0; i < ports.size(); ++i)
            s += (i ? "." : "") + std::to_string(ports[i]);
        return ports.empty() ? s + "0" : s;
    }
};

// What only the device itself can tell: it answers while the host has it
// open, which needs write access to its device node.
struct Probe {
    std::string serial;
    std::vector<DeclaredGuid> declared;
};

// A member of some class, before its path is fixed.
struct Candidate {
    size_t deviceIndex;
    int interfaceNumber;
    GUID guid;
};

std::string LowerGuid(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", g.Data1, g.Data2, g.Data3,
                  g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// Windows takes a serial number as the instance only when it is printable
// ASCII without commas; '#' and '\' would break the path's fields.
bool UsableSerial(const std::string& s) {
    if (s.empty())
        return false;
    for (char c : s)
        if (c <= 0x20 || c > 0x7E || c == ',' || c == '#' || c == '\\')
            return false;
    return true;
}

std::optional<DeviceInfo> Describe(libusb_device* dev) {
    DeviceInfo info;
    info.device = dev;
    if (libusb_get_device_descriptor(dev, &info.descriptor) != LIBUSB_SUCCESS)
        return std::nullopt;
    info.bus = libusb_get_bus_number(dev);
    uint8_t ports[8];
    int n = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (n > 0)
        info.ports.assign(ports, ports + n);
    ConfigDescriptor cfg(dev);
    if (cfg.config) {
        for (uint8_t i = 0; i < cfg.config->bNumInterfaces; ++i) {
            const libusb_interface& itf = cfg.config->interface[i];
            if (itf.num_altsetting < 1)
                continue;
            const libusb_interface_descriptor& alt = itf.altsetting[0];
            info.interfaces.push_back(InterfaceInfo{alt.bInterfaceNumber, alt.bInterfaceClass,
                                                    alt.bInterfaceSubClass});
        }
    }
    return info;
}

int ControlIn(libusb_device_handle* h, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
              std::vector<uint8_t>& out, size_t length) {
    out.assign(length, 0);
    int r = libusb_control_transfer(h, type, request, value, index, out.data(), static_cast<uint16_t>(length),
                                    kProbeTimeoutMs);
    out.resize(r > 0 ? static_cast<size_t>(r) : 0);
    return r;
}

// The MS OS 2.0 descriptor set, when the BOS descriptor announces one.
std::vector<DeclaredGuid> ReadMsOs20(libusb_device_handle* h, const DeviceInfo& info) {
    if (info.descriptor.bcdUSB < 0x0201)  // a BOS descriptor exists from USB 2.01 on
        return {};
    std::vector<uint8_t> bos;
    if (ControlIn(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_BOS << 8, 0, bos, 5) < 5)
        return {};
    const size_t total = static_cast<size_t>(bos[2] | bos[3] << 8);
    if (total > 5 && ControlIn(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_BOS << 8, 0, bos,
                               total) < static_cast<int>(total))
        return {};
    std::optional<MsOs20Location> where = FindMsOs20Set(bos.data(), bos.size());
    if (!where)
        return {};
    std::vector<uint8_t> set;
    if (ControlIn(h, static_cast<uint8_t>(kVendorIn | LIBUSB_RECIPIENT_DEVICE), where->vendorCode, 0,
                  kMsOs20DescriptorIndex, set, std::min<size_t>(where->totalLength, kMaxDescriptorSet)) <= 0)
        return {};
    return ParseMsOs20Set(set.data(), set.size());
}

// MS OS 1.0 extended properties of one interface: asked of the interface,
// then (as some devices answer only that) of the device.
std::vector<GUID> ReadMsOs10Interface(libusb_device_handle* h, uint8_t vendorCode, int interfaceNumber) {
    const uint16_t value = static_cast<uint16_t>(interfaceNumber << 8);  // high byte interface, low byte page 0
    for (uint8_t recipient : {LIBUSB_RECIPIENT_INTERFACE, LIBUSB_RECIPIENT_DEVICE}) {
        const uint8_t type = static_cast<uint8_t>(kVendorIn | recipient);
        std::vector<uint8_t> d;
        if (ControlIn(h, type, vendorCode, value, kMsOs10ExtendedProperties, d, 10) < 10)
            continue;
        const size_t total = std::min<size_t>(static_cast<size_t>(d[0] | d[1] << 8 | d[2] << 16) | size_t(d[3]) << 24, kMaxDescriptorSet);
        if (total > 10 && ControlIn(h, type, vendorCode, value, kMsOs10ExtendedProperties, d, total) <= 0)
            continue;
        return ParseMsOs10Properties(d.data(), d.size());
    }
    return {};
}

std::vector<DeclaredGuid> ReadMsOs10(libusb_device_handle* h, const DeviceInfo& info) {
    std::vector<uint8_t> s;
    if (ControlIn(h, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, LIBUSB_DT_STRING << 8 | kMsOs10StringIndex, 0,
                  s, 18) < 18)
        return {};
    std::optional<uint8_t> code = MsOs10VendorCode(s.data(), s.size());
    if (!code)
        return {};
    std::vector<DeclaredGuid> out;
    for (const InterfaceInfo& itf : info.interfaces)
        for (const GUID& g : ReadMsOs10Interface(h, *code, itf.number))
            out.push_back(DeclaredGuid{info.Composite() ? itf.number : -1, g});
    return out;
}

// The serial number and the declared GUIDs; empty when the device cannot
// be opened (then only the mapping file and the DFU class can place it).
Probe ProbeDevice(const DeviceInfo& info) {
    Probe p;
    libusb_device_handle* h = nullptr;
    if (libusb_open(info.device, &h) != LIBUSB_SUCCESS)
        return p;
    if (info.descriptor.iSerialNumber) {
        unsigned char text[256];
        int n = libusb_get_string_descriptor_ascii(h, info.descriptor.iSerialNumber, text, sizeof text);
        if (n > 0)
            p.serial.assign(reinterpret_cast<char*>(text), static_cast<size_t>(n));
    }
    if (info.descriptor.bDeviceClass != LIBUSB_CLASS_HUB) {
        p.declared = ReadMsOs20(h, info);
        if (p.declared.empty())
            p.declared = ReadMsOs10(h, info);
    }
    libusb_close(h);
    return p;
}

// The interface that a binding for the whole device means: the DFU
// interface if there is one, else the first.
int DefaultInterface(const DeviceInfo& info) {
    for (const InterfaceInfo& itf : info.interfaces)
        if (itf.cls == kDfuClass && itf.subclass == kDfuSubclass)
            return itf.number;
    return info.interfaces.empty() ? 0 : info.interfaces.front().number;
}

bool HasInterface(const DeviceInfo& info, int number) {
    return std::any_of(info.interfaces.begin(), info.interfaces.end(),
                       [number](const InterfaceInfo& i) { return i.number == number; });
}

void AddCandidate(std::vector<Candidate>& out, size_t index, int number, const GUID& guid) {
    for (const Candidate& c : out)
        if (c.deviceIndex == index && c.interfaceNumber == number && IsEqualGUID(c.guid, guid))
            return;  // declared twice, or declared and mapped alike
    out.push_back(Candidate{index, number, guid});
}

void CandidatesOf(const DeviceInfo& info, size_t index, const Probe& probe, const std::vector<GuidBinding>& map,
                  std::vector<Candidate>& out) {
    const size_t before = out.size();
    for (const DeclaredGuid& d : probe.declared) {
        const int number = d.interfaceNumber < 0 ? DefaultInterface(info) : d.interfaceNumber;
        if (HasInterface(info, number))
            AddCandidate(out, index, number, d.guid);
    }
    for (const GuidBinding& b : map) {
        if (b.vid != info.descriptor.idVendor || b.pid != info.descriptor.idProduct)
            continue;
        const int number = b.interfaceNumber < 0 ? DefaultInterface(info) : b.interfaceNumber;
        if (HasInterface(info, number))
            AddCandidate(out, index, number, b.guid);
    }
    if (out.size() != before)
        return;
    for (const InterfaceInfo& itf : info.interfaces)
        if (itf.cls == kDfuClass && itf.subclass == kDfuSubclass)
            AddCandidate(out, index, itf.number, kDefaultDfuClass);
}

struct Listed {
    libusb_device* device;
    int interfaceNumber;
    UsbMember member;
};

// Every member of every class among the present devices. With onlyVidPid,
// only devices of that VID:PID are asked anything (an open looks for one).
std::vector<Listed> ListMembers(libusb_context* ctx, const DeviceList& list,
                                std::optional<std::pair<uint16_t, uint16_t>> onlyVidPid) {
    std::vector<DeviceInfo> devices;
    for (ssize_t i = 0; i < list.count; ++i)
        if (std::optional<DeviceInfo> info = Describe(list.devices[i]))
            devices.push_back(std::move(*info));
    std::sort(devices.begin(), devices.end(), [](const DeviceInfo& a, const DeviceInfo& b) {
        return a.bus != b.bus ? a.bus < b.bus : a.ports < b.ports;
    });

    const std::vector<GuidBinding> map = LoadGuidMap();
    std::vector<Probe> probes(devices.size());
    std::vector<Candidate> candidates;
    for (size_t i = 0; i < devices.size(); ++i) {
        const DeviceInfo& d = devices[i];
        if (onlyVidPid && (d.descriptor.idVendor != onlyVidPid->first || d.descriptor.idProduct != onlyVidPid->second))
            continue;
        probes[i] = ProbeDevice(d);
        CandidatesOf(d, i, probes[i], map, candidates);
    }

    // A serial number shared by two devices of one VID:PID names neither.
    auto serialKey = [&](size_t i) {
        char ids[16];
        std::snprintf(ids, sizeof ids, "%04x:%04x:", devices[i].descriptor.idVendor, devices[i].descriptor.idProduct);
        return ids + probes[i].serial;
    };
    std::map<std::string, int> serialUse;
    for (size_t i = 0; i < devices.size(); ++i)
        if (UsableSerial(probes[i].serial))
            ++serialUse[serialKey(i)];

    std::vector<Listed> out;
    for (const Candidate& c : candidates) {
        const DeviceInfo& d = devices[c.deviceIndex];
        const bool bySerial = UsableSerial(probes[c.deviceIndex].serial) && serialUse[serialKey(c.deviceIndex)] == 1;
        const std::string instance = bySerial ? probes[c.deviceIndex].serial : d.PortChain();
        char ids[40];
        std::snprintf(ids, sizeof ids, "vid_%04x&pid_%04x", d.descriptor.idVendor, d.descriptor.idProduct);
        std::string path = std::string("\\\\?\\usb#") + ids;
        if (d.Composite()) {
            char mi[8];
            std::snprintf(mi, sizeof mi, "&mi_%02x", c.interfaceNumber & 0xFF);
            path += mi;
        }
        path += "#" + instance + "#" + LowerGuid(c.guid);
        out.push_back(Listed{d.device, c.interfaceNumber, UsbMember{Utf8ToUtf16(path), c.guid, true}});
    }
    return out;
}

// The VID and PID of a path in this backend's form.
std::optional<std::pair<uint16_t, uint16_t>> VidPidOf(const std::u16string& path) {
    const std::u16string prefix = u"\\\\?\\usb#vid_";
    if (path.size() < 25 || !EqualNoCase(path.substr(0, prefix.size()), prefix) || FoldAscii(path[16]) != u'&' ||
        !EqualNoCase(path.substr(17, 4), u"pid_"))
        return std::nullopt;
    auto hex = [&](size_t at, uint16_t& v) {
        v = 0;
        for (size_t i = at; i < at + 4; ++i) {
            char16_t c = FoldAscii(path[i]);
            int digit = c >= u'0' && c <= u'9' ? c - u'0' : c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;  // folded upper
            if (digit < 0)
                return false;
            v = static_cast<uint16_t>(v * 16 + digit);
        }
        return true;
    };
    uint16_t vid, pid;
    if (!hex(12, vid) || !hex(21, pid))
        return std::nullopt;
    return std::make_pair(vid, pid);
}

class LibusbDevice final : public UsbDeviceFile {
public:
    LibusbDevice(Context ctx, libusb_device_handle* handle, int interfaceNumber)
        : ctx_(std::move(ctx)), handle_(handle), interface_(interfaceNumber) {}
    ~LibusbDevice() override { Release(); }

    void Close() override {
        std::lock_guard<std::mutex> guard(mu_);
        Release();
    }

    BOOL Control(const UCHAR setup[8], UCHAR* data, ULONG* transferred, DWORD timeoutMs) override {
        const uint16_t value = static_cast<uint16_t>(setup[2] | setup[3] << 8);
        const uint16_t index = static_cast<uint16_t>(setup[4] | setup[5] << 8);
        const uint16_t length = static_cast<uint16_t>(setup[6] | setup[7] << 8);
        std::lock_guard<std::mutex> guard(mu_);
        if (!handle_)
            return Closed();
        int r = libusb_control_transfer(handle_, setup[0], setup[1], value, index, data, length, timeoutMs);
        if (r < 0)
            return FailWithLibusb(r);
        *transferred = static_cast<ULONG>(r);
        return TRUE;
    }

    BOOL GetDescriptor(UCHAR type, UCHAR index, USHORT language, UCHAR* buffer, ULONG length, ULONG* transferred,
                       DWORD timeoutMs) override {
        const UCHAR setup[8] = {LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR, index, type,
                                static_cast<UCHAR>(language), static_cast<UCHAR>(language >> 8),
                                static_cast<UCHAR>(length), static_cast<UCHAR>(length >> 8)};
        return Control(setup, buffer, transferred, timeoutMs);
    }

    // From the kernel's copy of the active configuration, as WinUSB answers
    // from the descriptors it read at enumeration.
    BOOL QueryInterface(UCHAR alternate, USB_INTERFACE_DESCRIPTOR* out, DWORD) override {
        std::lock_guard<std::mutex> guard(mu_);
        if (!handle_)
            return Closed();
        ConfigDescriptor cfg(libusb_get_device(handle_));
        if (!cfg.config) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
        for (uint8_t i = 0; i < cfg.config->bNumInterfaces; ++i) {
            const libusb_interface& itf = cfg.config->interface[i];
            for (int a = 0; a < itf.num_altsetting; ++a) {
                const libusb_interface_descriptor& d = itf.altsetting[a];
                if (d.bInterfaceNumber != interface_ || d.bAlternateSetting != alternate)
                    continue;
                *out = USB_INTERFACE_DESCRIPTOR{d.bLength, d.bDescriptorType, d.bInterfaceNumber,
                                                d.bAlternateSetting, d.bNumEndpoints, d.bInterfaceClass,
                                                d.bInterfaceSubClass, d.bInterfaceProtocol, d.iInterface};
                return TRUE;
            }
        }
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }

    UCHAR InterfaceNumber() const override { return static_cast<UCHAR>(interface_); }

    // Only the control pipe is open, and only its time-out is a policy here;
    // WinUsb_SetPipePolicy keeps the value.
    BOOL SetPipePolicy(UCHAR pipe, ULONG policy, ULONG, const void*, DWORD) override {
        std::lock_guard<std::mutex> guard(mu_);
        if (!handle_)
            return Closed();
        if (pipe != 0 || policy != PIPE_TRANSFER_TIMEOUT) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return TRUE;
    }

private:
    static BOOL Closed() {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    void Release() {
        if (!handle_)
            return;
        libusb_release_interface(handle_, interface_);  // fails harmlessly on a device that is gone
        libusb_close(handle_);
        handle_ = nullptr;
    }

    const Context ctx_;  // outlives the handle
    std::mutex mu_;      // one transfer at a time; Close waits for it
    libusb_device_handle* handle_;
    const int interface_;
};

class LibusbUsbBackend final : public UsbBackend {
public:
    const char* Name() const override { return "libusb"; }

    std::vector<UsbMember> Members() override {
        Context ctx = NewContext();
        if (!ctx)
            return {};
        DeviceList list(ctx.get());
        std::vector<UsbMember> out;
        for (Listed& l : ListMembers(ctx.get(), list, std::nullopt))
            out.push_back(std::move(l.member));
        return out;
    }

    // Opening claims the interface: the kernel lets one open file hold it,
    // so a second open, from this process or another, is refused as on
    // Windows. A kernel driver bound to it is detached first.
    HANDLE Open(const std::u16string& path) override {
        std::optional<std::pair<uint16_t, uint16_t>> ids = VidPidOf(path);
        Context ctx = ids ? NewContext() : nullptr;
        if (!ctx)
            return NotMine();
        DeviceList list(ctx.get());
        for (const Listed& l : ListMembers(ctx.get(), list, ids)) {
            if (!EqualNoCase(l.member.interfacePath, path))
                continue;
            libusb_device_handle* h = nullptr;
            int r = libusb_open(l.device, &h);
            if (r == LIBUSB_SUCCESS) {
                libusb_set_auto_detach_kernel_driver(h, 1);
                r = libusb_claim_interface(h, l.interfaceNumber);
                if (r == LIBUSB_SUCCESS)
                    return RegisterHandle(std::make_shared<LibusbDevice>(ctx, h, l.interfaceNumber));
                libusb_close(h);
            }
            // Gone between the listing and the open: as if it was never there.
            SetLastError(r == LIBUSB_ERROR_NO_DEVICE ? ERROR_FILE_NOT_FOUND : WindowsErrorFromLibusb(r));
            return INVALID_HANDLE_VALUE;
        }
        return NotMine();
    }

private:
    static HANDLE NotMine() {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
};

}  // namespace

UsbBackend& LibusbBackend() {
    static LibusbUsbBackend* backend = new LibusbUsbBackend;
    return *backend;
}

}  // namespace velt::platform
