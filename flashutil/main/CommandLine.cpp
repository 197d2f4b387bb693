#include "main/CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

const char* const kUsageLines[] = {
    "================================\n",
    "\n",
    "Burn binary image to Velt Orvix on-chip flash.\n",
    "\n",
    "OrvixFlashUtility [-v] [-i] [-e {0,1,2}] [-p {0,1,2}] [-r {0,1,2}] [-l] [-f] [-s SERIAL] [drive:][path]image\n",
    "OrvixFlashUtility [-d START_ADDRESS NUM_BYTES] [-s SERIAL] [drive:][path]image\n",
    "\n",
    "positional arguments:\n",
    "image               Hex image file to burn or to output when using the -d option.\n",
    "\n",
    "optional arguments:\n",
    "-v                  Verify after downloading to flash.\n",
    "-i                  Display additional information.\n",
    "-e {0,1,2}          Erase: 0=merge, 1=(sector), 2=full\n",
    "-p {0,1,2}          Port:  0=jtag, 1=sw, 2=(swj)\n",
    "-r {0,1,2}          Reset: 0=(none), 1=before, 2=during\n",
    "-d                  Dump contents of flash starting at\n",
    "                    START_ADDRESS and dumping NUM_BYTES.\n",
    "                    START_ADDRESS requires the address to\n",
    "                    be in hexidecimal format, e.g. 0x00000000.\n",
    "-l                  Display a list of all LKP serial numbers available\n",
    "-f                  Lock flash block\n",
    "-s SERIAL           LKP serial number\n",
    "\n",
};

bool EndsWith(const std::string& text, const std::string& tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// "-e", "-p" and "-r" take the low 8 bits of an octal number.
uint8_t OctalByte(const std::string& text) { return static_cast<uint8_t>(StrToUl32(text, 8)); }

} // namespace

uint32_t StrToUl32(const std::string& text, int base)
{
    size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
    const bool negative = i < text.size() && text[i] == '-';
    errno = 0;
    unsigned long long value = std::strtoull(text.c_str(), nullptr, base);
    if (errno == ERANGE) return 0xFFFFFFFFu;
    unsigned long long magnitude = negative ? 0ULL - value : value;
    if (magnitude > 0xFFFFFFFFULL) return 0xFFFFFFFFu;
    return static_cast<uint32_t>(value);
}

void PrintUsage()
{
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t release = 0;
    ADIU_GetLibraryVersion(&major, &minor, &release);   // a failure leaves "0.0 (Debug)"
    std::printf("Velt Orvix Flash Programming Utility %s\n", kUtilityVersion);
    std::printf("VELT_ADI_Util.dll %u.%u%s\n", unsigned(major), unsigned(minor), release ? "" : " (Debug)");
    for (const char* line : kUsageLines) std::fputs(line, stdout);
}

bool ParseArguments(const std::vector<std::string>& args, RunSettings& s)
{
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool takesValue = arg == "-e" || arg == "-p" || arg == "-r" || arg == "-s";
        if (takesValue && i + 1 >= args.size()) {
            std::printf("Error: Missing value after %s.\n", arg.c_str());
            return false;
        }
        if (arg == "-v") {
            s.verify = true;
        } else if (arg == "-i") {
            s.info = true;
        } else if (arg == "-l") {
            s.listAdapters = true;
        } else if (arg == "-f") {
            s.lockFlash = true;
        } else if (arg == "-e") {
            s.eraseGiven = true;
            s.eraseMode = OctalByte(args[++i]);
        } else if (arg == "-p") {
            s.portMode = OctalByte(args[++i]);
        } else if (arg == "-r") {
            s.resetMode = OctalByte(args[++i]);
        } else if (arg == "-s") {
            s.serial = args[++i];
        } else if (arg == "-d") {
            s.dumpFlash = true;
            if (i + 1 >= args.size() || args[i + 1].compare(0, 2, "0x") != 0) {
                std::printf("Error: Invalid address format.  Expecting hex format 0x00000000.\n");
                return false;
            }
            s.dumpAddress = StrToUl32(args[++i], 0);
            if (i + 1 >= args.size() || args[i + 1].compare(0, 1, "-") == 0) {
                std::printf("Error: Number of bytes to dump not specified.\n");
                return false;
            }
            s.dumpLength = StrToUl32(args[++i], 0);
        } else if (EndsWith(arg, ".hex")) {
            s.imagePath = arg;
            s.imageGiven = true;
        } else {
            std::printf("Error: Unknown argument found %s.\n", arg.c_str());
            return false;
        }
        if (s.dumpFlash && (s.verify || s.listAdapters || s.eraseGiven || s.resetMode != 0)) {
            std::printf("Error: Additional arguments not allowed.\n");
            return false;
        }
    }
    return true;
}
