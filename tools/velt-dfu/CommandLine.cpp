#include "CommandLine.h"

#include <cstring>
#include <iterator>
#include <limits>

namespace veltdfu {

namespace {

struct Choice {
    const char* word;
    uint8_t value;
};

constexpr Choice kParities[] = {{"none", 0}, {"odd", 1}, {"even", 2}, {"mark", 3}, {"space", 4}};
constexpr Choice kStopBits[] = {{"1", 0}, {"1.5", 1}, {"2", 2}};
constexpr Choice kFlows[] = {{"none", 0}, {"rtscts", 1}};

template <size_t N>
std::optional<uint8_t> Pick(const Choice (&choices)[N], const std::string& word)
{
    for (const Choice& choice : choices) {
        if (word == choice.word)
            return choice.value;
    }
    return std::nullopt;
}

// Past these a number is a typing mistake, not a plan: a day of waiting, a
// thousand attempts.
constexpr uint32_t kMaxRetries = 1000;
constexpr uint32_t kMaxWaitSeconds = 86400;
constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();

std::string Invalid(const std::string& option, const std::string& value, const std::string& expected)
{
    return "invalid value '" + value + "' for " + option + " (expected " + expected + ")";
}

// Every option velt-dfu knows, in the order the help lists them.
constexpr OptionSpec kOptions[] = {
    {"--timeout", nullptr, "MS", ValueForm::Required, kCmdDevices,
     "transfer time-out (default 1000; at least 1 on a COM port)",
     [](const std::string& value, Invocation& out) {
         out.timeoutMs = ParseUnsigned(value, kMax32);
         return out.timeoutMs ? std::string() : Invalid("--timeout", value, "milliseconds");
     }},
    {"--baud", nullptr, "N", ValueForm::Required, kCmdDevices, "serial bit rate (default 115200)",
     [](const std::string& value, Invocation& out) {
         const auto baud = ParseUnsigned(value, kMax32);
         if (!baud || *baud == 0)
             return Invalid("--baud", value, "a bit rate such as 115200");
         out.line.baudRate = *baud;
         return std::string();
     }},
    {"--data-bits", nullptr, "5|6|7|8", ValueForm::Required, kCmdDevices, "serial data bits (default 8)",
     [](const std::string& value, Invocation& out) {
         const auto bits = ParseUnsigned(value, 8);
         if (!bits || *bits < 5)
             return Invalid("--data-bits", value, "5, 6, 7 or 8");
         out.line.dataBits = static_cast<uint8_t>(*bits);
         return std::string();
     }},
    {"--parity", nullptr, "none|odd|even|mark|space", ValueForm::Required, kCmdDevices, "(default none)",
     [](const std::string& value, Invocation& out) {
         out.line.parity = Pick(kParities, value);
         return out.line.parity ? std::string() : Invalid("--parity", value, "none, odd, even, mark or space");
     }},
    {"--stop-bits", nullptr, "1|1.5|2", ValueForm::Required, kCmdDevices, "(default 1)",
     [](const std::string& value, Invocation& out) {
         out.line.stopBits = Pick(kStopBits, value);
         return out.line.stopBits ? std::string() : Invalid("--stop-bits", value, "1, 1.5 or 2");
     }},
    {"--flow", nullptr, "none|rtscts", ValueForm::Required, kCmdDevices, "flow control (default none)",
     [](const std::string& value, Invocation& out) {
         out.line.flowControl = Pick(kFlows, value);
         return out.line.flowControl ? std::string() : Invalid("--flow", value, "none or rtscts");
     }},
    {"--transfer-size", nullptr, "N", ValueForm::Required, kCmdImages,
     "block size of download and upload, 1..65535\n(default: the USB device's wTransferSize, or\n1024 on a COM port)",
     [](const std::string& value, Invocation& out) {
         const auto size = ParseUnsigned(value, 0xFFFF);
         if (!size || *size == 0)
             return Invalid("--transfer-size", value, "a block size of 1 to 65535 bytes");
         out.transferSize = static_cast<uint16_t>(*size);
         return std::string();
     }},
    {"--verify", nullptr, nullptr, ValueForm::Flag, kCmdDownload, "read the image back and compare",
     [](const std::string&, Invocation& out) {
         out.verify = true;
         return std::string();
     }},
    {"--no-suffix", nullptr, nullptr, ValueForm::Flag, kCmdDownload,
     "send FILE as it is, even if it ends in a DFU suffix",
     [](const std::string&, Invocation& out) {
         out.noSuffix = true;
         return std::string();
     }},
    {"--json", nullptr, nullptr, ValueForm::Flag, kCmdImages, "JSON Lines on standard output",
     [](const std::string&, Invocation& out) {
         out.json = true;
         return std::string();
     }},
    {"--retries", nullptr, "N", ValueForm::Required, kCmdImages,
     "after a failed transfer or --verify, bring the\ndevice back to dfuIDLE and start over, up to N\nmore times (default 0)",
     [](const std::string& value, Invocation& out) {
         out.retries = ParseUnsigned(value, kMaxRetries);
         return out.retries ? std::string()
                            : Invalid("--retries", value, "a count of 0 to " + std::to_string(kMaxRetries));
     }},
    {"--wait", nullptr, "[=SECONDS]", ValueForm::AfterEquals, kCmdImages,
     "wait for DEVICE to appear (default 30 s); the\nvalue only after '='",
     [](const std::string& value, Invocation& out) {
         if (value.empty()) {
             out.waitSeconds = kDefaultWaitSeconds;
             return std::string();
         }
         out.waitSeconds = ParseUnsigned(value, kMaxWaitSeconds);
         return out.waitSeconds
                    ? std::string()
                    : Invalid("--wait", value, "seconds, at most " + std::to_string(kMaxWaitSeconds));
     }},
    {"--no-recovery", nullptr, nullptr, ValueForm::Flag, kCmdImages,
     "a request lost on the line ends the attempt\n(default: ask the device's state and resend or\ngo on from there)",
     [](const std::string&, Invocation& out) {
         out.noRecovery = true;
         return std::string();
     }},
    {"--verbose", "-v", nullptr, ValueForm::Flag, kCmdImages | kCmdList,
     "download, upload: a line per recovered request;\nlist: each device's path as well",
     [](const std::string&, Invocation& out) {
         out.verbose = true;
         return std::string();
     }},
    {"--upload-size", nullptr, "N", ValueForm::Required, kCmdUpload,
     "read at most N bytes (default: until the device\nends its image, at most 64 MiB)",
     [](const std::string& value, Invocation& out) {
         out.uploadSize = ParseUnsigned(value, kMax32);
         if (!out.uploadSize || *out.uploadSize == 0)
             return Invalid("--upload-size", value, "a byte count of at least 1");
         return std::string();
     }},
    {"--until-empty", nullptr, nullptr, ValueForm::Flag, kCmdUpload,
     "only an empty block ends the image, for devices\nthat send short blocks mid-image",
     [](const std::string&, Invocation& out) {
         out.untilEmpty = true;
         return std::string();
     }},
    {"--log", nullptr, "FILE", ValueForm::Required, kCmdImages,
     "append a JSON line per device and attempt to FILE\n(time, device, image and its SHA-256, result);\nseveral velt-dfu may share one FILE",
     [](const std::string& value, Invocation& out) {
         if (value.empty())
             return Invalid("--log", value, "a file name");
         out.logPath = value;
         return std::string();
     }},
    {"--expect", nullptr, "N", ValueForm::Required, kCmdDownload,
     "with several devices or 'all': fail before\nflashing unless at least N devices are there",
     [](const std::string& value, Invocation& out) {
         out.expect = ParseUnsigned(value, 1000);
         if (!out.expect || *out.expect == 0)
             return Invalid("--expect", value, "a count of 1 to 1000");
         return std::string();
     }},
    {"--guid", nullptr, "GUID", ValueForm::Required, kCmdEvery,
     "list and open the USB devices of this device\ninterface GUID instead of the library's own",
     [](const std::string& value, Invocation& out) {
         uint32_t d1 = 0;
         uint16_t d2 = 0, d3 = 0;
         uint8_t d4[8] = {};
         if (!ParseGuid(value, d1, d2, d3, d4))
             return Invalid("--guid", value, "a GUID such as {A5DCBF10-6530-11D2-901F-00C04FB951ED}");
         out.guid = value;
         return std::string();
     }},
    {"--version", nullptr, nullptr, ValueForm::Flag, kCmdEvery, "show the tool and library versions",
     [](const std::string&, Invocation& out) {
         out.version = true;
         return std::string();
     }},
    {"--help", "-h", nullptr, ValueForm::Flag, kCmdEvery, "show this text",
     [](const std::string&, Invocation& out) {
         out.help = true;
         return std::string();
     }},
};

const OptionSpec* FindOption(const std::string& name)
{
    for (const OptionSpec& option : kOptions) {
        if (name == option.name || (option.alias != nullptr && name == option.alias))
            return &option;
    }
    return nullptr;
}

} // namespace

std::optional<uint32_t> ParseUnsigned(const std::string& text, uint32_t max)
{
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(c - '0');
    }
    if (value > max)
        return std::nullopt;
    return static_cast<uint32_t>(value);
}

