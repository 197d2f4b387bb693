// UTF-16 <-> UTF-8 conversion and the host directories that stand in for
// Windows namespaces.
#ifndef VELT_PLATFORM_TEXT_H
#define VELT_PLATFORM_TEXT_H

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace velt::platform {

std::u16string Utf8ToUtf16(const std::string& s);
std::string Utf16ToUtf8(const std::u16string& s);

// Case-insensitive comparison for ASCII letters; other characters compare
// exactly. Device names and device interface paths are ASCII.
bool EqualNoCase(const std::u16string& a, const std::u16string& b);
char16_t FoldAscii(char16_t c);

// The whole of text read as hexadecimal digits in either case, nothing
// else (no sign, prefix or space); false for an empty text or one too large.
bool ParseHexDigits(std::string_view text, uint64_t& value);

// $<envName> when set and not empty, else $HOME/<homeRelative>.
std::string ConfiguredDir(const char* envName, const char* homeRelative);

}  // namespace velt::platform

#endif
