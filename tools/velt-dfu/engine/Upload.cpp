// The upload: UPLOAD of block after block until the device ends its image
// with a short block (or, for devices that send short blocks mid-image, an
// empty one). An UPLOAD changes nothing on the device, but one that failed
// may have been served: a device that counts its own offset has moved on, so
// the only safe way on is from the first block again.
#include "engine/Idle.h"
#include "engine/Transfer.h"

#include <algorithm>

namespace veltdfu::engine {

namespace {

class Uploader {
public:
    Uploader(Requests& device, const Policy& policy, Observer& observer, std::vector<uint8_t>& image)
        : device_(device), policy_(policy), observer_(observer), image_(image),
          limit_(policy.uploadSize.value_or(kMaxUploadBytes)),
          restartsAllowed_(policy.uploadRestarts)
    {
    }

    Outcome Run()
    {
        std::vector<uint8_t> block(policy_.transferSize);
        image_.clear();
        for (uint64_t b = 0;; ++b) {
            uint16_t received = 0;
            const DFU_STATUS status =
                device_.Upload(static_cast<uint16_t>(b & 0xFFFF), block.data(), policy_.transferSize, received);
            if (status != DFU_STATUS_SUCCESS) {
                if (!StartOver(status, b))
                    return outcome_;
                b = static_cast<uint64_t>(-1); // the loop's ++ makes it block 0
                continue;
            }
            const size_t room = static_cast<size_t>(limit_ - image_.size());
            image_.insert(image_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(std::min<size_t>(received, room)));
            outcome_.bytes = image_.size();
            if (!observer_.Progress(image_.size()))
                return End(Outcome::End::Cancelled, DFU_STATUS_CANCELLED, "");
            if (received == 0 || (received < policy_.transferSize && !policy_.uploadUntilEmpty))
                return outcome_; // the device is back in dfuIDLE
            if (image_.size() >= limit_)
                return AtLimit();
        }
    }

private:
    // The image goes on past what was asked for: the device is left in
    // dfuUPLOAD-IDLE and told to stop.
    Outcome AtLimit()
    {
        device_.Abort();
        if (policy_.uploadSize)
            return outcome_;
        return End(Outcome::End::TooLong, DFU_STATUS_SUCCESS,
                   "an image longer than " + std::to_string(kMaxUploadBytes) + " bytes");
    }

    bool StartOver(DFU_STATUS status, uint64_t block)
    {
        const std::string what = "UPLOAD of block " + std::to_string(block);
        if (!policy_.recover) {
            End(Outcome::End::Request, status, what);
            return false;
        }
        if (outcome_.restarts >= restartsAllowed_) {
            End(Outcome::End::Budget, status, what);
            return false;
        }
        const Recovery idle = ReturnToIdle(device_);
        if (!idle.idle) {
            End(Outcome::End::Request, idle.status != DFU_STATUS_SUCCESS ? idle.status : status, what);
            outcome_.lastStatus = idle.first;
            return false;
        }
        ++outcome_.restarts;
        ++outcome_.recoveries;
        observer_.Restarted(image_.size());
        image_.clear();
        outcome_.bytes = 0;
        return true;
    }

    Outcome End(Outcome::End end, DFU_STATUS status, const std::string& failed)
    {
        outcome_.end = end;
        outcome_.status = status;
        outcome_.failed = failed;
        return outcome_;
    }

    Requests& device_;
    const Policy& policy_;
    Observer& observer_;
    std::vector<uint8_t>& image_;
    const uint64_t limit_;
    const uint32_t restartsAllowed_;
    Outcome outcome_;
};

} // namespace

Outcome Upload(Requests& device, std::vector<uint8_t>& image, const Policy& policy, Observer& observer)
{
    return Uploader(device, policy, observer, image).Run();
}

} // namespace veltdfu::engine
