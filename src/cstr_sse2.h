// The SSE2 vector type of the wide-load kernels (cstr_simd.h): every x86-64 processor has it.
// The string routines and their kernel tests both instantiate the kernels with it.
//
// In an anonymous namespace like the kernels: a file compiled for AVX2 must never lend the
// linker its own encoding of these functions.
#pragma once

#include <emmintrin.h>
#include <stdint.h>

namespace {

struct Sse2 {
    using reg = __m128i;
    static constexpr unsigned W = 16;
    static reg load(const void* p) { return _mm_load_si128((const reg*)p); }
    static reg loadu(const void* p) { return _mm_loadu_si128((const reg*)p); }
    static reg set1(char c) { return _mm_set1_epi8(c); }
    static reg zero() { return _mm_setzero_si128(); }
    static reg eq(reg a, reg b) { return _mm_cmpeq_epi8(a, b); }
    static reg min(reg a, reg b) { return _mm_min_epu8(a, b); }
    static reg bxor(reg a, reg b) { return _mm_xor_si128(a, b); }
    static uint32_t mask(reg a) { return (uint32_t)_mm_movemask_epi8(a); }
};

} // namespace