namespace {

std::optional<uint64_t> HexField(const std::string& text, size_t at, size_t digits)
{
    if (at + digits > text.size())
        return std::nullopt;
    uint64_t value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        const char c = text[i];
        const int digit = c >= '0' && c <= '9' ? c - '0'
                          : c >= 'a' && c <= 'f' ? c - 'a' + 10
                          : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                 : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * 16 + static_cast<uint64_t>(digit);
    }
    return value;
}

} // namespace

bool ParseGuid(const std::string& given, uint32_t& data1, uint16_t& data2, uint16_t& data3, uint8_t (&data4)[8])
{
    std::string text = given;
    if (text.size() == 38 && text.front() == '{' && text.back() == '}')
        text = text.substr(1, 36);
    if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-')
        return false;
    const auto d1 = HexField(text, 0, 8), d2 = HexField(text, 9, 4), d3 = HexField(text, 14, 4);
    if (!d1 || !d2 || !d3)
        return false;
    for (size_t i = 0; i < 8; ++i) {
        const auto byte = HexField(text, i < 2 ? 19 + 2 * i : 24 + 2 * (i - 2), 2);
        if (!byte)
            return false;
        data4[i] = static_cast<uint8_t>(*byte);
    }
    data1 = static_cast<uint32_t>(*d1);
    data2 = static_cast<uint16_t>(*d2);
    data3 = static_cast<uint16_t>(*d3);
    return true;
}

