#include "Flash.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace velt::sim {

Flash::Flash(size_t size) : bytes_(size, 0xFF) {}

bool Flash::write(size_t offset, const uint8_t* data, size_t length)
{
    if (offset > bytes_.size() || length > bytes_.size() - offset)
        return false;
    if (length == 0)
        return true;
    std::memcpy(bytes_.data() + offset, data, length);
    imageEnd_ = std::max(imageEnd_, offset + length);
    return true;
}

size_t Flash::read(size_t offset, size_t length, size_t limit, uint8_t* out) const
{
    limit = std::min(limit, bytes_.size());
    if (offset >= limit)
        return 0;
    size_t count = std::min(length, limit - offset);
    std::memcpy(out, bytes_.data() + offset, count);
    return count;
}

void Flash::load(const std::string& path)
{
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) {
        if (errno == ENOENT)
            return;
        throw std::runtime_error("cannot open flash file " + path + ": " + std::strerror(errno));
    }
    std::vector<uint8_t> content;
    uint8_t chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0)
        content.insert(content.end(), chunk, chunk + got);
    bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed)
        throw std::runtime_error("cannot read flash file " + path);
    if (content.size() > bytes_.size())
        throw std::runtime_error("flash file " + path + " (" + std::to_string(content.size()) +
                                 " bytes) is larger than the flash (" + std::to_string(bytes_.size()) + " bytes)");
    std::copy(content.begin(), content.end(), bytes_.begin());
    imageEnd_ = std::max(imageEnd_, content.size());
}

void Flash::save(const std::string& path) const
{
    // Written beside the target and renamed, so a reader never sees half a file.
    std::string temp = path + ".tmp";
    FILE* file = std::fopen(temp.c_str(), "wb");
    if (!file)
        throw std::runtime_error("cannot create flash file " + temp + ": " + std::strerror(errno));
    bool ok = std::fwrite(bytes_.data(), 1, imageEnd_, file) == imageEnd_;
    ok = (std::fclose(file) == 0) && ok;
    if (!ok || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        throw std::runtime_error("cannot write flash file " + path);
    }
}

} // namespace velt::sim
