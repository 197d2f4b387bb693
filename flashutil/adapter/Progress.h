// The callbacks the adapter library calls while it downloads an image and
// while it reads a block of flash. Both print only with "-i" and always ask
// the library to go on (1).
#ifndef FLASHUTIL_PROGRESS_H
#define FLASHUTIL_PROGRESS_H

#include "adilib/VELT_ADI_Util.h"

int32_t ADIU_CALL DownloadProgress(int32_t percent, uint32_t pageAddress, ADIU_STATUS pageStatus,
                                   int32_t pageWritten, void* context);

int32_t ADIU_CALL ReadProgress(int32_t percent, int32_t report, void* context);

#endif
