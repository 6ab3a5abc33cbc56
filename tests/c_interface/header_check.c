/* vantorelle_c.h compiles on its own, as C99 and as C++11 (this file renamed
 * by the compiler's -x c++), and its pointer types match its functions: an
 * assignment between incompatible types is an error under -Werror. */
#include "vantorelle/vantorelle_c.h"

#ifdef __cplusplus
#define VT_UNUSED_ARRAY(name) static_cast<void>(name)
#else
#define VT_UNUSED_ARRAY(name) (void)(name)
#endif

int vt_header_check(void);

int vt_header_check(void) {
    vtcGetAbiVersionFn abi = vtcGetAbiVersion;
    vtcGetVersionStringFn version = vtcGetVersionString;
    vtcStartFn start = vtcStart;
    vtcStopFn stop = vtcStop;
    vtcSendKeyFn key = vtcSendKey;
    vtcSendInfoFn info = vtcSendInfo;
    vtcGetStateFn state = vtcGetState;
    vtcGetLogPathFn path = vtcGetLogPath;
    vtcStatusNameFn name = vtcStatusName;
    vtcState s;
    vtc_status codes[] = {VTC_OK, VTC_NO_CONTROLLER, VTC_USER_ID_ZERO, VTC_ALREADY_RECORDING, VTC_LOG_FAILED,
                          VTC_WORKER_FAILED, VTC_INVALID_ARGUMENT, VTC_IGNORED, VTC_BUFFER_TOO_SMALL,
                          VTC_STRUCT_SIZE, VTC_INTERNAL, VTC_RECORD_LOST};
    size_t nts = VTC_NTS;
    uint32_t want = VTC_ABI_VERSION;
    int soft = VTC_IS_SOFT(codes[7]);
    s.structSize = (uint32_t)sizeof s;
    VT_UNUSED_ARRAY(codes);
    return (abi != 0) + (version != 0) + (start != 0) + (stop != 0) + (key != 0) + (info != 0) + (state != 0) +
           (path != 0) + (name != 0) + (nts != 0) + (VTC_ABI_MAJOR(want) == VTC_ABI_VERSION_MAJOR) +
           (VTC_ABI_MINOR(want) == VTC_ABI_VERSION_MINOR) + soft + (int)s.structSize;
}
