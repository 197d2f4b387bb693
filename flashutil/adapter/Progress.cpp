#include "adapter/Progress.h"

#include <cstdio>

#include "adapter/StatusNames.h"
#include "main/RunSettings.h"

namespace {
constexpr ADIU_STATUS kFlashVerifyFailed = 81;
}

int32_t ADIU_CALL DownloadProgress(int32_t percent, uint32_t pageAddress, ADIU_STATUS pageStatus,
                                   int32_t pageWritten, void* /*context*/)
{
    const RunSettings& s = Settings();
    if (!s.info) return 1;
    if (pageStatus == 0) {
        if (pageWritten != 0)
            std::printf(s.verify ? "%d%%\t Page Address: 0x%08X Status: Written/Verified\n"
                                 : "%d%%\t Page Address: 0x%08X Status: Written\n",
                        int(percent), unsigned(pageAddress));
    } else if (pageStatus == kFlashVerifyFailed) {
        std::printf("%d%%\t Page Address: 0x%08X Status: Verify Failed\n", int(percent), unsigned(pageAddress));
    } else {
        std::printf("%d%%\t Page Address: 0x%08X Status: %s\n", int(percent), unsigned(pageAddress),
                    StatusName(pageStatus).c_str());
    }
    return 1;
}

int32_t ADIU_CALL ReadProgress(int32_t percent, int32_t report, void* /*context*/)
{
    if (Settings().info && report != 0) std::printf("%d%% complete.\n", int(percent));
    return 1;
}
