#include "TransferSize.h"

#include "Names.h"

#include <vector>

namespace veltdfu {

namespace {

constexpr uint8_t kDescConfiguration = 2;
constexpr uint8_t kDescInterface = 4;
constexpr uint8_t kDescDfuFunctional = 0x21;
constexpr size_t kConfigHeaderSize = 9;

// GET_DESCRIPTOR(configuration 0) for `length` bytes; empty on failure, with
// the library's status in `status`.
std::vector<uint8_t> ReadConfiguration(DFU_HANDLE handle, uint16_t length, DFU_STATUS& status)
{
    WINUSB_SETUP_PACKET setup = {};
    setup.RequestType = 0x80; // device to host, standard, device
    setup.Request = 6;        // GET_DESCRIPTOR
    setup.Value = static_cast<USHORT>(kDescConfiguration << 8);
    setup.Index = 0;
    setup.Length = length;
    std::vector<uint8_t> data(length);
    uint32_t moved = 0;
    status = DFU_ControlTransfer(handle, &setup, data.data(), static_cast<uint32_t>(data.size()), &moved);
    if (status != DFU_STATUS_SUCCESS)
        return {};
    data.resize(moved < data.size() ? moved : data.size());
    return data;
}

std::string SizeText(uint16_t size)
{
    return std::to_string(size) + " bytes";
}

} // namespace

std::optional<uint16_t> FindDfuTransferSize(const uint8_t* config, size_t size)
{
    bool inDfuInterface = false;
    for (size_t at = 0; at + 2 <= size;) {
        const uint8_t length = config[at];
        const uint8_t type = config[at + 1];
        if (length < 2 || at + length > size)
            return std::nullopt; // a broken chain: nothing after it can be trusted
        if (type == kDescInterface) {
            inDfuInterface = length >= 9 && config[at + 5] == 0xFE && config[at + 6] == 0x01;
        } else if (type == kDescDfuFunctional && inDfuInterface && length >= 7) {
            // DFU 1.0 functional descriptors end after wTransferSize (7 bytes); 1.1 adds bcdDFU.
            const uint16_t transferSize = static_cast<uint16_t>(config[at + 5] | config[at + 6] << 8);
            if (transferSize == 0)
                return std::nullopt;
            return transferSize;
        }
        at += length;
    }
    return std::nullopt;
}

TransferSizeChoice ChooseTransferSize(DFU_HANDLE handle, bool usb, std::optional<uint16_t> requested)
{
    if (requested)
        return {*requested, "transfer size " + SizeText(*requested) + " (--transfer-size)"};
    if (!usb)
        return {kDefaultTransferSize, "transfer size " + SizeText(kDefaultTransferSize) + " (the default on a COM port)"};

    const std::string fallback = "transfer size " + SizeText(kDefaultTransferSize) + " (the default: ";
    DFU_STATUS status = DFU_STATUS_SUCCESS;
    const std::vector<uint8_t> header = ReadConfiguration(handle, kConfigHeaderSize, status);
    if (status != DFU_STATUS_SUCCESS)
        return {kDefaultTransferSize, fallback + "cannot read the configuration descriptor: " + LibraryStatusText(status) + ")"};
    if (header.size() < 4 || header[1] != kDescConfiguration)
        return {kDefaultTransferSize, fallback + "the device sent no usable configuration descriptor)"};
    const uint16_t totalLength = static_cast<uint16_t>(header[2] | header[3] << 8);
    const std::vector<uint8_t> whole = ReadConfiguration(handle, totalLength, status);
    if (status != DFU_STATUS_SUCCESS)
        return {kDefaultTransferSize, fallback + "cannot read the configuration descriptor: " + LibraryStatusText(status) + ")"};
    const auto advertised = FindDfuTransferSize(whole.data(), whole.size());
    if (!advertised)
        return {kDefaultTransferSize, fallback + "the device advertises no wTransferSize)"};
    return {*advertised, "transfer size " + SizeText(*advertised) + " (wTransferSize of the device's DFU functional descriptor)"};
}

} // namespace veltdfu
