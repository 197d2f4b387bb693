#include "main/RunSequence.h"

#include <cstdio>

#include "adapter/AdapterOps.h"
#include "adapter/Progress.h"
#include "adapter/StatusNames.h"
#include "dump_lock/FlashDump.h"
#include "dump_lock/FlashLock.h"
#include "main/CommandLine.h"

namespace {

// Where the download algorithm finds the target's flash controller.
constexpr uint32_t kFlashControllerAddress = 0x4002E000;
constexpr uint32_t kFlashPageSize = 1024;

// Makes sure the target is halted before flash is touched.
ADIU_STATUS HaltIfRunning(const RunSettings& s)
{
    uint32_t running = 0;
    if (ADIU_STATUS st = ADIU_IsTargetRunning(s.adapterHandle, &running)) return st;
    return running != 0 ? ADIU_HaltTarget(s.adapterHandle) : 0;
}

// Downloads the image, or with "-f" a locked copy of it that is deleted
// afterwards whatever the download's outcome. A lock that cannot be prepared
// stops the run: the image is never programmed without the lock asked for.
// A file that already has the copy's name is the only such failure the
// result line cannot explain, so it gets a line of its own.
ADIU_STATUS Download(RunSettings& s)
{
    bool lockedCopy = false;
    if (s.lockFlash) {
        const LockPreparation lock = PrepareLockedImage(s.imagePath);
        if (lock.copyNameTaken)
            std::printf("Temporary file %s already exists.\n", LockedCopyName(s.imagePath).c_str());
        if (lock.status != 0) return lock.status;
        s.imagePath = lock.lockedPath;
        lockedCopy = true;
    }
    const uint32_t sectorErase = s.eraseMode == 1 ? 1 : 0;
    const uint32_t merge = s.eraseMode == 0 ? 1 : 0;
    ADIU_STATUS st = ADIU_DownloadHexFile(s.adapterHandle, s.imagePath.c_str(), kFlashControllerAddress, sectorErase,
                                          merge, kFlashPageSize, s.verify ? 1 : 0, DownloadProgress, nullptr);
    if (st == 0) std::printf(s.verify ? "Download complete and verified.\n" : "Download complete.\n");
    if (lockedCopy) std::remove(s.imagePath.c_str());
    return st;
}

// Everything between connecting and closing; returns the first failure.
int DoWork(RunSettings& s, ADIU_STATUS stepStatus)
{
    int result = stepStatus;
    if (stepStatus == 0 && s.eraseGiven && s.eraseMode == 2) {
        std::printf("Performing User Space Erase.\n");
        stepStatus = ADIU_UserSpaceErase(s.adapterHandle);
        if (stepStatus != 0) result = stepStatus;
    }
    if (!s.imageGiven) {
        std::printf(s.dumpFlash ? "Hex image not specified.  Flash dump not performed.\n"
                                : "Hex image not specified.  Download not performed.\n");
        return result;
    }
    if (stepStatus != 0) return result;
    std::printf(s.verify ? "Performing Download and Verify.\n"
                         : s.dumpFlash ? "Performing Flash Dump.\n" : "Performing Download.\n");

    if (ADIU_STATUS st = HaltIfRunning(s)) return st;
    if (s.dumpFlash)
        return DumpFlashToHexFile(s.adapterHandle, s.imagePath, s.dumpAddress, s.dumpLength, ReadProgress);
    return Download(s);
}

} // namespace

RunSettings& Settings()
{
    static RunSettings settings;
    return settings;
}

int RunSequence(RunSettings& s)
{
    ConnectOutcome connection = ConnectAdapter(s);
    int result = connection.status;
    if (connection.opened) {
        result = DoWork(s, connection.status);
        if (ADIU_STATUS closing = CloseAdapter(s)) result = closing;   // closing's failure wins
    }
    PrintResult(result);
    return result;
}

int RunUtility(const std::vector<std::string>& args)
{
    if (args.empty()) {
        std::printf("Invalid arguments.\n");
        return kResultInvalidArguments;
    }
    if (args.size() == 1) {
        PrintUsage();
        return kResultSuccess;
    }
    RunSettings& s = Settings();
    if (!ParseArguments(args, s)) {
        std::printf("Invalid arguments.\n");
        return kResultInvalidArguments;
    }
    if (s.listAdapters) {
        ListAdapters();
        return kResultSuccess;
    }
    return RunSequence(s);
}
