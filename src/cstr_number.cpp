// Numbers to and from text.
//
// Formatting writes decimal digits two at a time from a 200-byte pair table and power-of-two
// radixes by shifting; other radixes divide. The float formatter is one multiplication and
// integer formatting (truncating, never rounding). The parsers are single passes with one
// 64-bit accumulator. Nothing allocates or consults a locale.
#include "qv_sys/cstr.h"

#include "qv_sys/assertion.h"

#include "cstr_internal.h"

#include <charconv>
#include <string.h>

namespace {

constexpr char kDigits[] = "0123456789abcdef";

// "000102...feff": two hexadecimal digits for each byte value.
struct HexPairs {
    char text[512];
    constexpr HexPairs() : text() {
        for (int i = 0; i < 256; ++i) {
            text[2 * i] = kDigits[i >> 4];
            text[2 * i + 1] = kDigits[i & 15];
        }
    }
};
constexpr HexPairs kHexPairs;

// Writes exactly `digits` decimal digits of v ending at out + digits (no terminator).
inline void put_decimal(char* out, sys_u64 v, unsigned digits) {
    sys_decimal_before(out + digits, v);
}

// Digits of v in radix 2..16, terminated; returns the number of digits.
inline sys_u64 put_unsigned(sys_u64 v, char* out, unsigned radix) {
    if (radix == 10) {
        const unsigned n = sys_decimal_digits(v);
        put_decimal(out, v, n);
        out[n] = 0;
        return n;
    }
    if (radix == 16) {
        const unsigned n = (64 - (unsigned)__builtin_clzll(v | 1) + 3) / 4;
        char* p = out + n;
        while (v >= 256) {
            p -= 2;
            memcpy(p, kHexPairs.text + 2 * (v & 0xFF), 2);
            v >>= 8;
        }
        if (v >= 16) {
            p -= 2;
            memcpy(p, kHexPairs.text + 2 * v, 2);
        } else {
            *--p = kDigits[v];
        }
        out[n] = 0;
        return n;
    }
    if ((radix & (radix - 1)) == 0) {
        const unsigned shift = (unsigned)__builtin_ctz(radix);
        const unsigned bits = 64 - (unsigned)__builtin_clzll(v | 1);
        const unsigned n = (bits + shift - 1) / shift;
        const sys_u64 mask = radix - 1;
        for (unsigned i = n; i-- > 0;) {
            out[i] = kDigits[v & mask];
            v >>= shift;
        }
        out[n] = 0;
        return n;
    }
    // Least significant digit first, then reversed in place.
    sys_u64 n = 0;
    do {
        out[n++] = kDigits[v % radix];
        v /= radix;
    } while (v != 0);
    out[n] = 0;
    for (sys_u64 i = 0, j = n - 1; i < j; ++i, --j) {
        const char t = out[i];
        out[i] = out[j];
        out[j] = t;
    }
    return n;
}

// The radix checks of both integer formatters. False: the failure value was written.
inline bool radix_ok(sys_u8 radix, char* buffer) {
    if (!SYS_CHECK(radix <= 16) || !SYS_CHECK(radix >= 2)) {
        buffer[0] = 0;
        return false;
    }
    return true;
}

// Digit values of the 256 bytes: 0-9, a-f, A-F; 0xFF for everything else (no radix reaches).
struct DigitTable {
    sys_u8 value[256];
    constexpr DigitTable() : value() {
        for (int i = 0; i < 256; ++i)
            value[i] = 0xFF;
        for (int i = 0; i < 10; ++i)
            value['0' + i] = (sys_u8)i;
        for (int i = 0; i < 6; ++i) {
            value['a' + i] = (sys_u8)(10 + i);
            value['A' + i] = (sys_u8)(10 + i);
        }
    }
};
constexpr DigitTable kDigitValue;

inline bool is_space(unsigned char c) {
    return c == ' ' || (c >= 9 && c <= 13);
}

inline bool is_digit(unsigned char c) {
    return (unsigned char)(c - '0') < 10;
}

inline void set_flag(sys_bool* ok, bool value) {
    if (ok)
        *ok = value ? SYS_TRUE : SYS_FALSE;
}

sys_u64 parse_unsigned(const char* text, sys_u64 n, sys_u8 radix, sys_bool* ok) {
    const unsigned char* p = (const unsigned char*)text;
    sys_u64 i = 0;
    for (;; ++i) {
        if (i == n || p[i] == 0) {
            set_flag(ok, false);
            return 0;
        }
        if (!is_space(p[i]))
            break;
    }
    const sys_u64 start = i;
    sys_u64 value = 0;
    if (radix == 10) {
        for (; i < n && is_digit(p[i]); ++i)
            value = value * 10 + (sys_u64)(p[i] - '0');
    } else {
        for (; i < n; ++i) {
            const sys_u8 d = kDigitValue.value[p[i]];
            if (d >= radix)
                break;
            value = value * radix + d;
        }
    }
    set_flag(ok, i != start);
    return value;
}

sys_i64 parse_signed(const char* text, sys_u64 n, sys_u8 radix, sys_bool* ok) {
    if (n == 0) {
        set_flag(ok, false);
        return 0;
    }
    if (text[0] != '-')
        return (sys_i64)parse_unsigned(text, n, radix, ok);
    return (sys_i64)(0 - parse_unsigned(text + 1, n - 1, radix, ok));
}

// Exponent digits saturate here: far beyond any exponent a double can use, far below overflow.
constexpr sys_u64 kExponentLimit = 1000000000000000ull;

sys_f64 parse_double(const char* text, sys_u64 n, sys_bool* ok) {
    const unsigned char* p = (const unsigned char*)text;
    sys_u64 i = 0;
    if (n == 0) {
        set_flag(ok, false);
        return 0.0;
    }
    bool negative = false;
    if (p[0] == '-' || p[0] == '+') {
        negative = p[0] == '-';
        if (++i == n) {
            set_flag(ok, false);
            return 0.0;
        }
    }
    sys_u64 mantissa = 0;
    sys_i64 exponent = 0;
    sys_u64 counted = 0; // digits read, integer and fraction together
    for (; i < n && is_digit(p[i]); ++i, ++counted) {
        if (counted < 16)
            mantissa = mantissa * 10 + (sys_u64)(p[i] - '0');
        else
            ++exponent;
    }
    if (i < n && p[i] == '.') {
        for (++i; i < n && is_digit(p[i]); ++i, ++counted) {
            if (counted < 16) {
                mantissa = mantissa * 10 + (sys_u64)(p[i] - '0');
                --exponent;
            }
        }
    }
    if (counted == 0) {
        set_flag(ok, false);
        return 0.0;
    }
    if (i < n && (p[i] == 'e' || p[i] == 'E')) {
        if (++i == n) {
            set_flag(ok, false);
            return 0.0;
        }
        bool exponent_negative = false;
        if (p[i] == '-' || p[i] == '+') {
            exponent_negative = p[i] == '-';
            ++i;
        }
        if (i >= n || !is_digit(p[i])) {
            set_flag(ok, false);
            return 0.0;
        }
        sys_u64 e = 0;
        for (; i < n && is_digit(p[i]); ++i) {
            if (e < kExponentLimit)
                e = e * 10 + (sys_u64)(p[i] - '0');
        }
        exponent += exponent_negative ? -(sys_i64)e : (sys_i64)e;
    }
    // At most one multiplication or division per 16 orders of magnitude; once the value is 0
    // or infinite it cannot change, so the loop stops there (bounded for any exponent).
    double value = (double)mantissa;
    while (exponent != 0 && value != 0.0 && value - value == 0.0) {
        if (exponent > 0) {
            const sys_i64 step = exponent < 16 ? exponent : 16;
            value *= (double)kPow10[step];
            exponent -= step;
        } else {
            const sys_i64 step = -exponent < 16 ? -exponent : 16;
            value /= (double)kPow10[step];
            exponent += step;
        }
    }
    set_flag(ok, true);
    return negative ? -value : value;
}

// Finite magnitudes of 10^19 and above: "d.ddddddddddddde+N", 14 significant digits truncated
// from a 17-digit correctly rounded rendering. At most 20 characters.
inline char* put_large(char* p, double magnitude) {
    char temp[40];
    const std::to_chars_result r =
        std::to_chars(temp, temp + sizeof temp, magnitude, std::chars_format::scientific, 16);
    const char* e = temp;
    while (e < r.ptr && *e != 'e')
        ++e;
    memcpy(p, temp, 15); // "d." and 13 digits
    p += 15;
    const sys_u64 tail = (sys_u64)(r.ptr - e);
    memcpy(p, e, tail);
    return p + tail;
}

} // namespace

