// Standard USB descriptors of a simulated device in DFU mode: one
// configuration with one interface (class 0xFE, subclass 1, protocol 2) and
// its DFU functional descriptor.
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

std::vector<uint8_t> deviceDescriptor(const UsbIdentity& id);
std::vector<uint8_t> interfaceDescriptor();
std::vector<uint8_t> configurationDescriptor(const DfuFunctional& functional);
// Index 0 is the language list; 1 manufacturer, 2 product, 3 serial number.
std::optional<std::vector<uint8_t>> stringDescriptor(const UsbIdentity& id, uint8_t index);
// Any of the above by type and index; nothing for a descriptor the device lacks.
std::optional<std::vector<uint8_t>> descriptor(const UsbIdentity& id, uint8_t type, uint8_t index);

} // namespace velt::sim

#endif
