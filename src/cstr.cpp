// Byte strings: copying, comparing, searching, replacing, ASCII case.
//
// The hot routines (length, character search, comparison, substring search) use the wide-load
// kernels of cstr_simd.h: SSE2 everywhere, AVX2 when the processor has it (the comparison also
// AVX-512), detected once on first use. Sanitizer builds use the byte loops instead
// (cstr_config.h). Everything else is a single byte loop. Nothing allocates and nothing keeps
// state beyond the detected CPU level and the comparison kernels picked from it.
#include "qv_sys/cstr.h"

#include "qv_sys/assertion.h"

#include "cstr_config.h"
#include "cstr_internal.h"

#include <string.h>

#include <atomic>
#include <cpuid.h>

#if QV_CSTR_WIDE_LOADS
#include "cstr_simd.h"
#include "cstr_sse2.h"
#endif

namespace {

// 0 not yet known, 1 SSE2 only, 2 AVX2 together with the bit-manipulation sets BMI1 and BMI2
// (processors with AVX2 have them; the JSON walker uses them), 3 that and AVX-512F, VL and BW
// (the comparison and the JSON walker) and the carry-less multiply (the JSON walker; every
// processor with AVX-512 has it), 4 that on a processor whose SSE code pays nothing for
// vector registers left with their upper halves set (AMD's: the comparison then skips clearing
// them). Detection is idempotent, so racing threads only repeat it.
std::atomic<int> s_cpu_level{0};

bool amd_vendor() {
    unsigned a = 0, words[3] = {};
    if (!__get_cpuid(0, &a, &words[0], &words[2], &words[1]))
        return false;
    char vendor[12]; // the name is in ebx, edx, ecx
    memcpy(vendor, words, sizeof vendor);
    return memcmp(vendor, "AuthenticAMD", 12) == 0 || memcmp(vendor, "HygonGenuine", 12) == 0;
}

int detect_cpu_level() {
    int level = 1;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (__get_cpuid(1, &a, &b, &c, &d) && (c & bit_OSXSAVE) && (c & bit_AVX)) {
        const bool clmul = (c & bit_PCLMUL) != 0;
        unsigned xcr0_lo = 0, xcr0_hi = 0;
        __asm__("xgetbv" : "=a"(xcr0_lo), "=d"(xcr0_hi) : "c"(0));
        if ((xcr0_lo & 6u) == 6u && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) &&
            (b & bit_BMI) && (b & bit_BMI2)) {
            level = 2;
            // The operating system must also save the mask registers and the upper halves and
            // upper sixteen of the vector registers (XCR0 bits 5 to 7).
            if ((xcr0_lo & 0xe6u) == 0xe6u && (b & bit_AVX512F) && (b & bit_AVX512VL) &&
                (b & bit_AVX512BW) && clmul)
                level = amd_vendor() ? 4 : 3;
        }
    }
    s_cpu_level.store(level, std::memory_order_relaxed);
    return level;
}

inline int cpu_level() {
    const int level = s_cpu_level.load(std::memory_order_relaxed);
    return level != 0 ? level : detect_cpu_level();
}

inline bool has_avx2() {
    return cpu_level() >= 2;
}

#if QV_CSTR_WIDE_LOADS
// Short texts end inside the first aligned 16-byte block: answered here, with one load, before
// any dispatch. The block holds s, so it is readable.
inline uint32_t first_block_zeros(const char* s, const char** next) {
    const char* p = align_down<Sse2>(s);
    *next = p + 16;
    const __m128i v = _mm_load_si128((const __m128i*)p);
    return (uint32_t)_mm_movemask_epi8(_mm_cmpeq_epi8(v, _mm_setzero_si128())) >>
           ((uintptr_t)s & 15);
}
#endif

inline sys_u64 strlen_impl(const char* s) {
#if QV_CSTR_WIDE_LOADS
    const char* next = nullptr;
    const uint32_t zeros = first_block_zeros(s, &next);
    if (zeros)
        return ctz32(zeros);
    const sys_u64 before = (sys_u64)(next - s);
    return before + (has_avx2() ? cstr_avx2_strlen(next) : kernel_strlen<Sse2>(next));
#else
    const char* p = s;
    while (*p)
        ++p;
    return (sys_u64)(p - s);
#endif
}

#if QV_CSTR_WIDE_LOADS
// The comparison kernel of the processor's level, chosen on the first call: the pointer starts
// at a function that picks the kernel, stores it and calls it, so later calls jump straight to
// it. Racing first calls store the same pointer.
using strcmp_kernel = sys_i64 (*)(const char*, const char*);
using strncmp_kernel = sys_i64 (*)(const char*, const char*, sys_u64);

