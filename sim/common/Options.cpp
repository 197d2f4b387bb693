#include "Options.h"

#include <cctype>
#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <pwd.h>
#include <unistd.h>

namespace velt::sim {

namespace {

[[noreturn]] void fail(const std::string& message)
{
    throw UsageError(message);
}

uint64_t parseNumber(const std::string& key, const std::string& text, uint64_t max, int base = 0)
{
    if (text.empty() || !std::isxdigit(static_cast<unsigned char>(text[0])))
        fail("bad value for " + key + ": '" + text + "'");
    char* end = nullptr;
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), &end, base);
    uint64_t scale = 1;
    if (*end == 'k' || *end == 'K')
        scale = 1024, ++end;
    else if (*end == 'm' || *end == 'M')
        scale = 1024 * 1024, ++end;
    if (*end != '\0' || errno == ERANGE || value > max / scale)
        fail("bad value for " + key + ": '" + text + "' (at most " + std::to_string(max) + ")");
    return value * scale;
}

uint64_t parseHex(const std::string& key, std::string text, uint64_t max)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text = text.substr(2);
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            fail("bad hexadecimal value for " + key + ": '" + text + "'"); // NOLINT(performance-inefficient-string-concatenation): once, then it throws
    return parseNumber(key, text, max, 16);
}

std::string parseGuid(const std::string& text)
{
    std::string body = text;
    if (body.size() == 38 && body.front() == '{' && body.back() == '}')
        body = body.substr(1, 36);
    bool ok = body.size() == 36;
    for (size_t i = 0; ok && i < body.size(); ++i) {
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        ok = dash ? body[i] == '-' : std::isxdigit(static_cast<unsigned char>(body[i])) != 0;
        body[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(body[i])));
    }
    if (!ok)
        fail("bad guid '" + text + "': expected {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}");
    return "{" + body + "}";
}

std::array<uint8_t, kInfoSize> parseInfo(const std::string& text)
{
    if (text.size() != 2 * kInfoSize)
        fail("info= needs exactly 96 hexadecimal digits, got " + std::to_string(text.size()));
    std::array<uint8_t, kInfoSize> info{};
    for (size_t i = 0; i < kInfoSize; ++i)
        info[i] = static_cast<uint8_t>(parseHex("info", text.substr(2 * i, 2), 0xFF));
    return info;
}

// Serial numbers and stems become parts of paths: keep them to safe characters.
std::string parseName(const std::string& key, const std::string& text)
{
    if (text.empty() || text.size() > 64)
        fail(key + "= must be 1 to 64 characters");
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.')
            fail(key + "= may hold only letters, digits, '-', '_' and '.': '" + text + "'"); // NOLINT(performance-inefficient-string-concatenation): once, then it throws
    if (text[0] == '.')
        fail(key + "= must not begin with '.'");
    return text;
}

bool applyModelKey(ModelConfig& model, const std::string& key, const std::string& value)
{
    if (key == "state")
        model.startState = static_cast<DfuState>(parseNumber(key, value, 10));
    else if (key == "busy")
        model.busyRounds = static_cast<unsigned>(parseNumber(key, value, 1000000));
    else if (key == "poll")
        model.pollTimeoutMs = static_cast<uint32_t>(parseNumber(key, value, 0xFFFFFF));
    else if (key == "flash") {
        if (value.empty())
            fail("flash= needs a file name");
        model.flashFile = value;
    }
    else if (key == "flash-size")
        model.flashSize = parseNumber(key, value, 256u * 1024 * 1024);
    else if (key == "upload-size")
        model.uploadSize = parseNumber(key, value, 256u * 1024 * 1024);
    else if (key == "info")
        model.info = parseInfo(value);
    else if (key == "upload-corrupt")
        model.uploadCorrupt = parseNumber(key, value, 256u * 1024 * 1024);
    else if (key == "manifest") {
        if (value != "idle" && value != "sync" && value != "standard")
            fail("manifest= must be idle, sync or standard");
        model.manifest = value == "sync"       ? ManifestMode::Sync
                         : value == "standard" ? ManifestMode::Standard
                                               : ManifestMode::Idle;
    } else if (key == "manifest-poll")
        model.manifestPollMs = static_cast<uint32_t>(parseNumber(key, value, 0xFFFFFF));
    else if (key == "upload-end") {
        if (value != "empty" && value != "short")
            fail("upload-end= must be empty or short");
        model.uploadEnd = value == "short" ? UploadEnd::Short : UploadEnd::Empty;
    } else
        return false;
    return true;
}

