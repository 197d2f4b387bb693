// Prints the version resource of a file (VELT_DFU.dll unless told) as Windows
// itself reads it (GetFileVersionInfo/VerQueryValue), one "key: value" line
// per field.
// Usage: version_info.exe [PATH]; the default is VELT_DFU.dll beside the exe.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::wstring DefaultPath()
{
    wchar_t self[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring dir(self, n);
    size_t slash = dir.find_last_of(L"\\/");
    dir = slash == std::wstring::npos ? L"" : dir.substr(0, slash + 1);
    return dir + L"VELT_DFU.dll";
}

std::string Narrow(const wchar_t* text)
{
    std::string out;
    for (; *text; ++text)
        out += static_cast<char>(*text < 0x80 ? *text : '?');
    return out;
}

void PrintFixed(const char* key, DWORD ms, DWORD ls)
{
    std::printf("%s: %lu.%lu.%lu.%lu\n", key, static_cast<unsigned long>(HIWORD(ms)),
                static_cast<unsigned long>(LOWORD(ms)), static_cast<unsigned long>(HIWORD(ls)),
                static_cast<unsigned long>(LOWORD(ls)));
}

} // namespace

int main(int argc, char** argv)
{
    std::wstring path = DefaultPath();
    if (argc > 1)
        path = std::wstring(argv[1], argv[1] + std::strlen(argv[1]));

    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        std::printf("error: no version resource in %s (error %lu)\n", Narrow(path.c_str()).c_str(),
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }
    std::vector<BYTE> block(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        std::printf("error: GetFileVersionInfoW failed (error %lu)\n",
                    static_cast<unsigned long>(GetLastError()));
        return 1;
    }

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length) ||
        length < sizeof *fixed) {
        std::printf("error: no fixed file information\n");
        return 1;
    }
    PrintFixed("FileVersion", fixed->dwFileVersionMS, fixed->dwFileVersionLS);
    PrintFixed("ProductVersion", fixed->dwProductVersionMS, fixed->dwProductVersionLS);

    struct Translation {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void**>(&translations), &length) ||
        length < sizeof *translations) {
        std::printf("error: no translation table\n");
        return 1;
    }
    static const wchar_t* const kStrings[] = {L"FileDescription", L"FileVersion", L"ProductVersion",
                                              L"ProductName", L"OriginalFilename"};
    for (const wchar_t* name : kStrings) {
        wchar_t query[128];
        swprintf(query, 128, L"\\StringFileInfo\\%04x%04x\\%ls", translations->language,
                 translations->codePage, name);
        wchar_t* value = nullptr;
        if (VerQueryValueW(block.data(), query, reinterpret_cast<void**>(&value), &length) &&
            length > 0)
            std::printf("String %s: %s\n", Narrow(name).c_str(), Narrow(value).c_str());
    }
    return 0;
}