sys_i64 pick_strcmp(const char* a, const char* b);
sys_i64 pick_strncmp(const char* a, const char* b, sys_u64 n);
std::atomic<strcmp_kernel> s_strcmp{pick_strcmp};
std::atomic<strncmp_kernel> s_strncmp{pick_strncmp};

sys_i64 sse2_strcmp(const char* a, const char* b) {
    return kernel_strcmp<Sse2>(a, b);
}
sys_i64 sse2_strncmp(const char* a, const char* b, sys_u64 n) {
    return kernel_strncmp<Sse2>(a, b, n);
}

sys_i64 pick_strcmp(const char* a, const char* b) {
    const int level = cpu_level();
    const strcmp_kernel k = level == 4   ? cstr_evex_keep_upper_strcmp
                            : level == 3 ? cstr_evex_strcmp
                            : level == 2 ? cstr_avx2_strcmp
                                         : sse2_strcmp;
    s_strcmp.store(k, std::memory_order_relaxed);
    return k(a, b);
}
sys_i64 pick_strncmp(const char* a, const char* b, sys_u64 n) {
    const int level = cpu_level();
    const strncmp_kernel k = level == 4   ? cstr_evex_keep_upper_strncmp
                             : level == 3 ? cstr_evex_strncmp
                             : level == 2 ? cstr_avx2_strncmp
                                          : sse2_strncmp;
    s_strncmp.store(k, std::memory_order_relaxed);
    return k(a, b, n);
}
#endif

#if !QV_CSTR_WIDE_LOADS
// The byte loop of sanitizer builds: bounded by n or (Bounded false) only by the texts, where it
// returns the difference's sign.
template <bool Bounded> sys_i64 compare_bytes(const char* a, const char* b, sys_u64 n) {
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    for (sys_u64 i = 0; !Bounded || i < n; ++i) {
        if (x[i] != y[i] || x[i] == 0)
            return (sys_i64)x[i] - (sys_i64)y[i];
    }
    return 0;
}
#endif

// First position of c (c != 0), or null at the NUL.
inline const char* strchr_impl(const char* s, char c) {
#if QV_CSTR_WIDE_LOADS
    {
        const char* p = align_down<Sse2>(s);
        const __m128i v = _mm_load_si128((const __m128i*)p);
        const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(c)),
                                         _mm_cmpeq_epi8(v, _mm_setzero_si128()));
        const uint32_t m = (uint32_t)_mm_movemask_epi8(hit) >> ((uintptr_t)s & 15);
        if (m)
            return s[ctz32(m)] == c ? s + ctz32(m) : nullptr;
        s = p + 16;
    }
    return has_avx2() ? cstr_avx2_strchr(s, c) : kernel_strchr<Sse2>(s, c);
#else
    for (; *s; ++s) {
        if (*s == c)
            return s;
    }
    return nullptr;
#endif
}

// Membership of the 256 byte values in a set text (its NUL is never a member).
struct ByteSet {
    sys_u64 bits[4] = {0, 0, 0, 0};
    explicit ByteSet(const char* set) {
        for (const unsigned char* p = (const unsigned char*)set; *p; ++p)
            bits[*p >> 6] |= 1ull << (*p & 63);
    }
    bool has(unsigned char b) const { return (bits[b >> 6] >> (b & 63)) & 1u; }
    bool empty() const { return (bits[0] | bits[1] | bits[2] | bits[3]) == 0; }
};

inline bool is_upper_ascii(char c) {
    return (unsigned char)(c - 'A') < 26;
}
inline bool is_lower_ascii(char c) {
    return (unsigned char)(c - 'a') < 26;
}

} // namespace

// ---- Internal -----------------------------------------------------------------------------

bool sys_cpu_has_avx2() {
    return has_avx2();
}

bool sys_cpu_has_evex() {
    return cpu_level() >= 3;
}

sys_u64 sys_strlen(const char* text) {
    return strlen_impl(text);
}

sys_i64 sys_strcmp(const char* a, const char* b) {
#if QV_CSTR_WIDE_LOADS
    return s_strcmp.load(std::memory_order_relaxed)(a, b);
#else
    return compare_bytes<false>(a, b, 0);
#endif
}

// ---- Comparing and copying ----------------------------------------------------------------

sys_i64 sys_strncmp(const char* a, const char* b, sys_u64 n) {
#if QV_CSTR_WIDE_LOADS
    return s_strncmp.load(std::memory_order_relaxed)(a, b, n);
#else
    return compare_bytes<true>(a, b, n);
#endif
}