bool applyUsbKey(UsbIdentity& usb, const std::string& key, const std::string& value)
{
    if (key == "vid")
        usb.vid = static_cast<uint16_t>(parseHex(key, value, 0xFFFF));
    else if (key == "pid")
        usb.pid = static_cast<uint16_t>(parseHex(key, value, 0xFFFF));
    else if (key == "serial")
        usb.serial = parseName(key, value);
    else if (key == "guid")
        usb.guid = parseGuid(value);
    else if (key == "name")
        usb.stem = parseName(key, value);
    else if (key == "transfer-size") {
        usb.functional.transferSize = static_cast<uint16_t>(parseNumber(key, value, 0xFFFF));
        if (usb.functional.transferSize == 0)
            fail("transfer-size must be 1 to 65535");
    } else if (key == "attributes")
        usb.functional.attributes = static_cast<uint8_t>(parseHex(key, value, 0xFF));
    else if (key == "detach-timeout")
        usb.functional.detachTimeoutMs = static_cast<uint16_t>(parseNumber(key, value, 0xFFFF));
    else if (key == "interface")
        usb.dfuInterface = static_cast<uint8_t>(parseNumber(key, value, kMaxDfuInterface));
    else
        return false;
    return true;
}

// delay=MS delays every reply frame, delay=MS@N only that of the Nth request.
void parseDelay(DeviceFaults& faults, const std::string& value)
{
    const size_t at = value.find('@');
    faults.delayMs = static_cast<uint32_t>(parseNumber("delay", value.substr(0, at), 600000));
    faults.delayOnly = 0;
    if (at != std::string::npos) {
        faults.delayOnly = static_cast<unsigned>(parseNumber("delay", value.substr(at + 1), 1000000000));
        if (faults.delayOnly == 0)
            fail("delay=MS@N counts requests from 1");
    }
}

// faults=RATE[:SEED]: RATE from 0 to 1; without a seed one is drawn here
// and the device logs it, so that any run can be replayed.
RandomFaultConfig parseRandomFaults(const std::string& value)
{
    const size_t colon = value.find(':');
    const std::string rateText = value.substr(0, colon);
    char* end = nullptr;
    errno = 0;
    const double rate = rateText.empty() || !(std::isdigit(static_cast<unsigned char>(rateText[0])) || rateText[0] == '.')
                            ? -1
                            : std::strtod(rateText.c_str(), &end);
    if (rate < 0 || rate > 1 || errno == ERANGE || (end && *end != '\0'))
        fail("faults= needs a rate from 0 to 1, then optionally :SEED, got '" + value + "'");
    RandomFaultConfig config;
    config.rate = rate;
    if (colon != std::string::npos) {
        config.seed = parseNumber("faults seed", value.substr(colon + 1), std::numeric_limits<uint64_t>::max(), 10);
        config.seeded = true;
    } else {
        std::random_device entropy;
        config.seed = (uint64_t(entropy()) << 32 | entropy()) % 1000000000000ull;
    }
    return config;
}

// Keys of the line itself, not faults. latency applies to both kinds.
bool applyLineKey(LineConfig& line, bool serial, const std::string& key, const std::string& value)
{
    if (key == "latency") {
        line.latency = std::chrono::microseconds(parseNumber(key, value, 60000000));
    } else if (key == "baud" && serial) {
        line.followHost = value == "host";
        if (line.followHost) {
            line.baud = 0;
            return true;
        }
        line.baud = static_cast<uint32_t>(parseNumber(key, value, 100000000));
        if (line.baud < 50)
            fail("baud= must be at least 50, or host");
    } else
        return false;
    return true;
}

