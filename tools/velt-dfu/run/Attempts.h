// The steps every image command takes around its transfer: reaching and
// opening the device, bringing it to dfuIDLE before and after, saying what
// failed, and the one loop that repeats failed attempts.
#ifndef VELT_DFU_TOOL_RUN_ATTEMPTS_H
#define VELT_DFU_TOOL_RUN_ATTEMPTS_H

#include "CommandLine.h"
#include "run/Session.h"

#include <functional>

namespace veltdfu {

// Waits for the device with --wait, then opens and configures it.
Step Reach(Session& session, const DeviceRef& ref, const Invocation& invocation, const std::string& what, Target& target);

// A device that stopped answering in the attempt before gets a fresh handle.
Step ReopenIfLost(Session& session, const DeviceRef& ref, const Invocation& invocation, const std::string& what,
                  const Ending* previous, Target& target);

// Chooses the block size and says which and why.
void TellTransferSize(Session& session, const Target& target, const Invocation& invocation);

// Before a transfer: a device left mid-transfer or in dfuERROR is brought
// back to dfuIDLE, and the user is told.
Step MakeReady(Session& session, DFU_HANDLE handle);

// The start of every attempt: the device in dfuIDLE, and no cancel asked for.
Step ReadyToTransfer(Session& session, DFU_HANDLE handle, const std::string& what);

// After a transfer that failed or was cancelled: says what failed with the
// device's last word on it, and brings the device back to dfuIDLE. `detail`
// says what failed when it is more than the status.
Ending EndFailedTransfer(Session& session, DFU_HANDLE handle, const std::string& what, DFU_STATUS status,
                         std::optional<DFU_GETSTATUS_RESULT> lastReply, uint64_t bytes,
                         const std::string& detail = "");

// An attempt is given the failed one before it (none the first time).
using Attempt = std::function<Ending(const Ending* previous)>;

// Told of each attempt as it ends, with its number from 1.
using AttemptDone = std::function<void(const Ending& ending, uint32_t number)>;

// Repeats failed attempts as --retries allows.
Ending WithRetries(Session& session, const Invocation& invocation, const std::string& what, const Attempt& attempt,
                   const AttemptDone& done = {});

} // namespace veltdfu

#endif
