// Shared by the end-to-end helper programs. The event log: one line per event,
// "<microseconds> <event> <name> <pid> [detail]", appended to the file named
// by E2E_LOG. The time is the performance counter, which every process on
// the machine shares.
#ifndef E2E_COMMON_H
#define E2E_COMMON_H

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <stdio.h>
#include <string.h>

inline long long NowMicroseconds()
{
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return counter.QuadPart / frequency.QuadPart * 1000000
        + counter.QuadPart % frequency.QuadPart * 1000000 / frequency.QuadPart;
}

// When the system created or ended a process, on the log's clock: emulated, a first line is late.
inline long long ProcessTime(HANDLE process, bool exited)
{
    ULARGE_INTEGER times[4], now;  // FILETIMEs: creation, exit, kernel, user
    FILETIME* t = reinterpret_cast<FILETIME*>(times);
    if (!GetProcessTimes(process, &t[0], &t[1], &t[2], &t[3]))
        return NowMicroseconds();
    GetSystemTimeAsFileTime(reinterpret_cast<FILETIME*>(&now));
    return NowMicroseconds() - static_cast<long long>(now.QuadPart - times[exited].QuadPart) / 10;
}

inline void LogEvent(const char* event, const char* name, DWORD pid, const char* detail = "",
                     long long at = NowMicroseconds())
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("E2E_LOG", path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    char line[1024];
    int size = _snprintf(line, sizeof line - 1, "%lld %s %s %lu %s\r\n", at, event,
                         name, static_cast<unsigned long>(pid), detail);
    if (size < 0) {
        size = sizeof line - 1;
        line[size - 2] = '\r';
        line[size - 1] = '\n';
    }
    // Wine does not make appends from several processes atomic: take turns.
    HANDLE lock = CreateMutexA(NULL, FALSE, "launcher-e2e-log");
    if (lock != NULL)
        WaitForSingleObject(lock, 5000);
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written;
        WriteFile(file, line, static_cast<DWORD>(size), &written, NULL);
        CloseHandle(file);
    }
    if (lock != NULL) {
        ReleaseMutex(lock);
        CloseHandle(lock);
    }
}

// The running program's file name, e.g. "msnmsgr.exe", and its full path.
inline void OwnName(char* fullPath, DWORD size, const char** name)
{
    DWORD length = GetModuleFileNameA(NULL, fullPath, size);
    if (length == 0 || length >= size)
        fullPath[0] = '\0';
    const char* slash = strrchr(fullPath, '\\');
    *name = slash ? slash + 1 : fullPath;
}

// Who may open a started process, as Windows rules it: another user's
// process grants this user nothing; an elevated one grants a caller that is
// not elevated only waiting and limited queries. Both are owned by the
// system here, so that no owner's rights apply.
enum Access { kAnyone, kElevated, kOtherUser };

// Starts a program from a complete command line; returns the process handle
// (the thread handle is released), or null.
inline HANDLE StartCommandLine(const char* cmdLine, DWORD* pid = NULL, Access access = kAnyone)
{
    SID_IDENTIFIER_AUTHORITY nt = {SECURITY_NT_AUTHORITY};
    SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
    PSID system = NULL;
    PSID everyone = NULL;
    DWORD list[16];
    ACL* acl = reinterpret_cast<ACL*>(list);
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    if (access != kAnyone) {
        if (!AllocateAndInitializeSid(&nt, 1, SECURITY_LOCAL_SYSTEM_RID, 0, 0, 0, 0, 0, 0, 0,
                                      &system)
            || !AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0,
                                         &everyone))
            return NULL;
        InitializeAcl(acl, sizeof list, ACL_REVISION);
        if (access == kElevated)
            AddAccessAllowedAce(acl, ACL_REVISION, SYNCHRONIZE | 0x1000 /* limited query */,
                                everyone);
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
        SetSecurityDescriptorOwner(&descriptor, system, FALSE);
        SetSecurityDescriptorGroup(&descriptor, system, FALSE);
        SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE);
    }
    char line[2048];
    lstrcpynA(line, cmdLine, sizeof line);  // CreateProcessA may write to it
    STARTUPINFOA startup;
    ZeroMemory(&startup, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    const BOOL started = CreateProcessA(NULL, line, access != kAnyone ? &attributes : NULL, NULL,
                                        FALSE, 0, NULL, NULL, &startup, &process);
    if (system != NULL)
        FreeSid(system);
    if (everyone != NULL)
        FreeSid(everyone);
    if (!started)
        return NULL;
    CloseHandle(process.hThread);
    if (pid != NULL)
        *pid = process.dwProcessId;
    return process.hProcess;
}

// Starts the program at the path, quoted, with no arguments.
inline HANDLE StartQuoted(const char* path, DWORD* pid = NULL, Access access = kAnyone)
{
    char cmdLine[MAX_PATH + 3];
    _snprintf(cmdLine, sizeof cmdLine - 1, "\"%s\"", path);
    cmdLine[sizeof cmdLine - 1] = '\0';
    return StartCommandLine(cmdLine, pid, access);
}

#endif  // E2E_COMMON_H
