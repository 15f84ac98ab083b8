// The Windows calls the launcher makes, and the records and constants they take.
//
// A Windows build gets them from the SDK. Any other build gets the same
// declarations here and links them against a stand-in implementation, so the
// launcher's source is identical in both.
#ifndef PLATFORM_WIN32_H
#define PLATFORM_WIN32_H

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
// user32 is not linked: loading it costs a third of the launcher's memory,
// for a box that most runs never show. MessageBoxA is below.
#define NOUSER
#include <windows.h>
#include <tlhelp32.h>

#define MB_OK 0x00000000u

// Loads user32 for the one box being shown, and lets it go after. user32 is
// a KnownDLL, so loading it by name cannot be redirected to another file.
inline int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type)
{
    typedef int(WINAPI * MessageBoxFn)(HWND, LPCSTR, LPCSTR, UINT);
    int result = 0;
    HMODULE user32 = LoadLibraryA("user32.dll");
    if (user32 != NULL) {
        // By way of void (*)(), which GCC and clang take to match any function
        // type: a function pointer converted to another and back is unchanged.
        typedef void (*AnyFn)();
        MessageBoxFn show = reinterpret_cast<MessageBoxFn>(
            reinterpret_cast<AnyFn>(GetProcAddress(user32, "MessageBoxA")));
        if (show != NULL)
            result = show(owner, text, caption, type);
        FreeLibrary(user32);
    }
    return result;
}

#else

#include <stddef.h>
#include <stdint.h>

#define WINAPI
#define CALLBACK

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef char CHAR;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef BYTE* LPBYTE;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef uintptr_t ULONG_PTR;
typedef uint32_t REGSAM;

// The tags differ from the SDK's: a name with a double underscore, or an
// underscore and a capital first, is reserved to the compiler and its library.
typedef void* HANDLE;
typedef struct tagHINSTANCE* HINSTANCE;
typedef struct tagHWND* HWND;
typedef struct tagHKEY* HKEY;
typedef HKEY* PHKEY;

#define TRUE 1
#define FALSE 0
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu
#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002u)
#define KEY_READ 0x20019u
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_MORE_DATA 234L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_PARAMETER 87L

#define SYNCHRONIZE 0x00100000u
#define PROCESS_TERMINATE 0x0001u
#define PROCESS_QUERY_INFORMATION 0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u
#define PROCESS_ALL_ACCESS 0x1FFFFFu

#define REG_NONE 0u
#define REG_SZ 1u
#define REG_EXPAND_SZ 2u
#define REG_BINARY 3u
#define REG_DWORD 4u
#define REG_MULTI_SZ 7u

#define MB_OK 0x0u
#define IDOK 1

#define TH32CS_SNAPPROCESS 0x2u

#define WAIT_OBJECT_0 0u
#define WAIT_FAILED 0xFFFFFFFFu

// Layouts match the 32-bit Windows records byte for byte in size, so the
// sizes the launcher hands to the platform are the real ones. Pointer-sized
// fields the launcher never reads are kept as 32-bit slots.
typedef struct tagSTARTUPINFOA {
    DWORD cb;
    DWORD lpReserved;
    DWORD lpDesktop;
    DWORD lpTitle;
    DWORD dwX;
    DWORD dwY;
    DWORD dwXSize;
    DWORD dwYSize;
    DWORD dwXCountChars;
    DWORD dwYCountChars;
    DWORD dwFillAttribute;
    DWORD dwFlags;
    WORD wShowWindow;
    WORD cbReserved2;
    DWORD lpReserved2;
    DWORD hStdInput;
    DWORD hStdOutput;
    DWORD hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct tagPROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

typedef struct tagPROCESSENTRY32 {
    DWORD dwSize;
    DWORD cntUsage;
    DWORD th32ProcessID;
    DWORD th32DefaultHeapID;
    DWORD th32ModuleID;
    DWORD cntThreads;
    DWORD th32ParentProcessID;
    LONG pcPriClassBase;
    DWORD dwFlags;
    CHAR szExeFile[MAX_PATH];
} PROCESSENTRY32, *LPPROCESSENTRY32;

typedef struct tagSECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

extern "C" {

// advapi32
LONG WINAPI RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access, PHKEY result);
LONG WINAPI RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                             LPBYTE data, LPDWORD size);
LONG WINAPI RegCloseKey(HKEY key);

// kernel32
LPSTR WINAPI lstrcatA(LPSTR dest, LPCSTR src);
BOOL WINAPI CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                           LPSECURITY_ATTRIBUTES processAttributes,
                           LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                           DWORD creationFlags, LPVOID environment, LPCSTR currentDirectory,
                           LPSTARTUPINFOA startupInfo,
                           LPPROCESS_INFORMATION processInformation);
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL WINAPI CloseHandle(HANDLE handle);
BOOL WINAPI TerminateProcess(HANDLE process, UINT exitCode);
HANDLE WINAPI CreateToolhelp32Snapshot(DWORD flags, DWORD processId);
BOOL WINAPI Process32Next(HANDLE snapshot, LPPROCESSENTRY32 entry);
HANDLE WINAPI OpenProcess(DWORD access, BOOL inheritHandle, DWORD processId);
void WINAPI Sleep(DWORD milliseconds);
DWORD WINAPI GetLastError(void);

// user32
int WINAPI MessageBoxA(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

}  // extern "C"

#endif  // _WIN32

#endif  // PLATFORM_WIN32_H
