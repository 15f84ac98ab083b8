// Times the launcher's own scan for remaining messengers with N other
// processes running: starts N idle copies of the program given, then calls
// WaitForOtherMSN (which, with no messenger running, makes exactly one scan)
// K times, and prints the mean and worst time of one scan.
//   scanbench.exe <idle program> <N> <K>
#include "launcher/main.h"
#include "e2e/common.h"

#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: scanbench <idle program> <processes> <scans>\n");
        return 2;
    }
    const int count = atoi(argv[2]);
    const int scans = atoi(argv[3]);
    HANDLE* idle = static_cast<HANDLE*>(calloc(count > 0 ? count : 1, sizeof(HANDLE)));
    int started = 0;
    for (int i = 0; i < count; ++i) {
        HANDLE process = StartQuoted(argv[1]);
        if (process != NULL)
            idle[started++] = process;
    }
    Sleep(2000 + 10 * count);  // let every one of them finish starting

    LARGE_INTEGER frequency, before, after;
    QueryPerformanceFrequency(&frequency);
    double total = 0, worst = 0;
    for (int i = 0; i < scans; ++i) {
        QueryPerformanceCounter(&before);
        WaitForOtherMSN();
        QueryPerformanceCounter(&after);
        const double us = (after.QuadPart - before.QuadPart) * 1e6 / frequency.QuadPart;
        total += us;
        if (us > worst)
            worst = us;
    }
    printf("processes=%d scans=%d mean_us=%.1f worst_us=%.1f\n", started, scans, total / scans,
           worst);
    fflush(stdout);

    for (int i = 0; i < started; ++i) {
        TerminateProcess(idle[i], 0);
        CloseHandle(idle[i]);
    }
    free(idle);
    return 0;
}
