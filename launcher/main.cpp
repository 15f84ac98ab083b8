// Runs the Vendrel 2 add-on beside MSN Messenger or Windows Messenger: start
// the add-on, start MSN Messenger a second later, wait until no
// messenger process is left, allow a grace period, then end the add-on.
#include "launcher/main.h"

#include <cstring>

// The platform copies these records by size; a wrong size fails the call.
#ifdef _WIN64
static_assert(sizeof(PROCESSENTRY32) == 304, "PROCESSENTRY32 must be the x86-64 record");
static_assert(sizeof(STARTUPINFOA) == 104, "STARTUPINFOA must be the x86-64 record");
#else
static_assert(sizeof(PROCESSENTRY32) == 296, "PROCESSENTRY32 must be the 32-bit record");
static_assert(sizeof(STARTUPINFOA) == 68, "STARTUPINFOA must be the 32-bit record");
#endif

namespace {

const DWORD kAddOnSettleMs = 1000;
const DWORD kMessengerSettleMs = 250;
const DWORD kGraceMs = 7000;

// Waiting needs nothing more; an elevated messenger grants a non-elevated
// caller little else, and would refuse a wider request.
const DWORD kMessengerAccess = SYNCHRONIZE;

const char kCaption[] = "Error";

// The add-on's and MSN Messenger's installers are 32-bit and write to the
// 32-bit registry view, which a 32-bit build reads anyway.
#ifdef _WIN64
const REGSAM kRegistryAccess = KEY_READ | KEY_WOW64_32KEY;
#else
const REGSAM kRegistryAccess = KEY_READ;
#endif

// Length of the text up to its first zero byte, looking at no more than limit.
DWORD TextLength(const char* text, DWORD limit)
{
    DWORD length = 0;
    while (length < limit && text[length] != '\0')
        ++length;
    return length;
}

bool IsLetter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// "C:\..." or "\\server\share\...". Anything else is resolved against the
// current folder or drive, or searched for, so it could name another program.
bool IsFullyQualified(const char* path)
{
    if (IsLetter(path[0]) && path[1] == ':' && path[2] == '\\')
        return true;
    if (path[0] != '\\' || path[1] != '\\')
        return false;
    // Both the server and the share must be named.
    const char* part = path + 2;
    for (int parts = 0; parts < 2; ++parts) {
        const char* end = part;
        while (*end != '\0' && *end != '\\')
            ++end;
        if (end == part || *end != '\\')
            return false;
        part = end + 1;
    }
    return true;
}

// Reads an install location and appends the program's file name. A location
// that is missing, unreadable, empty, too long or not a full path gives an
// empty path instead, so no program is ever searched for.
PathBuffer& ReadInstallPath(PathBuffer& path, LPCSTR subKey, LPCSTR valueName,
                            LPCSTR fileName)
{
    // Cleared whole, so no byte of it is undefined whatever the read reports.
    std::memset(path, 0, kPathBufferSize);

    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, subKey, 0, kRegistryAccess, &key) != ERROR_SUCCESS)
        return path;
    DWORD size = kPathBufferSize;
    // The type is not asked for: whatever bytes the value holds are the path.
    LONG status = RegQueryValueExA(key, valueName, NULL, NULL,
                                   reinterpret_cast<LPBYTE>(path), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || size > kPathBufferSize) {
        // A value that does not fit leaves the buffer undefined.
        path[0] = '\0';
        return path;
    }

    // The value may be stored without a terminator; its text ends at the
    // first zero byte within the size the platform reported.
    const DWORD length = TextLength(path, size);
    const DWORD nameLength = static_cast<DWORD>(std::strlen(fileName));
    if (length == 0 || length + nameLength >= kPathBufferSize) {
        path[0] = '\0';
        return path;
    }
    path[length] = '\0';
    lstrcatA(path, fileName);
    if (!IsFullyQualified(path))
        path[0] = '\0';
    return path;
}

