/*
 * vantorelle: match monitoring for game clients.
 *
 * A host loads the library (vantorelle.dll on Windows, libvantorelle.so on
 * Linux) for the length of an online match. vtStart begins a recording: a
 * worker thread then writes every process start and end, every TCP connection
 * and UDP endpoint that opens or closes, adapter throughput, the round-trip
 * time to the game server and the machine's identifiers into an encrypted log
 * file. vtSendKey and vtSendInfo add the host's own observations. vtStop ends
 * the recording and closes the file.
 *
 * What host and library must share. vtSendKey and vtSendInfo take references
 * to std::string, and the two signal getters return Boost.Signals2 objects
 * that live inside the library. Build the host with the same compiler, the
 * same C++ standard library and the same Boost version (1.74) as the library,
 * so that these objects have one layout on both sides: on Windows, mingw-w64
 * g++ 12 with the posix thread model, of the host's width (i686 for a 32-bit
 * host, x86_64 for a 64-bit one); on Linux, the system g++ and Debian's
 * Boost. Do not let an exception leave a slot you connect to these signals.
 * A host built with any other compiler or in another language uses the C
 * interface of vantorelle_c.h instead, which drives the same recordings.
 *
 * Threads. Every export may be called from any thread at any moment. A
 * vtStart and a vtStop that meet are taken one after the other: a second
 * vtStart while a recording runs is refused. vtSendKey and vtSendInfo outside
 * a recording with an open log are ignored. No export throws.
 */
#ifndef VANTORELLE_VANTORELLE_H
#define VANTORELLE_VANTORELLE_H

#include <cstdint>
#include <string>

#include <boost/signals2/signal.hpp>

#if defined(_WIN32)
#define VT_CALL __cdecl
#if defined(VANTORELLE_BUILDING)
#define VT_API __declspec(dllexport)
#else
#define VT_API __declspec(dllimport)
#endif
#else
#define VT_CALL
#define VT_API __attribute__((visibility("default")))
#endif

/* Reserved for reports from the library to the host: (code, message). The
 * library never emits on it; slots you connect stay until the library is
 * unloaded. */
typedef boost::signals2::signal<void(int code, const std::string& message)> vtErrorSignal;
/* Reserved for facts from the library to the host: (name, value). The library
 * never emits on it either. */
typedef boost::signals2::signal<void(const std::string& name, const std::string& value)> vtInfoSignal;

extern "C" {

/* Starts a recording.
 *   userId         must not be 0
 *   matchId        names the log file
 *   serverAddress  IPv4 address of the game server in host byte order
 *                  (127.0.0.1 is 0x7F000001); 0, 127.0.0.1 and
 *                  255.255.255.255 switch the ping off
 *   referenceTime  the host's time in seconds since 1970; above 2,000,000 it
 *                  corrects the log's time stamps
 *   logDir         directory of the log (created if its parent exists); null
 *                  or empty records without writing anything
 * Returns 0 started, 1 the library has no controller, 2 userId is 0,
 * 3 refused or failed (a recording runs already, the log could not be
 * created, or the worker could not start). */
VT_API std::int32_t VT_CALL vtStart(std::uint32_t userId, std::uint32_t matchId, std::uint32_t serverAddress,
                                    std::uint32_t referenceTime, const char* logDir);

/* Ends the running recording (if any) and closes its log. Returns 0, or 1
 * when the library has no controller. */
VT_API std::int32_t VT_CALL vtStop();

/* Logs a key press: keyCode must be at least 1 and keyName not empty; only
 * the name is written. */
VT_API void VT_CALL vtSendKey(std::int32_t keyCode, const std::string& keyName);

/* Logs a named fact; both texts must be non-empty. */
VT_API void VT_CALL vtSendInfo(const std::string& name, const std::string& value);

/* The signal objects, valid until the library is unloaded; the same address
 * on every call; null when the library has no controller. */
VT_API vtErrorSignal* VT_CALL vtGetErrorSignal();
VT_API vtInfoSignal* VT_CALL vtGetInfoSignal();

} /* extern "C" */

/* Pointer types for hosts that load the library at run time. */
typedef std::int32_t(VT_CALL* vtStartFn)(std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t, const char*);
typedef std::int32_t(VT_CALL* vtStopFn)();
typedef void(VT_CALL* vtSendKeyFn)(std::int32_t, const std::string&);
typedef void(VT_CALL* vtSendInfoFn)(const std::string&, const std::string&);
typedef vtErrorSignal*(VT_CALL* vtGetErrorSignalFn)();
typedef vtInfoSignal*(VT_CALL* vtGetInfoSignalFn)();

#endif
