// velt-dfu download and upload: whole firmware images through the library's
// image exports, with a DFU suffix check, read-back verification, progress,
// cancellation and recovery of the device's state.
#ifndef VELT_DFU_TOOL_IMAGECOMMANDS_H
#define VELT_DFU_TOOL_IMAGECOMMANDS_H

namespace veltdfu {

struct CommandContext;

int RunDownload(CommandContext& context);
int RunUpload(CommandContext& context);

} // namespace veltdfu

#endif
