// 16-bit character strings. WCHAR is 16 bits on every platform we build for,
// while wchar_t is not, so the wcs* functions are never used on paths.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// Every path buffer inside the library: 259 characters and the terminator.
constexpr size_t PATH_CHARS = 260;

using WideString = std::basic_string<WCHAR>;

// Length of a zero-terminated string, looking at no more than max characters
// (returns max when there is no terminator among them).
size_t WideLength(const WCHAR* text, size_t max);

// Copies at most PATH_CHARS - 1 characters of source and zero-fills the rest
// of the PATH_CHARS-character destination.
void CopyPath(WCHAR* destination, const WCHAR* source);

// TRUE when the first count characters of text equal those of prefix
// (case-sensitive); a shorter text never matches.
bool StartsWith(const WCHAR* text, const WCHAR* prefix, size_t count);

// Length of a narrow path the caller handed in, or PATH_CHARS when it has no
// terminator within its first PATH_CHARS bytes (too long for our buffers).
size_t NarrowPathLength(const char* path);

// Widens a narrow path byte by byte, each byte as a signed 8-bit value (0x80
// and above become 0xFF80..0xFFFF), into a zeroed PATH_CHARS buffer.
void WidenPath(const char* path, WCHAR* out);

// Writes all PATH_CHARS bytes of a narrow buffer: the low byte of each
// character up to the terminator, then zeros.
void NarrowPath(const WCHAR* path, char* out);

// True when a DOS device name is a COM port's: it begins with COM in any
// letter case.
bool IsComName(const WCHAR* name);

// True when the path names a COM port: "\\.\" and a COM name.
bool IsComPortPath(const WCHAR* path);