bool applySerialKey(DeviceFaults& faults, const std::string& key, const std::string& value, bool hasValue)
{
    auto count = [&](unsigned max) { return static_cast<unsigned>(parseNumber(key, value, max)); };
    auto flag = [&] {
        if (hasValue)
            fail(key + " takes no value");
        return true;
    };
    if (key == "noise")
        faults.noise = count(4096);
    else if (key == "nak")
        faults.nak = count(std::numeric_limits<unsigned>::max());
    else if (key == "badcrc")
        faults.badCrc = count(std::numeric_limits<unsigned>::max());
    else if (key == "badack")
        faults.badAck = count(std::numeric_limits<unsigned>::max());
    else if (key == "nosync")
        faults.noSync = flag();
    else if (key == "badsync")
        faults.badSync = static_cast<uint8_t>(parseHex(key, value, 0xFF));
    else if (key == "silent")
        faults.silent = flag();
    else if (key == "long")
        faults.longReply = flag();
    else if (key == "delay")
        parseDelay(faults, value);
    else if (key == "repeats") {
        if (value != "ack" && value != "execute")
            fail("repeats=" + value + ": expected ack or execute"); // NOLINT(performance-inefficient-string-concatenation): once, then it throws
        faults.executeRepeats = value == "execute";
    }
    else
        return false;
    return true;
}

void applyKeys(DeviceConfig& cfg, const std::string& list, size_t firstItem)
{
    size_t pos = 0;
    size_t item = 0;
    while (pos <= list.size()) {
        size_t comma = list.find(',', pos);
        std::string entry = list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? list.size() + 1 : comma + 1;
        if (item++ < firstItem || entry.empty())
            continue;
        size_t eq = entry.find('=');
        bool hasValue = eq != std::string::npos;
        std::string key = entry.substr(0, eq);
        std::string value = hasValue ? entry.substr(eq + 1) : "";
        bool serial = cfg.kind == DeviceConfig::Kind::Serial;
        if (applyModelKey(cfg.model, key, value))
            continue;
        if (!serial && applyUsbKey(cfg.usb, key, value))
            continue;
        if (applyLineKey(cfg.line, serial, key, value))
            continue;
        if (key == "faults") {
            cfg.faults.random = parseRandomFaults(value);
            continue;
        }
        if (serial && applySerialKey(cfg.faults, key, value, hasValue))
            continue;
        fail("unknown key '" + key + "' for a " + (serial ? "serial" : "USB") + " device");
    }
}

bool isComName(const std::string& name)
{
    if (name.size() < 4 || name.compare(0, 3, "COM") != 0 || name[3] == '0' || name.size() > 6)
        return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(name[i])))
            return false;
    return true;
}

void checkModel(const DeviceConfig& cfg)
{
    if (cfg.model.flashSize == 0)
        fail("flash-size must be at least 1 byte");
    if (cfg.model.uploadSize && *cfg.model.uploadSize > cfg.model.flashSize)
        fail("upload-size is larger than flash-size");
}

// Where the platform layer looks: the variable, else the home directory's
// .velt, the home directory being $HOME or, without one (a service, say), the
// account's own. A device published anywhere else would never be found.
std::string homeDir()
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    struct passwd entry;
    struct passwd* found = nullptr;
    char text[4096];
    if (getpwuid_r(getuid(), &entry, text, sizeof text, &found) == 0 && found && found->pw_dir)
        return found->pw_dir;
    return "/";
}

std::string defaultDir(const char* variable, const char* leaf)
{
    const char* value = std::getenv(variable);
    if (value && *value)
        return value;
    return homeDir() + "/.velt/" + leaf;
}

} // namespace

