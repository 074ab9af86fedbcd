// The JSON tokenizer and the navigation over its flat token array.
//
// One pass. The block walker (json_blocks.h) classifies 64 bytes at a time with vector
// compares and visits only the bytes where something starts; whatever it leaves to the byte
// step below (bad escapes, tokens with nothing between them, the depth limit) goes through one
// byte-indexed dispatch per token or separator, with strings scanned 16 bytes at a time. Both
// write the same tokens and give the same failures. No allocation: the open-container stack
// lives on the call stack. Every reader compares against the end of the text before it
// dereferences, so a text cut anywhere is never read past its length.
#include "qv_sys/json.h"

#include "qv_sys/assertion.h"

#include "cstr_internal.h"
#include "json_blocks.h"

#include <emmintrin.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <type_traits>

static_assert(std::is_standard_layout_v<json_token>);
static_assert(offsetof(json_token, _start) == 0 && offsetof(json_token, _length) == 4);
static_assert(alignof(json_token) == 4);

namespace {

// The masks of one 64-byte block, 16 bytes to a compare.
struct Sse2 {
    static constexpr bool kEscapable = false; // the walker looks the escaped bytes up itself
    static uint64_t inside_strings(uint64_t quotes) { return ::inside_strings(quotes); }
    static uint64_t bits(__m128i hit, int i) {
        return (uint64_t)(uint32_t)_mm_movemask_epi8(hit) << (16 * i);
    }
    static BlockMasks classify(const char* p) {
        BlockMasks m = {0, 0, 0, 0, 0, 0, 0};
        for (int i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128((const __m128i*)(p + 16 * i));
            // '[' and ']' are '{' and '}' without the 0x20 bit; no other byte becomes either
            const __m128i folded = _mm_or_si128(v, _mm_set1_epi8(0x20));
            const __m128i colon = _mm_cmpeq_epi8(v, _mm_set1_epi8(':'));
            const __m128i op =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(folded, _mm_set1_epi8('{')),
                                          _mm_cmpeq_epi8(folded, _mm_set1_epi8('}'))),
                             colon);
            const __m128i space =
                _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                          _mm_cmpeq_epi8(v, _mm_set1_epi8(','))),
                             _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                                       _mm_cmpeq_epi8(v, _mm_set1_epi8('\r'))),
                                          _mm_cmpeq_epi8(v, _mm_set1_epi8('\t'))));
            m.quote |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), i);
            m.backslash |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')), i);
            m.op |= bits(op, i);
            m.space |= bits(space, i);
            m.colon |= bits(colon, i);
            m.digit |= bits(_mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('0' - 1)),
                                          _mm_cmpgt_epi8(_mm_set1_epi8('9' + 1), v)),
                            i);
        }
        return m;
    }
    static void quotes_backslashes(const char* p, uint64_t* quote, uint64_t* backslash,
                                   uint64_t* escapable) {
        *escapable = 0; // not worked out (kEscapable)

        uint64_t q = 0, b = 0;
        for (int i = 0; i < 4; ++i) {
            const __m128i v = _mm_loadu_si128((const __m128i*)(p + 16 * i));
            q |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), i);
            b |= bits(_mm_cmpeq_epi8(v, _mm_set1_epi8('\\')), i);
        }
        *quote = q;
        *backslash = b;
    }
};

// One bit per byte of the 64 at p: set where the byte is '"' or '\\'.
inline uint64_t quotes_and_backslashes(const char* p) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    uint64_t bits = 0;
    for (int i = 0; i < 4; ++i) {
        const __m128i v = _mm_loadu_si128((const __m128i*)(p + 16 * i));
        const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash));
        bits |= (uint64_t)(uint32_t)_mm_movemask_epi8(hit) << (16 * i);
    }
    return bits;
}

