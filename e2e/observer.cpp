// Runs the launcher under observation. Starts the message-box helper and any
// programs that should already be running, then the launcher; logs when each
// watched process (the add-on) ends and with which exit code, since a
// process ended by force cannot log that itself; logs the launcher's exit
// code; and, if asked, samples the launcher's handles, memory and CPU time.
//   E2E_LAUNCHER      command line of the launcher
//   E2E_BOXHELPER     path of the message-box helper (optional)
//   E2E_PRESTART      programs to start first, separated by ';' (optional); a
//                     leading '^' starts one as if elevated, a leading '!' as
//                     if of another user (see Access)
//   E2E_WATCH         executable name to watch, e.g. vendrel.exe
//   E2E_SAMPLE_MS     sampling period for the launcher (optional)
// A forced end is logged with the time the system recorded for it.
#include "e2e/common.h"

#include <winternl.h>
#include <stdlib.h>
#include <tlhelp32.h>

namespace {

void Setting(const char* name, char* value, DWORD size)
{
    DWORD length = GetEnvironmentVariableA(name, value, size);
    if (length == 0 || length >= size)
        value[0] = '\0';
}

// Wine answers GetProcessHandleCount, GetProcessMemoryInfo and the CPU
// times of GetProcessTimes for another process with zeros or the caller's own
// figures, so read the system's process list, which Windows and Wine fill
// for every process.
void Sample(DWORD pid)
{
    typedef LONG(WINAPI * QueryFn)(int, PVOID, ULONG, PULONG);
    static QueryFn query = reinterpret_cast<QueryFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"),
                                               "NtQuerySystemInformation")));
    static BYTE buffer[1 << 20];
    ULONG needed = 0;
    if (query == NULL || query(5 /* SystemProcessInformation */, buffer, sizeof buffer, &needed) != 0)
        return;
    for (BYTE* at = buffer;;) {
        SYSTEM_PROCESS_INFORMATION* info = reinterpret_cast<SYSTEM_PROCESS_INFORMATION*>(at);
        if (reinterpret_cast<ULONG_PTR>(info->UniqueProcessId) == pid) {
            char detail[160];
            _snprintf(detail, sizeof detail - 1,
                      "handles=%lu private=%lu workingset=%lu cpu_us=%llu threads=%lu",
                      info->HandleCount,
                      static_cast<unsigned long>(info->VirtualMemoryCounters.PagefileUsage),
                      static_cast<unsigned long>(info->VirtualMemoryCounters.WorkingSetSize),
                      (info->UserTime.QuadPart + info->KernelTime.QuadPart) / 10,
                      info->NumberOfThreads);
            detail[sizeof detail - 1] = '\0';
            LogEvent("sample", "launcher", pid, detail);
            return;
        }
        if (info->NextEntryOffset == 0)
            return;
        at += info->NextEntryOffset;
    }
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char value[2048];

    Setting("E2E_BOXHELPER", value, sizeof value);
    HANDLE boxHelper = NULL;
    if (value[0] != '\0')
        boxHelper = StartQuoted(value);

    Setting("E2E_PRESTART", value, sizeof value);
    for (char* path = strtok(value, ";"); path != NULL; path = strtok(NULL, ";")) {
        const Access access = *path == '!' ? kOtherUser : *path == '^' ? kElevated : kAnyone;
        HANDLE started = StartQuoted(access == kAnyone ? path : path + 1, NULL, access);
        if (started != NULL)
            CloseHandle(started);
    }
    if (value[0] != '\0')
        Sleep(500);  // let them show in process snapshots

    char watchName[MAX_PATH];
    Setting("E2E_WATCH", watchName, sizeof watchName);
    Setting("E2E_SAMPLE_MS", value, sizeof value);
    const DWORD sampleMs = strtoul(value, NULL, 10);

    // The launcher and whatever it starts are in this job, which reports each that ends: one that
    // never logged its start was lost by Wine before it ran any code (CreateProcess error 1359).
    HANDLE job = CreateJobObjectA(NULL, NULL);
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT link = {NULL, CreateIoCompletionPort(INVALID_HANDLE_VALUE,
                                                                             NULL, 0, 1)};
    SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &link, sizeof link);
    AssignProcessToJobObject(job, GetCurrentProcess());

    Setting("E2E_LAUNCHER", value, sizeof value);
    LogEvent("run", "launcher", 0, value);
    DWORD launcherPid = 0;
    HANDLE launcher = StartCommandLine(value, &launcherPid);  // may carry arguments
    if (launcher == NULL) {
        LogEvent("fail", "launcher", 0, GetLastError() == ERROR_INTERNAL_ERROR ? "lost" : "error");
        return 1;
    }
    LogEvent("started", "launcher", launcherPid);

    HANDLE watched[MAXIMUM_WAIT_OBJECTS];
    DWORD watchedPid[MAXIMUM_WAIT_OBJECTS];
    DWORD count = 0;
    bool launcherDone = false;
    bool foundWatched = false;
    long long doneAt = 0;
    long long nextSample = NowMicroseconds();
    for (;;) {
        DWORD message;
        ULONG_PTR key;
        OVERLAPPED* gone;
        while (GetQueuedCompletionStatus(link.CompletionPort, &message, &key, &gone, 0))
            if (message == JOB_OBJECT_MSG_EXIT_PROCESS
                || message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS)
                LogEvent("gone", "-", static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(gone)));
        if (launcherDone && (count == 0 || NowMicroseconds() - doneAt > 3000000))
            break;
        if (!launcherDone && sampleMs != 0 && NowMicroseconds() >= nextSample) {
            Sample(launcherPid);
            nextSample += static_cast<long long>(sampleMs) * 1000;
        }
        HANDLE waitOn[MAXIMUM_WAIT_OBJECTS];
        DWORD n = 0;
        if (!launcherDone)
            waitOn[n++] = launcher;
        for (DWORD i = 0; i < count && n < MAXIMUM_WAIT_OBJECTS; ++i)
            waitOn[n++] = watched[i];
        // Snapshots cost much under an emulated CPU; the add-on lives seconds.
        DWORD result = n ? WaitForMultipleObjects(n, waitOn, FALSE, 250)
                         : (Sleep(5), WAIT_TIMEOUT);
        if (result < WAIT_OBJECT_0 + n) {
            HANDLE ended = waitOn[result - WAIT_OBJECT_0];
            DWORD code = 0;
            GetExitCodeProcess(ended, &code);
            char detail[32];
            _snprintf(detail, sizeof detail - 1, "code=%lu", static_cast<unsigned long>(code));
            detail[sizeof detail - 1] = '\0';
            if (ended == launcher) {
                if (sampleMs != 0)
                    Sample(launcherPid);
                LogEvent("exit", "launcher", launcherPid, detail, ProcessTime(launcher, true));
                launcherDone = true;
                doneAt = NowMicroseconds();
            } else {
                for (DWORD i = 0; i < count; ++i) {
                    if (watched[i] != ended)
                        continue;
                    LogEvent("ended", watchName, watchedPid[i], detail, ProcessTime(ended, true));
                    CloseHandle(watched[i]);
                    watched[i] = watched[count - 1];
                    watchedPid[i] = watchedPid[count - 1];
                    --count;
                    break;
                }
            }
            continue;
        }
        // The add-on starts once; stop looking when it has been found.
        if (watchName[0] == '\0' || launcherDone || foundWatched)
            continue;
        HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE)
            continue;
        PROCESSENTRY32 entry;
        entry.dwSize = sizeof entry;
        for (BOOL more = Process32First(snapshot, &entry); more;
             more = Process32Next(snapshot, &entry)) {
            if (lstrcmpiA(entry.szExeFile, watchName) != 0)
                continue;
            bool known = false;
            for (DWORD i = 0; i < count; ++i)
                known = known || watchedPid[i] == entry.th32ProcessID;
            if (known || count + 1 >= MAXIMUM_WAIT_OBJECTS)
                continue;
            HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE,
                                         entry.th32ProcessID);
            if (process == NULL)
                continue;
            watched[count] = process;
            watchedPid[count] = entry.th32ProcessID;
            ++count;
            foundWatched = true;
            LogEvent("watching", watchName, entry.th32ProcessID);
        }
        CloseHandle(snapshot);
    }

    if (boxHelper != NULL) {
        TerminateProcess(boxHelper, 0);
        CloseHandle(boxHelper);
    }
    CloseHandle(launcher);
    CloseHandle(link.CompletionPort);
    CloseHandle(job);
    return 0;
}
