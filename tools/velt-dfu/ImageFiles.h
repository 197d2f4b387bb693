// The files around an image transfer: reading the user's image, and the
// temporary files that keep a failed transfer from leaving half a file.
#ifndef VELT_DFU_TOOL_IMAGEFILES_H
#define VELT_DFU_TOOL_IMAGEFILES_H

#include <cstdint>
#include <string>
#include <vector>

namespace veltdfu {

// The whole file; on failure an empty vector and the reason in `error`.
std::vector<uint8_t> ReadWholeFile(const std::string& path, std::string& error);

// A file that is removed when the object goes, unless kept.
class TempFile {
public:
    TempFile() = default;
    ~TempFile();
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;

    // Creates an empty file with a fresh name in `directory` (the system's
    // temporary directory when empty); false with the reason in `error`.
    bool create(const std::string& directory, const std::string& stem, std::string& error);
    // Writes `bytes` as the whole content; false with the reason in `error`.
    bool write(const uint8_t* bytes, size_t size, std::string& error) const;
    // Renames the file to `target`, replacing it; it is no longer removed.
    bool moveTo(const std::string& target, std::string& error);

    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// The directory part of a path as given ("." for a bare name).
std::string DirectoryOf(const std::string& path);

} // namespace veltdfu

#endif
