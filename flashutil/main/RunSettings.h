// The options of one run and the state the adapter steps add to them. There
// is one record for the whole process: the progress callbacks, which the
// adapter library calls without any context of ours, read it too.
#ifndef FLASHUTIL_RUN_SETTINGS_H
#define FLASHUTIL_RUN_SETTINGS_H

#include <cstdint>
#include <string>

#include "adilib/VELT_ADI_Util.h"

struct RunSettings {
    uint8_t eraseMode = 1;      // 0 merge, 1 sector erase, 2 full (user-space) erase
    uint8_t portMode = 2;       // 0 JTAG, anything else Serial Wire Debug
    std::string imagePath;      // image to download or dump file; the locked copy during a lock run
    std::string serial;         // adapter to use; empty: the first one
    uint32_t dumpAddress = 0;
    uint32_t dumpLength = 0;
    uint8_t resetMode = 0;      // 0 none, 1 before, 2 during
    bool adapterOpen = false;
    bool listAdapters = false;
    bool imageGiven = false;
    bool info = false;
    bool verify = false;
    bool dumpFlash = false;
    bool eraseGiven = false;
    bool lockFlash = false;
    ADIU_HANDLE adapterHandle = 0;
};

// The process-wide record.
RunSettings& Settings();

#endif
