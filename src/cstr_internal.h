// The text family's internal routines: used across the library, never exported.
//
// sys_strlen and sys_strcmp are the library's own length and comparison; the
// formatter, the filesystem and the rest call them instead of the C runtime's. Both read no
// byte past the text's NUL in a way that could leave the caller's memory (wide loads stay
// inside the aligned block, and so inside the page, of a byte that is known to be readable).
#pragma once

#include "qv_sys/types.h"

#include <string.h>

// Whether the processor (and the operating system, which must save the wide registers) allows
// AVX2, BMI1 and BMI2; detected once, on first use.
bool sys_cpu_has_avx2();
// Whether it also allows AVX-512F, VL and BW (the operating system saving the mask registers
// and the upper halves and upper sixteen of the vector registers) and the carry-less multiply.
bool sys_cpu_has_evex();

// Number of bytes before the NUL.
sys_u64 sys_strlen(const char* text);

// The UTF-16 units a UTF-8 text takes, terminator not counted: one per character, two for one
// beyond the 16-bit range. Where Windows converts a text into a fixed buffer, both platforms
// compare this with the buffer to fail the same texts.
sys_u64 sys_utf16_units(const char* text);

// Whole-text comparison: the difference of the first differing bytes as unsigned values (a's
// minus b's), negative if a sorts before b, 0 if equal; a text that ends first sorts before.
sys_i64 sys_strcmp(const char* a, const char* b);

// The case table, for tests of the table itself: 666 pairs in ascending order of
// the lower-case code point, and the upper-case column's sorted index (positions into the
// columns, ordered by upper-case code point, equal code points in table order).
inline constexpr sys_u64 kCaseTablePairs = 666;
const sys_u32* sys_case_table_lower();
const sys_u32* sys_case_table_upper();
const sys_u16* sys_case_table_upper_index();

// "00" to "99" back to back: integers are written two digits to a table load.
inline constexpr char kDigitPairs[201] = "00010203040506070809"
                                         "10111213141516171819"
                                         "20212223242526272829"
                                         "30313233343536373839"
                                         "40414243444546474849"
                                         "50515253545556575859"
                                         "60616263646566676869"
                                         "70717273747576777879"
                                         "80818283848586878889"
                                         "90919293949596979899";

// The powers of ten that fit 64 bits.
inline constexpr sys_u64 kPow10[20] = {1ull,
                                       10ull,
                                       100ull,
                                       1000ull,
                                       10000ull,
                                       100000ull,
                                       1000000ull,
                                       10000000ull,
                                       100000000ull,
                                       1000000000ull,
                                       10000000000ull,
                                       100000000000ull,
                                       1000000000000ull,
                                       10000000000000ull,
                                       100000000000000ull,
                                       1000000000000000ull,
                                       10000000000000000ull,
                                       100000000000000000ull,
                                       1000000000000000000ull,
                                       10000000000000000000ull};

// Number of decimal digits of v (1 for 0): the length is known before any digit is written.
inline unsigned sys_decimal_digits(sys_u64 v) {
    v |= 1; // the same count for every v, and 1 for 0
    const unsigned bits = 64 - (unsigned)__builtin_clzll(v);
    const unsigned t = (bits * 1233) >> 12; // about bits x log10(2)
    return t + 1 - (v < kPow10[t]);
}

// Writes the decimal digits of v backwards so that they end at `end`; returns their first
// byte. The formatter and the number conversions both write integers this way: two digits to
// a table load. Past eight digits a 64-bit division by 100 takes off each pair; the last
// eight (most values have no more) split into two halves of four whose pairs come from
// 32-bit multiply-shifts, which are independent of each other and shorter.
inline char* sys_decimal_before(char* end, sys_u64 v) {
    char* p = end;
    while (v >= 100000000) {
        const sys_u64 pair = v % 100;
        v /= 100;
        p -= 2;
        memcpy(p, kDigitPairs + 2 * pair, 2);
    }
    sys_u32 w = (sys_u32)v;
    if (w >= 10000) {
        const sys_u32 high = w / 10000;
        const sys_u32 low = w - high * 10000;
        const sys_u32 low_high = (low * 5243) >> 19; // low / 100 for any low below 43699
        p -= 4;
        memcpy(p, kDigitPairs + 2 * low_high, 2);
        memcpy(p + 2, kDigitPairs + 2 * (low - low_high * 100), 2);
        w = high;
    }
    if (w >= 100) {
        const sys_u32 high = (w * 5243) >> 19;
        p -= 2;
        memcpy(p, kDigitPairs + 2 * (w - high * 100), 2);
        w = high;
    }
    if (w >= 10) {
        p -= 2;
        memcpy(p, kDigitPairs + 2 * w, 2);
    } else {
        *--p = (char)('0' + w);
    }
    return p;
}
