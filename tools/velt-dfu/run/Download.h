// A download to one device: the attempts, each a transfer through the
// engine and, with --verify, a read-back compared with what was sent.
#ifndef VELT_DFU_TOOL_RUN_DOWNLOAD_H
#define VELT_DFU_TOOL_RUN_DOWNLOAD_H

#include "CommandLine.h"
#include "run/Firmware.h"
#include "run/Session.h"

namespace veltdfu {

// The firmware to one device, with its own handle; the session gets the result.
int DownloadTo(Session& session, const DeviceRef& ref, const Firmware& firmware, const Invocation& invocation);

// Several devices at once ("all" or DEVICE,DEVICE,...).
bool NamesSeveral(const std::string& operand);
int DownloadToSeveral(const Invocation& invocation, const std::string& operand);

} // namespace veltdfu

#endif
