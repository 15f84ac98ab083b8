// The floor for the launcher's footprint: a program that imports only from
// kernel32 and advapi32, with no C runtime, and waits. Whatever the launcher
// holds beyond this while it waits is its own cost.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

extern "C" void WINAPI FloorStart()
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE", 0, KEY_READ, &key) == ERROR_SUCCESS)
        RegCloseKey(key);
    Sleep(INFINITE);
    ExitProcess(0);
}
