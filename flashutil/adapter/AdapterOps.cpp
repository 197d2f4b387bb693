#include "adapter/AdapterOps.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr ADIU_STATUS kDeviceNotFound = 0x80;
constexpr ADIU_STATUS kFirmwareUpgradeRequired = 78;

const char* PortLabel(uint8_t portMode)
{
    if (portMode == 0) return "jtag";
    return portMode == 1 ? "sw" : "swj";
}

const char* ResetLabel(uint8_t resetMode)
{
    if (resetMode == 1) return "before";
    return resetMode == 2 ? "during" : "none";
}

bool SameSerial(const char* reported, const std::string& asked)
{
    if (std::strlen(reported) != asked.size()) return false;
    for (size_t i = 0; i < asked.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(reported[i])) != std::toupper(static_cast<unsigned char>(asked[i])))
            return false;
    }
    return true;
}

// Finds the adapter with the asked serial number and opens it. On no match
// the status is 0x80, or that of the last serial read when it failed.
ConnectOutcome OpenBySerial(RunSettings& s, uint32_t count)
{
    ConnectOutcome out;
    ADIU_STATUS remembered = kDeviceNotFound;
    for (uint32_t index = 0; index < count; ++index) {
        char serial[ADIU_SERIAL_BUFFER_SIZE] = {};
        ADIU_STATUS st = ADIU_GetSerial(index, serial);
        if (st != 0) {
            remembered = st;
            continue;
        }
        if (!SameSerial(serial, s.serial)) {
            remembered = kDeviceNotFound;
            continue;
        }
        out.status = ADIU_OpenByIndex(&s.adapterHandle, index);
        out.opened = s.adapterOpen = out.status == 0;
        return out;
    }
    std::printf("Error: Linkpod not found!\n");
    out.status = remembered;
    return out;
}

ADIU_STATUS ConnectTarget(const RunSettings& s, uint8_t resetCode)
{
    uint32_t word = 0;   // filled by the library, not needed here
    ADIU_STATUS st = s.portMode == 0 ? ADIU_ConnectJtag(s.adapterHandle, resetCode, 0, 0, 0, 0, &word)
                                     : ADIU_ConnectSwd(s.adapterHandle, resetCode, 0, 0, 0, &word);
    if (st == 0 && s.info) std::printf(s.portMode == 0 ? "Connected Jtag.\n" : "Connected SWD.\n");
    return st;
}

} // namespace

void ListAdapters()
{
    uint32_t count = 0;
    if (ADIU_GetNumDevices(&count) != 0) return;
    std::printf("List of Linkpod serial numbers\n");
    std::printf("========================================\n");
    for (uint32_t index = 0; index < count; ++index) {
        char serial[ADIU_SERIAL_BUFFER_SIZE] = {};
        if (ADIU_GetSerial(index, serial) == 0) std::printf("%s\n", serial);
    }
}

ConnectOutcome ConnectAdapter(RunSettings& s)
{
    ConnectOutcome out;
    if (s.info)
        std::printf("Attempting connection.  Port: %s  Reset: %s\n", PortLabel(s.portMode), ResetLabel(s.resetMode));

    uint32_t count = 0;
    out.status = ADIU_GetNumDevices(&count);
    if (out.status != 0) return out;
    if (count == 0) {
        std::printf("Error: Linkpod not found!\n");
        out.status = kNoAdapterConnected;
        return out;
    }

    if (!s.serial.empty()) {
        out = OpenBySerial(s, count);
        if (!out.opened) return out;
    } else {
        out.status = ADIU_OpenByIndex(&s.adapterHandle, 0);
        if (out.status != 0) {
            std::printf("Error: Linkpod not found!\n");
            return out;
        }
        out.opened = s.adapterOpen = true;
    }

    char serial[ADIU_SERIAL_BUFFER_SIZE];
    std::memset(serial, 0, sizeof serial);
    if (ADIU_GetOpenedSerial(s.adapterHandle, serial) == 0) std::printf("Connected to Adapter SN: %s\n", serial);

    // Reset code: none 1, before 2, during 3 (8-bit, so 255 wraps to 0).
    const uint8_t resetCode = static_cast<uint8_t>(s.resetMode + 1);
    out.status = ConnectTarget(s, resetCode);
    if (out.status != kFirmwareUpgradeRequired) return out;

    if (s.info) std::printf("Firmware upgrade required.\n");
    out.status = ADIU_UpgradeDebugFirmware(s.adapterHandle, 0, 0);
    if (out.status == 0 && s.info) std::printf("Firmware upgrade complete.\n");
    if (ADIU_IsConnected(s.adapterHandle) != 0) return out;
    out.status = ConnectTarget(s, resetCode);
    return out;
}

ADIU_STATUS CloseAdapter(const RunSettings& s)
{
    if (ADIU_STATUS st = ADIU_ResetSystem(s.adapterHandle, 0)) return st;
    if (s.info) std::printf("System reset successful.\n");
    if (ADIU_STATUS st = ADIU_Disconnect(s.adapterHandle)) return st;
    if (ADIU_STATUS st = ADIU_Close(s.adapterHandle)) return st;
    std::printf("Disconnect successful.\n");
    return 0;
}
