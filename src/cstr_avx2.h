// The AVX2 vector type of the wide-load kernels (cstr_simd.h). Include it only from a file that
// has switched AVX2 on for itself (cstr_avx2.cpp, cstr_evex.cpp), after the pragma.
//
// In an anonymous namespace like the kernels: a file compiled for AVX2 must never lend the
// linker its own encoding of these functions.
#pragma once

#include <immintrin.h>
#include <stdint.h>

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
