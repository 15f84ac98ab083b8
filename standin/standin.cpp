#include "standin/standin.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

namespace standin {

namespace {

std::string Lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string Hex(uint64_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(value));
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

std::string BaseName(const std::string& path)
{
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

World& World::Get()
{
    static World world;
    return world;
}

void World::Reset()
{
    *this = World();
}

void World::AddKey(const std::string& subKey)
{
    registry_[Lower(subKey)];
}

void World::SetValue(const std::string& subKey, const std::string& name, DWORD type,
                     const std::vector<BYTE>& bytes)
{
    registry_[Lower(subKey)][Lower(name)] = Value{type, bytes, false, 0};
}

void World::SetString(const std::string& subKey, const std::string& name,
                      const std::string& text, DWORD type)
{
    std::vector<BYTE> bytes(text.begin(), text.end());
    bytes.push_back(0);
    SetValue(subKey, name, type, bytes);
}

void World::ReportSize(const std::string& subKey, const std::string& name, DWORD size)
{
    Value* value = FindValue(subKey, name);
    if (value == NULL)
        throw Fault("ReportSize on a missing value");
    value->sizeOverridden = true;
    value->reportedSize = size;
}

Program& World::Install(const std::string& path, const Program& program)
{
    return programs_[Lower(path)] = program;
}

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

bool World::KeyExists(const std::string& subKey) const
{
    return registry_.count(Lower(subKey)) != 0;
}

World::Value* World::FindValue(const std::string& subKey, const std::string& name)
{
    auto key = registry_.find(Lower(subKey));
    if (key == registry_.end())
        return NULL;
    auto value = key->second.find(Lower(name));
    return value == key->second.end() ? NULL : &value->second;
}

const Program* World::FindProgram(const std::string& path) const
{
    auto found = programs_.find(Lower(path));
    return found == programs_.end() ? NULL : &found->second;
}

namespace {

bool FullyQualified(const std::string& path)
{
    return (path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0]))
            && path[1] == ':' && path[2] == '\\')
        || path.compare(0, 2, "\\\\") == 0;
}

// A relative name as Windows completes it from a folder: "\x" from the
// current drive's root, "C:x" from the current folder of drive C.
std::string Complete(const std::string& name, const std::string& dir)
{
    if (!name.empty() && name[0] == '\\')
        return std::string(kCurrentDir, 2) + name;
    if (name.size() >= 2 && name[1] == ':') {
        if (std::toupper(static_cast<unsigned char>(name[0])) == kCurrentDir[0])
            return kCurrentDir + name.substr(2);
        return name.substr(0, 2) + "\\" + name.substr(2);
    }
    return dir + name;
}

}  // namespace

std::string World::Locate(const std::string& name, bool search) const
{
    if (name.empty())
        return "";
    if (FullyQualified(name))
        return FindProgram(name) != NULL ? name : "";
    if (!search) {
        const std::string path = Complete(name, kCurrentDir);
        return FindProgram(path) != NULL ? path : "";
    }
    for (const char* dir : kSearchDirs) {
        const std::string path = Complete(name, dir);
        if (FindProgram(path) != NULL)
            return path;
    }
    return "";
}

DWORD World::Start(const std::string& path, const std::string& commandLine, uint64_t lifetimeMs)
{
    DWORD pid = Spawn(BaseName(path), now_, lifetimeMs);
    processes_.back().commandLine = commandLine;
    const Program* program = FindProgram(path);
    if (program != NULL && program->onStart) {
        Process started = processes_.back();  // onStart may add processes
        program->onStart(started);
    }
    return pid;
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

void World::ShowBox(const Box& box)
{
    boxes_.push_back(box);
    now_ += boxDismissMs_;
}

}  // namespace standin

using standin::World;

extern "C" {

LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result)
{
    World& w = World::Get();
    w.Record("RegOpenKeyExA(" + standin::Hex(reinterpret_cast<uintptr_t>(key)) + ", "
             + standin::Quote(subKey) + ", " + std::to_string(options) + ", "
             + standin::Hex(access) + ")");
    if (result == NULL || subKey == NULL) {
        w.Misuse("RegOpenKeyExA without a sub-key or result");
        return 87;  // ERROR_INVALID_PARAMETER
    }
    if (key != HKEY_LOCAL_MACHINE || !w.KeyExists(subKey))
        return ERROR_FILE_NOT_FOUND;
    World::HandleInfo info = {World::kKey, access, 0, {}, 0, subKey};
    *result = reinterpret_cast<HKEY>(w.Issue(info));
    return ERROR_SUCCESS;
}

LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size)
{
    World& w = World::Get();
    w.Record("RegQueryValueExA(" + standin::Ptr(key) + ", " + standin::Quote(valueName) + ", "
             + standin::Ptr(reserved) + ", " + (type ? "type" : "NULL") + ", "
             + (data ? "data" : "NULL") + ", "
             + (size ? std::to_string(*size) : std::string("NULL")) + ")");
    World::HandleInfo* info = w.Lookup(reinterpret_cast<HANDLE>(key), World::kKey,
                                       "RegQueryValueExA");
    if (info == NULL)
        return 6;  // ERROR_INVALID_HANDLE
    if (reserved != NULL || (data != NULL && size == NULL)) {
        w.Misuse("RegQueryValueExA with a reserved pointer or data without size");
        return 87;
    }
    World::Value* value = w.FindValue(info->subKey, valueName ? valueName : "");
    if (value == NULL)
        return ERROR_FILE_NOT_FOUND;
    if (type != NULL)
        *type = value->type;
    const DWORD length = static_cast<DWORD>(value->bytes.size());
    if (data == NULL) {
        if (size != NULL)
            *size = length;
        return ERROR_SUCCESS;
    }
    const DWORD room = *size;
    if (length > room) {
        // Windows leaves the buffer undefined here; fill it with the part of
        // the value that fits, unterminated, to catch a caller that uses it.
        if (room > 0)
            std::memcpy(data, value->bytes.data(), room);
        *size = length;
        return ERROR_MORE_DATA;
    }
    if (length > 0)
        std::memcpy(data, value->bytes.data(), length);
    *size = value->sizeOverridden ? value->reportedSize : length;
    return ERROR_SUCCESS;
}

LONG WINAPI RegCloseKey(HKEY key)
{
    World& w = World::Get();
    w.Record("RegCloseKey(" + standin::Ptr(key) + ")");
    return w.Release(reinterpret_cast<HANDLE>(key), World::kKey, "RegCloseKey") ? ERROR_SUCCESS
                                                                                : 6;
}

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

BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo, LPPROCESS_INFORMATION processInformation)
{
    World& w = World::Get();
    w.Record("CreateProcessA(" + standin::Quote(applicationName) + ", "
             + standin::Quote(commandLine) + ", " + standin::Ptr(processAttributes) + ", "
             + standin::Ptr(threadAttributes) + ", " + std::to_string(inheritHandles) + ", "
             + standin::Hex(creationFlags) + ", " + standin::Ptr(environment) + ", "
             + standin::Quote(currentDirectory) + ", cb="
             + (startupInfo ? std::to_string(startupInfo->cb) : std::string("NULL")) + ")");
    if (commandLine == NULL || startupInfo == NULL || processInformation == NULL) {
        w.Misuse("CreateProcessA without a command line, start-up record or result");
        return FALSE;
    }
    if (startupInfo->cb != sizeof(STARTUPINFOA))
        return FALSE;
    // Windows reads the desktop, title and reserved fields whatever dwFlags selects: no stray byte.
    const BYTE* record = reinterpret_cast<const BYTE*>(startupInfo);
    if (std::any_of(record + sizeof startupInfo->cb, record + sizeof *startupInfo,
                    [](BYTE b) { return b != 0; })) {
        w.Misuse("CreateProcessA with a start-up record set beyond its size");
        return FALSE;
    }

    const std::string line = commandLine;
    std::string path;
    if (applicationName != NULL) {
        // Named outright: never searched for, and no extension is assumed.
        path = w.Locate(applicationName, false);
    } else {
        // Found from the command line: a quoted name runs to the closing
        // quote; an unquoted one is tried at each space in turn, shortest
        // first, then whole. Each is searched for unless it is a full path,
        // with ".exe" assumed.
        std::vector<std::string> candidates;
        if (!line.empty() && line[0] == '"') {
            size_t close = line.find('"', 1);
            candidates.push_back(line.substr(1, close == std::string::npos ? std::string::npos
                                                                             : close - 1));
        } else {
            for (size_t space = line.find(' '); space != std::string::npos;
                 space = line.find(' ', space + 1))
                candidates.push_back(line.substr(0, space));
            candidates.push_back(line);
        }
        for (size_t i = 0; i < candidates.size() && path.empty(); ++i) {
            path = w.Locate(candidates[i], true);
            if (path.empty())
                path = w.Locate(candidates[i] + ".exe", true);
        }
    }
    const standin::Program* program = path.empty() ? NULL : w.FindProgram(path);
    if (program == NULL || program->startFails)
        return FALSE;
    DWORD pid = w.Start(path, line, program->lifetimeMs);
    processInformation->dwProcessId = pid;
    processInformation->dwThreadId = pid + 1;
    processInformation->hProcess = w.Issue({World::kProcess, PROCESS_ALL_ACCESS, pid, {}, 0, ""});
    processInformation->hThread = w.Issue({World::kThread, 0x1FFFFFu, pid, {}, 0, ""});
    return TRUE;
}

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

BOOL WINAPI CloseHandle(HANDLE handle)
{
    World& w = World::Get();
    w.Record("CloseHandle(" + standin::Ptr(handle) + ")");
    return w.Release(handle, World::kProcess, "CloseHandle") ? TRUE : FALSE;
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

void WINAPI Sleep(DWORD milliseconds)
{
    World& w = World::Get();
    w.Record("Sleep(" + std::to_string(milliseconds) + ")");
    w.Advance(milliseconds);
}

int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    World& w = World::Get();
    w.Record("MessageBoxA(" + standin::Ptr(owner) + ", " + standin::Quote(text) + ", "
             + standin::Quote(caption) + ", " + standin::Hex(type) + ")");
    w.ShowBox({owner, text ? text : "", caption ? caption : "", type, w.Now()});
    return IDOK;
}

}  // extern "C"
