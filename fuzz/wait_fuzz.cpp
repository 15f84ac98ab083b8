// Fuzzes the wait for remaining messengers over process tables, names,
// failing opens and failing snapshots.
//
// Input: one flags byte, then four bytes per process: name, start time,
// lifetime, whether it can be opened (bit 0) and whether it runs elevated (bit 1).
#include "launcher/main.h"
#include "standin/standin.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void Require(bool condition, const char* what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

const char* const kNames[] = {
    "msnmsgr.exe", "msmsgs.exe", "MSNMSGR.EXE", "msmsgs.EXE", "explorer.exe",
    "C:\\x\\msnmsgr.exe", "msnmsgr.exe ", "", "msnmsgr", "msmsgs.exe.old",
};
const size_t kNameCount = sizeof kNames / sizeof kNames[0];

bool Watched(const std::string& name)
{
    return name == "msnmsgr.exe" || name == "msmsgs.exe";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    standin::World& w = standin::World::Get();
    w.Reset();
    w.FailSnapshots(data[0] & 1);

    for (size_t at = 1; at + 4 <= size && at < 1 + 4 * 64; at += 4) {
        const std::string name = kNames[data[at] % kNameCount];
        const uint64_t startsAt = data[at + 1] * 10u;
        const bool openFails = data[at + 3] & 1;
        // A watched process that can be opened must end, or the wait would
        // rightly last for ever.
        const uint64_t lifetime = data[at + 2] == 255 && (!Watched(name) || openFails)
            ? standin::kForever
            : data[at + 2] * 10u;
        const DWORD pid = w.Spawn(name, startsAt, lifetime);
        if (openFails)
            w.FailOpen(pid);
        if (data[at + 3] & 2)
            w.Elevate(pid);
    }

    WaitForOtherMSN();

    Require(w.OpenHandles() == 0, "every handle is released");
    Require(w.Misuses().empty(), "no handle is misused or released twice");
    Require(w.PeakOpenHandles() <= 2, "a process, and a snapshot only to confirm its id");
    Require(w.Boxes().size() <= 1, "at most one box");
    // Each open is of the first watched process in snapshot order that was
    // running when the snapshot was taken (the clock stands still between).
    const std::string open = "OpenProcess(0x100000, 1, ";
    for (size_t i = 0; i < w.Calls().size(); ++i) {
        const std::string& call = w.Calls()[i];
        if (call.compare(0, 12, "OpenProcess(") != 0)
            continue;
        Require(call.compare(0, open.size(), open) == 0, "SYNCHRONIZE alone, inheritable");
        const DWORD pid = static_cast<DWORD>(std::strtoul(call.c_str() + open.size(), NULL, 10));
        const uint64_t at = w.CallTimes()[i];
        DWORD first = 0;
        for (const standin::Process& process : w.Processes()) {
            if (Watched(process.name) && process.startsAt <= at && at < process.endsAt) {
                first = process.pid;
                break;
            }
        }
        Require(pid == first, "the first running messenger in snapshot order is opened");
    }
    const bool boxed = !w.Boxes().empty();
    Require(boxed == (w.CallsNamed("OpenProcess").size() > w.CallsNamed("WaitForSingleObject").size()),
            "a box exactly when an open failed");
    if (!boxed && !(data[0] & 1)) {
        // The wait ends only when no watched process is left.
        for (const standin::Process& process : w.Processes())
            Require(!Watched(process.name) || !w.Alive(process), "no messenger is left running");
    }
    return 0;
}
