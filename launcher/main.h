// The launcher's steps, one function each, called in order by WinMain.
#ifndef LAUNCHER_MAIN_H
#define LAUNCHER_MAIN_H

#include "platform/win32.h"

// One executable path, ANSI, zero-terminated. 256 bytes is the limit on
// every composed path, terminator included.
const DWORD kPathBufferSize = 256;
typedef char PathBuffer[kPathBufferSize];

// Fill the buffer with the add-on's / MSN Messenger's executable path and
// return it. The path is empty when no usable install location is recorded.
PathBuffer& GetVendrelPath(PathBuffer& path);
PathBuffer& GetMSNPath(PathBuffer& path);

// Start the add-on and hand its process handle to the caller, who must
// release it; null when the start failed (the user has been told).
HANDLE ExecCmdHandle(const PathBuffer& cmdLine);

// Start MSN Messenger and return once it has ended, or once the user has
// dismissed the failure message.
void ExecCmdWait(const PathBuffer& cmdLine);

// Return once no MSN Messenger or Windows Messenger process is left.
void WaitForOtherMSN();

#ifndef _WIN32
int WINAPI WinMain(HINSTANCE instance, HINSTANCE prevInstance, LPSTR cmdLine, int showCmd);
#endif

#endif  // LAUNCHER_MAIN_H
