// Every way of naming a board, parsed and matched in one place: an index, a
// COM name, a /dev tty path, a device path, a serial number, VID:PID with or
// without a serial number, a USB bus-port path. Letter case never matters,
// as on Windows. A name that fits several boards is refused with the list.
#ifndef VELT_DFU_TOOL_SELECTOR_H
#define VELT_DFU_TOOL_SELECTOR_H

#include "Device.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltdfu {

// One device as the library lists it, with what each way of naming it needs.
struct Listed {
    uint32_t index = 0;
    bool usb = true;
    std::string path;     // the library's path
    std::optional<uint16_t> vid, pid;
    std::string serial;   // USB: the serial number, where the device has one
    std::string busPort;  // USB: "1-2.3", where it is known
    std::string comName;  // "COM7"
    std::string node;     // the /dev node of a COM port, where there is one

    // The shortest name that finds it again: the COM name, the serial number, else the index.
    std::string shortName() const;
};

// The serial number in a USB device path, "" when its instance is a
// location rather than a serial number.
std::string SerialOfPath(const std::string& path);

// Everything the library lists now, in index order.
std::vector<Listed> ListDevices();

// Whether `text` names a device through the list (serial, VID:PID, bus-port)
// rather than by itself (index, COM name, path).
bool NeedsListing(const std::string& text);

// Whether a listed device answers to `text` as a serial number, VID:PID or bus-port.
bool Matches(const std::string& text, const Listed& device);

// Whether `text` names the device in any of the ways (index, COM name, path,
// /dev node, or as Matches).
bool Names(const std::string& text, const Listed& device);

struct Selection {
    std::vector<Listed> matches; // none, one, or the ambiguous several
    std::string error;           // what is wrong with `text` itself
};

Selection Select(const std::string& text, const std::vector<Listed>& devices);

// "no device matches 'B2' ..." or "'f055:d0f1' fits 3 devices: ...; name one".
std::string SelectionProblem(const std::string& text, const Selection& selection);

} // namespace veltdfu

#endif
