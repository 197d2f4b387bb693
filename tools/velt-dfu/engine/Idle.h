// Bringing a device back to dfuIDLE, before a transfer and after one that
// failed or was cancelled, so that every run starts from a clean device.
#ifndef VELT_DFU_TOOL_ENGINE_IDLE_H
#define VELT_DFU_TOOL_ENGINE_IDLE_H

#include "engine/Requests.h"

#include <optional>
#include <string>
#include <vector>

namespace veltdfu::engine {

struct Recovery {
    bool waitReset = false;         // the device is in dfuMANIFEST-WAIT-RESET
    bool idle = false;              // the device is in dfuIDLE now
    DFU_STATUS status = DFU_STATUS_SUCCESS; // the request that failed, if one did
    std::optional<DFU_GETSTATUS_RESULT> first; // what the device said before anything was done
    std::vector<std::string> actions; // what was done, in words, in order
    std::string problem;            // why the device was left as it is (idle false)
};

// Asks GETSTATUS and acts on the state, a few rounds at most: dfuERROR is
// cleared (CLRSTATUS), an unfinished download or upload is abandoned (ABORT),
// the states that move on by themselves (dfuDNLOAD-SYNC, dfuDNBUSY,
// dfuMANIFEST-SYNC, dfuMANIFEST) are polled. Application mode and
// dfuMANIFEST-WAIT-RESET need a reset or a detach, which would change more
// than the user asked for, so they are left alone and reported.
Recovery ReturnToIdle(Requests& device);

} // namespace veltdfu::engine

#endif
