/* The sequence every C-level host runs against the library: the same calls,
 * checks and messages whether the host loads the library at run time (the C
 * host) or links its import library (the MSVC-ABI host). Freestanding C99: it
 * uses no C library, so a host without one can run it. */
#ifndef VT_TESTS_C_INTERFACE_SEQUENCE_H
#define VT_TESTS_C_INTERFACE_SEQUENCE_H

#include "vantorelle/vantorelle_c.h"

typedef struct vtc_api {
    vtcGetAbiVersionFn getAbiVersion;
    vtcGetVersionStringFn getVersionString;
    vtcStartFn start;
    vtcStopFn stop;
    vtcSendKeyFn sendKey;
    vtcSendInfoFn sendInfo;
    vtcGetStateFn getState;
    vtcGetLogPathFn getLogPath;
    vtcStatusNameFn statusName;
} vtc_api;

typedef struct host_ops {
    /* Writes a text to the host's output. */
    void (*write)(const char* text);
    /* 1 when the directory the sequence records into exists under its
     * UTF-16 name (Windows) or its UTF-8 bytes (elsewhere). */
    int (*directoryExists)(void);
} host_ops;

/* The directory the sequence records into, relative to the working
 * directory: "c-host-logs", then "Protökolle-日本" in UTF-8. */
#define SEQ_LOG_ROOT "c-host-logs"
#define SEQ_LOG_DIR_NAME "Prot\xC3\xB6kolle-\xE6\x97\xA5\xE6\x9C\xAC"
/* The key name and fact the log must hold byte for byte. */
#define SEQ_KEY_NAME "\xC3\x84pfel-\xE6\x97\xA5"
#define SEQ_FACT_NAME "Karte"
#define SEQ_FACT_VALUE "H\xC3\xA4" "fen-\xF0\x9F\x8E\xAE"

/* Runs the sequence; 0 when every check held, else the number of the first
 * check that failed (its message written before). Writes "log: PATH" on
 * success. */
int run_sequence(const vtc_api* api, const host_ops* ops);

#endif
