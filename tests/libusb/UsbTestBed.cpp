#include "UsbTestBed.h"

#include <linux/ioctl.h>
#include <linux/usbdevice_fs.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

namespace velt::test {
namespace {

constexpr uint8_t kMsOs20VendorCode = 0x20;
constexpr uint8_t kMsOs10VendorCode = 0x21;

void Put16(std::vector<uint8_t>& out, unsigned v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}

void Put32(std::vector<uint8_t>& out, unsigned v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

void PutUtf16(std::vector<uint8_t>& out, const std::string& text) {
    for (char c : text)
        Put16(out, static_cast<uint8_t>(c));
}

void Patch16(std::vector<uint8_t>& out, size_t at, unsigned v) {
    out[at] = static_cast<uint8_t>(v);
    out[at + 1] = static_cast<uint8_t>(v >> 8);
}

std::vector<uint8_t> StringDescriptor(const std::string& text) {
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), 3};
    PutUtf16(out, text);
    return out;
}

// "DeviceInterfaceGUIDs" as REG_MULTI_SZ: each GUID and a closing empty string.
std::vector<uint8_t> MultiSz(const std::vector<std::string>& guids) {
    std::vector<uint8_t> out;
    for (const std::string& g : guids) {
        PutUtf16(out, g);
        Put16(out, 0);
    }
    Put16(out, 0);
    return out;
}

const std::string kGuidsName = std::string("DeviceInterfaceGUIDs") + '\0';

std::vector<uint8_t> MsOs20Property(const std::vector<std::string>& guids) {
    std::vector<uint8_t> data = MultiSz(guids);
    std::vector<uint8_t> out;
    Put16(out, 0);  // wLength, patched below
    Put16(out, 0x04);
    Put16(out, 7);  // REG_MULTI_SZ
    Put16(out, static_cast<unsigned>(kGuidsName.size() * 2));
    PutUtf16(out, kGuidsName);
    Put16(out, static_cast<unsigned>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
    Patch16(out, 0, static_cast<unsigned>(out.size()));
    return out;
}

bool IsDfu(const EmulatedInterface& i) { return i.cls == 0xFE && i.subclass == 0x01; }

velt::sim::ModelConfig DfuFunction(const DeviceLayout& layout) {
    velt::sim::ModelConfig model = layout.model;
    model.manifestTolerant = (layout.dfuAttributes & 0x04) != 0;
    for (size_t i = 0; i < layout.interfaces.size(); ++i) {
        if (IsDfu(layout.interfaces[i])) {
            model.dfuInterface = static_cast<uint16_t>(i);
            break;
        }
    }
    return model;
}

std::string Hex(const std::vector<uint8_t>& bytes) {
    std::string out;
    char b[3];
    for (uint8_t v : bytes) {
        std::snprintf(b, sizeof b, "%02x", v);
        out += b;
    }
    return out;
}

}  // namespace

EmulatedDevice::EmulatedDevice(const DeviceLayout& layout, uint8_t address)
    : layout_(layout), address_(address), model_(DfuFunction(layout)) {
    std::vector<uint8_t>& c = configuration_;
    c = {9, 2, 0, 0, static_cast<uint8_t>(layout.interfaces.size()), 1, 0, 0x80, 50};
    for (size_t i = 0; i < layout.interfaces.size(); ++i) {
        const EmulatedInterface& itf = layout.interfaces[i];
        c.insert(c.end(), {9, 4, static_cast<uint8_t>(i), 0, 0, itf.cls, itf.subclass, itf.protocol, 0});
        if (IsDfu(itf)) {
            c.insert(c.end(), {9, 0x21, layout.dfuAttributes});
            Put16(c, 1000);
            Put16(c, layout.transferSize);
            Put16(c, 0x0110);
        }
    }
    Patch16(c, 2, static_cast<unsigned>(c.size()));
}

EmulatedDevice::~EmulatedDevice() {
    for (auto& [client, state] : clients_) {
        for (UMockdevIoctlData* d : state.completed)
            g_object_unref(d);
        for (UMockdevIoctlData* d : state.inFlight)
            g_object_unref(d);
        g_object_unref(client);
    }
    if (handler_)
        g_object_unref(handler_);
}

std::string EmulatedDevice::node() const {
    char path[32];
    std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", layout_.bus, address_);
    return path;
}

void EmulatedDevice::StallNext(unsigned n) {
    std::lock_guard<std::mutex> g(mu_);
    stalls_ = n;
}

void EmulatedDevice::FailNextClaim(int error) {
    std::lock_guard<std::mutex> g(mu_);
    claimError_ = error;
}

void EmulatedDevice::SetSilent(bool silent) {
    std::lock_guard<std::mutex> g(mu_);
    silent_ = silent;
}

std::vector<uint8_t> EmulatedDevice::Requests() const {
    std::lock_guard<std::mutex> g(mu_);
    return requests_;
}

size_t EmulatedDevice::OpenClients() const {
    std::lock_guard<std::mutex> g(mu_);
    const_cast<EmulatedDevice*>(this)->PruneGone();
    return clients_.size();
}

unsigned EmulatedDevice::Resets() const {
    std::lock_guard<std::mutex> g(mu_);
    return resets_;
}

std::vector<uint8_t> EmulatedDevice::Flash() const {
    std::lock_guard<std::mutex> g(mu_);
    return model_.flash().bytes();
}

std::optional<std::vector<uint8_t>> EmulatedDevice::Descriptor(uint8_t type, uint8_t index) const {
    bool anyMsOs20 = !layout_.msOs20Guids.empty();
    for (const EmulatedInterface& i : layout_.interfaces)
        anyMsOs20 = anyMsOs20 || !i.msOs20Guids.empty();
    switch (type) {
    case 1: {
        std::vector<uint8_t> d{18, 1};
        Put16(d, anyMsOs20 ? 0x0201 : 0x0200);
        d.insert(d.end(), {0, 0, 0, 64});
        Put16(d, layout_.vid);
        Put16(d, layout_.pid);
        Put16(d, 0x0100);
        d.insert(d.end(), {1, 2, static_cast<uint8_t>(layout_.serial.empty() ? 0 : 3), 1});
        return index == 0 ? std::optional(d) : std::nullopt;
    }
    case 2:
        return index == 0 ? std::optional(configuration_) : std::nullopt;
    case 3:
        if (index == 0)
            return std::vector<uint8_t>{4, 3, 0x09, 0x04};
        if (index == 1)
            return StringDescriptor("Velt");
        if (index == 2)
            return StringDescriptor("Velt test bed");
        if (index == 3 && !layout_.serial.empty())
            return StringDescriptor(layout_.serial);
        if (index == 0xEE && !layout_.msOs10Guids.empty()) {
            std::vector<uint8_t> d = StringDescriptor("MSFT100");
            d.insert(d.end(), {kMsOs10VendorCode, 0});
            d[0] = 18;
            return d;
        }
        return std::nullopt;
    case 0x0F: {  // BOS
        if (!anyMsOs20)
            return std::nullopt;
        std::vector<uint8_t> set = *Descriptor(0xF0, 0);
        std::vector<uint8_t> d{5, 0x0F, 0, 0, 1, 28, 0x10, 0x05, 0,
                               0xDF, 0x60, 0xDD, 0xD8, 0x89, 0x45, 0xC7, 0x4C,
                               0x9C, 0xD2, 0x65, 0x9D, 0x9E, 0x64, 0x8A, 0x9F};
        Put32(d, 0x06030000);
        Put16(d, static_cast<unsigned>(set.size()));
        d.insert(d.end(), {kMsOs20VendorCode, 0});
        Patch16(d, 2, static_cast<unsigned>(d.size()));
        return d;
    }
    case 0xF0: {  // not a USB type: the MS OS 2.0 descriptor set, by vendor request
        std::vector<uint8_t> d{10, 0, 0, 0};
        Put32(d, 0x06030000);
        Put16(d, 0);
        if (!layout_.msOs20Guids.empty()) {
            std::vector<uint8_t> p = MsOs20Property(layout_.msOs20Guids);
            d.insert(d.end(), p.begin(), p.end());
        }
        std::vector<uint8_t> config;
        for (size_t i = 0; i < layout_.interfaces.size(); ++i) {
            if (layout_.interfaces[i].msOs20Guids.empty())
                continue;
            std::vector<uint8_t> p = MsOs20Property(layout_.interfaces[i].msOs20Guids);
            std::vector<uint8_t> f{8, 0, 2, 0, static_cast<uint8_t>(i), 0};
            Put16(f, static_cast<unsigned>(8 + p.size()));
            f.insert(f.end(), p.begin(), p.end());
            config.insert(config.end(), f.begin(), f.end());
        }
        if (!config.empty()) {
            std::vector<uint8_t> h{8, 0, 1, 0, 0, 0};
            Put16(h, static_cast<unsigned>(8 + config.size()));
            d.insert(d.end(), h.begin(), h.end());
            d.insert(d.end(), config.begin(), config.end());
        }
        Patch16(d, 8, static_cast<unsigned>(d.size()));
        return d;
    }
    case 0xF1: {  // the MS OS 1.0 extended properties
        if (layout_.msOs10Guids.empty())
            return std::nullopt;
        std::vector<uint8_t> data = MultiSz(layout_.msOs10Guids);
        std::vector<uint8_t> section;
        Put32(section, static_cast<unsigned>(14 + kGuidsName.size() * 2 + data.size()));
        Put32(section, 7);
        Put16(section, static_cast<unsigned>(kGuidsName.size() * 2));
        PutUtf16(section, kGuidsName);
        Put32(section, static_cast<unsigned>(data.size()));
        section.insert(section.end(), data.begin(), data.end());
        std::vector<uint8_t> d;
        Put32(d, static_cast<unsigned>(10 + section.size()));
        Put16(d, 0x0100);
        Put16(d, 5);
        Put16(d, 1);
        d.insert(d.end(), section.begin(), section.end());
        return d;
    }
    default:
        return std::nullopt;
    }
}

int EmulatedDevice::Answer(const uint8_t* s, uint8_t* data, int& actual) {
    const uint8_t type = s[0], request = s[1];
    const uint16_t value = static_cast<uint16_t>(s[2] | s[3] << 8);
    const uint16_t index = static_cast<uint16_t>(s[4] | s[5] << 8);
    const uint16_t length = static_cast<uint16_t>(s[6] | s[7] << 8);
    std::optional<std::vector<uint8_t>> reply;
    actual = 0;
    if (type == 0x80 && request == 6) {
        reply = Descriptor(static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value));
    } else if (type == 0x80 && request == 0) {
        reply = std::vector<uint8_t>{0, 0};
    } else if (type == 0xC0 && request == kMsOs20VendorCode && index == 7) {
        reply = Descriptor(0xF0, 0);
    } else if ((type == 0xC0 || type == 0xC1) && request == kMsOs10VendorCode && index == 5 && (value >> 8) == 0) {
        reply = Descriptor(0xF1, 0);
    } else if ((type & 0x60) == 0x20 || (type & 0x60) == 0x40) {
        requests_.push_back(request);
        if (stalls_ > 0) {
            --stalls_;
            return -EPIPE;
        }
        velt::sim::SetupPacket setup{type, request, value, index, length};
        velt::sim::ControlResult r = model_.handle(setup, (type & 0x80) ? nullptr : data, (type & 0x80) ? 0 : length);
        if (r.stall)
            return -EPIPE;
        if (type & 0x80)
            reply = r.data;
        else
            actual = length;
    }
    if (!(type & 0x80))
        return (type & 0x60) ? 0 : -EPIPE;  // no standard OUT request is modelled
    if (!reply)
        return -EPIPE;
    actual = static_cast<int>(std::min<size_t>(reply->size(), length));
    if (actual > 0)
        std::memcpy(data, reply->data(), static_cast<size_t>(actual));
    return 0;
}

