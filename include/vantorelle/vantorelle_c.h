/*
 * vantorelle: match monitoring for game clients. The C interface.
 *
 * For a host built with any compiler or in any language: MSVC, clang, gcc,
 * mingw-w64, C# through P/Invoke, Python through ctypes, anything with a
 * foreign-function interface. It passes only integers, pointers to bytes with
 * their lengths and one plain structure, so nothing depends on the host's C or
 * C++ runtime. It lives beside the six C++ exports of vantorelle.h in the same
 * library (vantorelle.dll, libvantorelle.so) and drives the same recordings;
 * vantorelle.h needs the library's own compiler, standard library and Boost,
 * this header needs nothing but <stddef.h> and <stdint.h>.
 *
 * A recording, as a host makes one:
 *
 *     if (VTC_ABI_MAJOR(vtcGetAbiVersion()) != VTC_ABI_VERSION_MAJOR) give up;
 *     vtcStart(userId, matchId, server, (uint32_t)time(NULL), "logs", VTC_NTS);
 *     vtcSendKey(87, "W", VTC_NTS);                    any number of these,
 *     vtcSendInfo("Map", 3, "harbour", 7);              from any thread
 *     vtcStop();
 *
 * Texts. Every text is UTF-8, given as a pointer and a length in bytes; the
 * length VTC_NTS means the text ends at its first NUL. The library copies what
 * it needs before the call returns and keeps no pointer of the host's. It
 * refuses (VTC_INVALID_ARGUMENT) a text that is not valid UTF-8 or holds a NUL
 * within its length, and a null pointer with a length other than 0 or VTC_NTS;
 * a null pointer with 0 or VTC_NTS is the empty text. The log holds the exact
 * bytes of the names and values, except that control characters (below 0x20,
 * and 0x7F) are written as '?', as the log writes every text.
 *
 * The log directory. On Windows the directory's UTF-8 text is converted to
 * UTF-16 and the directory and file are made with the wide system calls, so
 * any name works whatever the system's ANSI code page (vtStart of vantorelle.h
 * takes an ANSI text instead). On Linux UTF-8 is the file system's own
 * encoding. The directory is created if it does not exist and its parent does.
 *
 * Memory. The library allocates nothing that the host must free: results come
 * in the host's own structure and buffer, and vtcGetVersionString returns a
 * text that lives as long as the library.
 *
 * Threads. Any function may be called from any thread at any time, except
 * from DllMain, a TLS callback or a global destructor (on Linux: a
 * destructor of a static object or an atexit handler). vtcStart and vtcStop
 * run one at a time, and so do vtStart and vtStop of vantorelle.h with them:
 * a start racing a start or a stop on another thread, through either
 * interface, waits for it and then sees its outcome. Keys and facts may come
 * from many threads at once while a recording runs. No exception leaves any
 * function: a failure inside becomes VTC_INTERNAL. There are no callbacks;
 * the host polls vtcGetState.
 *
 * Calling convention: cdecl on every target (the caller removes the
 * arguments), names undecorated (vtcStart, not _vtcStart@24). On Windows the
 * kit ships an import library for MSVC-style linkers (lib/vantorelle.lib) and
 * one for mingw-w64 (lib/libvantorelle.dll.a); a host may also load the DLL
 * with LoadLibrary and GetProcAddress, using the pointer types below.
 *
 * Status codes (vtc_status), the result of every function but the version
 * functions and vtcStatusName, which gives a code's name. 0 to 2 mean what
 * they mean for vtStart. A soft outcome ("soft" below) is no failure: the
 * call did all it could, the library and the recording are as they were, and
 * the host may go on as if it had not called. An error means the call did
 * not do what it was asked.
 *
 *   code  name                   kind   meaning
 *   0     VTC_OK                 done   done
 *   1     VTC_NO_CONTROLLER      error  the library has no controller (it
 *                                       failed to initialise, or is being
 *                                       unloaded)
 *   2     VTC_USER_ID_ZERO       error  vtcStart: userId is 0; nothing
 *                                       happened
 *   3     VTC_ALREADY_RECORDING  error  vtcStart: a recording runs already;
 *                                       it goes on unchanged
 *   4     VTC_LOG_FAILED         error  vtcStart: the log could not be
 *                                       created (the directory cannot be
 *                                       made or is not a directory, access
 *                                       denied, ten logs of this match in
 *                                       this second); no recording runs
 *   5     VTC_WORKER_FAILED      error  vtcStart: the worker thread could not
 *                                       start; the log that was opened has
 *                                       been closed again; no recording runs
 *   6     VTC_INVALID_ARGUMENT   error  an argument is out of its range: a
 *                                       text that is not UTF-8, holds a NUL
 *                                       or is null with a length; an empty
 *                                       key name or fact; a key code below 1;
 *                                       a null pointer where a result goes;
 *                                       nothing happened
 *   7     VTC_IGNORED            soft   vtcSendKey, vtcSendInfo,
 *                                       vtcGetLogPath: no recording with an
 *                                       open log runs (none runs, or it
 *                                       records without a directory); nothing
 *                                       was written
 *   8     VTC_BUFFER_TOO_SMALL   soft   vtcGetLogPath: the path and its NUL do
 *                                       not fit; *required says how many
 *                                       bytes do
 *   9     VTC_STRUCT_SIZE        error  vtcGetState: structSize is smaller
 *                                       than this version's vtcState
 *   10    VTC_INTERNAL           error  an unexpected failure inside the
 *                                       library (such as memory exhausted);
 *                                       the call had no effect, or only part
 *                                       of it (a start that failed this way
 *                                       runs no recording)
 *   11    VTC_RECORD_LOST        soft   vtcSendKey, vtcSendInfo: the log
 *                                       refused the record because the disk
 *                                       has not taken what the library holds
 *                                       for it (4 MiB); it is counted in
 *                                       recordsLost and the log notes the
 *                                       loss; the recording goes on
 *
 * Codes of later versions. A later minor version may add codes, only for
 * situations that this version reports with another code or does not have,
 * never in place of VTC_OK, and only in these ranges:
 *
 *   12 to 255    errors
 *   256 to 511   soft outcomes
 *
 * No version returns a negative code or one above 511. A host written today
 * therefore reads a code it does not know as an error, unless VTC_IS_SOFT
 * says it is soft (for 256 to 511: as it reads VTC_IGNORED).
 */
