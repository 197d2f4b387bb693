#include "Recovery.h"

#include "Names.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace veltdfu {

namespace {

enum DfuState : uint8_t {
    kAppIdle = 0, kAppDetach = 1, kDfuIdle = 2, kDnloadSync = 3, kDnBusy = 4, kDnloadIdle = 5,
    kManifestSync = 6, kManifest = 7, kManifestWaitReset = 8, kUploadIdle = 9, kDfuError = 10,
};

constexpr int kRounds = 16;
constexpr uint32_t kLongestPollMs = 1000; // a device asking for longer is polled sooner

} // namespace

Recovery ReturnToIdle(DFU_HANDLE handle)
{
    Recovery recovery;
    for (int round = 0; round < kRounds; ++round) {
        DFU_GETSTATUS_RESULT now = {};
        recovery.status = DFU_DfuGetStatus(handle, &now);
        if (recovery.status != DFU_STATUS_SUCCESS) {
            recovery.problem = "cannot read its status";
            return recovery;
        }
        if (!recovery.first)
            recovery.first = now;
        switch (now.bState) {
        case kDfuIdle:
            recovery.idle = true;
            return recovery;
        case kDfuError:
            recovery.status = DFU_DfuClearStatus(handle);
            if (recovery.status != DFU_STATUS_SUCCESS) {
                recovery.problem = "cannot clear its error status";
                return recovery;
            }
            recovery.actions.push_back(std::string("cleared the error status ") + DfuStatusName(now.bStatus) +
                                       " (CLRSTATUS)");
            break;
        case kDnloadIdle:
        case kUploadIdle:
            recovery.status = DFU_DfuAbort(handle);
            if (recovery.status != DFU_STATUS_SUCCESS) {
                recovery.problem = "cannot abort its unfinished transfer";
                return recovery;
            }
            recovery.actions.push_back(std::string("abandoned the unfinished ") +
                                       (now.bState == kDnloadIdle ? "download" : "upload") + " (ABORT)");
            break;
        case kDnBusy:
        case kManifest:
            std::this_thread::sleep_for(std::chrono::milliseconds(std::min(now.bwPollTimeout, kLongestPollMs)));
            break;
        case kDnloadSync:
        case kManifestSync:
            break; // the next GETSTATUS moves it on
        default:
            recovery.problem = std::string("it is in ") + DfuStateName(now.bState) + (now.bState <= kAppDetach
                                   ? ", not in DFU mode"
                                   : ", which only a reset leaves");
            return recovery;
        }
    }
    recovery.problem = "it did not reach dfuIDLE";
    return recovery;
}

} // namespace veltdfu
