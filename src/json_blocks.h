// The JSON tokenizer's block walker, written once over a classifier C and compiled three times:
// with SSE2 (every x86-64) in json.cpp, with AVX2 in json_avx2.cpp and with AVX-512 in
// json_evex.cpp, chosen at run time by the processor.
//
// The text is taken 64 bytes at a time. C turns a block into bit masks (quotes, backslashes,
// brackets and colons, colons alone, white space including commas, digits); a little
// arithmetic on them gives the escaped bytes and the bytes that begin a run of other bytes
// (numbers, literals, or garbage). The walker then visits only the set bits, in text order,
// with the same rules, token writes and failure values as the byte-by-byte step in json.cpp:
// a string is closed by the next unescaped quote (the bits inside strings are cleared up front,
// so that is the next bit, or the next block's first bit: whether a block ends inside a string
// is carried to the next one; a string that does not end there either is searched on with the
// quote and backslash masks alone, and the blocks start again after it); a number's digit
// sequences end where the digit mask says; literals are compared whole.
//
// Whatever is rare or the byte step must report itself is handed back to json.cpp instead
// (WalkBail): a bad escape anywhere in a block, two tokens with nothing between them (01,
// truefalse, a NUL after a number), the depth limit. The walker then leaves `s._curr` at a
// place where the byte step can start (after the last token it wrote, at the start of a block,
// or at the opening quote of a string it had not closed) and `*until` at the end of what the byte
// step must cover before the walker may start again.
//
// Only whole blocks inside the text are loaded; the last partial block is copied into a
// buffer padded with spaces, so nothing at or past the text's end is read.
//
// Everything but the declarations at the top is in an anonymous namespace: each including file
// gets its own copies, compiled for its own instruction set.
#pragma once

#include "qv_sys/json.h"

#include <stdint.h>

namespace qv_json {

struct Tokenizer {
    const char* _curr;
    const char* _begin;
    const char* _end;
    sys_u64 _written;
    sys_u64 _capacity;
    json_token* _tokens;
    sys_u32 _depth;
};

// Results of a walk besides the JSON_RESULT_* values.
enum : int {
    WalkDone = -1, // the end of the text or a NUL at depth 0: only the final checks are left
    WalkBail = -2, // the byte step must take over from s._curr to *until
};

// The AVX2 walker (call only when the processor has AVX2) and the AVX-512 one (only when it has
// AVX-512F, VL and BW too).
int walk_avx2(Tokenizer& s, json_token** stack, const char** until);
int walk_evex(Tokenizer& s, json_token** stack, const char** until);

// The walkers, by the instruction set they need: each needs the ones before it. WalkerNone takes
// the byte step alone through the whole text.
enum : int { WalkerNone = -1, WalkerSse2 = 0, WalkerAvx2 = 1, WalkerEvex = 2 };

// json_tokenize with the walker chosen by the caller (one the processor has), so that tests can
// check them all against each other and against the byte step.
sys_u32 tokenize(int walker, const char* json, sys_u64 length, json_token* tokens, sys_u64 capacity,
                 sys_u64* out_written);

} // namespace qv_json

