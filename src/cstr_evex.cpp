// The comparison kernel of cstr_simd.h compiled for processors with AVX-512VL and AVX-512BW, on
// the same 32-byte blocks as AVX2. cstr.cpp calls these only after it has seen both on the
// processor and the operating system saving the mask and upper vector registers.
//
// What the wider instruction set buys is in the group test: with compare results in mask
// registers and three-input logic, a group of four blocks costs ten vector instructions
// instead of thirteen, and the loop is then bound by its loads alone. Single blocks stay with
// AVX2's arithmetic: moving each block's result through a mask register costs more per block on
// the processors measured.
//
// The instruction set is switched on for this file alone by a pragma placed before any
// include, and the file includes nothing but the intrinsics, the core types, the vector types
// and the kernels (all of which have internal linkage here), so no inline function compiled with
// AVX-512 can be shared with the rest of the library.
#include "cstr_config.h"

#if QV_CSTR_WIDE_LOADS

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,avx512f,avx512vl,avx512bw"))),   \
                             apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,avx512f,avx512vl,avx512bw")
#endif

#include "cstr_avx2.h"
#include "cstr_simd.h"

namespace {

// AVX2's blocks and operations, with the comparison's group test done in mask registers.
struct Evex : Avx2 {
    // The first stop in a group of four blocks (x's in registers), or 4W. A lane is live when
    // no block has the NUL there (the blocks' minimum is not 0); the group goes on when every
    // live lane has all four blocks equal (their xors or to 0).
    static unsigned group_first_stop(reg x0, reg x1, reg x2, reg x3, const unsigned char* y) {
        const reg low = min(min(x0, x1), min(x2, x3));
        const __mmask32 live = _mm256_test_epi8_mask(low, low);
        const reg d0 = bxor(x0, loadu(y));
        const reg d1 = bxor(x1, loadu(y + W));
        const reg d2 = bxor(x2, loadu(y + 2 * W));
        // 0xDE: (a ^ c) | b, here (x3 ^ y3) | d0, written over x3; 0xFE: a | b | c.
        const reg d03 = _mm256_ternarylogic_epi32(x3, d0, loadu(y + 3 * W), 0xDE);
        const reg d = _mm256_ternarylogic_epi32(d03, d1, d2, 0xFE);
        const __mmask32 same = _mm256_mask_testn_epi8_mask(live, d, d);
        if (__builtin_expect(_kortestc_mask32_u8(same, same), 1))
            return 4 * W;
        // The exit works from the xors the test made, without reading y again, block by block
        // (a stop in the first block costs one test). With no stop in the first three
        // blocks, a lane that is not `same` stops in the fourth.
        const uint32_t m0 = block_stops(x0, d0);
        if (m0 != 0)
            return ctz32(m0);
        const uint32_t m1 = block_stops(x1, d1);
        if (m1 != 0)
            return W + ctz32(m1);
        return 2 * W +
               (unsigned)__builtin_ctzll(block_stops(x2, d2) | (uint64_t)(uint32_t)~same << W);
    }
    // Lanes where x's byte is the NUL or differs from y's, given their xor d.
    static uint32_t block_stops(reg x, reg d) {
        return ~(uint32_t)_mm256_mask_testn_epi8_mask(_mm256_test_epi8_mask(x, x), d, d);
    }
};

} // namespace

// The second build (cstr_evex_keep_upper.cpp) names its entry points apart.
#if QV_CSTR_EVEX_KEEP_UPPER
#define QV_CSTR_EVEX_ENTRY(name) cstr_evex_keep_upper_##name
#else
#define QV_CSTR_EVEX_ENTRY(name) cstr_evex_##name
#endif

sys_i64 QV_CSTR_EVEX_ENTRY(strcmp)(const char* a, const char* b) {
    return kernel_strcmp<Evex>(a, b);
}

sys_i64 QV_CSTR_EVEX_ENTRY(strncmp)(const char* a, const char* b, sys_u64 n) {
    return kernel_strncmp<Evex>(a, b, n);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif // QV_CSTR_WIDE_LOADS
