/* A host with the MSVC ABI and no C runtime at all: built by clang for the
 * *-pc-windows-msvc targets (-ffreestanding -nostdinc, the compiler's own
 * headers) and linked by lld-link against the kit's vantorelle.lib. It calls
 * the C interface through the import library, so a wrong .def, import library
 * or calling convention shows here. Exit 0 when the sequence held. */
#include "sequence.h"

#include <stddef.h>

/* The four kernel32 functions it needs, declared as Windows does. */
typedef void* HANDLE;
#define STD_OUTPUT_HANDLE ((unsigned long)-11)
#define INVALID_FILE_ATTRIBUTES ((unsigned long)-1)
#define FILE_ATTRIBUTE_DIRECTORY 0x10ul
__declspec(dllimport) HANDLE __stdcall GetStdHandle(unsigned long which);
__declspec(dllimport) int __stdcall WriteFile(HANDLE file, const void* data, unsigned long size,
                                              unsigned long* written, void* overlapped);
__declspec(dllimport) unsigned long __stdcall GetFileAttributesW(const wchar_t* name);
__declspec(dllimport) void __stdcall ExitProcess(unsigned int code);

/* What a compiler may call even in a freestanding program. */
void* memset(void* to, int c, size_t n) {
    volatile unsigned char* p = (volatile unsigned char*)to;
    while (n--) *p++ = (unsigned char)c;
    return to;
}
void* memcpy(void* to, const void* from, size_t n) {
    volatile unsigned char* p = (volatile unsigned char*)to;
    const unsigned char* q = (const unsigned char*)from;
    while (n--) *p++ = *q++;
    return to;
}

static void write_text(const char* text) {
    unsigned long n = 0, written = 0;
    while (text[n]) ++n;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, n, &written, 0);
}

static int directory_exists(void) {
    unsigned long a = GetFileAttributesW(L"" SEQ_LOG_ROOT "\\Prot\u00f6kolle-\u65e5\u672c");
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

void __cdecl entry(void) {
    vtc_api api;
    host_ops ops;
    api.getAbiVersion = vtcGetAbiVersion;
    api.getVersionString = vtcGetVersionString;
    api.start = vtcStart;
    api.stop = vtcStop;
    api.sendKey = vtcSendKey;
    api.sendInfo = vtcSendInfo;
    api.getState = vtcGetState;
    api.getLogPath = vtcGetLogPath;
    api.statusName = vtcStatusName;
    ops.write = write_text;
    ops.directoryExists = directory_exists;
    write_text("msvc host: library ");
    write_text(vtcGetVersionString());
    write_text("\n");
    ExitProcess(run_sequence(&api, &ops) == 0 ? 0u : 1u);
}
