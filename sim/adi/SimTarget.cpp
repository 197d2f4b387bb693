#include "SimTarget.h"

#include <algorithm>
#include <array>

namespace adisim {
namespace {

constexpr ADIU_STATUS kInvalidParameter = 0x40;
constexpr ADIU_STATUS kVerifyFailed = 81;

using PageBytes = std::map<uint32_t, uint8_t>;   // offset in page -> value

} // namespace

ADIU_STATUS ProgramImage(Adapter& adapter, std::vector<uint8_t>& flash, const std::map<uint32_t, uint8_t>& image,
                         const DownloadOptions& options, ADIU_DOWNLOAD_CALLBACK callback, void* context)
{
    std::map<uint32_t, PageBytes> pages;
    for (const auto& [address, value] : image) {
        if (address >= kFlashSize) return kInvalidParameter;   // nothing is programmed
        pages[address / kPageSize][address % kPageSize] = value;
    }

    ADIU_STATUS result = 0;
    size_t done = 0;
    for (const auto& [page, bytes] : pages) {
        uint8_t* cells = flash.data() + page * kPageSize;
        // What the page should hold afterwards.
        std::array<uint8_t, kPageSize> intended;
        if (options.sectorErase)
            intended.fill(0xFF);
        else
            std::copy(cells, cells + kPageSize, intended.begin());
        for (const auto& [offset, value] : bytes) intended[offset] = value;

        const bool written = !std::equal(intended.begin(), intended.end(), cells);
        if (written) {
            if (options.sectorErase || options.merge) std::fill(cells, cells + kPageSize, 0xFF);
            for (uint32_t i = 0; i < kPageSize; ++i) cells[i] &= intended[i];
        }
        ADIU_STATUS pageStatus = 0;
        if (options.verify &&
            (page == adapter.verifyFaultPage || !std::equal(intended.begin(), intended.end(), cells)))
            pageStatus = result = kVerifyFailed;

        ++done;
        if (callback)
            callback(static_cast<int32_t>(done * 100 / pages.size()), page * kPageSize, pageStatus, written ? 1 : 0,
                     context);
    }
    return result;
}

ADIU_STATUS ReadFlash(const std::vector<uint8_t>& flash, uint32_t address, uint8_t* buffer, uint32_t count,
                      ADIU_READ_CALLBACK callback, void* context)
{
    if (address >= kFlashSize || count > kFlashSize - address) return kInvalidParameter;
    if (count == 0) {
        if (callback) callback(100, 1, context);
        return 0;
    }
    int32_t nextReport = 10;
    for (uint32_t done = 0; done < count;) {
        uint32_t chunk = std::min(kPageSize, count - done);
        std::copy(flash.begin() + address + done, flash.begin() + address + done + chunk, buffer + done);
        done += chunk;
        int32_t percent = static_cast<int32_t>(uint64_t(done) * 100 / count);
        int32_t report = percent >= nextReport ? 1 : 0;
        while (nextReport <= percent) nextReport += 10;
        if (callback) callback(percent, report, context);
    }
    return 0;
}

} // namespace adisim
