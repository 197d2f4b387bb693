// The DFU file suffix reader on any file, and on any firmware given a
// suffix the way dfu-suffix writes one: that must read back as valid, with
// the fields and the firmware's size it was made with.
//
// Input: the file.
#include <cstdint>
#include <vector>

#include "DfuSuffix.h"
#include "FuzzInput.h"

using velt::fuzz::Require;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using veltdfu::SuffixCheck;
    const SuffixCheck check = veltdfu::CheckDfuSuffix(data, size);
    switch (check.kind) {
    case SuffixCheck::Kind::None:
        Require(check.firmwareSize == size, "plain firmware lost bytes");
        break;
    case SuffixCheck::Kind::BadLength:
        Require(check.suffix.length < veltdfu::kDfuSuffixSize || check.suffix.length > size,
                "a usable bLength called bad");
        break;
    case SuffixCheck::Kind::Valid:
    case SuffixCheck::Kind::BadCrc:
        Require(check.firmwareSize + check.suffix.length == size, "firmware and suffix do not make the file");
        Require(check.computedCrc == veltdfu::DfuSuffixCrc(data, size - 4), "CRC not over the file");
        Require((check.kind == SuffixCheck::Kind::Valid) == (check.computedCrc == check.suffix.storedCrc),
                "CRC verdict wrong");
        break;
    }

    // The input as firmware, with a standard suffix appended.
    std::vector<uint8_t> file(data, data + size);
    const uint8_t ids[8] = {0x00, 0x01, 0x11, 0xDF, 0x83, 0x04, 0x1A, 0x01};
    file.insert(file.end(), ids, ids + 8);
    file.insert(file.end(), {'U', 'F', 'D', 16});
    const uint32_t crc = veltdfu::DfuSuffixCrc(file.data(), file.size());
    for (int shift = 0; shift < 32; shift += 8)
        file.push_back(static_cast<uint8_t>(crc >> shift));
    const SuffixCheck made = veltdfu::CheckDfuSuffix(file.data(), file.size());
    Require(made.kind == SuffixCheck::Kind::Valid, "a suffix made the standard way is not valid");
    Require(made.firmwareSize == size && made.suffix.idVendor == 0x0483 && made.suffix.idProduct == 0xDF11 &&
                made.suffix.bcdDevice == 0x0100 && made.suffix.bcdDfu == 0x011A,
            "suffix fields read wrongly");
    return 0;
}
