#include "Cancel.h"

#include <atomic>
#include <csignal>

namespace veltdfu {

namespace {

// Set by the handler, read by every device's thread: a lock-free atomic is
// safe in a signal handler and between threads alike.
std::atomic<bool> g_cancel{false};
static_assert(std::atomic<bool>::is_always_lock_free);

extern "C" void OnCancelSignal(int)
{
    g_cancel.store(true);
}

using Handler = void (*)(int);
Handler g_previousInt = SIG_DFL;
Handler g_previousTerm = SIG_DFL;

} // namespace

CancelOnSignal::CancelOnSignal()
{
    g_cancel.store(false);
    g_previousInt = std::signal(SIGINT, OnCancelSignal);
    g_previousTerm = std::signal(SIGTERM, OnCancelSignal);
}

CancelOnSignal::~CancelOnSignal()
{
    std::signal(SIGINT, g_previousInt == SIG_ERR ? SIG_DFL : g_previousInt);
    std::signal(SIGTERM, g_previousTerm == SIG_ERR ? SIG_DFL : g_previousTerm);
}

void RequestCancel()
{
    g_cancel.store(true);
}

bool CancelRequested()
{
    return g_cancel.load();
}

} // namespace veltdfu
