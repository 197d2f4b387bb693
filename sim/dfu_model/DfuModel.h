// One DFU 1.1 device, independent of the transport that reaches it. The USB
// and serial sides translate their wire format into handle() calls.
//
// Flash layout: DNLOAD block n is written at n * wLength of that DNLOAD, and
// UPLOAD block n is read from n * wLength of that UPLOAD; a transfer that
// wraps the 16-bit block number past 65535 continues above 64 Ki blocks.
// The upload ends with a short (or empty) block at the image end.
#ifndef VELT_SIM_DFU_MODEL_H
#define VELT_SIM_DFU_MODEL_H

#include "DfuTypes.h"
#include "Flash.h"

#include <array>
#include <functional>
#include <optional>
#include <string>

namespace velt::sim {

enum class ManifestMode { Idle, Sync };

struct ModelConfig {
    DfuState startState = DfuState::DfuIdle;
    unsigned busyRounds = 0;        // GETSTATUS answers of dfuDNBUSY after each DNLOAD
    uint32_t pollTimeoutMs = 0;     // bwPollTimeout reported with dfuDNBUSY (24 bits)
    size_t flashSize = 256 * 1024;
    std::optional<size_t> uploadSize; // default: the flash image's extent
    std::string flashFile;          // loaded at start, saved on manifestation and on exit
    std::optional<std::array<uint8_t, kInfoSize>> info;
    ManifestMode manifest = ManifestMode::Idle;
    std::optional<size_t> uploadCorrupt; // image offset that UPLOAD returns inverted
};

// The GET_INFO record answered when none is configured: a recognisable
// signature, the flash size and a text tag.
std::array<uint8_t, kInfoSize> defaultInfo(size_t flashSize);

class DfuModel {
public:
    using Logger = std::function<void(const std::string&)>;

    // Loads the flash file if configured; throws std::runtime_error on failure.
    explicit DfuModel(const ModelConfig& config, Logger log = {});

    ControlResult handle(const SetupPacket& setup, const uint8_t* out, size_t outLength);

    DfuState state() const { return state_; }
    DfuStatus status() const { return status_; }
    const Flash& flash() const { return flash_; }
    size_t uploadLimit() const;

    // Saves the flash to the configured file (no-op without one); throws on failure.
    void saveFlash() const;

private:
    ControlResult onDnload(const SetupPacket& setup, const uint8_t* out, size_t outLength);
    ControlResult onUpload(const SetupPacket& setup);
    ControlResult onGetStatus(const SetupPacket& setup);
    ControlResult onClrStatus();
    ControlResult onAbort();
    ControlResult onDetach();
    ControlResult onReset();
    void restart(DfuState state);
    ControlResult onGetInfo(const SetupPacket& setup);

    ControlResult reply(const SetupPacket& setup, const uint8_t* bytes, size_t size) const;
    ControlResult misuse(DfuStatus status);
    void startManifestation();
    size_t blockOffset(uint16_t block, uint16_t length, uint16_t& last, uint32_t& wraps) const;
    bool inAppMode() const { return state_ == DfuState::AppIdle || state_ == DfuState::AppDetach; }
    void log(const std::string& line) const;

    ModelConfig config_;
    Logger log_;
    Flash flash_;
    DfuState state_;
    DfuStatus status_ = DfuStatus::Ok;
    unsigned busyLeft_ = 0;
    bool manifestReported_ = false;
    std::optional<DfuStatus> pendingError_; // reported by the GETSTATUS after a DNLOAD
    uint16_t lastDnloadBlock_ = 0;
    uint32_t dnloadWraps_ = 0;
    uint16_t lastUploadBlock_ = 0;
    uint32_t uploadWraps_ = 0;
};

} // namespace velt::sim

#endif
