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

// The masks of one 64-byte block, 32 bytes to a compare.
struct Avx2 {
    static uint64_t bits(__m256i lo, __m256i hi) {
        return (uint32_t)_mm256_movemask_epi8(lo) | (uint64_t)(uint32_t)_mm256_movemask_epi8(hi)
                                                        << 32;
    }
    // White space and brackets are found by a table lookup on each byte's low four bits: the
    // table holds the one byte of the class with those low bits (0xff where none), and a byte
    // is in the class when the lookup gives the byte back. A byte with its high bit set looks
    // up 0 and never matches.
    static __m256i space(__m256i v) {
        const __m256i table = _mm256_setr_epi8(' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1,
                                               ',', '\r', -1, -1, ' ', -1, -1, -1, -1, -1, -1, -1,
                                               -1, '\t', '\n', -1, ',', '\r', -1, -1);
        return _mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v), v);
    }
    // '[' and ']' are '{' and '}' without the 0x20 bit: compared with that bit set.
    static __m256i op(__m256i v) {
        const __m256i table =
            _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, '{', -1, '}', -1, -1, -1,
                             -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, '{', -1, '}', -1, -1);
        return _mm256_or_si256(_mm256_cmpeq_epi8(_mm256_shuffle_epi8(table, v),
                                                 _mm256_or_si256(v, _mm256_set1_epi8(0x20))),
                               _mm256_cmpeq_epi8(v, _mm256_set1_epi8(':')));
    }
    // A digit less '0' is below 10 unsigned: its minimum with 9 leaves it unchanged.
    static __m256i digit(__m256i v) {
        const __m256i d = _mm256_sub_epi8(v, _mm256_set1_epi8('0'));
        return _mm256_cmpeq_epi8(_mm256_min_epu8(d, _mm256_set1_epi8(9)), d);
    }
    static BlockMasks classify(const char* p) {
        const __m256i lo = _mm256_loadu_si256((const __m256i*)p);
        const __m256i hi = _mm256_loadu_si256((const __m256i*)(p + 32));
        const __m256i quote = _mm256_set1_epi8('"');
        const __m256i backslash = _mm256_set1_epi8('\\');
        BlockMasks m;
        m.quote = bits(_mm256_cmpeq_epi8(lo, quote), _mm256_cmpeq_epi8(hi, quote));
        m.backslash = bits(_mm256_cmpeq_epi8(lo, backslash), _mm256_cmpeq_epi8(hi, backslash));
        m.op = bits(op(lo), op(hi));
        m.space = bits(space(lo), space(hi));
        m.digit = bits(digit(lo), digit(hi));
        const __m256i colon = _mm256_set1_epi8(':');
        m.colon = bits(_mm256_cmpeq_epi8(lo, colon), _mm256_cmpeq_epi8(hi, colon));
        return m;
    }
    static void quotes_backslashes(const char* p, uint64_t* quote, uint64_t* backslash) {
        const __m256i lo = _mm256_loadu_si256((const __m256i*)p);
        const __m256i hi = _mm256_loadu_si256((const __m256i*)(p + 32));
        const __m256i q = _mm256_set1_epi8('"');
        const __m256i b = _mm256_set1_epi8('\\');
        *quote = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, q)) |
                 (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, q)) << 32;
        *backslash = (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, b)) |
                     (uint64_t)(uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, b)) << 32;
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