CommandLine parseCommandLine(const std::vector<std::string>& args)
{
    CommandLine cl;
    unsigned usbCount = 0;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size())
                fail(arg + " needs a value");
            return args[++i];
        };
        if (arg == "--help" || arg == "-h") {
            cl.help = true;
        } else if (arg == "--usb-dir") {
            cl.usbDir = value();
        } else if (arg == "--dosdevices") {
            cl.dosDevicesDir = value();
        } else if (arg == "--log") {
            cl.logPath = value();
        } else if (arg == "--usb" || arg.rfind("--usb=", 0) == 0) {
            DeviceConfig cfg;
            cfg.kind = DeviceConfig::Kind::Usb;
            std::string keys = arg.size() > 5 ? arg.substr(6)
                               : (i + 1 < args.size() && args[i + 1].rfind("--", 0) != 0) ? args[++i] : "";
            applyKeys(cfg, keys, 0);
            // The descriptor and the behaviour agree: one setting each.
            cfg.model.manifestTolerant = (cfg.usb.functional.attributes & kManifestationTolerant) != 0;
            cfg.model.dfuInterface = cfg.usb.dfuInterface;
            ++usbCount;
            char fallback[16];
            std::snprintf(fallback, sizeof fallback, "VSIM%04u", usbCount);
            if (cfg.usb.serial.empty())
                cfg.usb.serial = fallback;
            if (cfg.usb.stem.empty()) {
                std::snprintf(fallback, sizeof fallback, "-%02u", usbCount);
                cfg.usb.stem = "sim-" + std::to_string(::getpid()) + fallback;
            }
            checkModel(cfg);
            cl.devices.push_back(cfg);
        } else if (arg == "--com") {
            DeviceConfig cfg;
            cfg.kind = DeviceConfig::Kind::Serial;
            std::string keys = value();
            cfg.comName = keys.substr(0, keys.find(','));
            if (!isComName(cfg.comName))
                fail("--com needs a port name COM1 to COM999 first, got '" + cfg.comName + "'");
            applyKeys(cfg, keys, 1);
            checkModel(cfg);
            for (const auto& other : cl.devices)
                if (other.kind == DeviceConfig::Kind::Serial && other.comName == cfg.comName)
                    fail(cfg.comName + " is given twice");
            cl.devices.push_back(cfg);
        } else {
            fail("unknown argument '" + arg + "' (see --help)");
        }
    }
    for (size_t a = 0; a < cl.devices.size(); ++a)
        for (size_t b = a + 1; b < cl.devices.size(); ++b)
            if (cl.devices[a].kind == DeviceConfig::Kind::Usb && cl.devices[b].kind == DeviceConfig::Kind::Usb &&
                cl.devices[a].usb.stem == cl.devices[b].usb.stem)
                fail("two USB devices share the name " + cl.devices[a].usb.stem);
    if (cl.help)
        return cl;
    if (cl.devices.empty())
        fail("no device given: add --usb and/or --com COMn (see --help)");
    if (cl.usbDir.empty())
        cl.usbDir = defaultDir("VELT_USBDEVICES", "usbdevices");
    if (cl.dosDevicesDir.empty())
        cl.dosDevicesDir = defaultDir("VELT_DOSDEVICES", "dosdevices");
    return cl;
}

