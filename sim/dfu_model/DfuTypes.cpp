#include "DfuTypes.h"

#include <cstdio>

namespace velt::sim {

const char* stateName(DfuState state)
{
    switch (state) {
    case DfuState::AppIdle: return "appIDLE";
    case DfuState::AppDetach: return "appDETACH";
    case DfuState::DfuIdle: return "dfuIDLE";
    case DfuState::DnloadSync: return "dfuDNLOAD-SYNC";
    case DfuState::DnBusy: return "dfuDNBUSY";
    case DfuState::DnloadIdle: return "dfuDNLOAD-IDLE";
    case DfuState::ManifestSync: return "dfuMANIFEST-SYNC";
    case DfuState::Manifest: return "dfuMANIFEST";
    case DfuState::ManifestWaitReset: return "dfuMANIFEST-WAIT-RESET";
    case DfuState::UploadIdle: return "dfuUPLOAD-IDLE";
    case DfuState::DfuError: return "dfuERROR";
    }
    return "?";
}

const char* requestName(uint8_t request)
{
    switch (request) {
    case DFU_REQ_DETACH: return "DETACH";
    case DFU_REQ_DNLOAD: return "DNLOAD";
    case DFU_REQ_UPLOAD: return "UPLOAD";
    case DFU_REQ_GETSTATUS: return "GETSTATUS";
    case DFU_REQ_CLRSTATUS: return "CLRSTATUS";
    case DFU_REQ_GETSTATE: return "GETSTATE";
    case DFU_REQ_ABORT: return "ABORT";
    case VENDOR_REQ_GET_INFO: return "GET_INFO";
    case VENDOR_REQ_RESET: return "RESET";
    default: return "UNKNOWN";
    }
}

std::string describeRequest(const SetupPacket& setup, const ControlResult& result, DfuState after)
{
    char line[160];
    std::snprintf(line, sizeof line, "%s(%u) type=0x%02X value=%u index=%u length=%u -> %s%zu bytes, %s",
                  requestName(setup.request), setup.request, setup.requestType, setup.value, setup.index,
                  setup.length, result.stall ? "STALL " : "", result.data.size(), stateName(after));
    return line;
}

} // namespace velt::sim
