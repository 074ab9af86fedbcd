// The byte-string kernels of cstr_simd.h compiled for AVX2. cstr.cpp calls these only after
// it has seen AVX2 on the processor (and the operating system saving its registers).
//
// The instruction set is switched on for this file alone by a pragma placed before any
// include, and the file includes nothing but the intrinsics, the core types and the kernels
// (all of which have internal linkage here), so no inline function compiled with AVX2 can be
// shared with the rest of the library.
#include "cstr_config.h"

#if QV_CSTR_WIDE_LOADS

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include <immintrin.h>

#include "cstr_simd.h"

namespace {

struct Avx2 {
    using reg = __m256i;
    static constexpr unsigned W = 32;
    static reg load(const void* p) { return _mm256_load_si256((const reg*)p); }
    static reg loadu(const void* p) { return _mm256_loadu_si256((const reg*)p); }
    static reg set1(char c) { return _mm256_set1_epi8(c); }
    static reg zero() { return _mm256_setzero_si256(); }
    static reg eq(reg a, reg b) { return _mm256_cmpeq_epi8(a, b); }
    static reg min(reg a, reg b) { return _mm256_min_epu8(a, b); }
    static reg bxor(reg a, reg b) { return _mm256_xor_si256(a, b); }
    static uint32_t mask(reg a) { return (uint32_t)_mm256_movemask_epi8(a); }
};

} // namespace

sys_u64 cstr_avx2_strlen(const char* text) {
    return kernel_strlen<Avx2>(text);
}

const char* cstr_avx2_strchr(const char* text, char c) {
    return kernel_strchr<Avx2>(text, c);
}

sys_i64 cstr_avx2_strcmp(const char* a, const char* b) {
    return kernel_strcmp<Avx2>(a, b);
}

sys_i64 cstr_avx2_strncmp(const char* a, const char* b, sys_u64 n) {
    return kernel_strncmp<Avx2>(a, b, n);
}

const char* cstr_avx2_strstr(const char* text, const char* pattern) {
    return kernel_strstr<Avx2>(text, pattern);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif // QV_CSTR_WIDE_LOADS
