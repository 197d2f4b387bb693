#include "engine/Idle.h"

#include "Names.h"

#include <algorithm>

namespace veltdfu::engine {

namespace {

constexpr int kRounds = 16;
constexpr int kStatusAttempts = 3;
constexpr uint32_t kLongestPollMs = 1000; // a device asking for longer is polled sooner

} // namespace

Recovery ReturnToIdle(Requests& device)
{
    Recovery recovery;
    for (int round = 0; round < kRounds; ++round) {
        DFU_GETSTATUS_RESULT now = {};
        // A faulty line may lose a request or two; that says nothing about the device.
        for (int ask = 0; ask < kStatusAttempts; ++ask) {
            recovery.status = device.GetStatus(now);
            if (recovery.status == DFU_STATUS_SUCCESS)
                break;
        }
        if (recovery.status != DFU_STATUS_SUCCESS) {
            recovery.problem = "cannot read its status";
            return recovery;
        }
        if (!recovery.first)
            recovery.first = now;
        switch (now.bState) {
        case DFU_STATE_DFU_IDLE:
            recovery.idle = true;
            return recovery;
        case DFU_STATE_DFU_ERROR:
            recovery.status = device.ClearStatus();
            if (recovery.status != DFU_STATUS_SUCCESS) {
                recovery.problem = "cannot clear its error status";
                return recovery;
            }
            recovery.actions.push_back(std::string("cleared the error status ") + DfuStatusName(now.bStatus) +
                                       " (CLRSTATUS)");
            break;
        case DFU_STATE_DFU_DNLOAD_IDLE:
        case DFU_STATE_DFU_UPLOAD_IDLE:
            recovery.status = device.Abort();
            if (recovery.status != DFU_STATUS_SUCCESS) {
                recovery.problem = "cannot abort its unfinished transfer";
                return recovery;
            }
            recovery.actions.push_back(std::string("abandoned the unfinished ") +
                                       (now.bState == DFU_STATE_DFU_DNLOAD_IDLE ? "download" : "upload") + " (ABORT)");
            break;
        case DFU_STATE_DFU_DNBUSY:
        case DFU_STATE_DFU_MANIFEST:
            device.Wait(std::min(now.bwPollTimeout, kLongestPollMs));
            break;
        case DFU_STATE_DFU_DNLOAD_SYNC:
        case DFU_STATE_DFU_MANIFEST_SYNC:
            break; // the next GETSTATUS moves it on
        case DFU_STATE_DFU_MANIFEST_WAIT_RESET:
            recovery.waitReset = true;
            recovery.problem = "it is in dfuMANIFEST-WAIT-RESET: it runs its new firmware after a reset";
            return recovery;
        default:
            recovery.problem = std::string("it is in ") + DfuStateName(now.bState) +
                               (now.bState <= DFU_STATE_APP_DETACH ? ", not in DFU mode" : ", which only a reset leaves");
            return recovery;
        }
    }
    recovery.problem = "it did not reach dfuIDLE";
    return recovery;
}

} // namespace veltdfu::engine
