// The formatter: every message of the library and of its host is formatted here.
//
// A specification is read whole (flags, width, precision, length, letter) before any argument
// is taken; the argument is then converted by the function for its letter into a text, and
// the text is written as a field (padding, sign, text) through the output cursor, which
// applies the truncation rule. Results are as if each conversion went through a 4096-byte
// text area and each field through another, but the work is kept to what can change the
// bytes: literal runs are measured 16 bytes to a compare and copied whole (byte by byte in
// sanitizer builds), an integer whose field fits the output is written straight into it (other
// numbers into a small local buffer), texts are read in place and a text without padding is
// copied straight out. The 4096-byte text area is touched only by
// conversions that need one (UTF-32 and case-changed text, floats, custom objects).
#include "qv_sys/io.h"

#include "qv_sys/assertion.h"
#include "qv_sys/chrono.h"
#include "qv_sys/cstr.h"
#include "qv_sys/hash.h"
#include "qv_sys/sysmemory.h"

#include "cstr_config.h"
#include "cstr_internal.h"

#include <algorithm>
#include <stdint.h>
#include <string.h>

#if QV_CSTR_WIDE_LOADS
#include <emmintrin.h>
#endif

namespace {

constexpr sys_u64 kWorkArea = 4096;
// A field (padding, sign, text) and its terminator must fit a work area.
constexpr sys_u64 kMaxWidth = kWorkArea - 1;
// sys_f64toa writes a sign, up to 309 integer digits, a point and the decimals; with a '%'
// and the terminator this stays inside the work area.
constexpr sys_u64 kMaxFloatPrecision = 3700;
constexpr sys_u64 kNoPrecision = ~0ull;
constexpr sys_u64 kMaxPosition = 7;

// What a specification holds besides numbers, as bits of Spec::flags. The first five are
// the flag characters (kFlags maps each character to its bit); the rest are what the
// specification's shape says. Kept in one word so that the common shape (flags and a width at
// most) is one test.
enum : unsigned {
    kSpace = 1,
    kPlus = 2,
    kMinus = 4,
    kZero = 8,
    kAlternate = 16,
    kPercent = 32, // '%' after the precision's '.'
    kHasWidth = 64,
    kHasPrecision = 128,
    kWidthStar = 256,
    kPrecisionStar = 512,
    kPositional = 1024,
};
constexpr struct FlagTable {
    unsigned char bit[256] = {};
    constexpr FlagTable() {
        bit[(unsigned char)' '] = kSpace;
        bit[(unsigned char)'+'] = kPlus;
        bit[(unsigned char)'-'] = kMinus;
        bit[(unsigned char)'0'] = kZero;
        bit[(unsigned char)'#'] = kAlternate;
    }
} kFlags;

// One conversion specification as read from the format, before any argument is taken.
struct Spec {
    sys_u64 position = 0; // 1-based; 0 = sequential
    sys_u64 width = 0;
    sys_u64 precision = kNoPrecision;
    sys_u64 bytes = 4;
    unsigned flags = 0;
    char letter = 0;