// ---- Numbers to text ------------------------------------------------------------------------

sys_u64 sys_utoa(sys_u64 value, char* buffer, sys_u8 radix) {
    if (!radix_ok(radix, buffer))
        return 1;
    return put_unsigned(value, buffer, radix) + 1;
}

sys_u64 sys_itoa(sys_i64 value, char* buffer, sys_u8 radix) {
    if (!radix_ok(radix, buffer))
        return 1;
    if (value >= 0)
        return put_unsigned((sys_u64)value, buffer, radix) + 1;
    buffer[0] = '-';
    return put_unsigned(0 - (sys_u64)value, buffer + 1, radix) + 2;
}

sys_u64 sys_f64toa(sys_f64 value, char* buffer, sys_u64 decimals) {
    char* p = buffer;
    double magnitude = value;
    if (!(value >= 0)) {
        *p++ = '-';
        magnitude = -value;
    }
    if (magnitude != magnitude) {
        memcpy(p, "nan", 4);
        return (sys_u64)(p - buffer) + 4;
    }
    if (magnitude - magnitude != 0.0) {
        memcpy(p, "inf", 4);
        return (sys_u64)(p - buffer) + 4;
    }
    if (magnitude >= 1e19) {
        p = put_large(p, magnitude);
        *p = 0;
        return (sys_u64)(p - buffer) + 1;
    }
    const sys_u64 whole = (sys_u64)magnitude;
    const unsigned whole_digits = sys_decimal_digits(whole);
    put_decimal(p, whole, whole_digits);
    p += whole_digits;
    if (decimals == 0) {
        *p = 0;
        return (sys_u64)(p - buffer) + 1;
    }
    *p++ = '.';
    const unsigned computed = decimals < 18 ? (unsigned)decimals : 18u;
    const double scaled = (magnitude - (double)whole) * (double)kPow10[computed];
    sys_u64 fraction = (sys_u64)scaled;
    if (fraction >= kPow10[computed]) // cannot happen in round-to-nearest; keeps the width
        fraction = kPow10[computed] - 1;
    const unsigned fraction_digits = sys_decimal_digits(fraction);
    for (unsigned i = fraction_digits; i < computed; ++i)
        *p++ = '0';
    put_decimal(p, fraction, fraction_digits);
    p += fraction_digits;
    for (sys_u64 i = computed; i < decimals; ++i)
        *p++ = '0';
    *p = 0;
    return (sys_u64)(p - buffer) + 1;
}

