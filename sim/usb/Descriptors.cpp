#include "Descriptors.h"

namespace velt::sim {

namespace {

void put16(std::vector<uint8_t>& out, uint16_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

std::vector<uint8_t> textDescriptor(const std::string& text)
{
    std::vector<uint8_t> out{static_cast<uint8_t>(2 + 2 * text.size()), kDescString};
    for (char c : text)
        put16(out, static_cast<uint8_t>(c));
    return out;
}

constexpr uint8_t kDescDfuFunctional = 0x21;

} // namespace

std::vector<uint8_t> deviceDescriptor(const UsbIdentity& id)
{
    std::vector<uint8_t> out{18, kDescDevice};
    put16(out, 0x0200);                       // bcdUSB
    out.insert(out.end(), {0x00, 0x00, 0x00}); // class, subclass, protocol: per interface
    out.push_back(64);                        // bMaxPacketSize0
    put16(out, id.vid);
    put16(out, id.pid);
    put16(out, id.bcdDevice);
    out.insert(out.end(), {1, 2, 3, 1});      // iManufacturer, iProduct, iSerialNumber, configurations
    return out;
}

std::vector<uint8_t> interfaceDescriptor()
{
    // Interface 0, alternate 0, no endpoints, DFU class in DFU mode, iInterface = product string.
    return {9, kDescInterface, 0, 0, 0, 0xFE, 0x01, 0x02, 2};
}

std::vector<uint8_t> configurationDescriptor(const DfuFunctional& functional)
{
    // wTotalLength (bytes 2 and 3) is filled in once everything is appended.
    std::vector<uint8_t> out{9, kDescConfiguration, 0, 0, 1, 1, 0, 0x80, 50};
    auto interface = interfaceDescriptor();
    out.insert(out.end(), interface.begin(), interface.end());
    out.insert(out.end(), {9, kDescDfuFunctional, functional.attributes});
    put16(out, functional.detachTimeoutMs);
    put16(out, functional.transferSize);
    put16(out, 0x0110); // bcdDFUVersion
    out[2] = static_cast<uint8_t>(out.size());
    out[3] = static_cast<uint8_t>(out.size() >> 8);
    return out;
}

std::optional<std::vector<uint8_t>> stringDescriptor(const UsbIdentity& id, uint8_t index)
{
    switch (index) {
    case 0: return std::vector<uint8_t>{4, kDescString, 0x09, 0x04}; // US English
    case 1: return textDescriptor("Velt");
    case 2: return textDescriptor("Velt DFU simulator");
    case 3: return textDescriptor(id.serial);
    default: return std::nullopt;
    }
}

std::optional<std::vector<uint8_t>> descriptor(const UsbIdentity& id, uint8_t type, uint8_t index)
{
    switch (type) {
    case kDescDevice: return index == 0 ? std::optional(deviceDescriptor(id)) : std::nullopt;
    case kDescConfiguration: return index == 0 ? std::optional(configurationDescriptor(id.functional)) : std::nullopt;
    case kDescString: return stringDescriptor(id, index);
    default: return std::nullopt;
    }
}

} // namespace velt::sim
