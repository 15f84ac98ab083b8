#include "standin/text.h"
#include "standin/standin.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace standin {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex(uint64_t value)
{
    char text[32];
    int length = std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
    if (length < 0 || static_cast<size_t>(length) >= sizeof text)
        throw Fault("snprintf cannot print " + std::to_string(value) + " in hexadecimal");
    return text;
}

std::string Quote(LPCSTR text)
{
    return text == NULL ? std::string("NULL") : "\"" + std::string(text) + "\"";
}

std::string Ptr(const void* p)
{
    return p == NULL ? std::string("NULL") : Hex(reinterpret_cast<uintptr_t>(p));
}

}  // namespace standin

using standin::World;

extern "C" {

LPSTR WINAPI lstrcatA(LPSTR dest, LPCSTR src)
{
    World& w = World::Get();
    w.Record("lstrcatA(" + standin::Quote(dest) + ", " + standin::Quote(src) + ")");
    if (dest == NULL || src == NULL)
        return NULL;
    char* end = dest + std::strlen(dest);
    std::memcpy(end, src, std::strlen(src) + 1);
    return dest;
}

}  // extern "C"
