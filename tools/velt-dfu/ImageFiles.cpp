#include "ImageFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace veltdfu {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadWholeFile(const std::string& path, std::string& error)
{
    std::error_code code;
    if (fs::is_directory(path, code)) {
        error = "it is a directory";
        return {};
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return {};
    }
    std::vector<uint8_t> bytes;
    uint8_t chunk[64 * 1024];
    size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        bytes.insert(bytes.end(), chunk, chunk + got);
    const bool failed = std::ferror(file) != 0;
    const int readErrno = errno;
    std::fclose(file);
    if (failed) {
        error = std::strerror(readErrno);
        return {};
    }
    error.clear();
    return bytes;
}

std::string DirectoryOf(const std::string& path)
{
    const fs::path parent = fs::path(path).parent_path();
    return parent.empty() ? "." : parent.string();
}

TempFile::~TempFile()
{
    if (!path_.empty()) {
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
}

bool TempFile::create(const std::string& directory, const std::string& stem, std::string& error)
{
    std::error_code code;
    std::string dir = directory;
    if (dir.empty()) {
        dir = fs::temp_directory_path(code).string();
        if (code) {
            error = "no temporary directory: " + code.message();
            return false;
        }
    }
#ifdef _WIN32
    char name[MAX_PATH];
    if (GetTempFileNameA(dir.c_str(), "vdf", 0, name) == 0) {
        error = "cannot create a file in " + dir + " (Windows error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    (void)stem;
    path_ = name;
#else
    std::string pattern = (fs::path(dir) / (stem + ".XXXXXX")).string();
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) {
        error = "cannot create a file in " + dir + ": " + std::strerror(errno);
        return false;
    }
    // mkstemp makes the file private; an upload keeps it, so give it the usual mode.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ::close(fd);
    path_ = pattern;
#endif
    return true;
}

bool TempFile::write(const uint8_t* bytes, size_t size, std::string& error) const
{
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) {
        error = std::strerror(errno);
        return false;
    }
    const bool wrote = std::fwrite(bytes, 1, size, file) == size;
    const int writeErrno = errno;
    if (std::fclose(file) != 0 || !wrote) {
        error = std::strerror(wrote ? errno : writeErrno);
        return false;
    }
    return true;
}

bool TempFile::moveTo(const std::string& target, std::string& error)
{
    std::error_code code;
    fs::rename(path_, target, code);
    if (code) {
        error = code.message();
        return false;
    }
    path_.clear();
    return true;
}

} // namespace veltdfu