sys_u64 sys_strcpy(char* dst, const char* src) {
    const sys_u64 length = strlen_impl(src);
    memcpy(dst, src, length + 1);
    return length;
}

sys_u64 sys_strncpy(char* dst, const char* src, sys_u64 capacity) {
    if (capacity == 0)
        return 0;
    // Byte by byte: the source need not be terminated within capacity bytes.
    for (sys_u64 i = 0; i < capacity; ++i) {
        dst[i] = src[i];
        if (src[i] == 0)
            return i;
    }
    dst[capacity - 1] = 0;
    return capacity - 1;
}

char* sys_strcat(char* dst, const char* src) {
    char* end = dst + strlen_impl(dst);
    const sys_u64 length = strlen_impl(src);
    memcpy(end, src, length + 1);
    return end + length;
}

sys_bool sys_strequals_any(const char* text, const char* const* texts, sys_u64 count) {
    for (sys_u64 i = 0; i < count; ++i) {
        if (sys_strcmp(text, texts[i]) == 0)
            return SYS_TRUE;
    }
    return SYS_FALSE;
}

const char* sys_strbegin(const char* text, const char* prefix) {
    if (!text || !prefix)
        return nullptr;
    for (; *prefix; ++text, ++prefix) {
        if (*text != *prefix)
            return nullptr;
    }
    return text;
}

const char* sys_strend(const char* text, const char* suffix) {
    if (!text || !suffix)
        return nullptr;
    const sys_u64 length = strlen_impl(text);
    const sys_u64 suffix_length = strlen_impl(suffix);
    if (suffix_length > length)
        return nullptr;
    const char* at = text + (length - suffix_length);
    return memcmp(at, suffix, suffix_length) == 0 ? at : nullptr;
}

// ---- Searching ----------------------------------------------------------------------------

const char* sys_strchr(const char* text, char c) {
    if (c == 0)
        return nullptr;
    return strchr_impl(text, c);
}

const char* sys_strrchr(const char* text, char c) {
    if (c == 0)
        return nullptr;
    const char* last = nullptr;
    for (const char* p = strchr_impl(text, c); p; p = strchr_impl(p + 1, c))
        last = p;
    return last;
}

const char* sys_strnchr(const char* text, sys_u64 n, char c) {
    if (c == 0)
        return nullptr;
    for (sys_u64 i = 0; i < n && text[i]; ++i) {
        if (text[i] == c)
            return text + i;
    }
    return nullptr;
}

const char* sys_strchr_rev(const char* lower_bound, const char* start, char c) {
    if (start < lower_bound)
        return nullptr;
    for (const char* p = start;; --p) {
        if (*p == c)
            return p;
        if (p == lower_bound)
            return nullptr;
    }
}

const char* sys_strpbrk(const char* text, const char* set) {
    const ByteSet members(set);
    if (members.empty())
        return nullptr;
    for (; *text; ++text) {
        if (members.has((unsigned char)*text))
            return text;
    }
    return nullptr;
}

const char* sys_strnpbrk(const char* text, sys_u64 n, const char* set) {
    const ByteSet members(set);
    if (members.empty())
        return nullptr;
    for (sys_u64 i = 0; i < n && text[i]; ++i) {
        if (members.has((unsigned char)text[i]))
            return text + i;
    }
    return nullptr;
}

const char* sys_strrpbrk(const char* text, const char* set) {
    const ByteSet members(set);
    const char* last = nullptr;
    if (members.empty())
        return nullptr;
    for (; *text; ++text) {
        if (members.has((unsigned char)*text))
            last = text;
    }
    return last;
}

const char* sys_strstr(const char* text, const char* pattern) {
    if (pattern[0] == 0)
        return text;
    if (pattern[1] == 0)
        return strchr_impl(text, pattern[0]);
#if QV_CSTR_WIDE_LOADS
    return has_avx2() ? cstr_avx2_strstr(text, pattern) : kernel_strstr<Sse2>(text, pattern);
#else
    // The plain walk: at each byte equal to the pattern's first, compare the rest.
    const sys_u64 rest = strlen_impl(pattern + 1);
    for (const char* p = text; *p; ++p) {
        if (*p == pattern[0] && sys_strncmp(p + 1, pattern + 1, rest) == 0)
            return p;
    }
    return nullptr;
#endif
}

