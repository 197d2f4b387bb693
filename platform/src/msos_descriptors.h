// Microsoft OS descriptors: how a device tells Windows, without a driver
// package, which device interface GUIDs its WinUSB interfaces carry.
//  - 2.0: a BOS platform capability {D8DD60DF-4589-4CC7-9CD2-659D9E648A9F}
//    names a vendor request (wIndex 7) that returns the descriptor set;
//    registry properties "DeviceInterfaceGUIDs" (REG_MULTI_SZ) or
//    "DeviceInterfaceGUID" (REG_SZ) hold the GUIDs, for the whole device or
//    inside a function subset for one interface.
//  - 1.0: string descriptor 0xEE ("MSFT100" and a vendor code) names a
//    vendor request (wIndex 5) that returns the extended properties.
// The parsers take what the device sent and never read past it.
#ifndef VELT_PLATFORM_MSOS_DESCRIPTORS_H
#define VELT_PLATFORM_MSOS_DESCRIPTORS_H

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velt::platform {

struct MsOs20Location {
    uint8_t vendorCode;
    uint16_t totalLength;
};

struct DeclaredGuid {
    int interfaceNumber;  // -1: the device as a whole
    GUID guid;
};

constexpr uint16_t kMsOs20DescriptorIndex = 7;
constexpr uint16_t kMsOs10ExtendedProperties = 5;
constexpr uint8_t kMsOs10StringIndex = 0xEE;

// From a whole BOS descriptor: the MS OS 2.0 descriptor set of the highest
// Windows version it lists.
std::optional<MsOs20Location> FindMsOs20Set(const uint8_t* bos, size_t length);

std::vector<DeclaredGuid> ParseMsOs20Set(const uint8_t* set, size_t length);

// From string descriptor 0xEE: the vendor code of the 1.0 requests.
std::optional<uint8_t> MsOs10VendorCode(const uint8_t* string, size_t length);

// The GUIDs of an extended properties descriptor.
std::vector<GUID> ParseMsOs10Properties(const uint8_t* descriptor, size_t length);

}  // namespace velt::platform

#endif