// s._curr is at the byte after the escaping backslash, which the caller has checked exists.
inline void check_escape(Tokenizer& s) {
    // A bad escape is the writer's bug, not malformed input the reader must survive: it is
    // reported, and the byte is still skipped like any escaped one.
    SYS_CHECK_TEXT_MSG(is_escapable(*s._curr),
                       "*s._curr == '\\\"' || *s._curr == '\\\\' || *s._curr == '/' || "
                       "*s._curr == 'b' || *s._curr == 'f' || *s._curr == 'n' || "
                       "*s._curr == 'r' || *s._curr == 't' || *s._curr == 'u'",
                       NULL);
}

// s._curr is at the opening quote's successor; on success it is left at the closing quote.
// False when the text ends first. After a first look at 16 bytes, whole 64-byte blocks are
// searched with vector compares and
// every quote or backslash in a block is handled from one bit mask, so escapes cost no
// reload; the last partial block goes byte by byte.
inline bool read_string(Tokenizer& s) {
    const char* p = s._curr;
    const char* const end = s._end;
    // Most names and short values end within 16 bytes: try those first, alone.
    if (end - p >= 16) {
        const __m128i v = _mm_loadu_si128((const __m128i*)p);
        const int hits = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')),
                                                        _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'))));
        if (hits == 0) {
            p += 16;
        } else if (p[__builtin_ctz((unsigned)hits)] == '"') {
            s._curr = p + __builtin_ctz((unsigned)hits);
            return true;
        }
    }
    while (end - p >= 64) {
        uint64_t bits = quotes_and_backslashes(p);
        const char* next = p + 64;
        while (bits != 0) {
            const int k = __builtin_ctzll(bits);
            const char* at = p + k;
            if (*at == '"') {
                s._curr = at;
                return true;
            }
            s._curr = at + 1;
            if (s._curr == end)
                return false;
            check_escape(s);
            if (k >= 62) { // the escaped byte is the block's last, or just past it
                next = at + 2;
                break;
            }
            bits &= ~(uint64_t)0 << (k + 2);
        }
        p = next;
    }
    for (; p < end; ++p) {
        if (*p == '"') {
            s._curr = p;
            return true;
        }
        if (*p == '\\') {
            s._curr = ++p;
            if (p == end)
                return false;
            check_escape(s);
        }
    }
    return false;
}

