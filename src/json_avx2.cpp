// The JSON block walker compiled for AVX2. json.cpp calls it only after it has seen AVX2 on the
// processor (and the operating system saving its registers).
//
// The instruction set is switched on for this file alone by a pragma placed before any include,
// and the file includes nothing but the intrinsics, the core types and the walker (whose
// functions all have internal linkage here), so no inline function compiled with AVX2 can be
// shared with the rest of the library.
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include <immintrin.h>

#include "json_blocks.h"

namespace {

// The masks of one 64-byte block, 32 bytes to a compare. White space and brackets are found
// by a table lookup on each byte's low four bits: the table holds the one byte of the class
// with those low bits (0xff where none), and a byte is in the class when the lookup gives the
// byte back. A byte with its high bit set looks up 0 and never matches.
struct Avx2 {
    static BlockMasks classify(const char* p) {
        const __m256i space_table = _mm256_setr_epi8(
            ' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1, ',', '\r', -1, -1, ' ', -1, -1, -1,
            -1, -1, -1, -1, -1, '\t', '\n', -1, ',', '\r', -1, -1);
        // '[' and ']' are '{' and '}' without the 0x20 bit: compared with that bit set.
        const __m256i bracket_table =
            _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, '{', -1, '}', -1, -1, -1,
                             -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, '{', -1, '}', -1, -1);
        BlockMasks m;
        uint64_t masks[5][2];
        for (int i = 0; i < 2; ++i) {
            const __m256i v = _mm256_loadu_si256((const __m256i*)(p + 32 * i));
            const __m256i space = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(space_table, v), v);
            const __m256i bracket = _mm256_cmpeq_epi8(_mm256_shuffle_epi8(bracket_table, v),
                                                      _mm256_or_si256(v, _mm256_set1_epi8(0x20)));
            const __m256i op =
                _mm256_or_si256(bracket, _mm256_cmpeq_epi8(v, _mm256_set1_epi8(':')));
            masks[0][i] =
                (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('"')));
            masks[1][i] =
                (uint32_t)_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_set1_epi8('\\')));
            masks[2][i] = (uint32_t)_mm256_movemask_epi8(op);
            masks[3][i] = (uint32_t)_mm256_movemask_epi8(space);
            masks[4][i] = (uint32_t)_mm256_movemask_epi8(
                _mm256_and_si256(_mm256_cmpgt_epi8(v, _mm256_set1_epi8('0' - 1)),
                                 _mm256_cmpgt_epi8(_mm256_set1_epi8('9' + 1), v)));
        }
        m.quote = masks[0][0] | masks[0][1] << 32;
        m.backslash = masks[1][0] | masks[1][1] << 32;
        m.op = masks[2][0] | masks[2][1] << 32;
        m.space = masks[3][0] | masks[3][1] << 32;
        m.digit = masks[4][0] | masks[4][1] << 32;
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
