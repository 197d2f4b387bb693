// velt-dfu's transfer engine: whole images to and from a device, from
// memory, built on the single DFU requests. It follows DFU 1.1 as devices
// implement it: the manifestation phase after the closing DNLOAD, an upload
// that ends with a short block, and a request lost on a faulty line
// recovered by asking the device where it stands (GETSTATE) rather than by
// starting the image again. Policy comes in, results go out; nothing here
// prints.
#ifndef VELT_DFU_TOOL_ENGINE_TRANSFER_H
#define VELT_DFU_TOOL_ENGINE_TRANSFER_H

#include "engine/Recovery.h"
#include "engine/Requests.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltdfu::engine {

// Without --upload-size an upload that has not ended by here is not a
// device's image but a device that never ends one.
constexpr uint64_t kMaxUploadBytes = 64ull * 1024 * 1024;
// The manifestation phase may take this long beyond what the device asks for.
constexpr uint32_t kManifestCapMs = 60000;
// The poll time assumed for a GETSTATUS reply that was lost, when the device
// never asked for one before.
constexpr uint32_t kLostPollMs = 20;
constexpr uint32_t kStateAttempts = 3; // GETSTATEs after a failed request

struct Policy {
    uint16_t transferSize = 1024;
    bool recover = true;             // recover lost requests; off: the first failure ends the attempt
    uint32_t recoveriesPerBlock = 5;
    uint32_t recoveryBudget = 0;     // in all; 0: 16 plus one for every 4 blocks
    uint32_t manifestCapMs = kManifestCapMs;
    uint32_t uploadRestarts = 8;     // an upload whose request failed starts over this often at most
    bool uploadUntilEmpty = false;   // end an upload at an empty block only
    std::optional<uint64_t> uploadSize; // read at most this much, and stop there
};

// One recovery, for a verbose log.
struct RecoveryNote {
    Failed request;
    uint64_t block = 0;      // index in the image; the closing DNLOAD has the block count
    DFU_STATUS status = 0;   // how the request failed
    std::optional<uint8_t> state; // what GETSTATE found (none: it failed too)
    Action action = Action::Fail;
};

class Observer {
public:
    virtual ~Observer() = default;
    // Bytes done so far; false cancels.
    virtual bool Progress(uint64_t bytes) = 0;
    virtual void Recovered(const RecoveryNote&) {}
    // An upload starts over from its first block after a failed request.
    virtual void Restarted(uint64_t bytesLost) { (void)bytesLost; }
};

struct Outcome {
    enum class End {
        Done,         // success
        Request,      // a request failed and could not be recovered: `status`
        DeviceError,  // the device reported dfuERROR, and is left there: `lastStatus`
        BadState,     // the device reported a state the transfer cannot go on from
        DeviceStatus, // the manifestation ended with a status other than OK
        Budget,       // more recoveries than allowed
        TooLong,      // an upload passed its maximum without ending
        Cancelled,
    } end = End::Done;
    DFU_STATUS status = DFU_STATUS_SUCCESS; // the library's status of the last failed request
    std::string failed;                     // that request, in words: "DNLOAD of block 12"
    std::optional<DFU_GETSTATUS_RESULT> lastStatus;
    uint64_t bytes = 0;
    uint32_t recoveries = 0;
    uint32_t restarts = 0;  // uploads started over
    bool waitReset = false; // downloaded; the device runs it after a reset

    bool ok() const { return end == End::Done; }
};

// Sends `size` bytes as blocks of the transfer size (the last one filled
// with 0xFF, as the library does), then the zero-length DNLOAD and the
// manifestation. The device must be in dfuIDLE; a failed download leaves
// it where it stands (ReturnToIdle brings it back).
Outcome Download(Requests& device, const uint8_t* image, size_t size, const Policy& policy, Observer& observer);

// Reads the device's image into `image`. The device must be in dfuIDLE.
Outcome Upload(Requests& device, std::vector<uint8_t>& image, const Policy& policy, Observer& observer);

} // namespace veltdfu::engine

#endif