// One round of the byte-indexed dispatch from s._curr: a token, a separator or a run of white
// space. Gives a JSON_RESULT_* value when the text is finished with, or -1 to go on.
int step(Tokenizer& s, json_token** stack) {
    const char* const at = s._curr++;
    const unsigned char c = (unsigned char)*at;
    switch (c) {
    case '\t':
    case '\n':
    case '\r':
    case ' ':
    case ',':
        // Indentation comes in runs: take them without going round the dispatch.
        while (s._curr < s._end && *s._curr == ' ')
            ++s._curr;
        return -1;
    case '\0':
        if (s._depth != 0)
            return JSON_RESULT_INVALID;
        s._curr = s._end;
        return -1;
    case '{':
    case '[': {
        if (s._written == s._capacity)
            return JSON_RESULT_OUT_OF_TOKENS;
        if (!SYS_CHECK_TEXT_MSG(s._depth < JSON_MAX_DEPTH,
                                "s._depth < (sizeof(stack)/sizeof(stack[0]))", NULL))
            return JSON_RESULT_INVALID;
        json_token* t = &s._tokens[s._written++];
        put_token(t, offset_of(s, at), 0, c == '{' ? JSON_TYPE_OBJECT : JSON_TYPE_ARRAY, s._depth);
        stack[s._depth++] = t;
        return -1;
    }
    case '}':
    case ']': {
        if (s._depth == 0)
            return JSON_RESULT_INVALID;
        json_token* t = stack[--s._depth];
        if (t->_type != (c == '}' ? JSON_TYPE_OBJECT : JSON_TYPE_ARRAY))
            return JSON_RESULT_INVALID;
        t->_length = offset_of(s, s._curr) - t->_start;
        return -1;
    }
    case ':': {
        if (s._written == 0 || s._tokens[s._written - 1]._type != JSON_TYPE_STRING ||
            s._depth == 0 || stack[s._depth - 1]->_type != JSON_TYPE_OBJECT)
            return JSON_RESULT_INVALID;
        s._tokens[s._written - 1]._type = JSON_TYPE_STRING_KEY;
        return -1;
    }
    case '"': {
        if (s._written == s._capacity)
            return JSON_RESULT_OUT_OF_TOKENS;
        const char* const start = s._curr;
        if (!read_string(s))
            return JSON_RESULT_INVALID;
        // A string is most often a member name: take its ':' here rather than through another
        // round of the dispatch. The rule is the one of the ':' case above, with the last
        // token known to be this string.
        json_token* t = &s._tokens[s._written++];
        const char* next = s._curr + 1;
        sys_u32 type = JSON_TYPE_STRING;
        if (next != s._end && *next == ':') {
            if (s._depth == 0 || stack[s._depth - 1]->_type != JSON_TYPE_OBJECT)
                return JSON_RESULT_INVALID;
            type = JSON_TYPE_STRING_KEY;
            ++next;
        }
        put_token(t, offset_of(s, start), (sys_u32)(s._curr - start), type, s._depth);
        s._curr = next;
        return -1;
    }
    case '-':
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
        if (s._written == s._capacity)
            return JSON_RESULT_OUT_OF_TOKENS;
        s._curr = at;
        if (!read_number(s))
            return JSON_RESULT_INVALID;
        put_token(&s._tokens[s._written++], offset_of(s, at), (sys_u32)(s._curr - at),
                  JSON_TYPE_NUMBER, s._depth);
        return -1;
    }
    case 't':
    case 'f':
    case 'n': {
        if (s._written == s._capacity)
            return JSON_RESULT_OUT_OF_TOKENS;
        const bool ok = c == 't'   ? read_literal(s, "rue")
                        : c == 'f' ? read_literal(s, "alse")
                                   : read_literal(s, "ull");
        if (!ok)
            return JSON_RESULT_INVALID;
        const sys_u32 type =
            c == 't' ? JSON_TYPE_TRUE : (c == 'f' ? JSON_TYPE_FALSE : JSON_TYPE_NULL);
        put_token(&s._tokens[s._written++], offset_of(s, at), (sys_u32)(s._curr - at), type,
                  s._depth);
        return -1;
    }
    default:
        // Includes every byte above '}', and all of 0x80 and up outside strings.
        return JSON_RESULT_INVALID;
    }
}

} // namespace

sys_u32 json_tokenize(const char* json, sys_u64 length, json_token* tokens, sys_u64 capacity,
                      sys_u64* out_written) {
    const int walker = sys_cpu_has_evex()   ? qv_json::WalkerEvex
                       : sys_cpu_has_avx2() ? qv_json::WalkerAvx2
                                            : qv_json::WalkerSse2;
    return qv_json::tokenize(walker, json, length, tokens, capacity, out_written);
}

sys_u32 qv_json::tokenize(int walker, const char* json, sys_u64 length, json_token* tokens,
                          sys_u64 capacity, sys_u64* out_written) {
    if (length > UINT32_MAX)
        return JSON_RESULT_INVALID;
    json_token* stack[JSON_MAX_DEPTH];
    Tokenizer s;
    s._curr = json;
    s._begin = json;
    s._end = json + length;
    s._written = 0;
    s._capacity = capacity;
    s._tokens = tokens;
    s._depth = 0;

    while (s._curr < s._end) {
        if (walker == qv_json::WalkerNone) {
            const int r = step(s, stack);
            if (r >= 0)
                return (sys_u32)r;
            continue;
        }
        const char* until = s._end;
        const int walked = walker == qv_json::WalkerEvex   ? qv_json::walk_evex(s, stack, &until)
                           : walker == qv_json::WalkerAvx2 ? qv_json::walk_avx2(s, stack, &until)
                                                           : walk<Sse2>(s, stack, &until);
        if (walked == qv_json::WalkDone)
            break;
        if (walked != qv_json::WalkBail)
            return (sys_u32)walked;
        // The byte step covers what the walker left it, then the walker starts afresh.
        while (s._curr < until && s._curr < s._end) {
            const int r = step(s, stack);
            if (r >= 0)
                return (sys_u32)r;
        }
    }

    if (s._depth != 0)
        return JSON_RESULT_INVALID;
    *out_written = s._written;
    SYS_CHECK(*out_written != 0);
    return JSON_RESULT_OK;
}

