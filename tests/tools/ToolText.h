// What the tool tests make and look for: images with a known pattern, the
// files they go to, and the lines the tool writes.
#ifndef VELT_TESTS_TOOLS_TOOLTEXT_H
#define VELT_TESTS_TOOLS_TOOLTEXT_H

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace tooltest {

using Bytes = std::vector<uint8_t>;

inline Bytes Pattern(size_t size, uint32_t seed)
{
    Bytes bytes(size);
    for (uint8_t& byte : bytes) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<uint8_t>(seed >> 16);
    }
    return bytes;
}

inline Bytes ReadBytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    const std::string text = content.str();
    return Bytes(text.begin(), text.end());
}

inline void WriteBytes(const std::string& path, const Bytes& bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

inline size_t Count(const std::string& text, const std::string& what)
{
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

inline std::vector<std::string> Lines(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

inline bool Contains(const std::string& text, const std::string& what)
{
    return text.find(what) != std::string::npos;
}

} // namespace tooltest

#endif
