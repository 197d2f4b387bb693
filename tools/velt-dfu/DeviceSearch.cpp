#include "DeviceSearch.h"

#include "Cancel.h"

#include <algorithm>
#include <cctype>
#include <thread>

namespace veltdfu {

namespace {

// Often enough that a board is used soon after it appears; seldom enough
// that enumerating costs the host nothing to speak of.
constexpr auto kPollInterval = std::chrono::milliseconds(100);

bool SamePath(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

} // namespace

bool IsListed(const DeviceRef& ref)
{
    uint32_t count = 0;
    if (DFU_GetNumDevices(&count) != DFU_STATUS_SUCCESS)
        return false;
    if (ref.byIndex)
        return ref.index < count;
    for (uint32_t index = 0; index < count; ++index) {
        char path[DFU_PATH_SIZE] = {};
        if (DFU_GetDevicePath(index, path) == DFU_STATUS_SUCCESS && SamePath(path, ref.path))
            return true;
    }
    return false;
}

Presence WaitForDevice(const DeviceRef& ref, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        if (CancelRequested())
            return Presence::Cancelled;
        if (IsListed(ref))
            return Presence::Listed;
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline)
            return Presence::Absent;
        std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kPollInterval, deadline - now));
    }
}

} // namespace veltdfu