// --- navigation ------------------------------------------------------------------------------
// Each walk is given a token and the number of tokens from it to the end of the caller's array,
// and never looks before that token. Deeper tokens are skipped; a shallower one ends the walk.

namespace {

sys_u64 name_length(const char* name) {
    sys_u64 n = 0;
    while (name[n] != '\0')
        ++n;
    return n;
}

bool name_equals(const json_token& t, const char* json, const char* name, sys_u64 length) {
    if (t._length != length)
        return false;
    const char* text = json + t._start;
    for (sys_u64 i = 0; i < length; ++i) {
        if (text[i] != name[i])
            return false;
    }
    return true;
}

} // namespace

json_token* json_token_get(const char* name, const json_token* first, sys_u64 count,
                           const char* json) {
    if (first == nullptr || count == 0)
        return nullptr;
    const json_token* t = first;
    const json_token* const end = first + count;
    if (t->_type == JSON_TYPE_STRING_KEY && ++t == end)
        return nullptr;
    if (t->_type == JSON_TYPE_OBJECT) {
        const sys_u32 members_depth = t->_depth + 1;
        if (++t == end || t->_depth != members_depth)
            return nullptr;
    }
    if (t->_type != JSON_TYPE_STRING_KEY)
        return nullptr;
    const sys_u32 depth = t->_depth;
    const sys_u64 length = name_length(name);
    for (; t != end && t->_depth >= depth; ++t) {
        if (t->_depth == depth && t->_type == JSON_TYPE_STRING_KEY &&
            name_equals(*t, json, name, length))
            return (json_token*)t;
    }
    return nullptr;
}

json_token* json_token_get_array_index(sys_u64 index, const json_token* first, sys_u64 count) {
    if (first == nullptr || count == 0)
        return nullptr;
    const json_token* t = first;
    const json_token* const end = first + count;
    if (t->_type == JSON_TYPE_STRING_KEY && ++t == end)
        return nullptr;
    if (t->_type != JSON_TYPE_ARRAY || t + 1 == end)
        return nullptr;
    const sys_u32 elements_depth = t->_depth + 1;
    sys_u64 number = 0;
    for (++t; t != end && t->_depth >= elements_depth; ++t) {
        if (t->_depth == elements_depth && number++ == index)
            return (json_token*)t;
    }
    return nullptr;
}

json_token* json_token_next_array_index(const json_token* token, sys_u64 count) {
    if (token == nullptr || count < 2)
        return nullptr;
    const sys_u32 depth = token->_depth;
    const json_token* const end = token + count;
    for (const json_token* t = token + 1; t != end && t->_depth >= depth; ++t) {
        if (t->_depth == depth) {
            const json_token& tok = *t;
            SYS_CHECK(tok._type != JSON_TYPE_STRING_KEY);
            return (json_token*)t;
        }
    }
    return nullptr;
}

json_token* json_token_next_string_key(const json_token* begin, sys_u64 count) {
    if (begin == nullptr || count == 0)
        return nullptr;
    SYS_CHECK(begin->_type == JSON_TYPE_STRING_KEY);
    if (count < 2)
        return nullptr;
    const sys_u32 depth = begin->_depth;
    const json_token* const end = begin + count;
    for (const json_token* t = begin + 1; t != end && t->_depth >= depth; ++t) {
        if (t->_depth == depth && t->_type == JSON_TYPE_STRING_KEY)
            return (json_token*)t;
    }
    return nullptr;
}