void EmulatedDevice::Submit(UMockdevIoctlClient* client, Client& state) {
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    UMockdevIoctlData* urbData = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_urb), nullptr);
    auto* urb = reinterpret_cast<struct usbdevfs_urb*>(urbData->data);
    if (urb->type != USBDEVFS_URB_TYPE_CONTROL || urb->buffer_length < 8) {
        g_object_unref(urbData);
        umockdev_ioctl_client_complete(client, -1, EINVAL);
        return;
    }
    UMockdevIoctlData* buffer = umockdev_ioctl_data_resolve(
        urbData, offsetof(struct usbdevfs_urb, buffer), static_cast<gsize>(urb->buffer_length), nullptr);
    g_object_unref(buffer);  // the URB's record keeps it
    int actual = 0;
    urb->status = Answer(urb->buffer ? static_cast<uint8_t*>(urb->buffer) : nullptr,
                         static_cast<uint8_t*>(urb->buffer) + 8, actual);
    urb->actual_length = actual;
    if (silent_)
        state.inFlight.push_back(urbData);
    else
        state.completed.push_back(urbData);
    umockdev_ioctl_client_complete(client, 0, 0);
}

bool EmulatedDevice::HandleIoctl(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> g(mu_);
    PruneGone();
    if (!clients_.count(client))
        g_object_ref(client);  // held until it is seen gone, so its address is never reused meanwhile
    Client& state = clients_[client];
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    auto fail = [client](int error) {
        umockdev_ioctl_client_complete(client, -1, error);
        return true;
    };

    if (removed_ && request != USBDEVFS_REAPURBNDELAY && request != USBDEVFS_REAPURB &&
        request != USBDEVFS_RELEASEINTERFACE)
        return fail(ENODEV);
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(guint32), nullptr);
        *reinterpret_cast<guint32*>(d->data) = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM;
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(d);
        return true;
    }
    case USBDEVFS_GETDRIVER:
    case USBDEVFS_IOCTL:  // the disconnect of a kernel driver
        return fail(ENODATA);  // no kernel driver is bound
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE: {
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned), nullptr);
        const unsigned number = *reinterpret_cast<unsigned*>(d->data);
        g_object_unref(d);
        auto held = claims_.find(number);
        if (number >= layout_.interfaces.size())
            return fail(ENOENT);
        if (request == USBDEVFS_CLAIMINTERFACE) {
            if (claimError_ != 0)
                return fail(std::exchange(claimError_, 0));
            if (held != claims_.end() && held->second != client)
                return fail(EBUSY);  // another open file holds it
            claims_[number] = client;
        } else {
            if (held == claims_.end() || held->second != client)
                return fail(EINVAL);
            claims_.erase(held);
        }
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_SUBMITURB:
        Submit(client, state);
        return true;
    case USBDEVFS_SETINTERFACE: {  // every interface has alternate setting 0 alone
        UMockdevIoctlData* d = umockdev_ioctl_data_resolve(arg, 0, sizeof(struct usbdevfs_setinterface), nullptr);
        const auto* set = reinterpret_cast<const struct usbdevfs_setinterface*>(d->data);
        const bool known = set->interface < layout_.interfaces.size() && set->altsetting == 0;
        g_object_unref(d);
        if (!known)
            return fail(EINVAL);
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    }
    case USBDEVFS_RESET:
        ++resets_;
        model_.busReset();
        umockdev_ioctl_client_complete(client, 0, 0);
        return true;
    case USBDEVFS_REAPURB:
    case USBDEVFS_REAPURBNDELAY: {
        if (state.completed.empty())
            return fail(removed_ ? ENODEV : EAGAIN);
        UMockdevIoctlData* urbData = state.completed.front();
        state.completed.pop_front();
        UMockdevIoctlData* slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(gpointer), nullptr);
        umockdev_ioctl_data_set_ptr(slot, 0, urbData);
        umockdev_ioctl_client_complete(client, 0, 0);
        g_object_unref(slot);
        g_object_unref(urbData);
        return true;
    }
    case USBDEVFS_DISCARDURB: {
        const gulong address = *reinterpret_cast<gulong*>(arg->data);
        for (auto it = state.inFlight.begin(); it != state.inFlight.end(); ++it) {
            if ((*it)->client_addr != address)
                continue;
            auto* urb = reinterpret_cast<struct usbdevfs_urb*>((*it)->data);
            urb->status = -ENOENT;
            urb->actual_length = 0;
            state.completed.push_back(*it);
            state.inFlight.erase(it);
            umockdev_ioctl_client_complete(client, 0, 0);
            return true;
        }
        return fail(EINVAL);
    }
    default:
        return fail(ENOTTY);
    }
}

