#include "dump_lock/FlashLock.h"

#include <cstdio>

#include "hex/CHexImage.h"
#include "hex/HexWriter.h"

void LockFlashBlock(CHexImage& image) { image.SetByte(kLockAddress, kLockValue); }

uint8_t PrepareLockedImage(const std::string& imagePath, std::string& lockedPath)
{
    FILE* in = std::fopen(imagePath.c_str(), "rb");
    if (!in) return kLockBadPath;
    const std::string text = CHexImage::ReadWholeFile(in);
    std::fclose(in);

    CHexImage image(1024, false, 0xFF);
    if (image.LoadFromText(text) != CHexImage::kLoadOk) return kLockBadImage;
    LockFlashBlock(image);
    const std::string hex = ToHexText(image);

    const std::string tempPath = imagePath + ".temp.hex";
    FILE* out = std::fopen(tempPath.c_str(), "wb");
    if (!out) return kLockBadPath;
    const bool written = std::fwrite(hex.data(), 1, hex.size(), out) == hex.size();
    if (std::fclose(out) != 0 || !written) {
        std::remove(tempPath.c_str());
        return kLockBadPath;
    }
    lockedPath = tempPath;
    return 0;
}
