// The JSON block walker compiled for AVX-512 (F, VL and BW) besides AVX2, BMI1, BMI2 and the
// carry-less multiply. json.cpp calls it only after it has seen all of them on the processor and
// the operating system saving the mask and upper vector registers.
//
// What the wider instruction set buys is the classification: one 64-byte register holds the
// whole block, and each compare writes its 64-bit mask straight into a mask register, where the
// AVX2 classifier needs two compares, two mask moves and a shift and or to put them together.
//
// The instruction set is switched on for this file alone by a pragma placed before any include,
// and the file includes nothing but the intrinsics, the core types and the walker (whose
// functions all have internal linkage here), so no inline function compiled with AVX-512 can be
// shared with the rest of the library. No vector value lives across a call: on Windows the
// stack is only 16-byte aligned, and a spilled 64-byte register would be stored misaligned (the
// MinGW build also has its aligned vector moves assembled as unaligned ones; see CMakeLists.txt).
#if defined(__clang__)
#pragma clang attribute push(                                                                      \
    __attribute__((target("avx2,bmi,bmi2,pclmul,avx512f,avx512vl,avx512bw"))),                     \
    apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,pclmul,avx512f,avx512vl,avx512bw")
#endif

#include <immintrin.h>

#include "json_blocks.h"

namespace {

inline __m512i load(const Lanes<64>& l) {
    return _mm512_load_si512((const void*)l.bytes);
}

struct Evex {
    static constexpr bool kEscapable = true;
    // The prefix xor as one carry-less multiply by all ones, instead of six shifts and xors.
    static uint64_t inside_strings(uint64_t quotes) {
        const __m128i product =
            _mm_clmulepi64_si128(_mm_cvtsi64_si128((long long)quotes), _mm_set1_epi8(-1), 0);
        return (uint64_t)_mm_cvtsi128_si64(product);
    }
    [[gnu::always_inline]] static BlockMasks classify(const char* p) {
        // The compiler is not told the constants' values, or it would build them in registers.
        const Constants<64>* k = &kConstants<64>;
        __asm__("" : "+r"(k));
        const __m512i v = _mm512_loadu_si512((const void*)p);
        BlockMasks m;
        m.quote = _mm512_cmpeq_epi8_mask(v, load(k->quote));
        m.backslash = _mm512_cmpeq_epi8_mask(v, load(k->backslash));
        m.colon = _mm512_cmpeq_epi8_mask(v, load(k->colon));
        m.op = _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(load(k->op_table), v),
                                      _mm512_or_si512(v, load(k->case_bit))) |
               m.colon;
        m.space = _mm512_cmpeq_epi8_mask(_mm512_shuffle_epi8(load(k->space_table), v), v);
        // A digit less '0' is 9 or below unsigned.
        m.digit = _mm512_cmple_epu8_mask(_mm512_sub_epi8(v, load(k->zero)), load(k->nine));
        m.escapable = escapable_bytes(v, k);
        return m;
    }
    static void quotes_backslashes(const char* p, uint64_t* quote, uint64_t* backslash,
                                   uint64_t* escapable) {
        const Constants<64>* k = &kConstants<64>;
        __asm__("" : "+r"(k));
        const __m512i v = _mm512_loadu_si512((const void*)p);
        *quote = _mm512_cmpeq_epi8_mask(v, load(k->quote));
        *backslash = _mm512_cmpeq_epi8_mask(v, load(k->backslash));
        *escapable = escapable_bytes(v, k);
    }
    // The bytes a backslash may escape (the tables are in json_blocks.h).
    static uint64_t escapable_bytes(__m512i v, const Constants<64>* k) {
        const __m512i high = _mm512_and_si512(_mm512_srli_epi16(v, 4), load(k->low_nibble));
        return _mm512_test_epi8_mask(_mm512_shuffle_epi8(load(k->escape_low), v),
                                     _mm512_shuffle_epi8(load(k->escape_high), high));
    }
};

} // namespace

int qv_json::walk_evex(Tokenizer& s, json_token** stack, const char** until) {
    return walk<Evex>(s, stack, until);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
