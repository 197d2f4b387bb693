// The library's state is built and torn down by static construction and
// destruction; the entry point itself has nothing to do.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID)
{
    return TRUE;
}
