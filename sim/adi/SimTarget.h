// Flash operations of the simulated target: 256 KiB from address 0 in
// 1024-byte pages, erased to 0xFF; programming can only clear bits.
#ifndef VELT_SIM_ADI_TARGET_H
#define VELT_SIM_ADI_TARGET_H

#include "SimWorld.h"
#include "VELT_ADI_Util.h"

#include <cstdint>
#include <map>

namespace adisim {

struct DownloadOptions {
    bool sectorErase = false;   // erase each touched page, then program the image's bytes
    bool merge = false;         // keep the rest of each touched page (read-modify-write)
    bool verify = false;
};

// Programs the image page by page, calling back once per touched page.
ADIU_STATUS ProgramImage(Adapter& adapter, std::vector<uint8_t>& flash, const std::map<uint32_t, uint8_t>& image,
                         const DownloadOptions& options, ADIU_DOWNLOAD_CALLBACK callback, void* context);

// Copies count bytes from address, reporting progress as it goes.
ADIU_STATUS ReadFlash(const std::vector<uint8_t>& flash, uint32_t address, uint8_t* buffer, uint32_t count,
                      ADIU_READ_CALLBACK callback, void* context);

} // namespace adisim

#endif
