// A scripted Windows for host builds: registry, programs, processes,
// snapshots, message boxes and a virtual clock, behind the same calls the
// launcher makes on Windows. Every call is recorded, and every handle handed
// out is accounted for, so a test can see what the launcher asked for and
// whether it released exactly what it obtained.
#ifndef STANDIN_STANDIN_H
#define STANDIN_STANDIN_H

#include "platform/win32.h"

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace standin {

const uint64_t kForever = UINT64_MAX;

// Where Windows looks for a program named without a full path, in its
// order: the launcher's own folder, the current folder, the system folders.
// Relative names are resolved against the current folder, which is on C:.
const char kLauncherDir[] = "C:\\Launcher\\";
const char kCurrentDir[] = "C:\\Users\\Me\\";
const char* const kSearchDirs[] = {kLauncherDir, kCurrentDir, "C:\\Windows\\system32\\",
                                   "C:\\Windows\\system\\", "C:\\Windows\\"};

struct Box {
    HWND owner;
    std::string text;
    std::string caption;
    UINT type;
    uint64_t at;
};

struct Process {
    DWORD pid;
    std::string name;         // executable file name, as a snapshot shows it
    std::string commandLine;  // empty for processes the launcher did not start
    uint64_t startsAt;
    uint64_t endsAt;
    bool terminated;
    UINT exitCode;
    DWORD openError;  // non-zero for another user's or session's: every open fails with it
    bool elevated;    // grants a non-elevated caller only waiting and limited queries
};

// A program on the virtual disk. `onStart` lets a test script what the
// program does once it runs, such as starting other processes.
struct Program {
    uint64_t lifetimeMs = kForever;
    bool startFails = false;
    std::function<void(const Process&)> onStart;
};

// Thrown when the launcher would block forever or misuses the platform in a
// way real Windows could not recover from; the test fails with the reason.
struct Fault : std::runtime_error {
    explicit Fault(const std::string& what) : std::runtime_error(what) {}
};

class World {
public:
    // The world the platform calls act on. Reset() starts a fresh one.
    static World& Get();
    void Reset();

    // Registry under HKEY_LOCAL_MACHINE. Sub-keys and value names compare
    // without regard to case, as on Windows.
    void AddKey(const std::string& subKey);
    void SetValue(const std::string& subKey, const std::string& name, DWORD type,
                  const std::vector<BYTE>& bytes);
    // A string value with its terminating zero byte.
    void SetString(const std::string& subKey, const std::string& name, const std::string& text,
                   DWORD type = REG_SZ);
    // Makes RegQueryValueExA report this size on success instead of the
    // value's own, as a broken or hostile platform might.
    void ReportSize(const std::string& subKey, const std::string& name, DWORD size);

    // Programs, by full path (case does not matter, as on Windows).
    Program& Install(const std::string& path, const Program& program = Program());

    // A process the launcher did not start, alive from startsAt for lifetime; with a pid,
    // one that reuses that id, listed after every earlier one.
    DWORD Spawn(const std::string& name, uint64_t startsAt, uint64_t lifetimeMs, DWORD pid = 0);
    void FailOpen(DWORD pid, DWORD error = ERROR_ACCESS_DENIED) { Known(pid).openError = error; }
    void Elevate(DWORD pid) { Known(pid).elevated = true; }
    // The process ends between the snapshot that lists it and the open; with
    // a successor, a program of that name, living for ever, has its id then.
    void EndBeforeOpen(DWORD pid, const std::string& successor = "")
    {
        endsBeforeOpen_[Known(pid).pid] = successor;
    }
    void FailSnapshots(bool fail) { snapshotsFail_ = fail; }
    void SetBoxDismissDelay(uint64_t ms) { boxDismissMs_ = ms; }
    // Recording every call costs memory; long runs can turn it off.
    void RecordCalls(bool record) { recordCalls_ = record; }

    uint64_t Now() const { return now_; }
    const std::vector<std::string>& Calls() const { return calls_; }
    // The virtual time of each call in Calls(), when it was made.
    const std::vector<uint64_t>& CallTimes() const { return callTimes_; }
    const std::vector<Box>& Boxes() const { return boxes_; }
    const std::vector<Process>& Processes() const { return processes_; }
    const Process* FindStarted(const std::string& name) const;
    std::vector<std::string> CallsNamed(const std::string& function) const;

    size_t OpenHandles() const { return handles_.size(); }
    size_t PeakOpenHandles() const { return peakHandles_; }
    size_t HandlesIssued() const { return handlesIssued_; }
    const std::vector<std::string>& Misuses() const { return misuses_; }

    // The platform calls' side: not for tests.
    enum Kind { kKey, kProcess, kThread, kSnapshot };
    struct Entry {
        DWORD pid;
        std::string name;
    };
    struct HandleInfo {
        Kind kind;
        DWORD access;
        DWORD pid;
        std::vector<Entry> entries;
        size_t next;
        std::string subKey;
    };
    void Record(const std::string& call);
    void Misuse(const std::string& what);
    HANDLE Issue(const HandleInfo& info);
    HandleInfo* Lookup(HANDLE handle, Kind kind, const char* caller);
    bool Release(HANDLE handle, Kind kind, const char* caller);
    Process* FindProcess(DWORD pid);
    Process* ProcessOf(HANDLE handle, const char* caller);
    bool Alive(const Process& process) const;
    void Advance(uint64_t ms);
    void WaitUntil(uint64_t at);

    struct Value {
        DWORD type;
        std::vector<BYTE> bytes;
        bool sizeOverridden;
        DWORD reportedSize;
    };
    bool KeyExists(const std::string& subKey) const;
    Value* FindValue(const std::string& subKey, const std::string& name);
    const Program* FindProgram(const std::string& path) const;
    // The full path Windows would run for a name, or "" when none is found:
    // searched for when `search`, else resolved against the current folder.
    std::string Locate(const std::string& name, bool search) const;
    DWORD Start(const std::string& path, const std::string& commandLine, uint64_t lifetimeMs);
    std::vector<Entry> SnapshotNow();
    bool SnapshotsFail() const { return snapshotsFail_; }
    void ShowBox(const Box& box);
    Process& Known(DWORD pid);
    // The process behind the id when it is opened, after any end due then.
    Process* ForOpen(DWORD pid);
    DWORD lastError = 0;

private:
    uint64_t now_ = 0;
    DWORD nextPid_ = 1000;
    uintptr_t nextHandle_ = 0x100;
    std::map<std::string, std::map<std::string, Value>> registry_;
    std::map<std::string, Program> programs_;
    std::vector<Process> processes_;
    size_t firstUnended_ = 0;
    std::map<DWORD, size_t> processIndex_;
    std::map<uintptr_t, HandleInfo> handles_;
    size_t peakHandles_ = 0;
    size_t handlesIssued_ = 0;
    std::vector<std::string> calls_;
    std::vector<uint64_t> callTimes_;
    std::vector<Box> boxes_;
    std::vector<std::string> misuses_;
    bool snapshotsFail_ = false;
    bool recordCalls_ = true;
    uint64_t boxDismissMs_ = 0;
    std::map<DWORD, std::string> endsBeforeOpen_;
    uint64_t snapshotsAt_ = 0;
    size_t snapshotsThen_ = 0;
};

}  // namespace standin

#endif  // STANDIN_STANDIN_H
