#include "run/Session.h"

#include "Names.h"

#include <cstdio>

namespace veltdfu {

std::string Hex(unsigned value, int digits)
{
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string DeviceStatusText(const DFU_GETSTATUS_RESULT& reply)
{
    return std::string("device status ") + DfuStatusName(reply.bStatus) + " (" + std::to_string(reply.bStatus) +
           "), state " + DfuStateName(reply.bState) + " (" + std::to_string(reply.bState) + ")";
}

std::string Seconds(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", seconds);
    return text;
}

std::string Rate(uint64_t bytes, double seconds)
{
    return FormatBytes(static_cast<uint64_t>(seconds > 0 ? static_cast<double>(bytes) / seconds : 0)) + "/s";
}

std::string Join(const std::vector<std::string>& parts, const char* between)
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : between) + part;
    return text;
}

Ending Cancelled(Session& session, const std::string& what)
{
    return session.fail("cancelled", DFU_STATUS_CANCELLED, what + " cancelled", kExitCancelled);
}

} // namespace veltdfu
