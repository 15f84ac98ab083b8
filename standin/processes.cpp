#include "standin/standin.h"
#include "standin/text.h"

#include <cstring>

namespace standin {

DWORD World::Spawn(const std::string& name, uint64_t startsAt, uint64_t lifetimeMs, DWORD pid)
{
    if (pid == 0) {
        pid = nextPid_;
        nextPid_ += 4;
    }
    uint64_t endsAt = lifetimeMs == kForever ? kForever : startsAt + lifetimeMs;
    processIndex_[pid] = processes_.size();
    processes_.push_back(Process{pid, name, "", startsAt, endsAt, false, 0, 0, false});
    return pid;
}

Process& World::Known(DWORD pid)
{
    Process* process = FindProcess(pid);
    if (process == NULL)
        throw Fault("no process " + std::to_string(pid));
    return *process;
}

Process* World::ForOpen(DWORD pid)
{
    auto due = endsBeforeOpen_.find(pid);
    if (due != endsBeforeOpen_.end()) {
        Known(pid).endsAt = now_;
        if (!due->second.empty()) {
            processIndex_[pid] = processes_.size();
            processes_.push_back(Process{pid, due->second, "", now_, kForever, false, 0, 0, false});
        }
        endsBeforeOpen_.erase(due);
    }
    return FindProcess(pid);
}

const Process* World::FindStarted(const std::string& name) const
{
    for (const Process& process : processes_)
        if (!process.commandLine.empty() && Lower(process.name) == Lower(name))
            return &process;
    return NULL;
}

Process* World::ProcessOf(HANDLE handle, const char* caller)
{
    HandleInfo* info = Lookup(handle, kProcess, caller);
    return info == NULL ? NULL : FindProcess(info->pid);
}

Process* World::FindProcess(DWORD pid)
{
    auto found = processIndex_.find(pid);
    return found == processIndex_.end() ? NULL : &processes_[found->second];
}

bool World::Alive(const Process& process) const
{
    return process.startsAt <= now_ && now_ < process.endsAt;
}

std::vector<World::Entry> World::SnapshotNow()
{
    // Snapshot after snapshot while no time passes would spin the CPU.
    snapshotsThen_ = snapshotsAt_ == now_ ? snapshotsThen_ + 1 : 1;
    snapshotsAt_ = now_;
    if (snapshotsThen_ > 1000)
        throw Fault("1000 snapshots while no time passes: the launcher spins");
    // The clock never goes back, so processes that have ended stay ended:
    // skip the leading run of them, keeping long scripted runs linear.
    while (firstUnended_ < processes_.size() && processes_[firstUnended_].endsAt <= now_)
        ++firstUnended_;
    std::vector<Entry> entries;
    for (size_t i = firstUnended_; i < processes_.size(); ++i)
        if (Alive(processes_[i]))
            entries.push_back(Entry{processes_[i].pid, processes_[i].name});
    return entries;
}

}  // namespace standin

using standin::World;

extern "C" {

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    World& w = World::Get();
    w.Record("WaitForSingleObject(" + standin::Ptr(handle) + ", " + standin::Hex(milliseconds)
             + ")");
    standin::Process* process = w.ProcessOf(handle, "WaitForSingleObject");
    if (process == NULL)
        return WAIT_FAILED;
    if (milliseconds != INFINITE)
        throw standin::Fault("only waits without a time limit are scripted");
    // Fails at once with ERROR_ACCESS_DENIED on Windows, so a caller that
    // waits again would spin.
    if (!(w.Lookup(handle, World::kProcess, "WaitForSingleObject")->access & SYNCHRONIZE))
        throw standin::Fault("wait on a handle opened without SYNCHRONIZE");
    w.WaitUntil(process->endsAt);
    return WAIT_OBJECT_0;
}

BOOL WINAPI TerminateProcess(HANDLE processHandle, UINT exitCode)
{
    World& w = World::Get();
    w.Record("TerminateProcess(" + standin::Ptr(processHandle) + ", " + std::to_string(exitCode)
             + ")");
    standin::Process* process = w.ProcessOf(processHandle, "TerminateProcess");
    if (process == NULL || !w.Alive(*process))
        return FALSE;  // ERROR_ACCESS_DENIED on Windows
    if (!(w.Lookup(processHandle, World::kProcess, "TerminateProcess")->access & PROCESS_TERMINATE)) {
        w.Misuse("TerminateProcess on a handle opened without PROCESS_TERMINATE");
        return FALSE;
    }
    process->endsAt = w.Now();
    process->terminated = true;
    process->exitCode = exitCode;
    return TRUE;
}

HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId)
{
    World& w = World::Get();
    w.Record("CreateToolhelp32Snapshot(" + standin::Hex(flags) + ", " + std::to_string(processId)
             + ")");
    if (w.SnapshotsFail())
        return INVALID_HANDLE_VALUE;
    return w.Issue({World::kSnapshot, 0, 0, w.SnapshotNow(), 0, ""});
}

BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry)
{
    World& w = World::Get();
    w.Record("Process32Next(" + standin::Ptr(snapshot) + ", dwSize="
             + (entry ? std::to_string(entry->dwSize) : std::string("NULL")) + ")");
    World::HandleInfo* info = w.Lookup(snapshot, World::kSnapshot, "Process32Next");
    if (info == NULL || entry == NULL)
        return FALSE;
    if (entry->dwSize != sizeof(PROCESSENTRY32)) {
        w.Misuse("Process32Next with dwSize " + std::to_string(entry->dwSize));
        return FALSE;
    }
    if (info->next >= info->entries.size())
        return FALSE;
    const World::Entry& next = info->entries[info->next++];
    std::memset(entry, 0, sizeof *entry);
    entry->dwSize = sizeof *entry;
    entry->th32ProcessID = next.pid;
    entry->cntThreads = 1;
    std::strncpy(entry->szExeFile, next.name.c_str(), sizeof entry->szExeFile - 1);
    return TRUE;
}

HANDLE WINAPI OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId)
{
    World& w = World::Get();
    w.Record("OpenProcess(" + standin::Hex(access) + ", " + std::to_string(inheritHandle) + ", "
             + std::to_string(processId) + ")");
    standin::Process* process = w.ForOpen(processId);
    w.lastError = ERROR_INVALID_PARAMETER;  // Windows' answer for an id it does not know
    if (process == NULL || !w.Alive(*process))
        return NULL;
    // Without elevation a caller cannot write up to an elevated process.
    const DWORD granted = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
    w.lastError = process->openError != 0 ? process->openError : ERROR_ACCESS_DENIED;
    if (process->openError != 0 || (process->elevated && (access & ~granted) != 0))
        return NULL;
    return w.Issue({World::kProcess, access, processId, {}, 0, ""});
}

DWORD WINAPI GetLastError(void)
{
    return World::Get().lastError;
}

}  // extern "C"