#ifndef VANTORELLE_VANTORELLE_C_H
#define VANTORELLE_VANTORELLE_C_H

#include <stddef.h>
#include <stdint.h>

/* The version of this interface: a host built with major M works with every
 * library whose VTC_ABI_MAJOR(vtcGetAbiVersion()) is M. A minor version only
 * adds: functions, status codes (in the ranges above), fields at the end of
 * vtcState. A host that calls a function of minor N checks that the
 * library's minor is at least N, or finds the function at run time.
 *   minor 0  the first eight functions
 *   minor 1  vtcStatusName; vtcStart and vtcStop serialised with vtStart and
 *            vtStop as well */
#define VTC_ABI_VERSION_MAJOR 1
#define VTC_ABI_VERSION_MINOR 1
#define VTC_ABI_VERSION ((uint32_t)(((uint32_t)VTC_ABI_VERSION_MAJOR << 16) | (uint32_t)VTC_ABI_VERSION_MINOR))

/* The major and minor numbers of a version such as vtcGetAbiVersion() gives. */
#define VTC_ABI_MAJOR(v) ((uint32_t)(v) >> 16)
#define VTC_ABI_MINOR(v) ((uint32_t)(v) & 0xFFFFu)

/* As a length: the text ends at its first NUL. */
#define VTC_NTS ((size_t)-1)

#if defined(_WIN32)
#define VTC_CALL __cdecl
#if defined(VANTORELLE_BUILDING)
#define VTC_API __declspec(dllexport)
#else
#define VTC_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define VTC_CALL
#define VTC_API __attribute__((visibility("default")))
#else
#define VTC_CALL
#define VTC_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t vtc_status;

#define VTC_OK 0
#define VTC_NO_CONTROLLER 1
#define VTC_USER_ID_ZERO 2
#define VTC_ALREADY_RECORDING 3
#define VTC_LOG_FAILED 4
#define VTC_WORKER_FAILED 5
#define VTC_INVALID_ARGUMENT 6
#define VTC_IGNORED 7
#define VTC_BUFFER_TOO_SMALL 8
#define VTC_STRUCT_SIZE 9
#define VTC_INTERNAL 10
#define VTC_RECORD_LOST 11

/* Nonzero when the status s (an int) is a soft outcome, today's or one a
 * later version adds; s is evaluated more than once. Any other nonzero code,
 * known or not, is an error. */
#define VTC_IS_SOFT(s) \
    ((s) == VTC_IGNORED || (s) == VTC_BUFFER_TOO_SMALL || (s) == VTC_RECORD_LOST || ((s) >= 256 && (s) <= 511))

/* What vtcGetState reports. The layout is the same on every target (40
 * bytes, no padding the compiler chooses); later minor versions only add
 * fields at the end. */
typedef struct vtcState {
    /* Set by the host before the call: sizeof(vtcState). The library fills
     * the fields of its own version that fit and leaves the rest alone. */
    uint32_t structSize;
    /* 1 while a recording runs, 0 otherwise. */
    uint32_t recording;
    /* 1 while a recording writes a log (it was started with a directory). */
    uint32_t logOpen;
    /* 0. */
    uint32_t reserved;
    /* Recordings started in this process (vtStart and vtcStart alike). */
    uint64_t recordings;
    /* Records the current log has taken, its start record included; after
     * the recording, those of its last log, the stop record included (a
     * recording without a directory leaves both counters as they were). */
    uint64_t recordsWritten;
    /* Records the current (or last) log refused while the disk was full. */
    uint64_t recordsLost;
} vtcState;

/* The layout, checked by the compiler of every host. */
typedef char vtc_check_state_size[sizeof(vtcState) == 40 ? 1 : -1];
typedef char vtc_check_state_counters[offsetof(vtcState, recordings) == 16 ? 1 : -1];
typedef char vtc_check_state_lost[offsetof(vtcState, recordsLost) == 32 ? 1 : -1];

