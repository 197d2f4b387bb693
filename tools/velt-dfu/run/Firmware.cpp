#include "run/Firmware.h"

#include "ImageFiles.h"
#include "Names.h"
#include "Sha256.h"
#include "run/TraceLog.h"

namespace veltdfu {

namespace {

Step CheckSuffix(Session& session, const std::string& what, const Invocation& invocation, Firmware& firmware)
{
    const std::string& path = firmware.path;
    const std::string where = what + ": " + path;
    const char* hint = " (--no-suffix sends the file as it is)";
    if (invocation.noSuffix) {
        firmware.size = firmware.file.size();
        firmware.plan = path + ": --no-suffix, sending all " + std::to_string(firmware.size) + " bytes as they are";
        return std::nullopt;
    }
    const SuffixCheck check = CheckDfuSuffix(firmware.file.data(), firmware.file.size());
    firmware.size = check.firmwareSize;
    switch (check.kind) {
    case SuffixCheck::Kind::None:
        firmware.plan = path + " has no DFU suffix; sending all " + std::to_string(firmware.size) + " bytes";
        return std::nullopt;
    case SuffixCheck::Kind::BadLength:
        return session.fail("suffix", 0,
                            where + " ends in a DFU suffix signature with bLength " +
                                std::to_string(check.suffix.length) + ", which no DFU suffix has; nothing sent" + hint);
    case SuffixCheck::Kind::BadCrc:
        return session.fail("suffix", 0,
                            where + ": DFU suffix CRC mismatch (the suffix says 0x" + Hex(check.suffix.storedCrc, 8) +
                                ", the file gives 0x" + Hex(check.computedCrc, 8) + "); nothing sent" + hint);
    case SuffixCheck::Kind::Valid:
        break;
    }
    firmware.suffix = check.suffix;
    return std::nullopt;
}

} // namespace

Step PrepareFirmware(Session& session, const std::string& what, const Invocation& invocation, Firmware& firmware)
{
    std::string error;
    firmware.file = ReadWholeFile(firmware.path, error);
    if (!error.empty())
        return session.fail("file", DFU_STATUS_FILE_READ_ERROR, what + ": cannot read " + firmware.path + ": " + error);
    if (Step stop = CheckSuffix(session, what, invocation, firmware))
        return stop;
    if (firmware.size == 0)
        return session.fail("file", DFU_STATUS_FILE_READ_ERROR,
                            what + ": " + firmware.path + " holds no firmware; nothing sent");
    firmware.sha256 = Sha256Hex(firmware.file.data(), firmware.size);
    if (invocation.logPath) {
        if (const std::string why = CheckTraceLog(*invocation.logPath); !why.empty())
            return session.fail("file", DFU_STATUS_FILE_WRITE_ERROR,
                                what + ": cannot write the log " + *invocation.logPath + ": " + why);
    }
    return std::nullopt;
}

std::string IdText(uint16_t vid, uint16_t pid)
{
    return Hex(vid, 4) + ":" + Hex(pid, 4);
}

// A suffix names the device it is for; 0xFFFF stands for any.
Step CheckSuffixDevice(Session& session, const Target& target, const Firmware& firmware)
{
    if (!firmware.suffix) {
        if (!firmware.plan.empty())
            session.note(firmware.plan);
        return std::nullopt;
    }
    const std::string& path = firmware.path;
    const DfuSuffix& suffix = *firmware.suffix;
    const std::string sending = "sending the " + std::to_string(firmware.size) + " bytes of firmware before it";
    if (!target.usb) {
        session.note(path + ": DFU suffix CRC good; its VID:PID " + IdText(suffix.idVendor, suffix.idProduct) +
                     " is not checked on a COM port, which has none; " + sending);
        return std::nullopt;
    }
    uint16_t vid = 0, pid = 0;
    const DFU_STATUS status = DFU_GetOpenedVidPid(target.device->handle(), &vid, &pid);
    if (status != DFU_STATUS_SUCCESS)
        return session.fail("device", status,
                            "cannot read the VID:PID of device " + session.device() + ": " + LibraryStatusText(status));
    const bool vidMatches = suffix.idVendor == kSuffixAnyId || suffix.idVendor == vid;
    const bool pidMatches = suffix.idProduct == kSuffixAnyId || suffix.idProduct == pid;
    if (!vidMatches || !pidMatches) {
        return session.fail("suffix", 0,
                            "download to device " + session.device() + ": " + path + " is for VID:PID " +
                                IdText(suffix.idVendor, suffix.idProduct) + ", the device is " + IdText(vid, pid) +
                                "; nothing sent (--no-suffix sends the file as it is)");
    }
    session.note(path + ": DFU suffix for " + IdText(suffix.idVendor, suffix.idProduct) + ", CRC good; " + sending);
    return std::nullopt;
}

} // namespace veltdfu
