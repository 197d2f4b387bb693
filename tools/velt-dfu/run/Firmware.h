// What a download sends: the user's file, its DFU suffix checked and
// stripped, held in memory for every device and every attempt.
#ifndef VELT_DFU_TOOL_RUN_FIRMWARE_H
#define VELT_DFU_TOOL_RUN_FIRMWARE_H

#include "CommandLine.h"
#include "DfuSuffix.h"
#include "run/Session.h"

#include <optional>
#include <string>
#include <vector>

namespace veltdfu {

struct Firmware {
    std::vector<uint8_t> file;
    size_t size = 0;                 // bytes of `file` that are firmware
    std::optional<DfuSuffix> suffix; // valid suffix after them
    std::string path;                // as the user gave it
    std::string plan;                // what will be sent, said once a device is there to take it
    std::string sha256;              // of the firmware sent
};

// Reads the file and checks its suffix; everything about the file is
// settled before a device is opened.
Step PrepareFirmware(Session& session, const std::string& what, const Invocation& invocation, Firmware& firmware);

// A suffix names the device it is for; 0xFFFF stands for any. Says what
// will be sent.
Step CheckSuffixDevice(Session& session, const Target& target, const Firmware& firmware);

// "0483:DF11"
std::string IdText(uint16_t vid, uint16_t pid);

} // namespace veltdfu

#endif