const char* sys_strrstr(const char* text, const char* pattern) {
    const sys_u64 length = strlen_impl(text);
    if (pattern[0] == 0)
        return length ? text + length - 1 : text;
    const sys_u64 rest = strlen_impl(pattern + 1);
    if (length == 0 || rest > length)
        return nullptr;
    // Candidates from text + L - R down to the first byte; the comparison stops at the text's
    // NUL, so a candidate too close to the end simply fails.
    for (const char* p = text + (length - rest);; --p) {
        if (*p == pattern[0] && sys_strncmp(p + 1, pattern + 1, rest) == 0)
            return p;
        if (p == text)
            return nullptr;
    }
}

// ---- Replacing ----------------------------------------------------------------------------

void sys_strreplace(char* text, char from, char to) {
    for (; *text; ++text) {
        if (*text == from)
            *text = to;
    }
}

void sys_strreplace_any(char* text, const char* set, char to) {
    const ByteSet members(set);
    for (; *text; ++text) {
        if (members.has((unsigned char)*text))
            *text = to;
    }
}

sys_u64 sys_strreplace_str(char* text, const char* pattern, const char* replacement) {
    const sys_u64 p = strlen_impl(pattern);
    sys_u64 length = strlen_impl(text);
    if (p == 0)
        return length;
    const sys_u64 q = strlen_impl(replacement);
    const char* found = sys_strstr(text, pattern);
    while (found) {
        const sys_u64 at = (sys_u64)(found - text);
        // The tail after the occurrence, through the NUL, moves by q - p (memmove copies in
        // the safe direction either way).
        if (q != p)
            memmove(text + at + q, text + at + p, length - at - p + 1);
        memcpy(text + at, replacement, q);
        length = length + q - p;
        found = sys_strstr(text + at + q, pattern);
    }
    return length;
}

sys_u64 sys_strnreplacechr(char* dst, sys_u64 capacity, const char* src, const char* chars,
                           const char* const* replacements, sys_u64 count) {
    if (capacity == 0)
        return 0;
    sys_u64 lengths[32];
    // The check keeps the text it was first published with, whatever the code's spacing.
    if (!SYS_CHECK_TEXT_MSG((sizeof(lengths) / sizeof(lengths[0])) >= count,
                            "(sizeof(lengths)/sizeof(lengths[0])) >= count", NULL)) {
        dst[0] = 0;
        return 0;
    }
    for (sys_u64 i = 0; i < count; ++i)
        lengths[i] = strlen_impl(replacements[i]);
    sys_u64 written = 0;
    for (; *src; ++src) {
        sys_u64 entry = 0;
        while (entry < count && chars[entry] != *src)
            ++entry;
        const sys_u64 left = capacity - written;
        if (entry < count) {
            const sys_u64 n = lengths[entry];
            if (left <= n) {
                dst[0] = 0;
                return 0;
            }
            memcpy(dst + written, replacements[entry], n);
            written += n;
        } else {
            if (left <= 1) {
                dst[0] = 0;
                return 0;
            }
            dst[written++] = *src;
        }
    }
    dst[written] = 0;
    return written;
}

// ---- ASCII case ---------------------------------------------------------------------------

void sys_strtolower_ascii(char* text) {
    for (; *text; ++text) {
        if (is_upper_ascii(*text))
            *text = (char)(*text + 32);
    }
}

void sys_strtoupper_ascii(char* text) {
    for (; *text; ++text) {
        if (is_lower_ascii(*text))
            *text = (char)(*text - 32);
    }
}

sys_bool sys_strislower_ascii(const char* text) {
    for (; *text; ++text) {
        if (is_upper_ascii(*text))
            return SYS_FALSE;
    }
    return SYS_TRUE;
}

sys_bool sys_strisupper_ascii(const char* text) {
    for (; *text; ++text) {
        if (is_lower_ascii(*text))
            return SYS_FALSE;
    }
    return SYS_TRUE;
}

char sys_chartolower_ascii(char c) {
    return is_upper_ascii(c) ? (char)(c + 32) : c;
}

char sys_chartoupper_ascii(char c) {
    return is_lower_ascii(c) ? (char)(c - 32) : c;
}

sys_bool sys_charisalpha_ascii(char c) {
    return (sys_bool)(is_upper_ascii(c) || is_lower_ascii(c));
}

sys_bool sys_charisdigit_ascii(char c) {
    return (sys_bool)((unsigned char)(c - '0') < 10);
}

sys_bool sys_charislower_ascii(char c) {
    return (sys_bool)is_lower_ascii(c);
}

sys_bool sys_charisupper_ascii(char c) {
    return (sys_bool)is_upper_ascii(c);
}
