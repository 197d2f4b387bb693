#include "CommandLine.h"

#include <cstring>
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

std::string Invalid(const std::string& option, const std::string& value, const std::string& expected)
{
    return "invalid value '" + value + "' for " + option + " (expected " + expected + ")";
}

// Applies one option with its value; returns an error message or "".
std::string ApplyOption(const std::string& name, const std::string& value, Invocation& out)
{
    constexpr uint32_t kMax32 = std::numeric_limits<uint32_t>::max();
    if (name == "--baud") {
        auto baud = ParseUnsigned(value, kMax32);
        if (!baud || *baud == 0)
            return Invalid(name, value, "a bit rate such as 115200");
        out.line.baudRate = *baud;
    } else if (name == "--data-bits") {
        auto bits = ParseUnsigned(value, 8);
        if (!bits || *bits < 5)
            return Invalid(name, value, "5, 6, 7 or 8");
        out.line.dataBits = static_cast<uint8_t>(*bits);
    } else if (name == "--parity") {
        out.line.parity = Pick(kParities, value);
        if (!out.line.parity)
            return Invalid(name, value, "none, odd, even, mark or space");
    } else if (name == "--stop-bits") {
        out.line.stopBits = Pick(kStopBits, value);
        if (!out.line.stopBits)
            return Invalid(name, value, "1, 1.5 or 2");
    } else if (name == "--flow") {
        out.line.flowControl = Pick(kFlows, value);
        if (!out.line.flowControl)
            return Invalid(name, value, "none or rtscts");
    } else if (name == "--timeout") {
        out.timeoutMs = ParseUnsigned(value, kMax32);
        if (!out.timeoutMs)
            return Invalid(name, value, "milliseconds");
    } else if (name == "--transfer-size") {
        auto size = ParseUnsigned(value, 0xFFFF);
        if (!size || *size == 0)
            return Invalid(name, value, "a block size of 1 to 65535 bytes");
        out.transferSize = static_cast<uint16_t>(*size);
    } else if (name == "--retries") {
        out.retries = ParseUnsigned(value, kMaxRetries);
        if (!out.retries)
            return Invalid(name, value, "a count of 0 to " + std::to_string(kMaxRetries));
    } else if (name == "--upload-size") {
        out.uploadSize = ParseUnsigned(value, kMax32);
        if (!out.uploadSize || *out.uploadSize == 0)
            return Invalid(name, value, "a byte count of at least 1");
    } else if (name == "--guid") {
        uint32_t d1 = 0;
        uint16_t d2 = 0, d3 = 0;
        uint8_t d4[8] = {};
        if (!ParseGuid(value, d1, d2, d3, d4))
            return Invalid(name, value, "a GUID such as {A5DCBF10-6530-11D2-901F-00C04FB951ED}");
        out.guid = value;
    } else if (name == "--wait") {
        out.waitSeconds = ParseUnsigned(value, kMaxWaitSeconds);
        if (!out.waitSeconds)
            return Invalid(name, value, "seconds, at most " + std::to_string(kMaxWaitSeconds));
    } else {
        return "unknown option '" + name + "'";
    }
    return "";
}

bool IsValueOption(const std::string& name)
{
    static const char* const kNames[] = {"--baud",    "--data-bits", "--parity",       "--stop-bits",
                                         "--flow",    "--timeout",   "--transfer-size", "--retries",
                                         "--upload-size", "--guid"};
    for (const char* known : kNames) {
        if (name == known)
            return true;
    }
    return false;
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
        const bool isOption = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (!isOption) {
            if (out.command.empty())
                out.command = arg;
            else
                out.operands.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "--help" || arg == "-h") {
            out.help = true;
        } else if (arg == "--version") {
            out.version = true;
        } else if (arg == "--verify") {
            out.verify = true;
        } else if (arg == "--no-suffix") {
            out.noSuffix = true;
        } else if (arg == "--json") {
            out.json = true;
        } else if (arg == "--no-recovery") {
            out.noRecovery = true;
        } else if (arg == "--verbose" || arg == "-v") {
            out.verbose = true;
        } else if (arg == "--until-empty") {
            out.untilEmpty = true;
        } else if (arg == "--wait") {
            out.waitSeconds = kDefaultWaitSeconds;
        } else if (arg.compare(0, 7, "--wait=") == 0) {
            std::string error = ApplyOption("--wait", arg.substr(7), out);
            if (!error.empty())
                return error;
        } else {
            const size_t equals = arg.find('=');
            const std::string name = arg.substr(0, equals);
            if (!IsValueOption(name))
                return "unknown option '" + name + "'";
            std::string value;
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < argc) {
                value = argv[++i];
            } else {
                return "option " + name + " needs a value";
            }
            std::string error = ApplyOption(name, value, out);
            if (!error.empty())
                return error;
        }
    }
    return "";
}

} // namespace veltdfu