/* (major << 16) | minor of the library's C interface; compare
 * VTC_ABI_MAJOR of it with VTC_ABI_VERSION_MAJOR. Never fails. */
VTC_API uint32_t VTC_CALL vtcGetAbiVersion(void);

/* The library's release, such as "1.0.0": a NUL-terminated text that lives as
 * long as the library. Never fails. */
VTC_API const char* VTC_CALL vtcGetVersionString(void);

/* The name of a status code, such as "VTC_LOG_FAILED": a NUL-terminated text
 * that lives as long as the library and is never null; "unknown status" for
 * a code this library does not have. Never fails; any thread. Since minor 1. */
VTC_API const char* VTC_CALL vtcStatusName(vtc_status status);

/* Starts a recording.
 *   userId         must not be 0 (VTC_USER_ID_ZERO)
 *   matchId        names the log file
 *   serverAddress  IPv4 address of the game server in host byte order
 *                  (127.0.0.1 is 0x7F000001); 0, 127.0.0.1 and
 *                  255.255.255.255 switch the ping off
 *   referenceTime  the host's time in seconds since 1970; above 2,000,000 it
 *                  corrects the log's time stamps
 *   logDirUtf8     the log's directory, UTF-8, len bytes (or VTC_NTS); an
 *                  empty text records without writing anything
 * Returns VTC_OK, VTC_NO_CONTROLLER, VTC_USER_ID_ZERO, VTC_INVALID_ARGUMENT,
 * VTC_ALREADY_RECORDING, VTC_LOG_FAILED, VTC_WORKER_FAILED or VTC_INTERNAL. */
VTC_API vtc_status VTC_CALL vtcStart(uint32_t userId, uint32_t matchId, uint32_t serverAddress,
                                     uint32_t referenceTime, const char* logDirUtf8, size_t len);

/* Ends the running recording, if any, and closes its log; when it returns,
 * nothing of that recording runs any more. VTC_OK whether or not a recording
 * ran; VTC_NO_CONTROLLER; VTC_INTERNAL. */
VTC_API vtc_status VTC_CALL vtcStop(void);

/* Logs a key press: keyCode at least 1 and a non-empty name; only the name is
 * written. VTC_OK when the log took the record; VTC_IGNORED, VTC_RECORD_LOST,
 * VTC_INVALID_ARGUMENT, VTC_NO_CONTROLLER, VTC_INTERNAL. */
VTC_API vtc_status VTC_CALL vtcSendKey(int32_t keyCode, const char* name, size_t len);

/* Logs a named fact; both texts non-empty. Results as vtcSendKey's. */
VTC_API vtc_status VTC_CALL vtcSendInfo(const char* name, size_t nameLen, const char* value, size_t valueLen);

/* Fills *s; the host sets s->structSize first. VTC_OK, VTC_INVALID_ARGUMENT
 * (s is null), VTC_STRUCT_SIZE, VTC_NO_CONTROLLER, VTC_INTERNAL. */
VTC_API vtc_status VTC_CALL vtcGetState(vtcState* s);

/* The open log's full path in UTF-8, NUL-terminated, into buf of size bytes.
 * *required (when required is not null) gets the bytes the path needs, its
 * NUL included, on VTC_OK and VTC_BUFFER_TOO_SMALL, and 0 otherwise. A null
 * buf (with size 0) only asks for the size: VTC_OK with *required set. On any
 * result but VTC_OK a buffer of at least one byte gets the empty text.
 * VTC_OK, VTC_IGNORED (no log is open), VTC_BUFFER_TOO_SMALL,
 * VTC_INVALID_ARGUMENT (buf null with a size, or buf and required both null),
 * VTC_NO_CONTROLLER, VTC_INTERNAL.
 * On Linux the path is the directory's bytes as the host gave them, so a
 * directory given to vtStart in another encoding comes back in it. */
VTC_API vtc_status VTC_CALL vtcGetLogPath(char* buf, size_t size, size_t* required);

/* Pointer types for hosts that load the library at run time. */
typedef uint32_t(VTC_CALL* vtcGetAbiVersionFn)(void);
typedef const char*(VTC_CALL* vtcGetVersionStringFn)(void);
typedef const char*(VTC_CALL* vtcStatusNameFn)(vtc_status);
typedef vtc_status(VTC_CALL* vtcStartFn)(uint32_t, uint32_t, uint32_t, uint32_t, const char*, size_t);
typedef vtc_status(VTC_CALL* vtcStopFn)(void);
typedef vtc_status(VTC_CALL* vtcSendKeyFn)(int32_t, const char*, size_t);
typedef vtc_status(VTC_CALL* vtcSendInfoFn)(const char*, size_t, const char*, size_t);
typedef vtc_status(VTC_CALL* vtcGetStateFn)(vtcState*);
typedef vtc_status(VTC_CALL* vtcGetLogPathFn)(char*, size_t, size_t*);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif
