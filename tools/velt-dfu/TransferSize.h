// The block size of an image transfer: what the user asked for, else what a
// USB device advertises in its DFU functional descriptor, else 1024.
#ifndef VELT_DFU_TOOL_TRANSFERSIZE_H
#define VELT_DFU_TOOL_TRANSFERSIZE_H

#include <VELT_DFU.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace veltdfu {

constexpr uint16_t kDefaultTransferSize = 1024;

struct TransferSizeChoice {
    uint16_t size = kDefaultTransferSize;
    std::string why; // one line for the user: where the size came from
};

// wTransferSize of the DFU functional descriptor (type 0x21) that follows a
// DFU interface (class 0xFE, subclass 1) in a configuration descriptor, or
// nothing when there is none, it is 0, or the descriptors do not hold together.
std::optional<uint16_t> FindDfuTransferSize(const uint8_t* config, size_t size);

// `requested` wins; else a USB device's descriptor is read with standard
// GET_DESCRIPTOR requests; else (COM port, or no usable descriptor) 1024.
TransferSizeChoice ChooseTransferSize(DFU_HANDLE handle, bool usb, std::optional<uint16_t> requested);

} // namespace veltdfu

#endif
