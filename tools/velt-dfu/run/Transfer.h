// Between the command and the engine: the engine's policy from the command
// line, its events as the session's lines, and its failures as endings.
#ifndef VELT_DFU_TOOL_RUN_TRANSFER_H
#define VELT_DFU_TOOL_RUN_TRANSFER_H

#include "CommandLine.h"
#include "engine/Transfer.h"
#include "run/Session.h"

namespace veltdfu {

engine::Policy PolicyFor(const Invocation& invocation, uint16_t transferSize);

// Progress to the session, cancel on Ctrl-C, a line per recovery with --verbose.
class SessionObserver : public engine::Observer {
public:
    SessionObserver(Session& session, bool verbose) : session_(session), verbose_(verbose) {}
    bool Progress(uint64_t bytes) override;
    void Recovered(const engine::RecoveryNote& note) override;
    void Restarted(uint64_t bytesLost) override;

private:
    Session& session_;
    bool verbose_;
};

// A failed engine run as the command's ending: what failed, the device's
// last word, the device brought back to dfuIDLE.
Ending EndFailedRun(Session& session, DFU_HANDLE handle, const std::string& what, const engine::Outcome& run);

// "DNLOAD of block 12: DFU_STATUS_TIMEOUT (0x84)", and why it was not recovered.
std::string FailureDetail(const engine::Outcome& run);

} // namespace veltdfu

#endif
