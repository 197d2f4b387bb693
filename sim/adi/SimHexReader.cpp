#include "SimHexReader.h"

#include <cstdio>
#include <vector>

namespace adisim {
namespace {

int HexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Decodes the characters after ':' into bytes; false on an odd count or a
// character that is not a hexadecimal digit.
bool DecodeRecord(const std::string& line, std::vector<uint8_t>& out)
{
    if (line.size() < 1 || line[0] != ':' || (line.size() - 1) % 2 != 0) return false;
    for (size_t i = 1; i < line.size(); i += 2) {
        int hi = HexDigit(line[i]);
        int lo = HexDigit(line[i + 1]);
        if (hi < 0 || lo < 0) return false;
        out.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    return true;
}

std::string StripLineEnd(std::string line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.pop_back();
    return line;
}

} // namespace

HexReadResult ParseHexText(const std::string& text)
{
    HexReadResult result;
    uint32_t base = 0;
    bool ended = false;
    size_t pos = 0;
    unsigned lineNo = 0;
    while (pos < text.size() && !ended) {
        size_t eol = text.find('\n', pos);
        std::string line = StripLineEnd(text.substr(pos, eol == std::string::npos ? std::string::npos : eol - pos + 1));
        pos = eol == std::string::npos ? text.size() : eol + 1;
        ++lineNo;
        if (line.empty()) continue;

        std::vector<uint8_t> rec;
        if (!DecodeRecord(line, rec) || rec.size() < 5 || rec.size() != rec[0] + 5u) {
            result.error = HexError::BadRecord;
            result.line = lineNo;
            return result;
        }
        uint8_t sum = 0;
        for (uint8_t b : rec) sum = static_cast<uint8_t>(sum + b);
        if (sum != 0) {
            result.error = HexError::BadChecksum;
            result.line = lineNo;
            return result;
        }
        const uint8_t count = rec[0];
        const uint32_t offset = (uint32_t(rec[1]) << 8) | rec[2];
        switch (rec[3]) {
        case 0x00:
            for (uint32_t i = 0; i < count; ++i) result.bytes[base + offset + i] = rec[4 + i];
            break;
        case 0x01:
            ended = true;
            break;
        case 0x02:
        case 0x04:
            if (count != 2) {
                result.error = HexError::BadRecord;
                result.line = lineNo;
                return result;
            }
            base = ((uint32_t(rec[4]) << 8) | rec[5]) << (rec[3] == 0x02 ? 4 : 16);
            break;
        case 0x03:
        case 0x05:
            break; // start addresses mean nothing to a flash programmer
        default:
            result.error = HexError::BadRecord;
            result.line = lineNo;
            return result;
        }
    }
    if (!ended) result.error = HexError::NoEndRecord;
    return result;
}

bool ReadFileText(const std::string& path, std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return false;
    text.clear();
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) text.append(chunk, n);
    std::fclose(f);
    return true;
}

} // namespace adisim
