#include "standin/standin.h"
#include "standin/text.h"

namespace standin {

void World::ShowBox(const Box& box)
{
    boxes_.push_back(box);
    now_ += boxDismissMs_;
}

}  // namespace standin

using standin::World;

extern "C" {

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    World& w = World::Get();
    w.Record("MessageBoxA(" + standin::Ptr(owner) + ", " + standin::Quote(text) + ", "
             + standin::Quote(caption) + ", " + standin::Hex(type) + ")");
    w.ShowBox({owner, text ? text : "", caption ? caption : "", type, w.Now()});
    return IDOK;
}

}  // extern "C"
