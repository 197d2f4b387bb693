#include "DfuModel.h"

#include <algorithm>
#include <cstring>

namespace velt::sim {

std::array<uint8_t, kInfoSize> defaultInfo(size_t flashSize)
{
    std::array<uint8_t, kInfoSize> info{};
    info[0] = 0xF1; // word 0xD0F1, the simulator's product id
    info[1] = 0xD0;
    info[2] = 0x01;
    info[3] = 0x02;
    for (int i = 0; i < 4; ++i) {
        info[4 + i] = static_cast<uint8_t>(flashSize >> (8 * i));
        info[8 + i] = static_cast<uint8_t>(0x08000000u >> (8 * i)); // flash base address
        info[12 + i] = static_cast<uint8_t>(0xC0DEF00Du >> (8 * i));
    }
    const char tag[] = "VELT DFU SIMULATOR";
    std::memcpy(info.data() + 16, tag, sizeof tag - 1);
    return info;
}

namespace {

uint8_t expectedRequestType(uint8_t request)
{
    switch (request) {
    case DFU_REQ_DETACH:
    case DFU_REQ_DNLOAD:
    case DFU_REQ_CLRSTATUS:
    case DFU_REQ_ABORT:
        return kClassOut;
    case DFU_REQ_UPLOAD:
    case DFU_REQ_GETSTATUS:
    case DFU_REQ_GETSTATE:
        return kClassIn;
    case VENDOR_REQ_GET_INFO:
        return kVendorIn;
    case VENDOR_REQ_RESET:
        return kVendorOut;
    default:
        return 0xFF; // matches no valid bmRequestType of ours
    }
}

} // namespace

DfuModel::DfuModel(const ModelConfig& config, Logger log, Now now)
    : config_(config), log_(std::move(log)), flash_(config.flashSize), state_(config.startState), now_(std::move(now))
{
    if (!config_.flashFile.empty())
        flash_.load(config_.flashFile);
    restart(config_.startState);
}

void DfuModel::log(const std::string& line) const
{
    if (log_)
        log_(line);
}

size_t DfuModel::uploadLimit() const
{
    return std::min(config_.uploadSize.value_or(flash_.imageEnd()), flash_.size());
}

void DfuModel::saveFlash() const
{
    if (config_.flashFile.empty())
        return;
    flash_.save(config_.flashFile);
    log("flash saved: " + std::to_string(flash_.imageEnd()) + " bytes to " + config_.flashFile);
}

ControlResult DfuModel::handle(const SetupPacket& setup, const uint8_t* out, size_t outLength)
{
    // Every request goes to the DFU interface; one addressed elsewhere is not ours.
    if (setup.requestType != expectedRequestType(setup.request) || setup.index != config_.dfuInterface)
        return misuse(DfuStatus::ErrStalledPkt);

    switch (setup.request) {
    case VENDOR_REQ_GET_INFO: return onGetInfo(setup);
    case VENDOR_REQ_RESET: return onReset();
    default: break;
    }

    // A manifestation that has had its time is over, whoever asks next.
    if (state_ == DfuState::Manifest && config_.manifest == ManifestMode::Standard && manifestLeftMs() == 0) {
        state_ = config_.manifestTolerant ? DfuState::ManifestSync : DfuState::ManifestWaitReset;
        manifestReported_ = true; // dfuMANIFEST-SYNC now means the image is in place
        log(std::string("manifestation over: ") + stateName(state_));
    }
    // Having programmed its memories, a device that is not manifestation
    // tolerant waits for a reset and only says where it is.
    if (state_ == DfuState::ManifestWaitReset) {
        if (setup.request != DFU_REQ_GETSTATUS && setup.request != DFU_REQ_GETSTATE)
            return ControlResult::stalled();
    }
    // While a block is being written, or the image manifested, the device
    // answers nothing but GETSTATUS.
    const bool manifesting = state_ == DfuState::Manifest && config_.manifest == ManifestMode::Standard;
    if ((state_ == DfuState::DnBusy || manifesting) && setup.request != DFU_REQ_GETSTATUS)
        return misuse(DfuStatus::ErrStalledPkt);

    switch (setup.request) {
    case DFU_REQ_GETSTATUS: return onGetStatus(setup);
    case DFU_REQ_GETSTATE: {
        uint8_t state = static_cast<uint8_t>(state_);
        return reply(setup, &state, 1);
    }
    case DFU_REQ_DNLOAD: return onDnload(setup, out, outLength);
    case DFU_REQ_UPLOAD: return onUpload(setup);
    case DFU_REQ_CLRSTATUS: return onClrStatus();
    case DFU_REQ_ABORT: return onAbort();
    case DFU_REQ_DETACH: return onDetach();
    default: return misuse(DfuStatus::ErrStalledPkt);
    }
}

ControlResult DfuModel::reply(const SetupPacket& setup, const uint8_t* bytes, size_t size) const
{
    ControlResult result;
    result.data.assign(bytes, bytes + std::min<size_t>(size, setup.length));
    return result;
}

// DFU 1.1: a request the current state does not allow is stalled and, in DFU
// mode, leaves the device in dfuERROR until CLRSTATUS. In application mode the
// device only stalls (appDETACH falls back to appIDLE).
ControlResult DfuModel::misuse(DfuStatus status)
{
    if (inAppMode()) {
        state_ = DfuState::AppIdle;
        return ControlResult::stalled();
    }
    if (state_ != DfuState::DfuError) {
        status_ = status;
        state_ = DfuState::DfuError;
    }
    return ControlResult::stalled();
}

ControlResult DfuModel::onGetStatus(const SetupPacket& setup)
{
    uint32_t poll = 0;
    std::optional<DfuState> reported; // when it differs from the state the device is left in
    switch (state_) {
    case DfuState::DnloadSync:
    case DfuState::DnBusy:
        if (pendingError_) {
            status_ = *pendingError_;
            pendingError_.reset();
            state_ = DfuState::DfuError;
        } else if (busyLeft_ > 0) {
            --busyLeft_;
            state_ = DfuState::DnBusy;
            poll = config_.pollTimeoutMs;
        } else {
            state_ = DfuState::DnloadIdle;
        }
        break;
    case DfuState::ManifestSync:
    case DfuState::Manifest:
        reported = manifestStatus(poll);
        break;
    default:
        break;
    }
    uint8_t bytes[kStatusSize] = {static_cast<uint8_t>(status_), static_cast<uint8_t>(poll),
                                  static_cast<uint8_t>(poll >> 8), static_cast<uint8_t>(poll >> 16),
                                  static_cast<uint8_t>(reported.value_or(state_)),
                                  0};
    return reply(setup, bytes, sizeof bytes);
}

// GETSTATUS in dfuMANIFEST-SYNC or dfuMANIFEST: poll and the state reported.
DfuState DfuModel::manifestStatus(uint32_t& poll)
{
    if (config_.manifest != ManifestMode::Standard) {
        if (state_ == DfuState::Manifest) {
            // Started there: ask for a poll, then continue as in dfuMANIFEST-SYNC.
            poll = config_.pollTimeoutMs;
            manifestReported_ = true;
            state_ = DfuState::ManifestSync;
            return DfuState::Manifest;
        }
        if (config_.manifest == ManifestMode::Sync && !manifestReported_) {
            manifestReported_ = true;
        } else {
            state_ = DfuState::DfuIdle;
            log("manifestation complete");
        }
        return state_;
    }
    if (state_ == DfuState::ManifestSync && manifestReported_) {
        // Back from dfuMANIFEST: the image is in place.
        state_ = DfuState::DfuIdle;
        log("manifestation complete");
    } else if (state_ == DfuState::ManifestSync) {
        state_ = DfuState::Manifest;
        manifestReported_ = true;
        manifestDue_ = now_() + std::chrono::milliseconds(config_.manifestPollMs);
    }
    // Still manifesting (also when asked before the poll time it gave): the
    // time that is left.
    if (state_ == DfuState::Manifest)
        poll = manifestLeftMs();
    return state_;
}

uint32_t DfuModel::manifestLeftMs() const
{
    const auto left = manifestDue_ - now_();
    if (left <= Clock::duration::zero())
        return 0;
    // Rounded up: a host that waits what it is told finds the work done.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<uint32_t>(std::min<long long>(ms, 0xFFFFFF));
}

void DfuModel::BlockCursor::begin(uint16_t block, uint16_t firstBlock, uint16_t blockSize)
{
    first = firstBlock;
    size = blockSize;
    last = static_cast<uint16_t>(block - first);
    wraps = 0;
}

size_t DfuModel::BlockCursor::offset(uint16_t block)
{
    const uint16_t n = static_cast<uint16_t>(block - first);
    if (n == 0 && last == 0xFFFF)
        ++wraps;
    last = n;
    return (static_cast<size_t>(wraps) * 0x10000u + n) * size;
}

ControlResult DfuModel::onDnload(const SetupPacket& setup, const uint8_t* out, size_t outLength)
{
    if (state_ != DfuState::DfuIdle && state_ != DfuState::DnloadIdle)
        return misuse(DfuStatus::ErrStalledPkt);
    if (setup.length == 0) {
        // A zero-length DNLOAD ends the download; it means nothing before one has begun.
        if (state_ == DfuState::DfuIdle)
            return misuse(DfuStatus::ErrStalledPkt);
        startManifestation();
        return {};
    }
    if (outLength != setup.length)
        return misuse(DfuStatus::ErrStalledPkt);
    if (state_ == DfuState::DfuIdle)
        dnload_.begin(setup.value, 0, setup.length);
    size_t offset = dnload_.offset(setup.value);
    // Like a real device, the block is taken and the fault is told by the GETSTATUS that follows.
    if (!flash_.write(offset, out, outLength)) {
        pendingError_ = DfuStatus::ErrAddress;
        log("DNLOAD block " + std::to_string(setup.value) + " at " + std::to_string(offset) + " lies outside the flash");
    }
    busyLeft_ = config_.busyRounds;
    state_ = DfuState::DnloadSync;
    return {};
}

void DfuModel::startManifestation()
{
    state_ = DfuState::ManifestSync;
    manifestReported_ = false;
    log("manifestation: image of " + std::to_string(flash_.imageEnd()) + " bytes");
    try {
        saveFlash();
    } catch (const std::exception& e) {
        log(std::string("flash save failed: ") + e.what());
    }
}

ControlResult DfuModel::onUpload(const SetupPacket& setup)
{
    if ((state_ != DfuState::DfuIdle && state_ != DfuState::UploadIdle) || setup.length == 0)
        return misuse(DfuStatus::ErrStalledPkt);
    if (state_ == DfuState::DfuIdle)
        upload_.begin(setup.value, config_.uploadEnd == UploadEnd::Short ? setup.value : 0, setup.length);
    size_t offset = upload_.offset(setup.value);
    ControlResult result;
    result.data.resize(setup.length);
    result.data.resize(flash_.read(offset, setup.length, uploadLimit(), result.data.data()));
    if (config_.uploadCorrupt && *config_.uploadCorrupt >= offset && *config_.uploadCorrupt - offset < result.data.size()) {
        uint8_t& byte = result.data[*config_.uploadCorrupt - offset];
        byte = static_cast<uint8_t>(~byte);
        log("fault upload-corrupt: byte at " + std::to_string(*config_.uploadCorrupt) + " sent inverted");
    }
    // A short block is the end of the image and ends the upload.
    state_ = result.data.size() < setup.length ? DfuState::DfuIdle : DfuState::UploadIdle;
    return result;
}

ControlResult DfuModel::onClrStatus()
{
    if (state_ != DfuState::DfuError)
        return misuse(DfuStatus::ErrStalledPkt);
    state_ = DfuState::DfuIdle;
    status_ = DfuStatus::Ok;
    return {};
}

ControlResult DfuModel::onAbort()
{
    if (state_ != DfuState::DfuIdle && state_ != DfuState::DnloadIdle && state_ != DfuState::UploadIdle)
        return misuse(DfuStatus::ErrStalledPkt);
    state_ = DfuState::DfuIdle;
    return {};
}

ControlResult DfuModel::onDetach()
{
    if (state_ != DfuState::AppIdle)
        return misuse(DfuStatus::ErrStalledPkt);
    state_ = DfuState::AppDetach;
    return {};
}

// The vendor reset restarts the device in its start state; a device that was
// told to detach comes back in DFU mode, as after a USB reset.
ControlResult DfuModel::onReset()
{
    busReset();
    return {};
}

void DfuModel::busReset()
{
    restart(state_ == DfuState::AppDetach ? DfuState::DfuIdle : config_.startState);
    log(std::string("reset to ") + stateName(state_));
}

void DfuModel::restart(DfuState state)
{
    state_ = state;
    status_ = state_ == DfuState::DfuError ? DfuStatus::ErrUnknown : DfuStatus::Ok;
    busyLeft_ = (state_ == DfuState::DnBusy || state_ == DfuState::DnloadSync) ? config_.busyRounds : 0;
    pendingError_.reset();
    manifestReported_ = false;
    // A device that starts in dfuMANIFEST has its whole poll time before it.
    manifestDue_ = now_() + std::chrono::milliseconds(config_.manifestPollMs);
}

ControlResult DfuModel::onGetInfo(const SetupPacket& setup)
{
    auto info = config_.info.value_or(defaultInfo(flash_.size()));
    return reply(setup, info.data(), info.size());
}

} // namespace velt::sim
