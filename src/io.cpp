// The formatter and the print dispatch: every message of the library and of its host is
// formatted here, once, and handed to the registered print callbacks.
//
// The formatter behaves as one simple model would (a conversion text, then a field
// with sign and padding, copied to the output with the truncation rule), but takes short
// cuts where the result cannot differ: literal runs are copied as blocks, numbers are
// written into a small local buffer, texts are read in place and a field that fits is
// written straight to the output. The 4096-byte work area is touched only by conversions
// that need one (UTF-32 and case-changed text, floats, custom objects).
#include "qv_sys/io.h"

#include "qv_sys/assertion.h"
#include "qv_sys/chrono.h"
#include "qv_sys/hash.h"
#include "qv_sys/sysmemory.h"

#include "platform/os.h"
#include "qv_sys/cstr.h"

#include <algorithm>
#include <stdio.h>
#include <string.h>

namespace {

constexpr sys_u64 kWorkArea = 4096;
// A field (padding, sign, text) and its terminator must fit a work area.
constexpr sys_u64 kMaxWidth = kWorkArea - 1;
// sys_f64toa writes a sign, up to 309 integer digits, a point and the decimals; with a '%'
// and the terminator this stays inside the work area.
constexpr sys_u64 kMaxFloatPrecision = 3700;
constexpr sys_u64 kNoPrecision = ~0ull;
constexpr sys_u64 kMaxPosition = 7;

// One conversion specification as read from the format, before any argument is taken.
struct Spec {
    sys_u64 position = 0; // 1-based; 0 = sequential
    sys_u64 width = 0;
    sys_u64 precision = kNoPrecision;
    sys_u64 bytes = 4;
    bool space = false, plus = false, minus = false, zero = false, alternate = false;
    bool percent = false;
    bool has_width = false, has_precision = false;
    bool width_star = false, precision_star = false;
    char letter = 0;
    const char* letter_at = nullptr;
};

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

// Reads flags (and the position among them), width, precision and length after a '%'.
// Takes no argument: '*' is only noted.
inline __attribute__((always_inline)) const char* parse_spec(const char* p, Spec& s) {
    // Most specifications are a bare letter or a width: skip the flag loop for them.
    if (*p >= 'a' || (*p >= '1' && *p <= '9' && p[1] >= 'a')) {
        if (*p < 'a') {
            s.has_width = true;
            s.width = (sys_u64)(*p++ - '0');
        }
        if (*p != 'h' && *p != 'l') {
            s.letter = *p;
            s.letter_at = p;
            return p;
        }
    }
    for (;;) {
        const char c = *p;
        if (c == ' ') {
            s.space = true;
        } else if (c == '+') {
            s.plus = true;
        } else if (c == '-') {
            s.minus = true;
        } else if (c == '0') {
            s.zero = true;
        } else if (c == '#') {
            s.alternate = true;
            ++p;
            break;
        } else if (c >= '1' && c <= '9' && s.position == 0) {
            const char* q = p;
            while (is_digit(*q))
                ++q;
            if (*q != '$')
                break;
            s.position = read_decimal(p);
            if (s.position == 0) // a run too long to hold: as good as any position over 7
                s.position = ~0ull;
        } else {
            break;
        }
        ++p;
    }

    if (*p == '*') {
        s.width_star = true;
        s.has_width = true;
        ++p;
    } else if (is_digit(*p)) {
        s.has_width = true;
        s.width = read_decimal(p);
    }

    if (*p == '.') {
        ++p;
        s.has_precision = true;
        while (*p == '%') {
            s.percent = true;
            ++p;
        }
        if (*p == '*') {
            s.precision_star = true;
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
    s.letter_at = p;
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

// ---- conversions -------------------------------------------------------------------------

// Duration text "[-]hh:mm:ss.uuuuuu" (hours may take more digits) at `out`; returns its
// length. The same text as "%s%02li:%02li:%02li.%06li" would give.
sys_u64 write_duration(char* out, sys_i64 v) {
    const sys_u64 a = v < 0 ? 0 - (sys_u64)v : (sys_u64)v;
    const sys_u64 hours = a / 3600000000ull;
    const sys_u64 minutes = (a % 3600000000ull) / 60000000ull;
    const sys_u64 seconds = (a % 60000000ull) / 1000000ull;
    sys_u64 micro = a % 1000000ull;
    char* p = out;
    if (v < 0)
        *p++ = '-';
    char hours_text[24];
    const sys_u64 n = sys_utoa(hours, hours_text, 10) - 1;
    if (n < 2)
        *p++ = '0';
    memcpy(p, hours_text, n);
    p += n;
    *p++ = ':';
    *p++ = (char)('0' + minutes / 10);
    *p++ = (char)('0' + minutes % 10);
    *p++ = ':';
    *p++ = (char)('0' + seconds / 10);
    *p++ = (char)('0' + seconds % 10);
    *p++ = '.';
    for (int i = 6; i > 0; --i, micro /= 10)
        p[i - 1] = (char)('0' + micro % 10);
    p += 6;
    *p = 0;
    return (sys_u64)(p - out);
}

// The output cursor with the truncation rule.
struct Output {
    char* pos;
    char* end;

    // Appends a field of `pad` padding bytes, an optional sign and `len` bytes of text. When
    // it does not fit with a byte to spare, writes what leaves one byte, terminates there
    // and stops in front of the terminator.
    void field(char pad_char, sys_u64 pad, char sign, const char* text, sys_u64 len, bool left) {
        const sys_u64 total = pad + (sign ? 1 : 0) + len;
        sys_u64 room = (sys_u64)(end - pos) - 1; // the loop guarantees pos < end
        const bool fits = total <= room;
        if (fits)
            room = total;
        if (!left) {
            put_fill(pad_char, pad, room);
            put_sign(sign, room);
            put(text, len, room);
        } else {
            put_sign(sign, room);
            put(text, len, room);
            put_fill(pad_char, pad, room);
        }
        *pos = 0;
    }

  private:
    void put(const char* text, sys_u64 len, sys_u64& room) {
        const sys_u64 n = len < room ? len : room;
        if (n <= 16) {
            for (sys_u64 i = 0; i < n; ++i)
                pos[i] = text[i];
        } else {
            memcpy(pos, text, n);
        }
        pos += n;
        room -= n;
    }
    void put_fill(char c, sys_u64 len, sys_u64& room) {
        const sys_u64 n = len < room ? len : room;
        if (n <= 16) {
            for (sys_u64 i = 0; i < n; ++i)
                pos[i] = c;
        } else {
            memset(pos, c, n);
        }
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

// Reads one slot of the argument list as the given conversion sees it.
inline sys_u64 take_slot(va_list* args) {
    return va_arg(*args, sys_u64);
}

// Positional bookkeeping: the letter and byte width seen for each position (0 = unknown).
struct PositionSlot {
    char letter;
    sys_u64 bytes;
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

} // namespace

extern "C" {

sys_u64 sys_vsnprintf(char* out, sys_u64 size, const char* format, va_list args) {
    if (!format || !*format) {
        if (size > 0)
            *out = 0;
        return 0;
    }

    Output o{out, out + size};
    // Cleared when the first positional specification needs it: most calls have none.
    PositionSlot vad[kMaxPosition + 1];
    bool vad_cleared = false;
    int using_positions = -1; // unknown until the first argument-consuming specification
    va_list seq;
    va_copy(seq, args);

    // The conversion text area; only conversions that cannot work in `number` use it.
    char text_area[kWorkArea];
    char number[40];

    const char* f = format;
    while (*f) {
        if (o.pos == o.end) {
            va_end(seq);
            return size;
        }
        if (*f != '%') {
            // Copy the literal run while scanning it, at most up to the end of the output.
            char* const stop = o.end;
            char* p = o.pos;
            do {
                *p++ = *f++;
            } while (*f && *f != '%' && p != stop);
            o.pos = p;
            continue;
        }
        if (f[1] == '%') {
            *o.pos++ = '%';
            f += 2;
            continue;
        }

        const char* const spec_begin = f;
        Spec s;
        const char* letter = parse_spec(f + 1, s);
        f = letter; // moved past the letter (and an object's name) below

        if (s.position > kMaxPosition) {
            SYS_CHECK_TEXT_MSG(false, "argument_position < 8", NULL);
            if (*f)
                ++f;
            if (s.letter == 'O')
                while (is_name_char(*f))
                    ++f;
            continue;
        }

        const bool clock_only = s.letter == 'T' && s.alternate;
        if (!clock_only) {
            const int positional = s.position != 0 ? 1 : 0;
            if (using_positions < 0)
                using_positions = positional;
            else
                SYS_CHECK_TEXT_MSG(positional == using_positions,
                                   "( argument_position != 0 ) == using_argument_position", NULL);
        }

        if (s.width_star) {
            SYS_CHECK_TEXT_MSG(using_positions != 1, "!using_argument_position", NULL);
            const sys_i32 w = (sys_i32)take_slot(&seq);
            if (w < 0) {
                s.minus = true;
                s.width = (sys_u64)0 - (sys_u64)(sys_i64)w;
            } else {
                s.width = (sys_u64)w;
            }
        }
        if (s.precision_star) {
            SYS_CHECK_TEXT_MSG(using_positions != 1, "!using_argument_position", NULL);
            const sys_i32 pr = (sys_i32)take_slot(&seq);
            if (SYS_CHECK_TEXT_MSG(pr >= 0, "tmp_precision >= 0", NULL)) {
                s.precision = (sys_u64)pr;
            } else {
                s.has_precision = false;
                s.precision = kNoPrecision;
            }
        }
        if (s.width > kMaxWidth)
            s.width = kMaxWidth;

        // Where this specification's argument comes from.
        va_list positional_args;
        va_list* src = &seq;
        const bool positional = s.position != 0;
        if (positional) {
            if (!vad_cleared) {
                memset(vad, 0, sizeof vad);
                vad_cleared = true;
            }
            va_copy(positional_args, args);
            seek_position(&positional_args, s.position, format, vad);
            PositionSlot& slot = vad[s.position];
            SYS_CHECK_TEXT_MSG(slot.letter == 0 || slot.letter == s.letter,
                               "vad[p]._c == 0 || vad[p]._c == *curr", NULL);
            SYS_CHECK_TEXT_MSG(slot.bytes == 0 || slot.bytes == s.bytes,
                               "vad[p]._bytes == 0 || vad[p]._bytes == bytes", NULL);
            slot.letter = s.letter;
            slot.bytes = s.bytes;
            src = &positional_args;
        }

        const char* text = nullptr;
        sys_u64 len = 0;
        bool non_negative = false;
        bool emit = true;
        ++f;

        switch (s.letter) {
        case 'i':
        case 'u':
        case 'o':
        case 'x': {
            if (s.has_precision)
                SYS_CHECK_TEXT_MSG(false, "!has_precision", NULL);
            sys_u64 raw = 0;
            if (integer_width(s.bytes))
                raw = take_slot(src);
            else
                SYS_CHECK_TEXT_MSG(false, "!\"Invalid byte specification\"", NULL);
            if (s.letter == 'i') {
                sys_i64 v;
                switch (s.bytes) {
                case 1:
                    v = (int8_t)raw;
                    break;
                case 2:
                    v = (int16_t)raw;
                    break;
                case 4:
                    v = (sys_i32)raw;
                    break;
                default:
                    v = (sys_i64)raw;
                    break;
                }
                non_negative = v >= 0;
                len = sys_itoa(v, number, 10) - 1;
            } else {
                switch (s.bytes) {
                case 1:
                    raw = (sys_u8)raw;
                    break;
                case 2:
                    raw = (sys_u16)raw;
                    break;
                case 4:
                    raw = (sys_u32)raw;
                    break;
                default:
                    break;
                }
                non_negative = true;
                len = sys_utoa(raw, number, s.letter == 'u' ? 10 : s.letter == 'x' ? 16 : 8) - 1;
            }
            text = number;
            break;
        }
        case 'f': {
            if (s.bytes != 4 && s.bytes != 8)
                SYS_CHECK_TEXT_MSG(false, "!\"Invalid byte specification\"", NULL);
            sys_f64 v = va_arg(*src, sys_f64);
            if (s.percent)
                v *= 100.0;
            sys_u64 decimals = s.precision == kNoPrecision ? 3 : s.precision;
            if (decimals > kMaxFloatPrecision)
                decimals = kMaxFloatPrecision;
            non_negative = v >= 0.0;
            len = sys_f64toa(v, text_area, decimals) - 1;
            if (s.percent) {
                text_area[len++] = '%';
                text_area[len] = 0;
            }
            text = text_area;
            break;
        }
        case 'c': {
            number[0] = (char)(sys_u8)take_slot(src);
            text = number;
            len = 1;
            if (number[0] == 0) {
                SYS_CHECK_TEXT_MSG(false, "len == arg_len", NULL);
                len = 0;
            }
            break;
        }
        case 's':
        case 'w':
        case 'W': {
            sys_u64 bytes = s.bytes;
            if (s.letter != 's' && bytes != 4) {
                SYS_CHECK_TEXT_MSG(false, "bytes == 4", NULL);
                bytes = 4;
            }
            // The conversion area holds 4095 bytes of text.
            const sys_u64 limit =
                s.has_precision && s.precision < kWorkArea ? s.precision : kWorkArea - 1;
            if (bytes == 4) {
                const char* str = (const char*)take_slot(src);
                const bool null_text = str == nullptr;
                if (null_text)
                    str = "(null)";
                if (s.letter == 's' && !s.has_width && !null_text) {
                    // No padding: copy while measuring, stopping where the text, the
                    // precision or the output (one byte kept for the terminator) ends.
                    const sys_u64 room = (sys_u64)(o.end - o.pos) - 1;
                    const sys_u64 stop_at = limit < room ? limit : room;
                    char* p = o.pos;
                    sys_u64 n = 0;
                    while (n < stop_at && str[n]) {
                        p[n] = str[n];
                        ++n;
                    }
                    p[n] = 0;
                    o.pos = p + n;
                    emit = false;
                    break;
                }
                const char* nul = (const char*)memchr(str, 0, limit);
                len = nul ? (sys_u64)(nul - str) : limit;
                if (s.letter == 's' || null_text) {
                    text = str;
                } else {
                    memcpy(text_area, str, len);
                    text_area[len] = 0;
                    if (s.letter == 'w')
                        sys_strtolower_ascii(text_area);
                    else
                        sys_strtoupper_ascii(text_area);
                    text = text_area;
                }
            } else if (bytes == 8) {
                const sys_u32* wide = (const sys_u32*)take_slot(src);
                if (wide) {
                    len = sys_utf32_to_utf8(wide, text_area, limit + 1);
                    text = text_area;
                } else {
                    text = "(null)";
                    len = limit < 6 ? limit : 6;
                }
            } else {
                SYS_CHECK_TEXT_MSG(false, "!\"Invalid byte specification\"", NULL);
                text = "";
            }
            break;
        }
        case 'T': {
            const sys_i64 v = s.alternate ? chrono_now_microsecond_diff_global_start_time()
                                          : (sys_i64)take_slot(src);
            len = write_duration(number, v);
            text = number;
            break;
        }
        case 'O': {
            const char* name = f;
            while (is_name_char(*f))
                ++f;
            void* object = (void*)take_slot(src);
            if (!SYS_CHECK_TEXT_MSG(f != name, "curr != begin", NULL)) {
                emit = false;
                break;
            }
            const sys_u64 name_len = (sys_u64)(f - name) < 64 ? (sys_u64)(f - name) : 64;
            const sys_u64 index = find_object(qv_hash(name, name_len));
            if (!SYS_CHECK_TEXT_MSG(index < s_object_count, "found", NULL)) {
                emit = false;
                break;
            }
            if (!object) {
                text = "(null)";
                len = 6;
                break;
            }
            sys_print_object_context ctx = {};
            ctx.output = text_area;
            ctx.capacity = kWorkArea;
            ctx.object = object;
            ctx.space = s.space;
            ctx.plus = s.plus;
            ctx.zero = s.zero;
            ctx.alternate = s.alternate;
            ctx.percent = s.percent;
            ctx.precision = s.has_precision ? s.precision : kNoPrecision;
            ctx.spec_begin = spec_begin;
            ctx.spec_end = f;
            const sys_u64 num = s_objects[index].printer(&ctx);
            text_area[kWorkArea - 1] = 0; // whatever the printer did, the text ends here
            if (!SYS_CHECK_TEXT_MSG(num != 0, "num", NULL)) {
                emit = false;
                break;
            }
            sys_u64 arg_len = num - 1;
            if (num > kWorkArea || text_area[num - 1] != 0) {
                SYS_CHECK_TEXT_MSG(false, "tmpbuf[num - 1] == 0", NULL);
                arg_len = strlen(text_area);
            }
            len = strlen(text_area);
            if (len != arg_len)
                SYS_CHECK_TEXT_MSG(false, "len == arg_len", NULL);
            text = text_area;
            break;
        }
        default:
            SYS_CHECK_TEXT_MSG(false, "!\"Unrecognized sys_vsnprintf argmuent\"", NULL);
            emit = false;
            if (s.letter == 0)
                f = letter; // a '%' at the very end: the formatting ends there
            break;
        }

        if (positional)
            va_end(positional_args);
        if (!emit)
            continue;

        const char sign = non_negative ? (s.plus ? '+' : s.space ? ' ' : 0) : 0;
        const sys_u64 used = len + (sign ? 1 : 0);
        const sys_u64 pad = s.width > len ? s.width - used : 0;
        o.field(s.zero ? '0' : ' ', pad, sign, text, len, s.minus);
    }

    va_end(seq);
    if (o.pos < o.end)
        *o.pos = 0;
    return (sys_u64)(o.pos - out);
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

// ---- print dispatch --------------------------------------------------------------------------

namespace {

constexpr sys_u32 kMaxCallbacks = 16;
constexpr sys_u64 kMaxDisabledTypes = 64;

sys_printf_callback io_printf_callbacks[kMaxCallbacks];
void* io_printf_callback_data[kMaxCallbacks];
sys_u32 io_num_printf_callbacks = 0;

sys_u64 s_disabled_types[kMaxDisabledTypes];
sys_u64 s_disabled_count = 0;
sys_bool s_logs_enabled = 1;

bool type_disabled(sys_u64 hash, sys_u64* index) {
    sys_u64* const end = s_disabled_types + s_disabled_count;
    sys_u64* const at = std::lower_bound(s_disabled_types, end, hash);
    *index = (sys_u64)(at - s_disabled_types);
    return at != end && *at == hash;
}

void dispatch(const char* format, va_list args, sys_bool is_error) {
    const sys_u32 count = io_num_printf_callbacks;
    if (count == 0)
        return;
    char line[kWorkArea];
    const sys_u64 len = sys_vsnprintf(line, kWorkArea - 1, format, args);
    line[len] = 0;
    for (sys_u32 i = 0; i < count; ++i)
        io_printf_callbacks[i](io_printf_callback_data[i], line, len, is_error);
}

} // namespace

extern "C" {

void sys_vprintf(const char* format, va_list args) {
    dispatch(format, args, 0);
}

void sys_vperrorf(const char* format, va_list args) {
    dispatch(format, args, 1);
}

void sys_printf(const char* format, ...) {
    if (io_num_printf_callbacks == 0)
        return;
    va_list args;
    va_start(args, format);
    dispatch(format, args, 0);
    va_end(args);
}

void sys_perrorf(const char* format, ...) {
    if (io_num_printf_callbacks == 0)
        return;
    va_list args;
    va_start(args, format);
    dispatch(format, args, 1);
    va_end(args);
}

void sys_printf_logtype(const char* type, const char* format, ...) {
    if (!s_logs_enabled || io_num_printf_callbacks == 0)
        return;
    if (s_disabled_count != 0) {
        sys_u64 index;
        if (type_disabled(qv_hash(type, strlen(type)), &index))
            return;
    }
    va_list args;
    va_start(args, format);
    dispatch(format, args, 0);
    va_end(args);
}

void sys_printf_enable_logtype(const char* type, sys_bool enable) {
    const sys_u64 hash = qv_hash(type, strlen(type));
    if (!enable) {
        if (!SYS_CHECK_TEXT_MSG(s_disabled_count < kMaxDisabledTypes,
                                "!\"Increase log type count\"", NULL))
            return;
        s_disabled_types[s_disabled_count++] = hash;
        std::sort(s_disabled_types, s_disabled_types + s_disabled_count);
        return;
    }
    sys_u64 index;
    const bool res = type_disabled(hash, &index);
    if (!SYS_CHECK(res))
        return;
    s_disabled_types[index] = s_disabled_types[--s_disabled_count];
    std::sort(s_disabled_types, s_disabled_types + s_disabled_count);
}

void sys_printf_enable_logs(sys_bool enable) {
    s_logs_enabled = enable != 0 ? 1 : 0;
}

void sys_printf_add_callback(sys_printf_callback callback, void* user_data) {
    if (!SYS_CHECK(io_num_printf_callbacks <
                   sizeof(io_printf_callbacks) / sizeof(io_printf_callbacks[0])))
        return;
    io_printf_callbacks[io_num_printf_callbacks] = callback;
    io_printf_callback_data[io_num_printf_callbacks] = user_data;
    ++io_num_printf_callbacks;
}

void sys_printf_remove_callback(sys_printf_callback callback) {
    for (sys_u32 i = 0; i < io_num_printf_callbacks; ++i) {
        if (io_printf_callbacks[i] != callback)
            continue;
        const sys_u32 last = --io_num_printf_callbacks;
        io_printf_callbacks[i] = io_printf_callbacks[last];
        io_printf_callback_data[i] = io_printf_callback_data[last];
        return;
    }
}

void sys_printf_callback_stdout(void* user_data, const char* text, sys_u64 length,
                                sys_bool is_error) {
    (void)user_data;
    (void)length;
    FILE* stream = is_error ? stderr : stdout;
    fprintf(stream, "%s", text);
    fflush(stream);
}

void sys_printf_callback_vs(void* user_data, const char* text, sys_u64 length, sys_bool is_error) {
    (void)user_data;
    (void)is_error;
    os_debug_output(text, length);
}

} // extern "C"
