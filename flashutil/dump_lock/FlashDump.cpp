#include "dump_lock/FlashDump.h"

#include <new>
#include <vector>

#include "hex/CHexImage.h"
#include "hex/HexFile.h"

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
    // Made before the target is read, so that an output that cannot be
    // created costs no read; until the commit an existing file is untouched.
    CHexFileWriter output;
    if (output.Open(path, HexFileMode::kReplace) != HexFileResult::kOk) return kDumpBadPath;

    if (ADIU_STATUS status = ADIU_ReadBlock(handle, address, buffer.data(), length, progress, nullptr)) return status;

    try {
        CHexImage image(1024, false, 0xFF);
        const uint32_t pageSize = image.PageSize();
        for (uint32_t offset = 0, page = 0; offset < length; offset += pageSize, ++page) {
            const uint32_t n = length - offset < pageSize ? length - offset : pageSize;
            image.PutPage(static_cast<int32_t>(page),
                          std::vector<uint8_t>(buffer.data() + offset, buffer.data() + offset + n));
        }
        std::vector<uint8_t>().swap(buffer);   // the pages hold the bytes now
        return output.Commit(image) == HexFileResult::kOk ? 0 : kDumpBadPath;
    } catch (const std::bad_alloc&) {
        return kDumpTooLarge;
    }
}