std::string ParseCommandLine(int argc, const char* const* argv, Invocation& out)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            if (out.command.empty())
                out.command = arg;
            else
                out.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const OptionSpec* option = FindOption(name);
        if (option == nullptr)
            return "unknown option '" + name + "'";
        std::string value;
        if (equals != std::string::npos) {
            if (option->form == ValueForm::Flag)
                return "option " + name + " takes no value";
            value = arg.substr(equals + 1);
            if (value.empty() && option->form == ValueForm::AfterEquals)
                return Invalid(name, value, "a value after '='");
        } else if (option->form == ValueForm::Required) {
            if (i + 1 >= argc)
                return "option " + name + " needs a value";
            value = argv[++i];
        }
        std::string error = option->apply(value, out);
        if (!error.empty())
            return error;
        out.given.push_back(option);
    }
    return "";
}

const OptionSpec* OptionsBegin()
{
    return std::begin(kOptions);
}

const OptionSpec* OptionsEnd()
{
    return std::end(kOptions);
}

std::string OptionHelp(unsigned commands)
{
    std::string text;
    for (const OptionSpec& option : kOptions) {
        if ((option.commands & commands) == 0)
            continue;
        std::string head = std::string(option.alias ? option.alias : "") + (option.alias ? ", " : "") + option.name;
        if (option.metavar != nullptr)
            head += (option.form == ValueForm::AfterEquals ? "" : " ") + std::string(option.metavar);
        std::string line = "  " + head;
        const char* help = option.help;
        bool first = true;
        while (*help != '\0') {
            const char* end = std::strchr(help, '\n');
            const std::string part(help, end ? static_cast<size_t>(end - help) : std::strlen(help));
            if (first && line.size() > 31) {
                text += line + "\n";
                line.clear();
            }
            line.resize(32, ' ');
            text += line + part + "\n";
            line.clear();
            first = false;
            help = end ? end + 1 : help + part.size();
        }
    }
    return text;
}

} // namespace veltdfu
