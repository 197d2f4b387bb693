#include "dump_lock/FlashDump.h"

#include <cstdio>
#include <filesystem>
#include <new>
#include <system_error>
#include <vector>

#include "hex/CHexImage.h"
#include "hex/HexWriter.h"

namespace {

// Makes sure the output file can be created before the target is read,
// without truncating a file that is already there.
bool CanCreate(const std::string& path)
{
    std::error_code ec;
    const bool existed = std::filesystem::exists(path, ec);
    FILE* f = std::fopen(path.c_str(), "ab");
    if (!f) return false;
    std::fclose(f);
    if (!existed) std::remove(path.c_str());
    return true;
}

bool WriteWholeFile(const std::string& path, const std::string& text)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    return std::fclose(f) == 0 && written;
}

} // namespace

uint8_t DumpFlashToHexFile(ADIU_HANDLE handle, const std::string& path, uint32_t address, uint32_t length,
                           ADIU_READ_CALLBACK progress)
{
    if (length > kMaxDumpBytes) return kDumpTooLarge;
    std::vector<uint8_t> buffer;
    try {
        buffer.resize(length == 0 ? 1 : length);   // never hand the library a null buffer
    } catch (const std::bad_alloc&) {
        return kDumpTooLarge;
    }
    if (!CanCreate(path)) return kDumpBadPath;

    if (ADIU_STATUS status = ADIU_ReadBlock(handle, address, buffer.data(), length, progress, nullptr)) return status;

    std::string text;
    try {
        CHexImage image(1024, false, 0xFF);
        const uint32_t pageSize = image.PageSize();
        for (uint32_t offset = 0, page = 0; offset < length; offset += pageSize, ++page) {
            const uint32_t n = length - offset < pageSize ? length - offset : pageSize;
            image.PutPage(static_cast<int32_t>(page),
                          std::vector<uint8_t>(buffer.begin() + offset, buffer.begin() + offset + n));
        }
        text = ToHexText(image);
    } catch (const std::bad_alloc&) {
        return kDumpTooLarge;
    }
    return WriteWholeFile(path, text) ? 0 : kDumpBadPath;
}
