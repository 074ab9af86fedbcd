// The JSON block walker compiled for AVX2 and the bit-manipulation sets BMI1 and BMI2 (single
// instructions for the walker's mask arithmetic). json.cpp calls it only after it has seen all
// three on the processor (and the operating system saving the wide registers).
//
// The instruction set is switched on for this file alone by a pragma placed before any include,
// and the file includes nothing but the intrinsics, the core types and the walker (whose
// functions all have internal linkage here), so no inline function compiled with AVX2 can be
// shared with the rest of the library.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2")
#endif

#include <immintrin.h>

#include "json_blocks.h"

namespace {

inline __m256i load(const Lanes<32>& l) {
    return _mm256_load_si256((const __m256i*)l.bytes);
}

// The masks of one 64-byte block, 32 bytes to a compare.
struct Avx2 {
    static constexpr bool kEscapable = true;
    static uint64_t inside_strings(uint64_t quotes) { return ::inside_strings(quotes); }
    static uint64_t bits(__m256i lo, __m256i hi) {
        return (uint32_t)_mm256_movemask_epi8(lo) | (uint64_t)(uint32_t)_mm256_movemask_epi8(hi)
                                                        << 32;
    }
    [[gnu::always_inline]] static BlockMasks classify(const char* p) {
        // The compiler is not told the constants' values, or it would build them in registers
        // again.
        const Constants<32>* k = &kConstants<32>;
        __asm__("" : "+r"(k));
        const __m256i lo = _mm256_loadu_si256((const __m256i*)p);
        const __m256i hi = _mm256_loadu_si256((const __m256i*)(p + 32));
        const auto space = [k](__m256i v) {
            return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(load(k->space_table), v), v);
        };
        const auto op = [k](__m256i v) {
            return _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(load(k->op_table), v),
                                                     _mm256_or_si256(v, load(k->case_bit))),
                                   _mm256_cmpeq_epi8(v, load(k->colon)));
        };
        // A digit less '0' is below 10 unsigned: its minimum with 9 leaves it unchanged.
        const auto digit = [k](__m256i v) {
            const __m256i d = _mm256_sub_epi8(v, load(k->zero));
            return _mm256_cmpeq_epi8(_mm256_min_epu8(d, load(k->nine)), d);
        };
        BlockMasks m;
        m.quote =
            bits(_mm256_cmpeq_epi8(lo, load(k->quote)), _mm256_cmpeq_epi8(hi, load(k->quote)));
        m.backslash = bits(_mm256_cmpeq_epi8(lo, load(k->backslash)),
                           _mm256_cmpeq_epi8(hi, load(k->backslash)));
        m.op = bits(op(lo), op(hi));
        m.space = bits(space(lo), space(hi));
        m.digit = bits(digit(lo), digit(hi));
        m.colon =
            bits(_mm256_cmpeq_epi8(lo, load(k->colon)), _mm256_cmpeq_epi8(hi, load(k->colon)));
        m.escapable = escapable_bytes(lo, hi, k);
        return m;
    }
    static void quotes_backslashes(const char* p, uint64_t* quote, uint64_t* backslash,
                                   uint64_t* escapable) {
        const Constants<32>* k = &kConstants<32>;
        __asm__("" : "+r"(k));
        const __m256i lo = _mm256_loadu_si256((const __m256i*)p);
        const __m256i hi = _mm256_loadu_si256((const __m256i*)(p + 32));
        *quote = bits(_mm256_cmpeq_epi8(lo, load(k->quote)), _mm256_cmpeq_epi8(hi, load(k->quote)));
        *backslash = bits(_mm256_cmpeq_epi8(lo, load(k->backslash)),
                          _mm256_cmpeq_epi8(hi, load(k->backslash)));
        *escapable = escapable_bytes(lo, hi, k);
    }
    // The bytes a backslash may escape (the tables are in json_blocks.h). The walker checks
    // escapes with this mask instead of looking each escaped byte up: no branch on whether a
    // block has any.
    static uint64_t escapable_bytes(__m256i lo, __m256i hi, const Constants<32>* k) {
        const auto not_escapable = [k](__m256i v) {
            const __m256i high = _mm256_and_si256(_mm256_srli_epi16(v, 4), load(k->low_nibble));
            const __m256i both = _mm256_and_si256(_mm256_shuffle_epi8(load(k->escape_low), v),
                                                  _mm256_shuffle_epi8(load(k->escape_high), high));
            return _mm256_cmpeq_epi8(both, _mm256_setzero_si256());
        };
        return ~bits(not_escapable(lo), not_escapable(hi));
    }
};

} // namespace

int qv_json::walk_avx2(Tokenizer& s, json_token** stack, const char** until) {
    return walk<Avx2>(s, stack, until);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