std::string usageText()
{
    return R"(usage: velt-dfu-sim [--usb-dir DIR] [--dosdevices DIR] [--log FILE] DEVICE...

Simulates DFU 1.1 devices, on USB (a local socket the platform layer's USB
backend finds) and on serial ports (a pty linked into the dosdevices
directory as COMn). Prints READY once every device is up and runs until
SIGTERM or SIGINT; then removes its sockets, .dev files and COMn links and
saves the flash files.

  --usb-dir DIR      USB device directory (default $VELT_USBDEVICES, else $HOME/.velt/usbdevices)
  --dosdevices DIR   dosdevices directory for COMn links (default $VELT_DOSDEVICES, else $HOME/.velt/dosdevices)
  --log FILE         one line per event (connection, request, frame, pipe policy, fault injected)
  --usb [k=v,...]    add a USB device; keys:
                       vid=HEX pid=HEX  ids (default F055:D0F1)
                       serial=TEXT      serial number in the device path (default VSIMnnnn)
                       guid={...}       device interface class GUID (default {04C77E93-B54D-4714-AC96-15A62BFA307B})
                       name=STEM        file stem in the USB directory (default sim-<pid>-nn)
                       transfer-size=N  wTransferSize of the DFU functional descriptor, 1 to 65535
                                        (default 4096)
                       attributes=0xNN  its bmAttributes (default 0x07: download, upload,
                                        manifestation tolerant); bit 2 (0x04) also decides
                                        where manifest=standard ends
                       interface=N      the DFU interface's number, 0 to 15 (default 0); above 0
                                        a composite device: interfaces 0 to N-1 vendor-specific,
                                        its GUID named in an MS OS 2.0 function subset, the
                                        path ending &mi_NN; requests whose wIndex is not N stall
                       detach-timeout=MS  its wDetachTimeOut (default 1000)
                       latency=US       every control transfer (descriptor requests included)
                                        is answered US microseconds late (default 0)
  --com COMn[,k=v,...]  add a serial device linked as COMn
  --help             this text

Keys for both kinds:
  state=N            start state, 0 (appIDLE) to 10 (dfuERROR); default 2 (dfuIDLE)
  busy=N             GETSTATUS answers of dfuDNBUSY after each DNLOAD (default 0)
  poll=MS            bwPollTimeout reported with dfuDNBUSY (default 0)
  flash=FILE         load the flash from FILE at start (if it exists); save it there on
                     manifestation and on exit
  flash-size=BYTES   flash size, K and M suffixes allowed (default 256K)
  upload-size=BYTES  bytes an upload returns (default: highest byte written + 1, or the
                     loaded file's size, whichever is larger)
  info=HEX           the 48-byte GET_INFO record as 96 hexadecimal digits
  upload-corrupt=OFFSET  UPLOAD returns the image byte at OFFSET inverted (the flash
                     keeps the right value): a read-back that does not match
  manifest=idle|sync|standard
                     after the closing zero-length DNLOAD the next GETSTATUS reports
                     dfuIDLE (idle, default) or dfuMANIFEST-SYNC and then dfuIDLE (sync);
                     standard manifests as DFU 1.1 boards do: GETSTATUS reports
                     dfuMANIFEST with bwPollTimeout manifest-poll, and keeps doing so
                     (with the time left) until that time is up; then a manifestation
                     tolerant device (attributes bit 2) reports dfuIDLE, any other
                     goes to dfuMANIFEST-WAIT-RESET, answers only GETSTATUS and GETSTATE
                     there and leaves it only by a reset (vendor request 8)
  manifest-poll=MS   bwPollTimeout and length of dfuMANIFEST with manifest=standard
                     (default 0)
  upload-end=empty|short
                     an upload ends with a short block that returns the device to
                     dfuIDLE; then an UPLOAD of the next block number gets an empty
                     block (empty, default), or starts a new upload at offset 0
                     whatever its block number (short, as DFU 1.1 boards do)
  faults=RATE[:SEED] random faults: each frame either way (serial) or each control
                     transfer (USB) is hit with probability RATE (0 to 1) by one fault:
                       serial, a host frame: noise bytes before it, a flipped bit, a
                         dropped byte, its acknowledgement lost or with a flipped bit,
                         or rejected (0xFF) unread;
                       serial, a reply frame: noise bytes before it, a flipped bit, a
                         dropped byte, the host's acknowledgement of it lost or with a
                         flipped bit;
                       USB: the transfer fails before the device sees it, or after
                         the device took it (its status stage lost), is stalled, is
                         never answered (the host times out), or an IN reply comes
                         short. (USB data carries its own CRC: nothing arrives
                         corrupted.)
                     The same SEED replays the same faults; without one a seed is drawn
                     and logged. Every fault is logged as "fault <kind>: ..."

Serial-only keys (the line):
  baud=N             pace the line at N bit/s, both ways: the device takes the
                     host's bytes no faster, and its bytes reach the host no faster
                     (default: as fast as the pty). A character is its start, data,
                     parity and stop bits as the host set them (10 at 8N1). A host
                     whose rate differs from N (by more than 2 %) is not understood:
                     what the device receives is garbled
  baud=host          pace the line at whatever rate the host sets on its port
  latency=US         every burst of bytes reaches the other side US microseconds
                     after it was sent, both ways (a USB-serial adapter's latency
                     timer; default 0)

Serial-only keys (faults):
  delay=MS[@N]       send the reply frame MS milliseconds after the acknowledgement,
                     for every request, or with @N only for the Nth request the device
                     acknowledges (from 1); replies never overtake one another
  noise=N            N junk bytes before each reply frame
  nak=K              reject the host's next K frames
  badcrc=K           send the next K reply frames with a wrong CRC
  badack=K           the host's acknowledgements of the next K reply frames arrive
                     damaged (0x00 as 0x04): the device sends each reply again
  nosync             never answer the 0x55 handshake
  badsync=0xNN       answer the handshake with NN instead of 0xAA
  silent             accept frames, never send a reply frame
  long               reply frames longer than the Length asked for
  repeats=ack|execute
                     a host-to-device frame identical to the one just accepted, sent
                     again because its acknowledgement reached the host damaged, is
                     acknowledged again and not carried out (ack, the default), or
                     carried out a second time (execute: a device without that rule;
                     a repeated DNLOAD then stalls it into dfuERROR)

Block n of a DNLOAD or UPLOAD transfer lies at n times the transfer's block size,
the wLength of the block that began it: a shorter last block lands where its
number says. Serial devices are manifestation tolerant.
A request the device cannot take is stalled: on USB the control transfer fails
with error 31; on a serial line the frame is rejected (0xFF), again on every
repetition, so the host's transfer runs into its time-out.
)";
}

} // namespace velt::sim
