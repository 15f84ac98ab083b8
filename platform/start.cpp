// The process starts here, not in a C runtime: the launcher needs none, and
// without one it loads nothing but kernel32 and advapi32 (user32 only when a
// box must be shown). Windows builds only.
#include "platform/win32.h"

#include <stddef.h>

namespace {

// The command line after the program's own name, as a C runtime would pass
// it to WinMain.
LPSTR ArgumentsOf(LPSTR line)
{
    if (*line == '"') {
        ++line;
        while (*line != '\0' && *line != '"')
            ++line;
        if (*line == '"')
            ++line;
    } else {
        while (*line != '\0' && *line != ' ' && *line != '\t')
            ++line;
    }
    while (*line == ' ' || *line == '\t')
        ++line;
    return line;
}

}  // namespace

extern "C" void WINAPI LauncherStart()
{
    STARTUPINFOA startup;
    GetStartupInfoA(&startup);
    const int showDefault = 10;  // SW_SHOWDEFAULT
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : showDefault;
    ExitProcess(static_cast<UINT>(
        WinMain(GetModuleHandleA(NULL), NULL, ArgumentsOf(GetCommandLineA()), show)));
}

// What the launcher's copies, fills, compares and lengths call, in place of
// the C runtime's. The volatile stores keep the compiler from turning these
// loops back into calls to themselves.
extern "C" {

void* memset(void* dest, int value, size_t size)
{
    volatile unsigned char* d = static_cast<unsigned char*>(dest);
    while (size-- != 0)
        *d++ = static_cast<unsigned char>(value);
    return dest;
}

void* memcpy(void* dest, const void* src, size_t size)
{
    volatile unsigned char* d = static_cast<unsigned char*>(dest);
    const unsigned char* s = static_cast<const unsigned char*>(src);
    while (size-- != 0)
        *d++ = *s++;
    return dest;
}

int memcmp(const void* a, const void* b, size_t size)
{
    const unsigned char* x = static_cast<const unsigned char*>(a);
    const unsigned char* y = static_cast<const unsigned char*>(b);
    for (; size != 0; --size, ++x, ++y)
        if (*x != *y)
            return *x - *y;
    return 0;
}

void* memchr(const void* text, int value, size_t size)
{
    const unsigned char* t = static_cast<const unsigned char*>(text);
    for (; size != 0; --size, ++t)
        if (*t == static_cast<unsigned char>(value))
            return const_cast<unsigned char*>(t);
    return NULL;
}

size_t strlen(const char* text)
{
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

int strcmp(const char* a, const char* b)
{
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return static_cast<unsigned char>(*a) - static_cast<unsigned char>(*b);
}

int strncmp(const char* a, const char* b, size_t size)
{
    for (; size != 0; --size, ++a, ++b) {
        const unsigned char ca = static_cast<unsigned char>(*a);
        const unsigned char cb = static_cast<unsigned char>(*b);
        if (ca != cb || ca == '\0')
            return ca - cb;
    }
    return 0;
}

}  // extern "C"
