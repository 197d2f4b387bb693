#include "api/WideString.h"

#include <cstring>

size_t WideLength(const WCHAR* text, size_t max)
{
    size_t length = 0;
    while (length < max && text[length] != 0)
        ++length;
    return length;
}

void CopyPath(WCHAR* destination, const WCHAR* source)
{
    const size_t length = WideLength(source, PATH_CHARS - 1);
    std::char_traits<WCHAR>::copy(destination, source, length);
    std::char_traits<WCHAR>::assign(destination + length, PATH_CHARS - length, 0);
}

bool StartsWith(const WCHAR* text, const WCHAR* prefix, size_t count)
{
    if (WideLength(text, count) < count)
        return false;
    return std::char_traits<WCHAR>::compare(text, prefix, count) == 0;
}

size_t NarrowPathLength(const char* path)
{
    size_t length = 0;
    while (length < PATH_CHARS && path[length] != '\0')
        ++length;
    return length;
}

void WidenPath(const char* path, WCHAR* out)
{
    std::char_traits<WCHAR>::assign(out, PATH_CHARS, 0);
    const size_t length = NarrowPathLength(path);
    for (size_t i = 0; i < length && i < PATH_CHARS - 1; ++i)
        out[i] = static_cast<WCHAR>(static_cast<int16_t>(static_cast<int8_t>(path[i])));
}

void NarrowPath(const WCHAR* path, char* out)
{
    std::memset(out, 0, PATH_CHARS);
    const size_t length = WideLength(path, PATH_CHARS - 1);
    for (size_t i = 0; i < length; ++i)
        out[i] = static_cast<char>(static_cast<uint8_t>(path[i] & 0xFF));
}

namespace {

WCHAR UpperAscii(WCHAR c)
{
    return c >= 'a' && c <= 'z' ? static_cast<WCHAR>(c - 'a' + 'A') : c;
}

} // namespace

// Windows compares device names without regard to case: "com7" is COM7, and
// "\\.\com7" opens it. A terminator matches none of the three letters, so a
// shorter name is never read past its end.
bool IsComName(const WCHAR* name)
{
    static const WCHAR com[] = TEXT("COM");
    for (size_t i = 0; i < 3; ++i) {
        if (UpperAscii(name[i]) != com[i])
            return false;
    }
    return true;
}

bool IsComPortPath(const WCHAR* path)
{
    static const WCHAR device[] = TEXT("\\\\.\\");
    return StartsWith(path, device, 4) && IsComName(path + 4);
}