// A closed descriptor shows only as a client that is no longer connected
// (umockdev 0.17 emits no client-vanished here): its claims and URBs go
// with it. Called with the lock held.
void EmulatedDevice::PruneGone() {
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (umockdev_ioctl_client_get_connected(it->first)) {
            ++it;
            continue;
        }
        for (auto c = claims_.begin(); c != claims_.end();)
            c = c->second == it->first ? claims_.erase(c) : std::next(c);
        for (UMockdevIoctlData* d : it->second.completed)
            g_object_unref(d);
        for (UMockdevIoctlData* d : it->second.inFlight)
            g_object_unref(d);
        g_object_unref(it->first);
        it = clients_.erase(it);
    }
}

}  // namespace velt::test

// The umockdev preload is loaded before the ASan runtime; ASan would refuse
// to start. Linked into every test that uses the bed.
extern "C" const char* __asan_default_options() { return "verify_asan_link_order=0"; }

namespace velt::test {

// Looked up in the process's own mappings: umockdev_in_mock_environment()
// answers false under a working preload.
bool UsbTestBed::InMockEnvironment() {
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
        if (line.find("libumockdev-preload") != std::string::npos)
            return true;
    return false;
}

UsbTestBed::UsbTestBed() {
    if (!InMockEnvironment()) {
        ADD_FAILURE() << "not under the umockdev preload (LD_PRELOAD=libumockdev-preload.so.0): "
                         "libusb would see the host's real bus";
        return;
    }
    bed_ = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(bed_);
    root_ = root;
    g_free(root);
}

UsbTestBed::~UsbTestBed() {
    if (bed_)
        g_object_unref(bed_);  // detaches the handlers and removes the tree
    devices_.clear();
}

int EmulatedDevice::OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, void* device) {
    return static_cast<EmulatedDevice*>(device)->HandleIoctl(client);
}

