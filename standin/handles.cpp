#include "standin/standin.h"
#include "standin/text.h"

#include <algorithm>

namespace standin {

HANDLE World::Issue(const HandleInfo& info)
{
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;  // never reused, so a second release is always caught
    handles_[value] = info;
    ++handlesIssued_;
    peakHandles_ = std::max(peakHandles_, handles_.size());
    return reinterpret_cast<HANDLE>(value);
}

World::HandleInfo* World::Lookup(HANDLE handle, Kind kind, const char* caller)
{
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (found == handles_.end() || found->second.kind != kind) {
        Misuse(std::string(caller) + " on an invalid or released handle " + Ptr(handle));
        return NULL;
    }
    return &found->second;
}

bool World::Release(HANDLE handle, Kind kind, const char* caller)
{
    auto found = handles_.find(reinterpret_cast<uintptr_t>(handle));
    bool kindFits = found != handles_.end()
        && (found->second.kind == kind || (kind == kProcess && found->second.kind != kKey));
    if (!kindFits) {
        Misuse(std::string(caller) + " on an invalid or released handle " + Ptr(handle));
        return false;
    }
    handles_.erase(found);
    return true;
}

}  // namespace standin

using standin::World;

extern "C" {

BOOL WINAPI CloseHandle(HANDLE handle)
{
    World& w = World::Get();
    w.Record("CloseHandle(" + standin::Ptr(handle) + ")");
    return w.Release(handle, World::kProcess, "CloseHandle") ? TRUE : FALSE;
}

}  // extern "C"