    bool has(unsigned bits) const { return (flags & bits) != 0; }
};

#if QV_CSTR_WIDE_LOADS
// Length of the literal run at f (f holds neither '%' nor the NUL): the bytes before the next
// '%' or NUL, found 16 bytes to a compare. Only whole aligned 16-byte blocks are loaded, so
// the bytes read past the format's NUL never leave the NUL's page (the string routines' rule).
inline sys_u64 literal_run(const char* f) {
    const __m128i percent = _mm_set1_epi8('%');
    const __m128i zero = _mm_setzero_si128();
    auto stops = [&](const char* block) {
        const __m128i v = _mm_load_si128((const __m128i*)block);
        return (unsigned)_mm_movemask_epi8(
            _mm_or_si128(_mm_cmpeq_epi8(v, percent), _mm_cmpeq_epi8(v, zero)));
    };
    const char* p = (const char*)((uintptr_t)f & ~(uintptr_t)15);
    unsigned m = stops(p) >> (f - p);
    if (m != 0)
        return (sys_u64)__builtin_ctz(m);
    for (;;) {
        p += 16;
        m = stops(p);
        if (m != 0)
            return (sys_u64)(p - f) + (sys_u64)__builtin_ctz(m);
    }
}
#endif

inline bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a run of decimal digits; values that cannot matter (beyond any clamp) saturate.
inline sys_u64 read_decimal(const char*& p) {
    sys_u64 v = 0;
    for (; is_digit(*p); ++p)
        v = v < (1ull << 40) ? v * 10 + (sys_u64)(*p - '0') : v;
    return v;
}

// Flags, with a position among them ('#' ends them), and a width in digits right after them
// (read here, as the scan for a position's '$' has read it already).
inline const char* parse_flags(const char* p, Spec& s) {
    for (;; ++p) {
        const unsigned bit = kFlags.bit[(unsigned char)*p];
        if (bit != 0) {
            s.flags |= bit;
            if (bit == kAlternate)
                return p + 1;
            continue;
        }
        if (*p < '1' || *p > '9')
            return p;
        const char* q = p;
        const sys_u64 v = read_decimal(q);
        if (*q != '$' || s.position != 0) {
            s.flags |= kHasWidth;
            s.width = v;
            return q;
        }
        s.position = v; // a run too long to hold saturates: as good as any position over 7
        s.flags |= kPositional;
        p = q;
    }
}

// Reads flags (and the position among them), width, precision and length after a '%', and
// returns the letter's position. Takes no argument: '*' is only noted.
inline __attribute__((always_inline)) const char* parse_spec(const char* p, Spec& s) {
    // Most specifications are a bare letter or a one-digit width: skip the flag loop.
    if (*p >= 'a' || (*p >= '1' && *p <= '9' && p[1] >= 'a')) {
        if (*p < 'a') {
            s.flags |= kHasWidth;
            s.width = (sys_u64)(*p++ - '0');
        }
        if (*p != 'h' && *p != 'l') {
            s.letter = *p;
            return p;
        }
    }
    p = parse_flags(p, s);

    // A width right after the flags was read with them; one after '#' is read here.
    if (!s.has(kHasWidth)) {
        if (*p == '*') {
            s.flags |= kWidthStar | kHasWidth;
            ++p;
        } else if (is_digit(*p)) {
            s.flags |= kHasWidth;
            s.width = read_decimal(p);
        }
    }

    if (*p == '.') {
        ++p;
        s.flags |= kHasPrecision;
        while (*p == '%') {
            s.flags |= kPercent;
            ++p;
        }
        if (*p == '*') {
            s.flags |= kPrecisionStar;
            ++p;
        } else {
            s.precision = read_decimal(p); // '.' alone means 0
        }
    }

    sys_u64 bytes = 4;
    for (;; ++p) {
        if (*p == 'h')
            bytes /= 2;
        else if (*p == 'l')
            bytes *= 2;
        else
            break;
    }
    s.bytes = bytes;
    s.letter = *p;
    return p;
}

inline bool integer_width(sys_u64 bytes) {
    return bytes == 1 || bytes == 2 || bytes == 4 || bytes == 8;
}

// ---- custom objects --------------------------------------------------------------------

struct CustomObject {
    sys_u64 hash;
    char name[64];
    sys_print_object_printer printer;
};

CustomObject* s_objects = nullptr;
sys_u64 s_object_count = 0;

// Index of the entry with `hash`, or s_object_count.
sys_u64 find_object(sys_u64 hash) {
    sys_u64 lo = 0, hi = s_object_count;
    while (lo < hi) {
        const sys_u64 mid = lo + (hi - lo) / 2;
        if (s_objects[mid].hash < hash)
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo < s_object_count && s_objects[lo].hash == hash ? lo : s_object_count;
}

inline bool is_name_char(char c) {
    return (c >= 'a' && c <= 'z') || is_digit(c) || c == '_';
}

// ---- digits ------------------------------------------------------------------------------

// Hexadecimal and octal digits of v written backwards so that they end at `end`; return their
// first byte (decimal: sys_decimal_before).
inline char* hex_before(char* end, sys_u64 v) {
    char* p = end;
    do {
        *--p = "0123456789abcdef"[v & 15];
        v >>= 4;
    } while (v != 0);
    return p;
}

inline char* octal_before(char* end, sys_u64 v) {
    char* p = end;
    do {
        *--p = (char)('0' + (v & 7));
        v >>= 3;
    } while (v != 0);
    return p;
}

// ---- output ------------------------------------------------------------------------------

// n bytes of c at p. Padding is mostly short: at most two overlapping stores of each size.
inline void fill(char* p, char c, sys_u64 n) {
    if (n == 0)
        return;
    if (n <= 16) {
        const uint64_t bytes = (uint64_t)(unsigned char)c * 0x0101010101010101ull;
        if (n >= 8) {
            memcpy(p, &bytes, 8);
            memcpy(p + n - 8, &bytes, 8);
        } else if (n >= 4) {
            memcpy(p, &bytes, 4);
            memcpy(p + n - 4, &bytes, 4);
        } else {
            // 1 to 3 bytes: the first, middle and last (a loop here becomes a memset call)
            p[0] = c;
            p[n / 2] = c;
            p[n - 1] = c;
        }
    } else {
        memset(p, c, n);
    }
}

// The output cursor with the truncation rule. The main loop keeps pos < end whenever a
// field is written.
struct Output {
    char* pos;
    char* end;

    // Room for text, one byte kept for the terminator.
    sys_u64 room() const { return (sys_u64)(end - pos) - 1; }

    // Appends a field of `pad` padding bytes, an optional sign and `len` bytes of text. When
    // it does not fit with a byte to spare, writes what leaves one byte, terminates there
    // and stops in front of the terminator.
    void field(char pad_char, sys_u64 pad, char sign, const char* text, sys_u64 len, bool left) {
        sys_u64 left_room = room();
        if (!left) {
            put_fill(pad_char, pad, left_room);
            put_sign(sign, left_room);
            put(text, len, left_room);
        } else {
            put_sign(sign, left_room);
            put(text, len, left_room);
            put_fill(pad_char, pad, left_room);
        }
        *pos = 0;
    }

    // Appends len bytes of the format's literal text, as many as fit before the end; a literal
    // run is not a field and may fill the very last byte.
    void literal(const char* text, sys_u64 len) {
        sys_u64 all = (sys_u64)(end - pos);
        put(text, len, all);
    }

  private:
    // Short runs (most fields) are written with at most two overlapping stores of each size
    // rather than byte by byte; only the n bytes are read and written.
    void put(const char* text, sys_u64 len, sys_u64& room) {
        const sys_u64 n = len < room ? len : room;
        if (n >= 8 && n <= 16) {
            uint64_t a, b;
            memcpy(&a, text, 8);
            memcpy(&b, text + n - 8, 8);
            memcpy(pos, &a, 8);
            memcpy(pos + n - 8, &b, 8);
        } else if (n >= 4 && n < 8) {
            uint32_t a, b;
            memcpy(&a, text, 4);
            memcpy(&b, text + n - 4, 4);
            memcpy(pos, &a, 4);
            memcpy(pos + n - 4, &b, 4);
        } else if (n != 0 && n < 4) {
            // The first, middle and last byte (a loop here becomes a memcpy call).
            const char a = text[0], b = text[n / 2], z = text[n - 1];
            pos[0] = a;
            pos[n / 2] = b;
            pos[n - 1] = z;
        } else if (n > 16) {
            memcpy(pos, text, n);
        }
        pos += n;
        room -= n;
    }
    void put_fill(char c, sys_u64 len, sys_u64& room) {
        const sys_u64 n = len < room ? len : room;
        fill(pos, c, n);
        pos += n;
        room -= n;
    }
    void put_sign(char sign, sys_u64& room) {
        if (sign && room) {
            *pos++ = sign;
            --room;
        }
    }
};

// ---- arguments ---------------------------------------------------------------------------

// Reads one slot of the argument list.
inline sys_u64 take_slot(va_list* args) {
    return va_arg(*args, sys_u64);
}

// Positional bookkeeping: the letter and byte width seen for each position (0 = unknown).
struct PositionSlot {
    char letter;
    sys_u64 bytes;
};

// Per call: whether it uses positions, and the positional bookkeeping.
struct Positions {
    int using_positions = -1; // unknown until the first argument-consuming specification
    bool cleared = false;     // the slots are cleared when the first position needs them
    PositionSlot vad[kMaxPosition + 1];
};

// Moves `args` (a fresh copy of the list) to the argument at `position`, learning and
// skipping the earlier positions by their letters.
void seek_position(va_list* args, sys_u64 position, const char* format, PositionSlot* vad) {
    for (sys_u64 p = 1; p < position; ++p) {
        if (vad[p].letter == 0) {
            char needle[4] = {'%', (char)('0' + p), '$', 0};
            const char* at = strstr(format, needle);
            if (!SYS_CHECK_TEXT_MSG(at != nullptr, "found", NULL))
                continue;
            Spec earlier;
            parse_spec(at + 1, earlier);
            vad[p].letter = earlier.letter;
            vad[p].bytes = earlier.bytes;
        }
        switch (vad[p].letter) {
        case 'O':
        case 'T':
        case 'c':
            (void)va_arg(*args, sys_u64);
            break;
        case 'f':
            (void)va_arg(*args, sys_f64);
            break;
        case 'i':
        case 'o':
        case 'u':
        case 'x':
            if (integer_width(vad[p].bytes))
                (void)va_arg(*args, sys_u64);
            break;
        case 's':
            if (vad[p].bytes == 4 || vad[p].bytes == 8)
                (void)va_arg(*args, sys_u64);
            break;
        default:
            SYS_CHECK_TEXT_MSG(false, "!\"Not implemented\"", NULL);
            break;
        }
    }
}

// What one call shares with its conversions.
struct Call {
    Output out;
    const char* format;
    va_list* src;      // where the current specification's argument comes from
    char* text_area;   // kWorkArea bytes
    char number[40];   // digits and durations
    const char* after; // the format resumes here (past the letter, or an object's name)
};

// A conversion's text, before sign and padding.
struct Text {
    const char* text;
    sys_u64 len;
    bool non_negative;
    // The length the field is laid out for when the text ends at a NUL before its counted end
    // (a %c of byte 0), else 0. The field is then cut at that NUL: the padding before the text
    // is written, the padding after it is not. Integers and floats, converted without a call,
    // never set it.
    sys_u64 counted = 0;
};

// ---- conversions -------------------------------------------------------------------------
// Each returns false when the conversion prints nothing, else fills `t`.

inline __attribute__((always_inline)) bool convert_integer(Call& c, const Spec& s, Text& t) {
    if (s.has(kHasPrecision))
        SYS_CHECK_TEXT_MSG(false, "!has_precision", NULL);
    sys_u64 raw = 0;
    if (integer_width(s.bytes))
        raw = take_slot(c.src);
    else
        SYS_CHECK_TEXT_MSG(false, "!\"Invalid byte specification\"", NULL);
    char* const end = c.number + sizeof c.number;
    char* first;
    if (s.letter == 'i') {
        const sys_i64 v = s.bytes == 1   ? (sys_i64)(int8_t)raw
                          : s.bytes == 2 ? (sys_i64)(int16_t)raw
                          : s.bytes == 4 ? (sys_i64)(sys_i32)raw
                                         : (sys_i64)raw;
        t.non_negative = v >= 0;
        first = sys_decimal_before(end, v < 0 ? 0 - (sys_u64)v : (sys_u64)v);
        if (v < 0)
            *--first = '-';
    } else {
        raw = s.bytes == 1   ? (sys_u8)raw
              : s.bytes == 2 ? (sys_u16)raw
              : s.bytes == 4 ? (sys_u32)raw
                             : raw;
        t.non_negative = true;
        first = s.letter == 'u'   ? sys_decimal_before(end, raw)
                : s.letter == 'x' ? hex_before(end, raw)
                                  : octal_before(end, raw);
    }
    t.text = first;
    t.len = (sys_u64)(end - first);
    return true;
}

// Whether an integer conversion can be written straight to the output by integer_field: it is
// sequential, has no star or precision and a valid length, and its field fits the output with
// a byte to spare (nearly every integer printed). The position rules then come down to the
// call not using positions already; the caller records that it does not.
inline bool direct_integer(const Spec& s, const Positions& pos, const Output& out) {
    // The longest text is 22 octal digits; a sign or minus makes 23.
    const sys_u64 longest = s.width > 23 ? s.width : 23;
    return !s.has(kPositional | kWidthStar | kPrecisionStar | kHasPrecision) &&
           pos.using_positions != 1 && integer_width(s.bytes) && s.width <= kMaxWidth &&
           out.room() > longest;
}

// Writes a direct_integer conversion: its length is known before any digit is, so the
// padding, the sign and the digits each go out once, with no copy through the number buffer
// and the field writer. (Its argument and sign rules repeat convert_integer's on purpose:
// sharing them through helpers measured about 5% slower on the integer benchmark.)
inline __attribute__((always_inline)) void integer_field(va_list* args, Output& out,
                                                         const Spec& s) {
    sys_u64 v = take_slot(args);
    char sign = s.has(kPlus) ? '+' : s.has(kSpace) ? ' ' : 0;
    if (s.letter == 'i') {
        const sys_i64 signed_v = s.bytes == 1   ? (sys_i64)(int8_t)v
                                 : s.bytes == 2 ? (sys_i64)(int16_t)v
                                 : s.bytes == 4 ? (sys_i64)(sys_i32)v
                                                : (sys_i64)v;
        if (signed_v < 0)
            sign = '-';
        v = signed_v < 0 ? 0 - (sys_u64)signed_v : (sys_u64)signed_v;
    } else {
        v = s.bytes == 1 ? (sys_u8)v : s.bytes == 2 ? (sys_u16)v : s.bytes == 4 ? (sys_u32)v : v;
    }
    const unsigned bits = 64 - (unsigned)__builtin_clzll(v | 1);
    const sys_u64 digits = s.letter == 'x'   ? (bits + 3) / 4
                           : s.letter == 'o' ? (bits + 2) / 3
                                             : sys_decimal_digits(v);
    const sys_u64 len = digits + (sign != 0);
    const sys_u64 pad = s.width > len ? s.width - len : 0;
    const char pad_char = s.has(kZero) ? '0' : ' ';
    char* p = out.pos;
    if (!s.has(kMinus)) {
        fill(p, pad_char, pad);
        p += pad;
    }
    if (sign)
        *p++ = sign;
    p += digits;
    if (s.letter == 'x')
        hex_before(p, v);
    else if (s.letter == 'o')
        octal_before(p, v);
    else
        sys_decimal_before(p, v);
    if (s.has(kMinus)) {
        fill(p, pad_char, pad);
        p += pad;
    }
    *p = 0;
    out.pos = p;
}

inline __attribute__((always_inline)) bool convert_float(Call& c, const Spec& s, Text& t) {
    if (s.bytes != 4 && s.bytes != 8)
        SYS_CHECK_TEXT_MSG(false, "!\"Invalid byte specification\"", NULL);
    sys_f64 v = va_arg(*c.src, sys_f64);
    if (s.has(kPercent))
        v *= 100.0;
    sys_u64 decimals = s.precision == kNoPrecision ? 3 : s.precision;
    if (decimals > kMaxFloatPrecision)
        decimals = kMaxFloatPrecision;
    t.non_negative = v >= 0.0;
    t.len = sys_f64toa(v, c.text_area, decimals) - 1;
    if (s.has(kPercent)) {
        c.text_area[t.len++] = '%';
        c.text_area[t.len] = 0;
    }
    t.text = c.text_area;
    return true;
}

bool convert_char(Call& c, const Spec&, Text& t) {
    c.number[0] = (char)(sys_u8)take_slot(c.src);
    t.text = c.number;
    t.len = 1;
    if (c.number[0] == 0) {
        SYS_CHECK_TEXT_MSG(false, "len == arg_len", NULL);
        t.len = 0;
        t.counted = 1;
    }
    return true;
}

// The bytes of a text conversion: up to its NUL, its precision and the 4095 bytes the
// conversion area holds.
inline sys_u64 text_limit(const Spec& s) {
    return s.has(kHasPrecision) && s.precision < kWorkArea ? s.precision : kWorkArea - 1;
}

// A text without a field is copied straight out: a memcpy once its length within the limit
// and the room is known.
inline void put_plain_text(Output& out, const char* str, sys_u64 limit) {
    const sys_u64 room = out.room();
    const sys_u64 stop_at = limit < room ? limit : room;
    const char* nul = (const char*)memchr(str, 0, stop_at);
    const sys_u64 n = nul ? (sys_u64)(nul - str) : stop_at;
    memcpy(out.pos, str, n);
    out.pos += n;
    *out.pos = 0;
}

// `w` and `W`: the text, read as `s` reads it, made lower- or upper-case. They take UTF-8 text
// only; another byte width is reported after the text is read, and the case still changes.
bool change_case(Call& c, const Spec& s, Text& t) {
    SYS_CHECK_TEXT_MSG(s.bytes == 4, "bytes == 4", NULL);
    if (t.text != c.text_area) {
        memcpy(c.text_area, t.text, t.len);
        c.text_area[t.len] = 0;
        t.text = c.text_area;
    }
    if (s.letter == 'w')
        sys_strtolower_ascii(c.text_area);
    else
        sys_strtoupper_ascii(c.text_area);
    return true;
}

// `s`, `w`, `W`. A plain `%s` without a width is copied straight to the output (a memcpy
// once its length within the precision and the room is known) and prints no field.
bool convert_text(Call& c, const Spec& s, Text& t) {
    const sys_u64 bytes = s.bytes;
    const sys_u64 limit = text_limit(s);
    if (bytes == 8) {
        const sys_u32* wide = (const sys_u32*)take_slot(c.src);
        if (wide) {
            t.len = sys_utf32_to_utf8(wide, c.text_area, limit + 1);
            t.text = c.text_area;
        } else {
            t.text = "(null)";
            t.len = limit < 6 ? limit : 6;
            return true;
        }
    } else if (bytes != 4) {
        SYS_CHECK_TEXT_MSG(false, "!\"Invalid byte specification\"", NULL);
        t.text = "";
        t.len = 0;
    } else if (const char* str = (const char*)take_slot(c.src); str == nullptr) {
        t.text = "(null)";
        t.len = limit < 6 ? limit : 6;
        return true;
    } else {
        if (s.letter == 's' && !s.has(kHasWidth)) {
            put_plain_text(c.out, str, limit);
            return false;
        }
        const char* nul = (const char*)memchr(str, 0, limit);
        t.len = nul ? (sys_u64)(nul - str) : limit;
        t.text = str;
    }
    return s.letter == 's' || change_case(c, s, t);
}

// Duration "[-]hh:mm:ss.uuuuuu" (hours may take more digits): the text that
// "%s%02li:%02li:%02li.%06li" gives for the sign, hours, minutes, seconds and microseconds.
bool convert_duration(Call& c, const Spec& s, Text& t) {
    const sys_i64 v = s.has(kAlternate) ? chrono_now_microsecond_diff_global_start_time()
                                        : (sys_i64)take_slot(c.src);
    const sys_u64 a = v < 0 ? 0 - (sys_u64)v : (sys_u64)v;
    const sys_u64 hours = a / 3600000000ull;
    const sys_u64 minutes = (a % 3600000000ull) / 60000000ull;
    const sys_u64 seconds = (a % 60000000ull) / 1000000ull;
    const sys_u64 micro = a % 1000000ull;
    // Built backwards from the end of the number buffer: the fixed tail, then the hours.
    char* const end = c.number + sizeof c.number;
    char* const tail = end - 13; // ":mm:ss.uuuuuu"
    tail[0] = ':';
    memcpy(tail + 1, kDigitPairs + 2 * minutes, 2);
    tail[3] = ':';
    memcpy(tail + 4, kDigitPairs + 2 * seconds, 2);
    tail[6] = '.';
    memcpy(tail + 7, kDigitPairs + 2 * (micro / 10000), 2);
    memcpy(tail + 9, kDigitPairs + 2 * (micro / 100 % 100), 2);
    memcpy(tail + 11, kDigitPairs + 2 * (micro % 100), 2);
    char* p = sys_decimal_before(tail, hours);
    if (hours < 10)
        *--p = '0';
    if (v < 0)
        *--p = '-';
    t.text = p;
    t.len = (sys_u64)(end - p);
    return true;
}

bool convert_object(Call& c, const Spec& s, Text& t, const char* spec_begin) {
    const char* name = c.after;
    const char* f = name;
    while (is_name_char(*f))
        ++f;
    c.after = f;
    void* object = (void*)take_slot(c.src);
    if (!SYS_CHECK_TEXT_MSG(f != name, "curr != begin", NULL))
        return false;
    const sys_u64 name_len = (sys_u64)(f - name) < 64 ? (sys_u64)(f - name) : 64;
    const sys_u64 index = find_object(qv_hash(name, name_len));
    if (!SYS_CHECK_TEXT_MSG(index < s_object_count, "found", NULL))
        return false;
    if (!object) {
        t.text = "(null)";
        t.len = 6;
        return true;
    }
    char* const area = c.text_area;
    sys_print_object_context ctx = {};
    ctx.output = area;
    ctx.capacity = kWorkArea;
    ctx.object = object;
    ctx.space = s.has(kSpace);
    ctx.plus = s.has(kPlus);
    ctx.zero = s.has(kZero);
    ctx.alternate = s.has(kAlternate);
    ctx.percent = s.has(kPercent);
    ctx.precision = s.has(kHasPrecision) ? s.precision : kNoPrecision;
    ctx.spec_begin = spec_begin;
    ctx.spec_end = f;
    const sys_u64 num = s_objects[index].printer(&ctx);
    area[kWorkArea - 1] = 0; // whatever the printer did, the text ends here
    if (!SYS_CHECK_TEXT_MSG(num != 0, "num", NULL))
        return false;
    sys_u64 arg_len = num - 1;
    if (num > kWorkArea || area[num - 1] != 0) {
        SYS_CHECK_TEXT_MSG(false, "tmpbuf[num - 1] == 0", NULL);
        arg_len = strlen(area);
    }
    t.len = strlen(area);
    if (t.len != arg_len) {
        SYS_CHECK_TEXT_MSG(false, "len == arg_len", NULL);
        t.counted = arg_len;
    }
    t.text = area;
    return true;
}

// The conversion for the letter; false when it prints nothing.
inline bool convert(Call& c, const Spec& s, Text& t, const char* spec_begin) {
    t.non_negative = false;
    switch (s.letter) {
    case 'i':
    case 'u':
    case 'o':
    case 'x':
        return convert_integer(c, s, t); // positional ones; sequential ones never come here
    case 's':
    case 'w':
    case 'W':
        return convert_text(c, s, t);
    case 'f':
        return convert_float(c, s, t); // positional ones, as for integers
    case 'c':
        return convert_char(c, s, t);
    case 'T':
        return convert_duration(c, s, t);
    case 'O':
        return convert_object(c, s, t, spec_begin);
    default:
        SYS_CHECK_TEXT_MSG(false, "!\"Unrecognized sys_vsnprintf argmuent\"", NULL);
        if (s.letter == 0)
            --c.after; // a '%' at the very end: the formatting ends there
        return false;
    }
}

// ---- specifications ----------------------------------------------------------------------

// The position rules that hold before any argument is taken.
inline void check_position_use(Positions& pos, const Spec& s) {
    if (s.letter == 'T' && s.has(kAlternate))
        return; // takes no argument
    const int positional = s.position != 0 ? 1 : 0;
    if (pos.using_positions < 0)
        pos.using_positions = positional;
    else
        SYS_CHECK_TEXT_MSG(positional == pos.using_positions,
                           "( argument_position != 0 ) == using_argument_position", NULL);
}

// Takes the '*' width and precision from the sequential arguments and clamps the width.
inline void take_stars(Spec& s, const Positions& pos, va_list* seq) {
    if (s.has(kWidthStar)) {
        SYS_CHECK_TEXT_MSG(pos.using_positions != 1, "!using_argument_position", NULL);
        const sys_i32 w = (sys_i32)take_slot(seq);
        if (w < 0) {
            s.flags |= kMinus;
            s.width = (sys_u64)0 - (sys_u64)(sys_i64)w;
        } else {
            s.width = (sys_u64)w;
        }
    }
    if (s.has(kPrecisionStar)) {
        SYS_CHECK_TEXT_MSG(pos.using_positions != 1, "!using_argument_position", NULL);
        const sys_i32 pr = (sys_i32)take_slot(seq);
        if (SYS_CHECK_TEXT_MSG(pr >= 0, "tmp_precision >= 0", NULL)) {
            s.precision = (sys_u64)pr;
        } else {
            s.flags &= ~kHasPrecision;
            s.precision = kNoPrecision;
        }
    }
}

// Moves a fresh copy of the arguments to the conversion's position and records its
// letter and byte width there.
void locate_position(Positions& pos, const Spec& s, const char* format, va_list args,
                     va_list* positional) {
    if (!pos.cleared) {
        memset(pos.vad, 0, sizeof pos.vad);
        pos.cleared = true;
    }
    va_copy(*positional, args);
    seek_position(positional, s.position, format, pos.vad);
    PositionSlot& slot = pos.vad[s.position];
    SYS_CHECK_TEXT_MSG(slot.letter == 0 || slot.letter == s.letter,
                       "vad[p]._c == 0 || vad[p]._c == *curr", NULL);
    SYS_CHECK_TEXT_MSG(slot.bytes == 0 || slot.bytes == s.bytes,
                       "vad[p]._bytes == 0 || vad[p]._bytes == bytes", NULL);
    slot.letter = s.letter;
    slot.bytes = s.bytes;
}

// Writes the converted text as a field: sign for non-negative numbers, then the padding.
inline void write_field(Output& o, const Spec& s, const Text& t) {
    const char sign = t.non_negative ? (s.has(kPlus) ? '+' : s.has(kSpace) ? ' ' : 0) : 0;
    const sys_u64 len = t.counted > t.len ? t.counted : t.len;
    const sys_u64 pad = s.width > len ? s.width - len - (sign ? 1 : 0) : 0;
    const bool cut = t.counted > t.len;
    o.field(s.has(kZero) ? '0' : ' ', cut && s.has(kMinus) ? 0 : pad, sign, t.text, t.len,
            s.has(kMinus));
}

// A position above 7 converts nothing; the letter (and an object's name) is skipped.
inline const char* skip_unsupported(const Spec& s, const char* letter) {
    SYS_CHECK_TEXT_MSG(false, "argument_position < 8", NULL);
    const char* f = letter;
    if (*f)
        ++f;
    if (s.letter == 'O')
        while (is_name_char(*f))
            ++f;
    return f;
}

// A positional specification: converted from a fresh copy of the arguments moved to its
// position. There is one argument cursor per call: it goes on from there, so a sequential
// specification after `%N$` (reported, then converted as written) takes argument N + 1. Kept
// out of format_spec, which then needs no list of its own.
__attribute__((noinline)) bool convert_positional(Call& c, Positions& pos, const Spec& s,
                                                  va_list* seq, va_list args, Text& t,
                                                  const char* spec_begin) {
    va_list positional;
    locate_position(pos, s, c.format, args, &positional);
    c.src = &positional;
    const bool emit = convert(c, s, t, spec_begin);
    va_end(*seq);
    va_copy(*seq, positional);
    va_end(positional);
    return emit;
}

// One specification from its '%'; returns where the format resumes. Inlined into the main
// loop: a call per specification costs more than most conversions. `out` is the main loop's
// own cursor, kept in registers; the conversions that are calls see it as c.out, copied
// there and back around them.
inline __attribute__((always_inline)) const char* format_spec(Call& c, Output& out, Positions& pos,
                                                              va_list* seq, va_list args,
                                                              const char* spec_begin) {
    Spec s;
    const char* const letter = parse_spec(spec_begin + 1, s);
    // Integers are most of what is printed.
    const bool integer = s.letter == 'i' || s.letter == 'u' || s.letter == 'x' || s.letter == 'o';
    if (integer && direct_integer(s, pos, out)) {
        pos.using_positions = 0;
        integer_field(seq, out, s);
        return letter + 1;
    }
    if (s.position > kMaxPosition)
        return skip_unsupported(s, letter);
    check_position_use(pos, s);
    take_stars(s, pos, seq);
    if (s.width > kMaxWidth)
        s.width = kMaxWidth;

    Text t;
    bool emit;
    c.after = letter + 1;
    if (s.position == 0) {
        // The other integers and floats are converted here without a call.
        if (s.letter == 's' && !s.has(kHasWidth) && s.bytes == 4) {
            const char* str = (const char*)take_slot(seq);
            put_plain_text(out, str ? str : "(null)", text_limit(s));
            return letter + 1;
        }
        c.src = seq;
        if (integer) {
            emit = convert_integer(c, s, t);
        } else if (s.letter == 'f') {
            emit = convert_float(c, s, t);
        } else {
            c.out = out;
            emit = convert(c, s, t, spec_begin);
            out = c.out;
        }
    } else {
        c.out = out;
        emit = convert_positional(c, pos, s, seq, args, t, spec_begin);
        out = c.out;
    }
    if (emit)
        write_field(out, s, t);
    return c.after;
}

} // namespace

extern "C" {

sys_u64 sys_vsnprintf(char* dst, sys_u64 size, const char* format, va_list args) {
    if (!format || !*format) {
        if (size > 0)
            *dst = 0;
        return 0;
    }

    char text_area[kWorkArea];
    Call c;
    Output out{dst, dst + size};
    c.format = format;
    c.text_area = text_area;
    Positions pos;
    va_list seq;
    va_copy(seq, args);

    const char* f = format;
    while (*f) {
        if (out.pos == out.end) {
            va_end(seq);
            return size;
        }
        if (*f != '%') {
#if QV_CSTR_WIDE_LOADS
            // A lone separator between conversions is common enough to skip the block scan
            // (the output has room for it: checked above).
            if (f[1] == '%' || f[1] == 0) {
                *out.pos++ = *f++;
                continue;
            }
            const sys_u64 n = literal_run(f);
            out.literal(f, n);
            f += n;
#else
            // Copy the literal run while scanning it, at most up to the end of the output.
            char* const stop = out.end;
            char* p = out.pos;
            do {
                *p++ = *f++;
            } while (*f && *f != '%' && p != stop);
            out.pos = p;
#endif
            continue;
        }
        if (f[1] == '%') {
            *out.pos++ = '%';
            f += 2;
            continue;
        }
        f = format_spec(c, out, pos, &seq, args, f);
    }

    va_end(seq);
    if (out.pos < out.end)
        *out.pos = 0;
    return (sys_u64)(out.pos - dst);
}

sys_u64 sys_snprintf(char* out, sys_u64 size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const sys_u64 n = sys_vsnprintf(out, size, format, args);
    va_end(args);
    return n;
}

void sys_register_print_custom_object(const char* const* names,
                                      const sys_print_object_printer* printers, sys_u64 count) {
    for (sys_u64 i = 0; i < count; ++i) {
        CustomObject entry = {};
        const char* name = names[i] ? names[i] : "";
        sys_u64 n = 0;
        while (n < sizeof(entry.name) - 1 && name[n]) {
            entry.name[n] = name[n];
            ++n;
        }
        entry.hash = qv_hash(entry.name, n);
        entry.printer = printers[i];

        const sys_u64 at = find_object(entry.hash);
        if (at < s_object_count) {
            if (SYS_CHECK_TEXT_MSG(strcmp(s_objects[at].name, entry.name) == 0,
                                   "!\"Hash collision\"", NULL))
                s_objects[at].printer = entry.printer;
            continue;
        }
        CustomObject* grown =
            (CustomObject*)sys_realloc(s_objects, (s_object_count + 1) * sizeof(CustomObject));
        if (!grown)
            continue;
        s_objects = grown;
        s_objects[s_object_count++] = entry;
    }
    std::sort(s_objects, s_objects + s_object_count,
              [](const CustomObject& a, const CustomObject& b) { return a.hash < b.hash; });
}

const char* sys_printf_consume_modifiers(const char* format) {
    for (;; ++format) {
        const char c = *format;
        if (c == ' ' || c == '#' || c == '%' || c == '*' || c == '+' || c == '-' || c == '.' ||
            is_digit(c) || c == 'h' || c == 'l')
            continue;
        return format;
    }
}

} // extern "C"
