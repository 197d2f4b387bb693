// What to do after a request of a download failed on the line: a pure
// decision from which request failed and the state GETSTATE found the
// device in afterwards. The same state means different things after
// different requests: dfuDNLOAD-IDLE after a lost DNLOAD says the block never
// arrived, after a lost GETSTATUS it says the block is done.
#ifndef VELT_DFU_TOOL_ENGINE_RECOVERY_H
#define VELT_DFU_TOOL_ENGINE_RECOVERY_H

#include <cstdint>

namespace veltdfu::engine {

enum class Failed {
    Dnload,         // a DNLOAD with data
    GetStatus,      // the GETSTATUS after a data block
    ClosingDnload,  // the zero-length DNLOAD that ends the image
    ManifestStatus, // a GETSTATUS of the manifestation phase
};

enum class Action {
    Poll,         // the request arrived: ask GETSTATUS (again)
    WaitAndPoll,  // the device is busy: wait its poll time, then GETSTATUS
    Resend,       // the DNLOAD never arrived: send the same block, same number
    BlockDone,    // the block is written: go on with the next
    Manifest,     // the closing DNLOAD arrived: run the manifestation phase
    Manifested,   // the manifestation is over, the device is in dfuIDLE
    WaitReset,    // the manifestation is over, the device waits for a reset
    ClearAndFail, // dfuERROR: the device's verdict, not the line's; fail, to be cleared
    Fail,         // a state this request cannot leave the device in
};

Action DecideRecovery(Failed request, uint8_t state, bool firstBlock);

const char* ActionName(Action action);
const char* FailedName(Failed request);

} // namespace veltdfu::engine

#endif