EmulatedDevice& UsbTestBed::Add(const DeviceLayout& layout) {
    const uint8_t address = ++nextAddress_[layout.bus];  // 1, 2, ... per bus, as the kernel hands them out
    std::unique_ptr<EmulatedDevice> device(new EmulatedDevice(layout, address));
    EmulatedDevice& d = *device;
    if (!bed_)
        return *devices_.emplace_back(std::move(device));

    d.handler_ = umockdev_ioctl_base_new();
    g_signal_connect(d.handler_, "handle-ioctl", G_CALLBACK(EmulatedDevice::OnIoctl), &d);
    GError* error = nullptr;
    // The handler goes first, so that the node answers as soon as it exists.
    if (!umockdev_testbed_attach_ioctl(bed_, d.node().c_str(), d.handler_, &error)) {
        ADD_FAILURE() << "attach_ioctl " << d.node() << ": " << (error ? error->message : "?");
        g_clear_error(&error);
    }
    std::vector<uint8_t> descriptors = *d.Descriptor(1, 0);
    descriptors.insert(descriptors.end(), d.configuration_.begin(), d.configuration_.end());
    char name[16];
    std::snprintf(name, sizeof name, "%u-%u", layout.bus, layout.port);
    d.sysPath_ = "/sys/devices/usb" + std::to_string(layout.bus) + "/" + name;
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, "%03u", layout.bus);
    const std::string bus3 = numbers;
    std::snprintf(numbers, sizeof numbers, "%03u", address);
    const std::string dev3 = numbers;
    std::snprintf(numbers, sizeof numbers, "%04x", layout.vid);
    const std::string vid = numbers;
    std::snprintf(numbers, sizeof numbers, "%04x", layout.pid);
    const std::string pid = numbers;
    const std::string text = "P: /devices/usb" + std::to_string(layout.bus) + "/" + name + "\n" +
                             "N: bus/usb/" + bus3 + "/" + dev3 + "\n" +
                             "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n" +
                             "E: DEVNAME=/dev/bus/usb/" + bus3 + "/" + dev3 + "\n" +
                             "E: BUSNUM=" + bus3 + "\nE: DEVNUM=" + dev3 + "\n" +
                             "A: busnum=" + std::to_string(layout.bus) + "\\n\n" +
                             "A: devnum=" + std::to_string(address) + "\\n\n" +
                             "A: speed=480\\n\nA: bConfigurationValue=1\\n\n" +
                             "A: idVendor=" + vid + "\\n\nA: idProduct=" + pid + "\\n\n" +
                             "H: descriptors=" + Hex(descriptors) + "\n";
    if (!umockdev_testbed_add_from_string(bed_, text.c_str(), &error)) {
        ADD_FAILURE() << "add_from_string: " << (error ? error->message : "?");
        g_clear_error(&error);
    }
    return *devices_.emplace_back(std::move(device));
}

