#include "standin/standin.h"

namespace standin {

World& World::Get()
{
    static World world;
    return world;
}

void World::Reset()
{
    *this = World();
}

std::vector<std::string> World::CallsNamed(const std::string& function) const
{
    std::vector<std::string> found;
    for (const std::string& call : calls_)
        if (call.compare(0, function.size() + 1, function + "(") == 0)
            found.push_back(call);
    return found;
}

void World::Record(const std::string& call)
{
    if (recordCalls_) {
        calls_.push_back(call);
        callTimes_.push_back(now_);
    }
}

void World::Misuse(const std::string& what)
{
    misuses_.push_back(what);
}

}  // namespace standin