namespace {

using qv_json::Tokenizer;

// The wide classifiers' constants, N bytes each (32 for AVX2, 64 for AVX-512). They are read
// from memory by the instructions that use them: written as set1 intrinsics, each was built
// again in every round of the walker's block loop (three instructions apiece; the loop is too
// large for the compiler to keep them in registers), while a load folds into the compare or
// shuffle that uses it.
template <int N> struct alignas(N) Lanes { char bytes[N]; };
template <int N> constexpr Lanes<N> splat(char c) {
    Lanes<N> l = {};
    for (char& b : l.bytes)
        b = c;
    return l;
}
// The same 16 bytes in each 16-byte lane (a shuffle looks up within its lane).
template <int N> constexpr Lanes<N> each_lane(const char (&row)[16]) {
    Lanes<N> l = {};
    for (int i = 0; i < N; ++i)
        l.bytes[i] = row[i % 16];
    return l;
}
template <int N> struct Constants {
    Lanes<N> quote, backslash, colon, case_bit, zero, nine, low_nibble;
    // White space and brackets are found by a table lookup on each byte's low four bits: the
    // table holds the one byte of the class with those low bits (-1 where none), and a byte
    // is in the class when the lookup gives the byte back. A byte with its high bit set looks
    // up 0 and never matches. '[' and ']' are '{' and '}' without the 0x20 bit: they are
    // compared with that bit set.
    Lanes<N> space_table, op_table;
    // The bytes a backslash may escape, by both halves of the byte: the high half picks one bit
    // (2: bit 0, 5: bit 1, 6: bit 2, 7: bit 3), and the entry of the low half holds the bits of
    // the high halves it makes an escapable byte with (2 with 2, 6 and 7: '"', 'b', 'r'). A byte
    // of 0x80 and up looks up 0 in the low table.
    Lanes<N> escape_low, escape_high;
};
template <int N>
constexpr Constants<N> kConstants = {
    splat<N>('"'),
    splat<N>('\\'),
    splat<N>(':'),
    splat<N>(0x20),
    splat<N>('0'),
    splat<N>(9),
    splat<N>(0x0f),
    each_lane<N>({' ', -1, -1, -1, -1, -1, -1, -1, -1, '\t', '\n', -1, ',', '\r', -1, -1}),
    each_lane<N>({-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, '{', -1, '}', -1, -1}),
    each_lane<N>({0, 0, 0x0d, 0, 0x08, 0x08, 0x04, 0, 0, 0, 0, 0, 0x02, 0, 0x04, 0x01}),
    each_lane<N>({0, 0, 0x01, 0, 0, 0x02, 0x04, 0x08, 0, 0, 0, 0, 0, 0, 0, 0}),
};

struct BlockMasks {
    uint64_t quote;     // '"'
    uint64_t backslash; // '\\'
    uint64_t op;        // '{' '}' '[' ']' ':'
    uint64_t space;     // ' ' '\t' '\n' '\r' ','
    uint64_t digit;     // '0' to '9'
    uint64_t colon;     // ':'
    uint64_t escapable; // '"' '\\' '/' 'b' 'f' 'n' 'r' 't' 'u', from classifiers with kEscapable
};

inline bool is_digit(char c) {
    return (unsigned char)(c - '0') < 10;
}

// " \ / b f n r t u, as a set of bits: the low word holds the first two, the high word (bytes
// 64 to 127) the rest.
inline bool is_escapable(char c) {
    const unsigned char u = (unsigned char)c;
    constexpr uint64_t low = 1ull << '"' | 1ull << '/';
    constexpr uint64_t high = 1ull << ('\\' - 64) | 1ull << ('b' - 64) | 1ull << ('f' - 64) |
                              1ull << ('n' - 64) | 1ull << ('r' - 64) | 1ull << ('t' - 64) |
                              1ull << ('u' - 64);
    return u < 128 && ((u < 64 ? low : high) >> (u & 63) & 1) != 0;
}

// Writes the third word whole: assigning the two bit fields one by one would read it back and
// merge, once for each field. (The type is the word's low 3 bits on both platforms' ABIs.)
// The first two words are written as one (x86-64 is little-endian): as two, the compiler pairs
// them up in a vector register, which costs three more instructions per token.
inline void put_token(json_token* t, sys_u32 start, sys_u32 length, sys_u32 type, sys_u32 depth) {
    const uint64_t where = start | (uint64_t)length << 32;
    __builtin_memcpy(t, &where, sizeof where);
    const sys_u32 bits = (type & 7u) | (depth << 3);
    __builtin_memcpy((char*)t + 8, &bits, sizeof bits);
}

inline sys_u32 offset_of(const Tokenizer& s, const char* p) {
    return (sys_u32)(p - s._begin);
}

// s._curr is at the number's first byte ('-' or a digit). Leaves it at the first byte that
// does not belong to the number.
inline bool read_number(Tokenizer& s) {
    const char* p = s._curr;
    const char* const end = s._end;
    if (*p == '-')
        ++p;
    if (p == end)
        return false;
    if (*p == '0') {
        ++p;
    } else if (is_digit(*p)) {
        do
            ++p;
        while (p < end && is_digit(*p));
    } else {
        return false;
    }
    if (p < end && *p == '.') {
        ++p;
        while (p < end && is_digit(*p))
            ++p;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        ++p;
        if (p < end && (*p == '+' || *p == '-'))
            ++p;
        if (p == end || !is_digit(*p))
            return false;
        do
            ++p;
        while (p < end && is_digit(*p));
    }
    s._curr = p;
    return true;
}

// s._curr is past the literal's first letter; `rest` is what must follow it.
template <size_t N> inline bool read_literal(Tokenizer& s, const char (&rest)[N]) {
    constexpr size_t n = N - 1;
    if ((size_t)(s._end - s._curr) < n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        if (s._curr[i] != rest[i])
            return false;
    }
    s._curr += n;
    return true;
}

// The bytes escaped by a backslash: the byte after each run of backslashes of odd length.
// (The odd-placed backslashes inside a run are escaped too, but those are always escapable
// and never quotes, so they are left out.) `carry` is 1 when the block's first byte is
// escaped by the previous block; it is updated for the next one.
inline uint64_t escaped_bytes(uint64_t backslash, uint64_t& carry) {
    const uint64_t even = 0x5555555555555555ull;
    const uint64_t in = carry;
    const uint64_t bs = backslash & ~in; // an escaped backslash starts nothing
    const uint64_t starts = bs & ~(bs << 1);
    // Adding a run's first bit to the mask carries through the run to the byte after it; the
    // run's length is odd when that byte's position has the other parity than the start.
    const uint64_t after_even_starts = (bs + (starts & even)) & ~bs;
    uint64_t sum;
    carry = __builtin_add_overflow(bs, starts & ~even, &sum) ? 1u : 0u;
    const uint64_t after_odd_starts = sum & ~bs;
    return (after_even_starts & ~even) | (after_odd_starts & even) | in;
}

// The bytes from each opening quote up to its closing one (the opening quote included), when
// the first quote opens a string: bit i is set when an odd number of quotes are at or before i.
inline uint64_t inside_strings(uint64_t quotes) {
    quotes ^= quotes << 1;
    quotes ^= quotes << 2;
    quotes ^= quotes << 4;
    quotes ^= quotes << 8;
    quotes ^= quotes << 16;
    quotes ^= quotes << 32;
    return quotes;
}

// Bytes of a token that is neither string nor container: after a number or literal, one of
// these means a second token follows with nothing between (or the text is malformed).
inline bool is_run_byte(unsigned char c) {
    return !(c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == ',' || c == '"' || c == '{' ||
             c == '}' || c == '[' || c == ']' || c == ':');
}

// The closing quote of a string whose body goes on at p (p is escaped when `carry` is 1), found
// 64 bytes at a time from the quote and backslash masks (and the escapable bytes) alone; null when
// the text ends first, or when a bad escape comes first (`*bad` then set).
template <class C>
const char* find_quote(const char* p, const char* const end, uint64_t carry, bool* bad) {
    while (p < end) {
        const size_t left = (size_t)(end - p);
        uint64_t quote, backslash, escapable;
        uint64_t valid = ~0ull;
        if (left >= 64) {
            C::quotes_backslashes(p, &quote, &backslash, &escapable);
        } else {
            alignas(64) char tail[64];
            __builtin_memset(tail, ' ', sizeof tail);
            __builtin_memcpy(tail, p, left);
            C::quotes_backslashes(tail, &quote, &backslash, &escapable);
            valid = (1ull << left) - 1;
        }
        if constexpr (C::kEscapable) {
            // As in the walker: no branch on whether the block holds an escape.
            const uint64_t escaped = escaped_bytes(backslash, carry);
            quote &= ~escaped;
            const uint64_t before = quote != 0 ? (quote & -quote) - 1 : valid;
            if ((escaped & ~backslash & ~escapable & before) != 0) {
                *bad = true;
                return nullptr;
            }
        } else if ((backslash | carry) != 0) {
            const uint64_t escaped = escaped_bytes(backslash, carry);
            quote &= ~escaped;
            // Only the escapes before the closing quote are the string's.
            const uint64_t before = quote != 0 ? (quote & -quote) - 1 : valid;
            for (uint64_t e = escaped & ~backslash & before; e != 0; e &= e - 1) {
                if (!is_escapable(p[__builtin_ctzll(e)])) {
                    *bad = true;
                    return nullptr;
                }
            }
        }
        if (quote != 0)
            return p + __builtin_ctzll(quote);
        p += 64;
    }
    return nullptr;
}

// What a byte outside strings begins, for the walker's dispatch (a table, so that the dispatch
// is one indexed jump).
enum : unsigned char { KindBad, KindOpen, KindClose, KindColon, KindNumber, KindLiteral, KindNul };
struct Kinds {
    unsigned char of[256];
    constexpr Kinds() : of() {
        set("{[", KindOpen);
        set("}]", KindClose);
        set(":", KindColon);
        set("-0123456789", KindNumber);
        set("tfn", KindLiteral);
        of[0] = KindNul;
    }
    constexpr void set(const char* bytes, unsigned char kind) {
        for (; *bytes != 0; ++bytes)
            of[(unsigned char)*bytes] = kind;
    }
    unsigned char operator[](unsigned char c) const { return of[c]; }
};
constexpr Kinds kKinds;

// What the walker carries from one block to the next: whether the first byte is escaped (1) or
// continues a run (1), and whether it is inside a string (all ones).
struct Carries {
    uint64_t escape, run, string;
};

// A block as the token loop takes it.
struct Block {
    uint64_t bits;      // the bytes the token loop visits (see walk)
    uint64_t colon;     // ':'
    uint64_t run;       // bytes of numbers, literals and garbage
    uint64_t not_digit; // all but '0' to '9'
    bool bad_escape;    // a backslash before a byte it may not escape
};

// Classifies the block at b (its part before the end, when less than 64 bytes are left) and
// works out its masks, taking the carries from the block before and leaving them for the next.
template <class C>
[[gnu::always_inline]] inline Block prepare(const char* b, const char* end, Carries& carries) {
    const size_t left = (size_t)(end - b);
    BlockMasks m;
    uint64_t valid = ~0ull;
    if (left >= 64) {
        m = C::classify(b);
    } else {
        alignas(64) char tail[64];
        __builtin_memset(tail, ' ', sizeof tail);
        __builtin_memcpy(tail, b, left);
        m = C::classify(tail);
        valid = (1ull << left) - 1;
    }
    Block k;
    // The byte step reports bad escapes: the walker leaves it the whole block.
    k.bad_escape = false;
    uint64_t escaped = 0;
    if constexpr (C::kEscapable) {
        // Whether a block holds an escape is as good as random in most texts: worked out for
        // every block, without a branch, and checked against the classifier's mask.
        escaped = escaped_bytes(m.backslash, carries.escape);
        k.bad_escape = (escaped & ~m.backslash & ~m.escapable & valid) != 0;
    } else if ((m.backslash | carries.escape) != 0) {
        escaped = escaped_bytes(m.backslash, carries.escape);
        for (uint64_t e = escaped & ~m.backslash & valid; e != 0; e &= e - 1) {
            if (!is_escapable(b[__builtin_ctzll(e)])) {
                k.bad_escape = true;
                break;
            }
        }
    }
    const uint64_t quotes = m.quote & ~escaped;
    k.run = ~(m.quote | m.op | m.space) & valid;
    const uint64_t run_starts = k.run & ~((k.run << 1) | carries.run);
    carries.run = k.run >> 63;
    k.not_digit = ~m.digit;
    k.colon = m.colon;
    // Brackets and runs inside strings are left out, so that a string's closing quote is the
    // bit after its opening one and its member-name colon the bit after that: taking a string
    // costs no mask arithmetic on its position.
    const uint64_t in_string = C::inside_strings(quotes) ^ carries.string;
    carries.string = (uint64_t)((int64_t)in_string >> 63);
    k.bits = quotes | ((m.op | run_starts) & ~in_string);
    return k;
}

template <class C> int walk(Tokenizer& s, json_token** stack, const char** until) {
    const char* const begin = s._begin;
    const char* const end = s._end;
    // Kept in registers: the token writes could alias the tokenizer's fields. A text holds at
    // most one token per byte, so a capacity beyond that is never reached and `full` stays
    // inside the caller's array.
    json_token* out = s._tokens + s._written;
    json_token* const full =
        s._tokens +
        (s._capacity < (sys_u64)(end - begin) + 1 ? s._capacity : (sys_u64)(end - begin) + 1);
    sys_u32 depth = s._depth;
    // whether the innermost open container is an object, where member names may be
    bool in_object = depth != 0 && stack[depth - 1]->_type == JSON_TYPE_OBJECT;
    const auto leave = [&](int result) {
        s._written = (sys_u64)(out - s._tokens);
        s._depth = depth;
        return result;
    };
    const auto bail = [&](const char* from, const char* to) {
        s._curr = from;
        *until = to;
        return leave(qv_json::WalkBail);
    };

    const char* b = s._curr;
    Carries carries = {0, 0, 0};
    // The opening quote of a string that goes on past the previous block.
    const char* open = nullptr;
    Block m = prepare<C>(b, end, carries);
    while (b < end) {
        if (m.bad_escape) {
            // From the opening quote of a string that runs into this block, else from the
            // block's start or from after a number or literal that runs into it. Worked out here
            // rather than kept at every token: one register fewer in the token loop.
            const char* from = open != nullptr ? open : b;
            if (open == nullptr && out != s._tokens && out[-1]._type >= JSON_TYPE_NUMBER) {
                const char* const after = begin + out[-1]._start + out[-1]._length;
                if (after > from)
                    from = after;
            }
            return bail(from, b + 64);
        }
        // The next block is prepared before this one's tokens are taken: its work does not
        // depend on them, so it overlaps them, and the round after the token loop's exit (a
        // branch no predictor can foresee) starts on masks that are ready.
        Block next;
        if (b + 64 < end)
            next = prepare<C>(b + 64, end, carries);
        uint64_t bits = m.bits;
        const uint64_t run = m.run;
        const uint64_t not_digit = m.not_digit;

        unsigned close;
        const char* body;
        if (open != nullptr) {
            // A string from the previous block: its closing quote is the first bit.
            body = open + 1;
            if (bits != 0) {
                open = nullptr;
                close = (unsigned)__builtin_ctzll(bits);
                bits &= bits - 1;
                goto close_string;
            }
            // Not in this block either: a long string, searched on with quotes and backslashes
            // alone (from its start again, which is simpler than keeping the escape carry of
            // every block for the few strings this long), and the blocks start again after it.
            bool bad = false;
            const char* const quote = find_quote<C>(body, end, 0, &bad);
            if (bad) // the byte step reports it
                return bail(open, open + 1);
            if (quote == nullptr)
                return leave(JSON_RESULT_INVALID);
            open = nullptr;
            b = quote - 63;
            close = 63;
            carries = {0, 0, 0};
            if (b + 64 < end)
                next = prepare<C>(b + 64, end, carries);
            goto close_string;
        }
        while (bits != 0) {
            {
                const unsigned k = (unsigned)__builtin_ctzll(bits);
                const char* const at = b + k;
                const unsigned char c = (unsigned char)*at;
                if (c == '"') { // most tokens are strings: no dispatch for them
                    if (out == full)
                        return leave(JSON_RESULT_OUT_OF_TOKENS);
                    body = at + 1;
                    bits &= bits - 1;
                    if (bits == 0) {
                        // No bit after the opening quote: a string that goes on past this
                        // block, taken up by the next one.
                        open = at;
                        break;
                    }
                    close = (unsigned)__builtin_ctzll(bits);
                    bits &= bits - 1;
                    goto close_string;
                }
                switch (kKinds[c]) {
                case KindOpen: {
                    if (out == full)
                        return leave(JSON_RESULT_OUT_OF_TOKENS);
                    if (depth == JSON_MAX_DEPTH)
                        return bail(at, at + 1);
                    json_token* t = out++;
                    put_token(t, (sys_u32)(at - begin), 0,
                              c == '{' ? JSON_TYPE_OBJECT : JSON_TYPE_ARRAY, depth);
                    stack[depth++] = t;
                    in_object = c == '{';
                    break;
                }
                case KindClose: {
                    if (depth == 0)
                        return leave(JSON_RESULT_INVALID);
                    json_token* t = stack[--depth];
                    if (in_object != (c == '}'))
                        return leave(JSON_RESULT_INVALID);
                    in_object = depth != 0 && stack[depth - 1]->_type == JSON_TYPE_OBJECT;
                    t->_length = (sys_u32)(at + 1 - begin) - t->_start;
                    break;
                }
                case KindColon: {
                    if (out == s._tokens || out[-1]._type != JSON_TYPE_STRING || !in_object)
                        return leave(JSON_RESULT_INVALID);
                    out[-1]._type = JSON_TYPE_STRING_KEY;
                    break;
                }
                case KindNumber: {
                    if (out == full)
                        return leave(JSON_RESULT_OUT_OF_TOKENS);
                    const uint64_t stops = ~run & (~0ull << k);
                    const char* q;
                    if (stops != 0) {
                        // The run ends in this block (at r): the digit mask gives the ends of
                        // the digit sequences, where the byte step reads digit by digit.
                        const unsigned r = (unsigned)__builtin_ctzll(stops);
                        unsigned p = k + (c == '-');
                        if (p == r)
                            return leave(JSON_RESULT_INVALID);
                        if (b[p] == '0')
                            ++p;
                        else if (is_digit(b[p]))
                            p = (unsigned)__builtin_ctzll(not_digit & (~0ull << p));
                        else
                            return leave(JSON_RESULT_INVALID);
                        if (p < r && b[p] == '.')
                            p = (unsigned)__builtin_ctzll(not_digit & (~0ull << (p + 1)));
                        if (p < r && (b[p] | 0x20) == 'e') {
                            ++p;
                            if (p < r && (b[p] == '+' || b[p] == '-'))
                                ++p;
                            if (p == r || !is_digit(b[p]))
                                return leave(JSON_RESULT_INVALID);
                            p = (unsigned)__builtin_ctzll(not_digit & (~0ull << p));
                        }
                        q = b + p;
                        put_token(out++, (sys_u32)(at - begin), (sys_u32)(q - at), JSON_TYPE_NUMBER,
                                  depth);
                        if (p != r)
                            return bail(q, q + 1);
                    } else {
                        s._curr = at;
                        if (!read_number(s))
                            return leave(JSON_RESULT_INVALID);
                        q = s._curr;
                        put_token(out++, (sys_u32)(at - begin), (sys_u32)(q - at), JSON_TYPE_NUMBER,
                                  depth);
                        if (q != end && is_run_byte((unsigned char)*q))
                            return bail(q, q + 1);
                    }
                    break;
                }
                case KindLiteral: {
                    if (out == full)
                        return leave(JSON_RESULT_OUT_OF_TOKENS);
                    const char* const word = c == 't' ? "true" : c == 'f' ? "false" : "null";
                    const size_t n = c == 'f' ? 5 : 4;
                    if ((size_t)(end - at) < n || __builtin_memcmp(at, word, 4) != 0 ||
                        (n == 5 && at[4] != 'e'))
                        return leave(JSON_RESULT_INVALID);
                    const sys_u32 type =
                        c == 't' ? JSON_TYPE_TRUE : (c == 'f' ? JSON_TYPE_FALSE : JSON_TYPE_NULL);
                    put_token(out++, (sys_u32)(at - begin), (sys_u32)n, type, depth);
                    const char* const after = at + n;
                    if (after != end && is_run_byte((unsigned char)*after))
                        return bail(after, after + 1);
                    break;
                }
                case KindNul:
                    if (depth != 0)
                        return leave(JSON_RESULT_INVALID);
                    return leave(qv_json::WalkDone);
                case KindBad:
                    // Includes every byte above '}', and all of 0x80 and up outside strings.
                    return leave(JSON_RESULT_INVALID);
                default: // the table holds no other kind
                    __builtin_unreachable();
                }
                bits &= bits - 1;
                continue;
            }
        close_string : {
            // The string's token; then, as in the byte step, a ':' right after the closing
            // quote makes it a member name without another round.
            const char* const quote = b + close;
            json_token* t = out++;
            sys_u32 type = JSON_TYPE_STRING;
            if ((m.colon >> close) & 2) {
                if (!in_object)
                    return leave(JSON_RESULT_INVALID);
                type = JSON_TYPE_STRING_KEY;
                bits &= bits - 1;
            }
            put_token(t, (sys_u32)(body - begin), (sys_u32)(quote - body), type, depth);
        }
        }
        b += 64;
        if (b < end) // else no next block was prepared
            m = next;
    }
    if (open != nullptr) // the text ends inside a string
        return leave(JSON_RESULT_INVALID);
    return leave(qv_json::WalkDone);
}

} // namespace
