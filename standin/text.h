// How the stand-in writes the calls it records and folds names' case: not for tests.
#ifndef STANDIN_TEXT_H
#define STANDIN_TEXT_H

#include "platform/win32.h"

#include <cstdint>
#include <string>

namespace standin {

std::string Lower(std::string text);
std::string Hex(uint64_t value);
std::string Quote(LPCSTR text);
std::string Ptr(const void* p);

}  // namespace standin

#endif  // STANDIN_TEXT_H