sys_u64 sys_f32toa(sys_f32 value, char* buffer, sys_u64 decimals) {
    return sys_f64toa((sys_f64)value, buffer, decimals);
}

// ---- Text to numbers ------------------------------------------------------------------------

sys_u64 sys_atou(const char* text, sys_u8 radix, sys_bool* ok) {
    return parse_unsigned(text, ~(sys_u64)0, radix, ok);
}

sys_u64 sys_antou(const char* text, sys_u64 n, sys_u8 radix, sys_bool* ok) {
    return parse_unsigned(text, n, radix, ok);
}

sys_i64 sys_atoi(const char* text, sys_u8 radix, sys_bool* ok) {
    // The same as over the text's length: the NUL ends every step first.
    return parse_signed(text, ~(sys_u64)0, radix, ok);
}

sys_i64 sys_antoi(const char* text, sys_u64 n, sys_u8 radix, sys_bool* ok) {
    return parse_signed(text, n, radix, ok);
}

sys_f64 sys_atof64(const char* text, sys_bool* ok) {
    return parse_double(text, ~(sys_u64)0, ok);
}

sys_f64 sys_antof64(const char* text, sys_u64 n, sys_bool* ok) {
    return parse_double(text, n, ok);
}

sys_f32 sys_atof32(const char* text, sys_bool* ok) {
    return (sys_f32)parse_double(text, ~(sys_u64)0, ok);
}

sys_f32 sys_antof32(const char* text, sys_u64 n, sys_bool* ok) {
    return (sys_f32)parse_double(text, n, ok);
}