std::string UsbTestBed::AddTty(const TtyLayout& tty) {
    const bool usbSerial = tty.name.rfind("ttyUSB", 0) == 0;
    const std::string device = usbSerial ? tty.devicePath + "/" + tty.name : tty.devicePath;
    const std::string sysPath = "/sys" + device + "/tty/" + tty.name;
    if (!bed_)
        return sysPath;
    // The kernel's numbers (ttyUSB 188, ttyACM 166, ttyS 4 from minor 64):
    // umockdev reports them for the node, so that two ports are two devices.
    const size_t digits = tty.name.find_first_of("0123456789");
    const unsigned index = static_cast<unsigned>(std::stoul(tty.name.substr(digits)));
    const std::string dev = usbSerial                           ? "188:" + std::to_string(index)
                            : tty.name.rfind("ttyACM", 0) == 0 ? "166:" + std::to_string(index)
                                                                : "4:" + std::to_string(64 + index);
    std::string text = "P: " + device + "/tty/" + tty.name + "\nN: " + tty.name + "\nA: dev=" + dev + "\\n" +
                       "\nE: SUBSYSTEM=tty\nE: DEVNAME=/dev/" + tty.name + "\nL: device=../../../" +
                       device.substr(device.rfind('/') + 1) + "\n";
    if (!tty.uartType.empty())
        text += "A: type=" + tty.uartType + "\\n\n";
    text += "\nP: " + device + "\nE: SUBSYSTEM=" + (usbSerial ? "usb-serial" : "usb") + "\n";
    if (usbSerial)
        text += "A: port_number=0\\n\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(bed_, text.c_str(), &error)) {
        ADD_FAILURE() << "add_from_string: " << (error ? error->message : "?");
        g_clear_error(&error);
    }
    if (!tty.byId.empty()) {
        const std::string dir = root_ + "/dev/serial/by-id";
        std::filesystem::create_directories(dir);
        std::filesystem::create_symlink("../../" + tty.name, dir + "/" + tty.byId);
    }
    return sysPath;
}

