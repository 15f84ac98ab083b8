// Finds each message box captioned "Error", logs its text and where it is on
// the screen, and dismisses it with OK after E2E_BOX_DELAY_MS (default 200).
// Runs until it is ended.
#include "e2e/common.h"

#include <stdlib.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char setting[32];
    DWORD delayMs = 200;
    if (GetEnvironmentVariableA("E2E_BOX_DELAY_MS", setting, sizeof setting) - 1 < sizeof setting - 1)
        delayMs = strtoul(setting, NULL, 10);

    for (;;) {
        HWND box = FindWindowA(NULL, "Error");
        if (box == NULL) {
            Sleep(250);  // few window lookups: each is costly under an emulated CPU
            continue;
        }
        DWORD owner = 0;
        GetWindowThreadProcessId(box, &owner);
        char text[512] = "";
        // A message box keeps its text in the static control with id 0xFFFF.
        GetDlgItemTextA(box, 0xFFFF, text, sizeof text);
        LogEvent("box", "Error", owner, text);
        RECT frame;
        if (GetWindowRect(box, &frame)) {
            char where[64];
            _snprintf(where, sizeof where - 1, "x=%ld y=%ld w=%ld h=%ld", frame.left, frame.top,
                      frame.right - frame.left, frame.bottom - frame.top);
            where[sizeof where - 1] = '\0';
            LogEvent("boxat", "Error", owner, where);
        }
        Sleep(delayMs);
        for (int tries = 0; IsWindow(box); ++tries) {
            if (tries % 200 == 0)
                PostMessageA(box, WM_COMMAND, IDOK, 0);
            Sleep(5);
        }
        LogEvent("dismissed", "Error", owner);
    }
}
