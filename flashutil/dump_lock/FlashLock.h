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

// Writes imagePath + ".temp.hex" with the lock byte set and returns 0 with
// its name in lockedPath; otherwise no file is left behind and the result
// says why. The user's file is only read.
uint8_t PrepareLockedImage(const std::string& imagePath, std::string& lockedPath);

#endif
