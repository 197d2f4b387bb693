// Parsing of velt-dfu's command line into an Invocation. Nothing here talks
// to a device, so every rule about options can be checked in isolation.
#ifndef VELT_DFU_TOOL_COMMANDLINE_H
#define VELT_DFU_TOOL_COMMANDLINE_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltdfu {

// Serial line settings the user asked for. Only the given ones change; the
// rest keep what the port has, so "--baud 9600" alone does not reset parity.
struct LineSettings {
    std::optional<uint32_t> baudRate;
    std::optional<uint8_t> dataBits;
    std::optional<uint8_t> parity;    // DCB codes: 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::optional<uint8_t> stopBits;  // DCB codes: 0 one, 1 one and a half, 2 two
    std::optional<uint8_t> flowControl; // 0 none, 1 RTS/CTS

    bool any() const
    {
        return baudRate || dataBits || parity || stopBits || flowControl;
    }
};

struct OptionSpec;

struct Invocation {
    std::vector<const OptionSpec*> given; // every option on the line, in order (repeats kept)
    bool help = false;
    bool version = false;
    std::string command;               // empty when only --help/--version was given
    std::vector<std::string> operands; // words after the command, in order
    LineSettings line;
    std::optional<uint32_t> timeoutMs;
    // Image transfers (download, upload).
    std::optional<uint16_t> transferSize;
    bool verify = false;
    bool noSuffix = false;
    bool json = false;
    // Production line: fresh attempts after a failure, and boards that come late.
    std::optional<uint32_t> retries;     // further attempts after a failed one
    std::optional<uint32_t> waitSeconds; // --wait: how long to wait for the device to appear
    // The transfer engine.
    bool noRecovery = false;             // a failed request ends the attempt
    bool verbose = false;                // a line per recovered request
    std::optional<uint32_t> uploadSize;  // upload: read at most this many bytes
    bool untilEmpty = false;             // upload: only an empty block ends the image
    std::optional<std::string> guid;     // device interface GUID to list, "{...}" as given
    std::optional<uint32_t> expect;      // download to several: fail unless this many devices are there
    std::optional<std::string> logPath;  // --log: a JSON line per device and attempt, appended
};

// "{8-4-4-4-12}" or the same without braces, hexadecimal digits in any case.
bool ParseGuid(const std::string& text, uint32_t& data1, uint16_t& data2, uint16_t& data3, uint8_t (&data4)[8]);

// --wait without a value.
constexpr uint32_t kDefaultWaitSeconds = 30;

// The commands, as bits, for the table of options: which command takes which.
enum CommandBit : unsigned {
    kCmdList = 1u << 0,
    kCmdState = 1u << 1,
    kCmdStatus = 1u << 2,
    kCmdClear = 1u << 3,
    kCmdAbort = 1u << 4,
    kCmdInfo = 1u << 5,
    kCmdReset = 1u << 6,
    kCmdDownload = 1u << 7,
    kCmdUpload = 1u << 8,
};
constexpr unsigned kCmdImages = kCmdDownload | kCmdUpload;
constexpr unsigned kCmdDevices = kCmdState | kCmdStatus | kCmdClear | kCmdAbort | kCmdInfo | kCmdReset | kCmdImages;
constexpr unsigned kCmdEvery = kCmdList | kCmdDevices;

enum class ValueForm {
    Flag,        // --verify
    Required,    // --baud 9600 or --baud=9600
    AfterEquals, // --wait or --wait=10: a word after it stays an operand
};

// One option, declared once: parsing, validation, which commands take it
// and its help all come from here.
struct OptionSpec {
    const char* name;    // "--transfer-size"
    const char* alias;   // "-v", or null
    const char* metavar; // "N" for the help; null for a flag
    ValueForm form;
    unsigned commands;   // CommandBit mask
    const char* help;    // lines separated by '\n'
    // Stores the value (empty for a flag, or --wait without '='); "" or what is wrong.
    std::string (*apply)(const std::string& value, Invocation& out);
};

const OptionSpec* OptionsBegin();
const OptionSpec* OptionsEnd();

// "  --transfer-size N   block size ..." lines for the options `commands` take
// (any of the bits), in table order.
std::string OptionHelp(unsigned commands);

// Fills `out` from argv[1..argc-1]. Options may stand anywhere, before or
// after the command, as "--name VALUE" or "--name=VALUE"; "--" ends them.
// --wait takes its value only as "--wait=SECONDS", so the word after it
// stays an operand.
// Returns an empty string on success, otherwise what was wrong, in words.
std::string ParseCommandLine(int argc, const char* const* argv, Invocation& out);

// Strict unsigned decimal: digits only, no sign, no spaces, within `max`.
std::optional<uint32_t> ParseUnsigned(const std::string& text, uint32_t max);

} // namespace veltdfu

#endif
