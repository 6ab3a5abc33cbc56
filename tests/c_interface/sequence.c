#include "sequence.h"

static size_t text_size(const char* s) {
    size_t n = 0;
    while (s[n]) ++n;
    return n;
}

/* v / 10 and v % 10 by shifts alone: a 32-bit host without a C runtime has
 * no helper for 64-bit division. */
static uint64_t divide_by_ten(uint64_t v, unsigned* rest) {
    uint64_t q = 0;
    unsigned r = 0;
    int bit;
    for (bit = 63; bit >= 0; --bit) {
        r = (r << 1) | (unsigned)((v >> bit) & 1u);
        q <<= 1;
        if (r >= 10) {
            r -= 10;
            q |= 1u;
        }
    }
    *rest = r;
    return q;
}

/* Appends the decimal digits of v to out (at least 24 bytes free). */
static void append_number(char* out, uint64_t v) {
    char digits[24];
    int n = 0;
    unsigned r;
    char* end = out + text_size(out);
    do {
        v = divide_by_ten(v, &r);
        digits[n++] = (char)('0' + r);
    } while (v && n < 24);
    while (n) *end++ = digits[--n];
    *end = '\0';
}

static int same_text(const char* a, const char* b) {
    size_t i = 0;
    if (!a || !b) return 0;
    while (a[i] && a[i] == b[i]) ++i;
    return a[i] == b[i];
}

static void append(char* out, size_t size, const char* text) {
    size_t used = text_size(out), i = 0;
    while (text[i] && used + 1 < size) out[used++] = text[i++];
    out[used] = '\0';
}

/* The check's number and what it expected, when it did not hold. */
static int fail(const host_ops* ops, int step, const char* what, uint64_t got) {
    char line[256];
    line[0] = '\0';
    append(line, sizeof line, "c host: check ");
    append_number(line, (uint64_t)step);
    append(line, sizeof line, " failed: ");
    append(line, sizeof line, what);
    append(line, sizeof line, " (got ");
    append_number(line, got);
    append(line, sizeof line, ")\n");
    ops->write(line);
    return step;
}

