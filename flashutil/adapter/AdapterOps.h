// Reaching the debug adapter and the target behind it: listing adapters,
// opening and connecting one, and closing it at the end of a run.
#ifndef FLASHUTIL_ADAPTER_OPS_H
#define FLASHUTIL_ADAPTER_OPS_H

#include <cstdint>

#include "adilib/VELT_ADI_Util.h"
#include "main/RunSettings.h"

// Status of "no adapter connected at all"; it is also the run's result code.
constexpr ADIU_STATUS kNoAdapterConnected = 10;

struct ConnectOutcome {
    bool opened = false;        // an adapter is open and CloseAdapter must run
    ADIU_STATUS status = 0;
};

// Prints the serial numbers of all adapters.
void ListAdapters();

// Opens the adapter chosen by settings.serial and connects it to the target,
// upgrading the adapter's firmware when the library asks for it.
ConnectOutcome ConnectAdapter(RunSettings& settings);

// Resets the target, disconnects and closes the adapter; stops at the first
// failing step and returns its status.
ADIU_STATUS CloseAdapter(const RunSettings& settings);

#endif
