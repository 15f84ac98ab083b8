#include "standin/standin.h"

#include <algorithm>

namespace standin {

void World::Advance(uint64_t ms)
{
    now_ += ms;
}

void World::WaitUntil(uint64_t at)
{
    if (at == kForever)
        throw Fault("the launcher waits for a process that never ends");
    now_ = std::max(now_, at);
}

}  // namespace standin

using standin::World;

extern "C" {

void WINAPI Sleep(DWORD milliseconds)
{
    World& w = World::Get();
    w.Record("Sleep(" + std::to_string(milliseconds) + ")");
    w.Advance(milliseconds);
}

}  // extern "C"
