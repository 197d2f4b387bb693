// Standard USB descriptors of a simulated device in DFU mode: one
// configuration with the DFU interface (class 0xFE, subclass 1, protocol 2)
// and its DFU functional descriptor. A composite device (DFU interface N > 0)
// has vendor-specific interfaces 0 to N-1 before it, and a BOS descriptor
// whose MS OS 2.0 descriptor set binds its GUID to the DFU interface alone.
#ifndef VELT_SIM_DESCRIPTORS_H
#define VELT_SIM_DESCRIPTORS_H

#include "../common/Options.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace velt::sim {

constexpr uint8_t kDescDevice = 1;
constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescString = 3;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescBos = 15;
// The vendor request (device to host, recipient device, wIndex 7) that
// returns the MS OS 2.0 descriptor set; no DFU or vendor request of ours.
constexpr uint8_t kMsOs20VendorCode = 0x20;
constexpr uint16_t kMsOs20DescriptorIndex = 7;

std::vector<uint8_t> deviceDescriptor(const UsbIdentity& id);
std::vector<uint8_t> interfaceDescriptor(uint8_t number);
std::vector<uint8_t> configurationDescriptor(const UsbIdentity& id);
// Only a composite device has them.
std::optional<std::vector<uint8_t>> bosDescriptor(const UsbIdentity& id);
std::optional<std::vector<uint8_t>> msOs20DescriptorSet(const UsbIdentity& id);
// Index 0 is the language list; 1 manufacturer, 2 product, 3 serial number.
std::optional<std::vector<uint8_t>> stringDescriptor(const UsbIdentity& id, uint8_t index);
// Any of the above by type and index; nothing for a descriptor the device lacks.
std::optional<std::vector<uint8_t>> descriptor(const UsbIdentity& id, uint8_t type, uint8_t index);

} // namespace velt::sim

#endif
