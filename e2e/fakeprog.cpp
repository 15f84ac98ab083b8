// Stands in for the add-on, MSN Messenger, Windows Messenger or a planted
// program, by the name it is installed under. It is started without
// arguments, so it takes its behaviour from a file beside it with the same
// name and ".cfg" for ".exe":
//   life_ms=N          end by itself after N ms (absent: run until ended)
//   spawn=D C:\x\y.exe start that program D ms after this one started
#include "e2e/common.h"

#include <stdlib.h>

namespace {

struct Spawn {
    DWORD delayMs;
    char path[MAX_PATH];
};

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char self[MAX_PATH];
    const char* name;
    OwnName(self, sizeof self, &name);
    LogEvent("start", name, GetCurrentProcessId(), GetCommandLineA(),
             ProcessTime(GetCurrentProcess(), false));
    const long long started = NowMicroseconds();

    char config[MAX_PATH];
    lstrcpynA(config, self, sizeof config);
    char* dot = strrchr(config, '.');
    if (dot != NULL && dot + 4 < config + sizeof config)
        lstrcpyA(dot, ".cfg");

    long lifeMs = -1;
    Spawn spawns[8];
    int spawnCount = 0;
    FILE* file = fopen(config, "r");
    if (file != NULL) {
        char line[MAX_PATH + 32];
        while (fgets(line, sizeof line, file)) {
            line[strcspn(line, "\r\n")] = '\0';
            if (strncmp(line, "life_ms=", 8) == 0) {
                lifeMs = atol(line + 8);
            } else if (strncmp(line, "spawn=", 6) == 0 && spawnCount < 8) {
                char* rest;
                spawns[spawnCount].delayMs = strtoul(line + 6, &rest, 10);
                while (*rest == ' ')
                    ++rest;
                lstrcpynA(spawns[spawnCount].path, rest, MAX_PATH);
                ++spawnCount;
            }
        }
        fclose(file);
    }

    for (int i = 0; i < spawnCount; ++i) {
        long long due = started + static_cast<long long>(spawns[i].delayMs) * 1000;
        long long now = NowMicroseconds();
        if (due > now)
            Sleep(static_cast<DWORD>((due - now) / 1000));
        // Under load Wine now and then loses a start (error 1359): only that is tried again.
        HANDLE spawned = StartQuoted(spawns[i].path);
        for (int tries = 1; spawned == NULL && tries < 3 && GetLastError() == ERROR_INTERNAL_ERROR;
             ++tries)
            spawned = StartQuoted(spawns[i].path);
        if (spawned != NULL)
            CloseHandle(spawned);
    }

    if (lifeMs < 0) {
        Sleep(INFINITE);
    } else {
        long long due = started + static_cast<long long>(lifeMs) * 1000;
        long long now = NowMicroseconds();
        if (due > now)
            Sleep(static_cast<DWORD>((due - now) / 1000));
    }
    LogEvent("end", name, GetCurrentProcessId());
    return 0;
}
