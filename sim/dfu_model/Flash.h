// The device's flash memory: erased bytes read 0xFF. It remembers how far
// the image reaches (the larger of the loaded file's size and the highest
// byte written + 1), which is what an upload returns and what is saved.
#ifndef VELT_SIM_FLASH_H
#define VELT_SIM_FLASH_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velt::sim {

class Flash {
public:
    explicit Flash(size_t size);

    size_t size() const { return bytes_.size(); }
    size_t imageEnd() const { return imageEnd_; }

    // False (and nothing written) when the range does not fit.
    bool write(size_t offset, const uint8_t* data, size_t length);
    // Copies what lies in [offset, min(offset + length, limit)); returns the count.
    size_t read(size_t offset, size_t length, size_t limit, uint8_t* out) const;
    const std::vector<uint8_t>& bytes() const { return bytes_; }

    // A missing file leaves the flash erased; a file larger than the flash
    // is an error. Both throw std::runtime_error on failure.
    void load(const std::string& path);
    // Writes bytes [0, imageEnd) to a temporary file and renames it over path.
    void save(const std::string& path) const;

private:
    std::vector<uint8_t> bytes_;
    size_t imageEnd_ = 0;
};

} // namespace velt::sim

#endif
