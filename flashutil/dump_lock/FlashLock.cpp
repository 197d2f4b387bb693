#include "dump_lock/FlashLock.h"

#include <cstdio>

#include "hex/CHexImage.h"
#include "hex/HexFile.h"

void LockFlashBlock(CHexImage& image) { image.SetByte(kLockAddress, kLockValue); }

std::string LockedCopyName(const std::string& imagePath) { return imagePath + ".temp.hex"; }

LockPreparation PrepareLockedImage(const std::string& imagePath)
{
    LockPreparation result;
    FILE* in = std::fopen(imagePath.c_str(), "rb");
    if (!in) {
        result.status = kLockBadPath;
        return result;
    }
    const std::string text = CHexImage::ReadWholeFile(in);
    std::fclose(in);

    CHexImage image(1024, false, 0xFF);
    if (image.LoadFromText(text) != CHexImage::kLoadOk) {
        result.status = kLockBadImage;
        return result;
    }
    LockFlashBlock(image);

    // Created exclusively: the copy is deleted after the download, so a file
    // that already has its name is the user's, not ours to overwrite or delete.
    const std::string copy = LockedCopyName(imagePath);
    switch (WriteHexFileSafely(image, copy, HexFileMode::kCreateNew)) {
    case HexFileResult::kOk:
        result.lockedPath = copy;
        break;
    case HexFileResult::kNameTaken:
        result.status = kLockBadPath;
        result.copyNameTaken = true;
        break;
    case HexFileResult::kFailed:
        result.status = kLockBadPath;
        break;
    }
    return result;
}
