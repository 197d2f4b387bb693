// The locked copy of an image: the user's image with the flash lock byte set,
// written beside it for the download to take instead.
#ifndef FLASHUTIL_FLASH_LOCK_H
#define FLASHUTIL_FLASH_LOCK_H

#include <cstdint>
#include <string>

class CHexImage;

constexpr uint32_t kLockAddress = 0x3FFFC;
constexpr uint8_t kLockValue = 0xAB;

// Result codes of the preparation.
constexpr uint8_t kLockBadPath = 7;       // image not readable, or the copy not creatable
constexpr uint8_t kLockBadImage = 11;     // image empty or with a malformed record

// Sets the lock byte in the image.
void LockFlashBlock(CHexImage& image);

// The copy's name: the whole image path with ".temp.hex" appended.
std::string LockedCopyName(const std::string& imagePath);

struct LockPreparation {
    uint8_t status = 0;           // 0, kLockBadPath or kLockBadImage
    bool copyNameTaken = false;   // kLockBadPath because something already has the copy's name
    std::string lockedPath;       // the copy, when status is 0
};

// Writes the locked copy beside the image. It is created only when its name
// is free; otherwise, and on any other failure, no file is left behind and
// nothing existing is changed. The user's file is only read.
LockPreparation PrepareLockedImage(const std::string& imagePath);

#endif
