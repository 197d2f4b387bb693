// Ctrl-C and SIGTERM during a transfer: the handler only sets a flag, and the
// transfer's progress callback turns the flag into a cancellation between
// two blocks, so a request is never cut off in the middle of a frame.
#ifndef VELT_DFU_TOOL_CANCEL_H
#define VELT_DFU_TOOL_CANCEL_H

namespace veltdfu {

// Installs the SIGINT and SIGTERM handlers for its lifetime; the previous
// handlers come back when it goes.
class CancelOnSignal {
public:
    CancelOnSignal();
    ~CancelOnSignal();
    CancelOnSignal(const CancelOnSignal&) = delete;
    CancelOnSignal& operator=(const CancelOnSignal&) = delete;
};

bool CancelRequested();

// What the handlers do, for a caller that stops every transfer without a signal.
void RequestCancel();

} // namespace veltdfu

#endif