void UsbTestBed::RemoveTty(const std::string& sysPath) {
    const std::string name = sysPath.substr(sysPath.rfind('/') + 1);
    std::error_code ec;
    // udev takes the by-id link away with the node.
    for (const auto& link : std::filesystem::directory_iterator(root_ + "/dev/serial/by-id", ec))
        if (std::filesystem::read_symlink(link.path(), ec).filename() == name)
            std::filesystem::remove(link.path(), ec);
    if (bed_)
        umockdev_testbed_remove_device(bed_, sysPath.c_str());
}

void UsbTestBed::Remove(EmulatedDevice& device) {
    {
        std::lock_guard<std::mutex> g(device.mu_);
        device.removed_ = true;
    }
    if (bed_)
        umockdev_testbed_remove_device(bed_, device.sysPath_.c_str());
}

}  // namespace velt::test

namespace velt::test {

ProgramRun RunOnBus(const std::vector<std::string>& args, bool asUnprivileged) {
    constexpr uid_t kNobody = 65534;
    int pipeFds[2];
    if (args.empty() || pipe(pipeFds) != 0)
        return {};
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Sanitized programs start after the preload library too.
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0)
            env.push_back(*e);
    env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        dup2(pipeFds[1], 2);
        close(pipeFds[0]);
        if (asUnprivileged && geteuid() == 0 && (setgid(kNobody) != 0 || setuid(kNobody) != 0))
            _exit(126);
        execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    close(pipeFds[1]);
    ProgramRun r;
    char buf[4096];
    for (ssize_t n; (n = read(pipeFds[0], buf, sizeof buf)) > 0;)
        r.out.append(buf, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

}  // namespace velt::test
