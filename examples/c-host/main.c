/* A game client in miniature, in plain C, on the C interface: starts a
 * recording, reports a key press and a fact, lets the library watch the
 * machine for a few seconds, polls its state, stops, and prints the log's path.
 *
 *   c-host LOG_DIR [SECONDS]      (LOG_DIR in UTF-8)
 *
 * Exits 0, or 1 with the status code when the library refuses. */
#include <vantorelle/vantorelle_c.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#if defined(_WIN32)
#include <windows.h>
static void sleep_seconds(int s) { Sleep((DWORD)s * 1000u); }
#else
#include <unistd.h>
static void sleep_seconds(int s) { sleep((unsigned)s); }
#endif

static int failed(const char* what, vtc_status status) {
    fprintf(stderr, "c-host: %s returned %d\n", what, (int)status);
    return 1;
}

int main(int argc, char** argv) {
    const int seconds = argc > 2 ? atoi(argv[2]) : 3;
    vtcState state;
    char path[4096];
    vtc_status s;

    if (argc < 2) {
        fputs("usage: c-host LOG_DIR [SECONDS]\n", stderr);
        return 2;
    }
    /* A library of another major version has another interface. */
    if (VTC_ABI_MAJOR(vtcGetAbiVersion()) != VTC_ABI_VERSION_MAJOR) {
        fprintf(stderr, "c-host: library %s has C interface %u, this host was built for %u\n",
                vtcGetVersionString(), (unsigned)VTC_ABI_MAJOR(vtcGetAbiVersion()), (unsigned)VTC_ABI_VERSION_MAJOR);
        return 1;
    }
    s = vtcStart(21, 4, 0x7F000002u /* 127.0.0.2 */, (uint32_t)time(NULL), argv[1], VTC_NTS);
    if (s != VTC_OK) return failed("vtcStart", s);
    if ((s = vtcSendKey(87, "W", VTC_NTS)) != VTC_OK) return failed("vtcSendKey", s);
    if ((s = vtcSendInfo("Map", 3, "example", 7)) != VTC_OK) return failed("vtcSendInfo", s);
    if ((s = vtcGetLogPath(path, sizeof path, NULL)) != VTC_OK) return failed("vtcGetLogPath", s);
    sleep_seconds(seconds);

    state.structSize = sizeof state;
    if ((s = vtcGetState(&state)) != VTC_OK) return failed("vtcGetState", s);
    fprintf(stderr, "c-host: %llu records written, %llu lost\n", (unsigned long long)state.recordsWritten,
            (unsigned long long)state.recordsLost);
    if ((s = vtcStop()) != VTC_OK) return failed("vtcStop", s);
    printf("%s\n", path);
    return 0;
}
