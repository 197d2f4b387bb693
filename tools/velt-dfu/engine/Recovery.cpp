#include "engine/Recovery.h"

#include "engine/Requests.h"

namespace veltdfu::engine {

namespace {

// A device keeps a DNLOAD it took in dfuDNLOAD-SYNC (or dfuDNBUSY once a
// GETSTATUS began writing it); one it never saw leaves it where the block
// before left it: dfuDNLOAD-IDLE, or dfuIDLE before the first block.
Action AfterDnload(uint8_t state, bool firstBlock)
{
    switch (state) {
    case DFU_STATE_DFU_DNLOAD_SYNC:
    case DFU_STATE_DFU_DNBUSY: return Action::Poll;
    case DFU_STATE_DFU_DNLOAD_IDLE: return Action::Resend;
    case DFU_STATE_DFU_IDLE: return firstBlock ? Action::Resend : Action::Fail;
    default: return Action::Fail;
    }
}

Action AfterGetStatus(uint8_t state)
{
    switch (state) {
    case DFU_STATE_DFU_DNLOAD_SYNC: return Action::Poll;      // the GETSTATUS never arrived
    case DFU_STATE_DFU_DNBUSY: return Action::WaitAndPoll;   // it arrived; the reply was lost
    case DFU_STATE_DFU_DNLOAD_IDLE: return Action::BlockDone; // it arrived, and so did the write
    default: return Action::Fail;
    }
}

Action AfterClosingDnload(uint8_t state)
{
    switch (state) {
    case DFU_STATE_DFU_DNLOAD_IDLE: return Action::Resend;
    case DFU_STATE_DFU_MANIFEST_SYNC:
    case DFU_STATE_DFU_MANIFEST:
    case DFU_STATE_DFU_IDLE: return Action::Manifest;
    case DFU_STATE_DFU_MANIFEST_WAIT_RESET: return Action::WaitReset;
    default: return Action::Fail;
    }
}

Action AfterManifestStatus(uint8_t state)
{
    switch (state) {
    case DFU_STATE_DFU_MANIFEST_SYNC: return Action::Poll;
    case DFU_STATE_DFU_MANIFEST: return Action::WaitAndPoll;
    case DFU_STATE_DFU_IDLE: return Action::Manifested;
    case DFU_STATE_DFU_MANIFEST_WAIT_RESET: return Action::WaitReset;
    case DFU_STATE_DFU_DNLOAD_IDLE: return Action::Resend; // the closing DNLOAD itself was lost
    default: return Action::Fail;
    }
}

} // namespace

Action DecideRecovery(Failed request, uint8_t state, bool firstBlock)
{
    if (state == DFU_STATE_DFU_ERROR)
        return Action::ClearAndFail;
    switch (request) {
    case Failed::Dnload: return AfterDnload(state, firstBlock);
    case Failed::GetStatus: return AfterGetStatus(state);
    case Failed::ClosingDnload: return AfterClosingDnload(state);
    case Failed::ManifestStatus: return AfterManifestStatus(state);
    }
    return Action::Fail;
}

const char* ActionName(Action action)
{
    switch (action) {
    case Action::Poll: return "ask GETSTATUS again";
    case Action::WaitAndPoll: return "wait, then ask GETSTATUS again";
    case Action::Resend: return "send the block again";
    case Action::BlockDone: return "the block is done";
    case Action::Manifest: return "go on with the manifestation";
    case Action::Manifested: return "the manifestation is over";
    case Action::WaitReset: return "the device waits for a reset";
    case Action::ClearAndFail: return "clear the device's error and fail";
    case Action::Fail: return "fail";
    }
    return "fail";
}

const char* FailedName(Failed request)
{
    switch (request) {
    case Failed::Dnload: return "DNLOAD";
    case Failed::GetStatus: return "GETSTATUS";
    case Failed::ClosingDnload: return "closing DNLOAD";
    case Failed::ManifestStatus: return "GETSTATUS of the manifestation";
    }
    return "request";
}

} // namespace veltdfu::engine
