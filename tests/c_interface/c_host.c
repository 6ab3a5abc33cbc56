/* A host in plain C that loads the library at run time, as a game client
 * built with any compiler would, and runs the sequence against it:
 *
 *   c_host LIBRARY
 *
 * Exit 0 when every name resolved and every check held. On Windows it is
 * built with mingw gcc as C and needs no C++ runtime. */
#include "sequence.h"

#include <stdio.h>

#if defined(_WIN32)
#include <windows.h>
typedef HMODULE library;
static library load(const char* path) { return LoadLibraryA(path); }
static void* symbol(library lib, const char* name) { return (void*)GetProcAddress(lib, name); }
static int directory_exists(void) {
    DWORD a = GetFileAttributesW(L"" SEQ_LOG_ROOT "\\Prot\u00f6kolle-\u65e5\u672c");
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}
#else
#include <dlfcn.h>
#include <sys/stat.h>
typedef void* library;
static library load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static void* symbol(library lib, const char* name) { return dlsym(lib, name); }
static int directory_exists(void) {
    struct stat st;
    return stat(SEQ_LOG_ROOT "/" SEQ_LOG_DIR_NAME, &st) == 0 && S_ISDIR(st.st_mode);
}
#endif

static void write_text(const char* text) {
    fputs(text, stdout);
    fflush(stdout);
}

int main(int argc, char** argv) {
    static const char* const names[] = {"vtcGetAbiVersion", "vtcGetVersionString", "vtcStart", "vtcStop",
                                        "vtcSendKey", "vtcSendInfo", "vtcGetState", "vtcGetLogPath",
                                        "vtcStatusName"};
    void* found[9];
    vtc_api api;
    host_ops ops;
    library lib;
    int i, missing = 0;

    if (argc < 2) {
        fputs("usage: c_host LIBRARY\n", stderr);
        return 2;
    }
    lib = load(argv[1]);
    if (!lib) {
        fprintf(stderr, "c host: cannot load %s\n", argv[1]);
        return 2;
    }
    for (i = 0; i < 9; ++i) {
        found[i] = symbol(lib, names[i]);
        if (!found[i]) {
            fprintf(stderr, "c host: %s does not resolve\n", names[i]);
            missing = 1;
        }
    }
    if (missing) return 3;
    /* Function pointers from object pointers, as dlsym and GetProcAddress give them. */
#define TAKE(field, type, k) *(void**)&api.field = found[k]
    TAKE(getAbiVersion, vtcGetAbiVersionFn, 0);
    TAKE(getVersionString, vtcGetVersionStringFn, 1);
    TAKE(start, vtcStartFn, 2);
    TAKE(stop, vtcStopFn, 3);
    TAKE(sendKey, vtcSendKeyFn, 4);
    TAKE(sendInfo, vtcSendInfoFn, 5);
    TAKE(getState, vtcGetStateFn, 6);
    TAKE(getLogPath, vtcGetLogPathFn, 7);
    TAKE(statusName, vtcStatusNameFn, 8);
    ops.write = write_text;
    ops.directoryExists = directory_exists;
    printf("library %s, C interface %u.%u\n", api.getVersionString(), (unsigned)VTC_ABI_MAJOR(api.getAbiVersion()),
           (unsigned)VTC_ABI_MINOR(api.getAbiVersion()));
    return run_sequence(&api, &ops) == 0 ? 0 : 1;
}
