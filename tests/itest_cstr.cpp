// The text family's internals: the wide-load kernels at page ends, and the case table.
#include "support/test_support.h"

#include "qv_sys/cstr.h"
#include "qv_sys/io.h"
#include "qv_sys/sysmemory.h"

#include "cstr_config.h"
#include "cstr_internal.h"

#include <string.h>

#include <string>
#include <tuple>
#include <vector>

#if QV_CSTR_WIDE_LOADS
#include "cstr_simd.h"
#include "cstr_sse2.h"
#endif

namespace {

// The library's own guarded block of whole pages: what follows it is inaccessible.
struct GuardedPages {
    explicit GuardedPages(size_t pages) : size(pages * 4096) {}
    ~GuardedPages() { sys_mem_access_free(base); }
    // A text of `len` bytes of 'a' whose NUL is the last readable byte.
    char* text(size_t len) {
        char* t = base + size - 1 - len;
        memset(base, 'z', size);
        memset(t, 'a', len);
        t[len] = 0;
        return t;
    }
    size_t size;
    char* base = (char*)sys_mem_access_malloc(size);
};

struct Kernels {
    const char* name;
    sys_u64 (*strlen)(const char*);
    const char* (*strchr)(const char*, char);
    sys_i64 (*strncmp)(const char*, const char*, sys_u64);
    sys_i64 (*strcmp)(const char*, const char*);
    const char* (*strstr)(const char*, const char*);
};

// The library's dispatched entry points (the only ones in a build without wide loads), then each
// instruction set this processor has. The comparison alone has a third; its searches are AVX2's.
std::vector<Kernels> kernels_here() {
    std::vector<Kernels> all = {
        {"dispatched", sys_strlen, sys_strchr, sys_strncmp, sys_strcmp, sys_strstr}};
#if QV_CSTR_WIDE_LOADS
    all.push_back({"sse2", kernel_strlen<Sse2>, kernel_strchr<Sse2>, kernel_strncmp<Sse2>,
                   kernel_strcmp<Sse2>, kernel_strstr<Sse2>});
    if (__builtin_cpu_supports("avx2"))
        all.push_back({"avx2", cstr_avx2_strlen, cstr_avx2_strchr, cstr_avx2_strncmp,
                       cstr_avx2_strcmp, cstr_avx2_strstr});
    if (__builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw")) {
        all.push_back({"avx512", cstr_avx2_strlen, cstr_avx2_strchr, cstr_evex_strncmp,
                       cstr_evex_strcmp, cstr_avx2_strstr});
        all.push_back({"avx512 keeping upper halves", cstr_avx2_strlen, cstr_avx2_strchr,
                       cstr_evex_keep_upper_strncmp, cstr_evex_keep_upper_strcmp,
                       cstr_avx2_strstr});
    }
#endif
    return all;
}

// Each instruction set on texts ending right before an unmapped page, then on texts crossing a page
// boundary at every offset against one starting right after an unmapped page, with a difference
// and an n limit just before, at or after the boundary.
TEST(WideLoads, EveryInstructionSetStopsAtTheText) {
    GuardedPages pages3(3), guarded(2);
    ASSERT_TRUE(pages3.base && guarded.base);
    alignas(4096) static char pages[3 * 4096];
    auto expected = [](const char* a, const char* b, sys_u64 n) -> sys_i64 {
        for (sys_u64 i = 0; i < n; ++i) {
            const int x = (unsigned char)a[i], y = (unsigned char)b[i];
            if (x != y || x == 0)
                return x - y;
        }
        return 0;
    };
    // A shorter text compares as its NUL; differences are of unsigned bytes.
    const std::tuple<const char*, const char*, sys_i64> cases[] = {
        {"", "", 0},        {"ab", "abc", -'c'}, {"abc", "ab", 'c'},         {"\xff", "a", 158},
        {"a", "\x80", -31}, {"same", "same", 0}, {"abcz", "abcd", 'z' - 'd'}};
    const std::string long_ff(100000, '\xff');
    std::string other;
    char out[256];
    for (const Kernels& k : kernels_here()) {
        SCOPED_TRACE(k.name);
        EXPECT_EQ(k.strlen(long_ff.c_str()), 100000u);
        for (const auto& [a, b, difference] : cases) {
            EXPECT_EQ(k.strcmp(a, b), difference) << a << " / " << b;
            EXPECT_EQ(k.strncmp(a, b, 5), difference) << a << " / " << b;
        }
        // Equal texts long enough to reach the page end in groups of blocks; past one page end
        // the next one has to be proven again before the group crossing it.
        for (size_t len = 0; len < 2 * 4096 + 300; len = len < 399    ? len + 1
                                                         : len == 399 ? 2 * 4096 - 300
                                                                      : len + 7) {
            char* t = pages3.text(len);
            other.assign(len, 'a');
            ASSERT_EQ(k.strncmp(other.c_str(), t, ~(sys_u64)0), 0) << len;
            ASSERT_EQ(k.strncmp(t, other.c_str(), len + 100), 0) << len;
            ASSERT_EQ(k.strcmp(other.c_str(), t), 0) << len;
            ASSERT_EQ(k.strcmp(t, t), 0) << len; // both texts at the end of the same page
        }
        // Searches with the match at every place and a near match before it; the formatter scans a
        // format's literal runs the same way.
        for (size_t len = 0; len < 200; ++len) {
            char* t = pages3.text(len);
            ASSERT_EQ(k.strlen(t), len);
            ASSERT_EQ(k.strchr(t, 'b'), nullptr);
            ASSERT_EQ(k.strstr(t, "aab"), nullptr);
            ASSERT_EQ(sys_strrchr(t, 'b'), nullptr);
            ASSERT_EQ(sys_strrstr(t, "a"), len ? t + len - 1 : nullptr);
            ASSERT_EQ(sys_snprintf(out, sizeof out, t), len);
            for (size_t at = 0; at < len; ++at) {
                t[at] = 'b';
                ASSERT_EQ(k.strchr(t, 'b'), t + at) << len;
                ASSERT_EQ(k.strstr(t, "ab"), at ? t + at - 1 : nullptr) << len;
                t[at] = 'a';
            }
        }
        for (size_t before = 0; before < 400; ++before) {
            char* t = pages + 2 * 4096 - before;
            const size_t len = before + 40;
            for (size_t off : {0, 1, 17, 32, 63}) {
                char* u = guarded.base + off;
                for (size_t at = before > 36 ? before - 36 : 0; at < before + 36; at += 3) {
                    memset(t, 'm', len);
                    t[len] = 0;
                    memcpy(u, t, len + 1);
                    u[at] = (char)(at & 1 ? 'a' : 0xF0);
                    const sys_i64 whole = expected(u, t, ~(sys_u64)0);
                    ASSERT_EQ(k.strcmp(u, t), whole) << before << " " << at;
                    ASSERT_EQ(k.strcmp(t, u), -whole) << before << " " << at;
                    for (sys_u64 n : {~(sys_u64)0, (sys_u64)at, (sys_u64)at + 1, (sys_u64)at / 2}) {
                        ASSERT_EQ(k.strncmp(t, u, n), expected(t, u, n)) << before << " " << at;
                        ASSERT_EQ(k.strncmp(u, t, n), expected(u, t, n)) << before << " " << at;
                    }
                }
            }
        }
    }
}

// Every code point through the exported functions against the table: a lower maps up to its pair,
// an upper down to the first lower it pairs with.
TEST(CaseTable, PairsOfEachKindAndEveryCodePoint) {
    ASSERT_EQ(kCaseTablePairs, 666u);
    const sys_u32* lower = sys_case_table_lower();
    const sys_u32* upper = sys_case_table_upper();
    std::vector<sys_u32> to_upper(0x110000), to_lower(0x110000), up(0x110000);
    for (sys_u32 cp = 0; cp < 0x110000; ++cp) {
        to_upper[cp] = to_lower[cp] = cp;
        up[cp] = (cp + 1) % 0x110000; // every code point once, then the terminator
    }
    for (size_t i = 666; i-- > 0;) {
        to_upper[lower[i]] = upper[i];
        to_lower[upper[i]] = lower[i];
    }
    std::vector<sys_u32> down = up;
    sys_utf32_to_upper(up.data());
    sys_utf32_to_lower(down.data());
    for (sys_u32 cp = 1; cp < 0x110000; ++cp) {
        ASSERT_EQ(sys_utf32_is_lower(cp), to_upper[cp] != cp ? 1 : 0) << std::hex << cp;
        ASSERT_EQ(sys_utf32_is_upper(cp), to_lower[cp] != cp ? 1 : 0) << std::hex << cp;
        ASSERT_EQ(up[cp - 1], to_upper[cp]) << std::hex << cp;
        ASSERT_EQ(down[cp - 1], to_lower[cp]) << std::hex << cp;
    }
    EXPECT_EQ(sys_utf32_is_upper(0x110000) + sys_utf32_is_lower(0xFFFFFFFF), 0);
    // Pairs from each kind of range: steps of 1 and 2, distances -32, -80, -48, -26, +8, -1,
    // listed.
    const std::pair<sys_u32, sys_u32> samples[] = {
        {0x61, 0x41},     {0xFE, 0xDE},     {0x45F, 0x40F},   {0x10F5, 0x10C5}, {0x24E9, 0x24CF},
        {0x1FE1, 0x1FE9}, {0x1F57, 0x1F5F}, {0x1EF9, 0x1EF8}, {0x4F9, 0x4F8},   {0xFF, 0x178},
        {0x131, 0x49},    {0x3CE, 0x38F},   {0xFF5A, 0xFF3A}, {0x1C6, 0x1C4},
    };
    for (const auto& [lo, hi] : samples)
        EXPECT_EQ(up[lo - 1], hi) << std::hex << lo;
    EXPECT_EQ(down[0x49 - 1], 0x69u);
}

} // namespace