// Starts the program at the path, named as the application so that Windows
// never searches for it, and quoted on the command line so that the program
// sees its own name whole ("C:\Program Files\..." is not "C:\Program.exe").
BOOL StartProgram(const PathBuffer& path, PROCESS_INFORMATION& process)
{
    std::memset(&process, 0, sizeof process);

    const DWORD length = TextLength(path, kPathBufferSize);
    // A quote inside the path would end the quoted name early.
    if (length == 0 || length == kPathBufferSize || std::memchr(path, '"', length) != NULL)
        return FALSE;

    char cmdLine[kPathBufferSize + 2];
    cmdLine[0] = '"';
    std::memcpy(cmdLine + 1, path, length);
    cmdLine[length + 1] = '"';
    cmdLine[length + 2] = '\0';

    STARTUPINFOA startup;
    std::memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    return CreateProcessA(path, cmdLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
}

bool IsWatchedName(const PROCESSENTRY32& entry)
{
    const size_t size = sizeof entry.szExeFile;
    return std::strncmp(entry.szExeFile, "msnmsgr.exe", size) == 0
        || std::strncmp(entry.szExeFile, "msmsgs.exe", size) == 0;
}

// Walks a fresh snapshot for the first watched messenger, or only for the
// one with the id `only` points to. True, with its id, when one is listed.
bool FindMessenger(const DWORD* only, DWORD* id)
{
    // A failed snapshot has no entries.
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return false;

    PROCESSENTRY32 entry;
    std::memset(&entry, 0, sizeof entry);
    entry.dwSize = sizeof entry;
    bool found = false;
    while (!found && Process32Next(snapshot, &entry))
        found = IsWatchedName(entry) && (only == NULL || entry.th32ProcessID == *only);
    // The snapshot holds every process on the system; the wait may last
    // hours and needs only the id.
    CloseHandle(snapshot);
    if (found)
        *id = entry.th32ProcessID;
    return found;
}

}  // namespace

PathBuffer& GetVendrelPath(PathBuffer& path)
{
    return ReadInstallPath(path, "SOFTWARE\\Orvane\\Vendrel2", "BinDir", "\\vendrel.exe");
}

PathBuffer& GetMSNPath(PathBuffer& path)
{
    return ReadInstallPath(path, "SOFTWARE\\Microsoft\\MSNMessenger", "InstallationDirectory",
                           "msnmsgr.exe");
}

HANDLE ExecCmdHandle(const PathBuffer& cmdLine)
{
    PROCESS_INFORMATION process;
    if (!StartProgram(cmdLine, process)) {
        MessageBoxA(NULL, "Error Loading Vendrel 2.", kCaption, MB_OK);
        return NULL;
    }
    CloseHandle(process.hThread);
    return process.hProcess;
}

void ExecCmdWait(const PathBuffer& cmdLine)
{
    PROCESS_INFORMATION process;
    if (!StartProgram(cmdLine, process)) {
        MessageBoxA(NULL, "Error Loading MSN Messenger", kCaption, MB_OK);
        return;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
}

void WaitForOtherMSN()
{
    for (;;) {
        DWORD id;
        if (!FindMessenger(NULL, &id))
            return;

        HANDLE messenger = OpenProcess(kMessengerAccess, TRUE, id);
        if (messenger == NULL) {
            // It ended after the snapshot: no refusal, so look again.
            if (GetLastError() == ERROR_INVALID_PARAMETER)
                continue;
            MessageBoxA(NULL, "Error Waiting for existing MSN's and Windows Messenger", kCaption,
                        MB_OK);
            return;
        }
        // The open handle keeps the id from passing on. If a messenger holds
        // it now, that is the one opened; if not, the id had passed to
        // another program before the open, which may never end.
        if (FindMessenger(&id, &id))
            WaitForSingleObject(messenger, INFINITE);
        CloseHandle(messenger);
    }
}

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    PathBuffer addOnPath;
    PathBuffer messengerPath;

    HANDLE addOn = ExecCmdHandle(GetVendrelPath(addOnPath));
    Sleep(kAddOnSettleMs);
    ExecCmdWait(GetMSNPath(messengerPath));
    Sleep(kMessengerSettleMs);
    WaitForOtherMSN();
    Sleep(kGraceMs);

    if (addOn != NULL) {
        TerminateProcess(addOn, 0);
        CloseHandle(addOn);
    }
    return 0;
}
