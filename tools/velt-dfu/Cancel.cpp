#include "Cancel.h"

#include <csignal>

namespace veltdfu {

namespace {

volatile std::sig_atomic_t g_cancel = 0;

extern "C" void OnCancelSignal(int)
{
    g_cancel = 1;
}

using Handler = void (*)(int);
Handler g_previousInt = SIG_DFL;
Handler g_previousTerm = SIG_DFL;

} // namespace

CancelOnSignal::CancelOnSignal()
{
    g_cancel = 0;
    g_previousInt = std::signal(SIGINT, OnCancelSignal);
    g_previousTerm = std::signal(SIGTERM, OnCancelSignal);
}

CancelOnSignal::~CancelOnSignal()
{
    std::signal(SIGINT, g_previousInt == SIG_ERR ? SIG_DFL : g_previousInt);
    std::signal(SIGTERM, g_previousTerm == SIG_ERR ? SIG_DFL : g_previousTerm);
}

bool CancelRequested()
{
    return g_cancel != 0;
}

} // namespace veltdfu
