#include "Files.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <unistd.h>

namespace velt::sim {

void makeDirectories(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    if (error)
        throw std::runtime_error("cannot create directory " + path + ": " + error.message());
}

void writeFileAtomically(const std::string& path, const std::string& content)
{
    std::filesystem::path target(path);
    std::string temp = (target.parent_path() / ("." + target.filename().string() + ".tmp")).string();
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create " + temp + ": " + std::strerror(errno));
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = std::fclose(file) == 0 && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw std::runtime_error("cannot write " + path);
    }
}

} // namespace velt::sim