#define EXPECT_STATUS(step, call, want)                                      \
    do {                                                                     \
        vtc_status got_ = (call);                                            \
        if (got_ != (want)) return fail(ops, step, #call " == " #want, (uint64_t)(uint32_t)got_); \
    } while (0)
#define EXPECT_TRUE(step, cond, value)                                       \
    do {                                                                     \
        if (!(cond)) return fail(ops, step, #cond, (uint64_t)(value));       \
    } while (0)

static int state_of(const vtc_api* api, vtcState* s) {
    unsigned char* p = (unsigned char*)s;
    size_t i;
    for (i = 0; i < sizeof *s; ++i) p[i] = 0xAB;
    s->structSize = (uint32_t)sizeof *s;
    return api->getState(s);
}

int run_sequence(const vtc_api* api, const host_ops* ops) {
    static const char key[] = SEQ_KEY_NAME;
    static const char value[] = SEQ_FACT_VALUE;
    char dir[256], path[1024], line[1200];
    size_t required = 0, again = 0;
    vtcState s;
    const char* version;

    EXPECT_TRUE(1, api->getAbiVersion && api->getVersionString && api->start && api->stop && api->sendKey &&
                       api->sendInfo && api->getState && api->getLogPath && api->statusName, 0);
    EXPECT_TRUE(2, VTC_ABI_MAJOR(api->getAbiVersion()) == VTC_ABI_VERSION_MAJOR, api->getAbiVersion());
    /* This host calls vtcStatusName, which came with minor 1. */
    EXPECT_TRUE(40, VTC_ABI_MINOR(api->getAbiVersion()) >= 1 && VTC_ABI_MINOR(VTC_ABI_VERSION) >= 1,
                api->getAbiVersion());
    EXPECT_TRUE(41, same_text(api->statusName(VTC_OK), "VTC_OK"), 0);
    EXPECT_TRUE(42, same_text(api->statusName(VTC_ALREADY_RECORDING), "VTC_ALREADY_RECORDING"), 0);
    EXPECT_TRUE(43, same_text(api->statusName(VTC_RECORD_LOST), "VTC_RECORD_LOST"), 0);
    EXPECT_TRUE(44,
                same_text(api->statusName(12), "unknown status") && same_text(api->statusName(-1), "unknown status") &&
                    same_text(api->statusName(300), "unknown status"),
                0);
    /* Today's soft outcomes, and the ranges a later version adds codes in. */
    EXPECT_TRUE(45, VTC_IS_SOFT(VTC_IGNORED) && VTC_IS_SOFT(VTC_BUFFER_TOO_SMALL) && VTC_IS_SOFT(VTC_RECORD_LOST) &&
                        VTC_IS_SOFT(256) && VTC_IS_SOFT(511),
                0);
    EXPECT_TRUE(46, !VTC_IS_SOFT(VTC_OK) && !VTC_IS_SOFT(VTC_ALREADY_RECORDING) && !VTC_IS_SOFT(VTC_INTERNAL) &&
                        !VTC_IS_SOFT(12) && !VTC_IS_SOFT(255) && !VTC_IS_SOFT(512) && !VTC_IS_SOFT(-1),
                0);
    version = api->getVersionString();
    EXPECT_TRUE(3, version && version[0] >= '0' && version[0] <= '9', 0);

    EXPECT_STATUS(4, state_of(api, &s), VTC_OK);
    EXPECT_TRUE(5, s.recording == 0 && s.logOpen == 0, s.recording);
    EXPECT_STATUS(6, api->start(0, 47, 0x7F000002u, 0, SEQ_LOG_ROOT, VTC_NTS), VTC_USER_ID_ZERO);
    EXPECT_STATUS(7, api->start(12, 47, 0x7F000002u, 0, 0, 5), VTC_INVALID_ARGUMENT);

    dir[0] = '\0';
    append(dir, sizeof dir, SEQ_LOG_ROOT);
#if defined(_WIN32)
    append(dir, sizeof dir, "\\");
#else
    append(dir, sizeof dir, "/");
#endif
    append(dir, sizeof dir, SEQ_LOG_DIR_NAME);
    EXPECT_STATUS(8, api->start(12, 47, 0x7F000002u, 0, dir, VTC_NTS), VTC_OK);
    EXPECT_STATUS(9, api->start(12, 48, 0x7F000002u, 0, dir, text_size(dir)), VTC_ALREADY_RECORDING);

    EXPECT_STATUS(10, state_of(api, &s), VTC_OK);
    EXPECT_TRUE(11, s.structSize == sizeof s && s.recording == 1 && s.logOpen == 1 && s.reserved == 0,
                s.recording);
    EXPECT_TRUE(12, s.recordings >= 1, s.recordings);
    EXPECT_TRUE(13, s.recordsWritten >= 5, s.recordsWritten);
    EXPECT_TRUE(14, s.recordsLost == 0, s.recordsLost);

    EXPECT_STATUS(15, api->sendKey(65, key, sizeof key - 1), VTC_OK);
    EXPECT_STATUS(16, api->sendInfo(SEQ_FACT_NAME, VTC_NTS, value, sizeof value - 1), VTC_OK);
    EXPECT_STATUS(17, api->sendKey(0, key, VTC_NTS), VTC_INVALID_ARGUMENT);
    EXPECT_STATUS(18, api->sendKey(1, 0, 3), VTC_INVALID_ARGUMENT);
    EXPECT_STATUS(19, api->sendInfo("n", 1, "\xC0\xAF", 2), VTC_INVALID_ARGUMENT);

    EXPECT_STATUS(20, api->getLogPath(0, 0, &required), VTC_OK);
    EXPECT_TRUE(21, required > text_size(dir) + 1 && required <= sizeof path, required);
    path[0] = 'x';
    EXPECT_STATUS(22, api->getLogPath(path, required - 1, &again), VTC_BUFFER_TOO_SMALL);
    EXPECT_TRUE(23, again == required && path[0] == '\0', again);
    EXPECT_STATUS(24, api->getLogPath(path, sizeof path, &again), VTC_OK);
    EXPECT_TRUE(25, again == required && text_size(path) + 1 == required, text_size(path));
    EXPECT_TRUE(26, ops->directoryExists(), 0);

    EXPECT_STATUS(27, api->stop(), VTC_OK);
    EXPECT_STATUS(28, state_of(api, &s), VTC_OK);
    EXPECT_TRUE(29, s.recording == 0 && s.logOpen == 0, s.recording);
    EXPECT_TRUE(30, s.recordsWritten >= 8, s.recordsWritten); /* start, 3 identifiers, volume, key, fact, stop */
    EXPECT_STATUS(31, api->sendKey(1, "late", VTC_NTS), VTC_IGNORED);
    EXPECT_STATUS(32, api->getLogPath(path + 512, 512, &again), VTC_IGNORED);
    EXPECT_STATUS(33, api->stop(), VTC_OK);

    line[0] = '\0';
    append(line, sizeof line, "records: ");
    append_number(line, s.recordsWritten);
    append(line, sizeof line, "\nlog: ");
    append(line, sizeof line, path);
    append(line, sizeof line, "\n");
    ops->write(line);
    return 0;
}
