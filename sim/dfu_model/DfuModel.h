// One DFU 1.1 device, independent of the transport that reaches it. The USB
// and serial sides translate their wire format into handle() calls.
//
// Flash layout: block n of a transfer lies at n times the transfer's block
// size, the wLength of the block that began it (in dfuIDLE). Hosts send
// equal blocks and may shorten the last one (the rest of the image), so a
// short block lands where its number says, not at n times its own length.
// A transfer that wraps the 16-bit block number past 65535 continues above
// 64 Ki blocks. The upload ends with a short (or empty) block at the image end.
#ifndef VELT_SIM_DFU_MODEL_H
#define VELT_SIM_DFU_MODEL_H

#include "DfuTypes.h"
#include "Flash.h"

#include <array>
#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace velt::sim {

// What follows the closing zero-length DNLOAD.
enum class ManifestMode {
    Idle,     // the next GETSTATUS reports dfuIDLE (the default, our own devices)
    Sync,     // dfuMANIFEST-SYNC once, then dfuIDLE
    Standard, // dfuMANIFEST for manifestPollMs, then dfuIDLE (tolerant) or dfuMANIFEST-WAIT-RESET
};

// What an UPLOAD in dfuIDLE means once an upload has ended.
enum class UploadEnd {
    Empty, // block n is read from n * its length: a host asking past the short block gets an empty one
    Short, // a new upload from offset 0, whatever its block number
};

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
    uint32_t manifestPollMs = 0;    // bwPollTimeout of dfuMANIFEST (ManifestMode::Standard)
    bool manifestTolerant = true;   // bmAttributes bit 2: back to dfuIDLE after manifestation
    UploadEnd uploadEnd = UploadEnd::Empty;
    uint16_t dfuInterface = 0;      // the wIndex every request must carry
};

// The GET_INFO record answered when none is configured: a recognisable
// signature, the flash size and a text tag.
std::array<uint8_t, kInfoSize> defaultInfo(size_t flashSize);

class DfuModel {
public:
    using Logger = std::function<void(const std::string&)>;
    using Clock = std::chrono::steady_clock;
    using Now = std::function<Clock::time_point()>;

    // Loads the flash file if configured; throws std::runtime_error on failure.
    // now tells the time that manifestation takes (tests pass their own).
    explicit DfuModel(const ModelConfig& config, Logger log = {}, Now now = Clock::now);

    ControlResult handle(const SetupPacket& setup, const uint8_t* out, size_t outLength);
    // A USB bus reset: like the vendor reset, the way out of dfuMANIFEST-WAIT-RESET.
    void busReset();

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
    DfuState manifestStatus(uint32_t& poll);
    uint32_t manifestLeftMs() const;
    bool inAppMode() const { return state_ == DfuState::AppIdle || state_ == DfuState::AppDetach; }
    void log(const std::string& line) const;

    ModelConfig config_;
    Logger log_;
    Flash flash_;
    DfuState state_;
    DfuStatus status_ = DfuStatus::Ok;
    unsigned busyLeft_ = 0;
    bool manifestReported_ = false;
    Now now_;
    Clock::time_point manifestDue_;      // end of dfuMANIFEST (ManifestMode::Standard)
    std::optional<DfuStatus> pendingError_; // reported by the GETSTATUS after a DNLOAD

    // Where the blocks of one transfer go: numbered from first, each size
    // bytes apart, counting wraps of the 16-bit block number.
    struct BlockCursor {
        uint16_t first = 0;
        uint16_t size = 0;
        uint16_t last = 0;
        uint32_t wraps = 0;
        void begin(uint16_t block, uint16_t firstBlock, uint16_t blockSize);
        size_t offset(uint16_t block);
    };
    BlockCursor dnload_;
    BlockCursor upload_;
};

} // namespace velt::sim

#endif
