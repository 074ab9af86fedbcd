// Stand-ins for the text family's conversions until it lands beside the formatter.
#include "text_pending.h"

#include <string.h>

extern "C" sys_u64 sys_f64toa(sys_f64 value, char* out, sys_u64 decimals) {
    char* p = out;
    if (!(value >= 0.0)) {
        *p++ = '-';
        value = -value;
    }
    if (!(value < 9.2e18))
        value = 9.2e18;
    sys_i64 whole = (sys_i64)value;
    char digits[24];
    int n = 0;
    sys_u64 w = (sys_u64)whole;
    do {
        digits[n++] = (char)('0' + w % 10);
        w /= 10;
    } while (w);
    while (n)
        *p++ = digits[--n];
    if (decimals > 18)
        decimals = 18;
    if (decimals) {
        *p++ = '.';
        double f = (value - (double)whole);
        for (sys_u64 i = 0; i < decimals; ++i)
            f *= 10.0;
        sys_u64 F = (sys_u64)f;
        sys_u64 pow = 1;
        for (sys_u64 i = 1; i < decimals; ++i)
            pow *= 10;
        for (sys_u64 i = 1; i < decimals && F < pow; ++i, pow /= 10)
            *p++ = '0';
        n = 0;
        do {
            digits[n++] = (char)('0' + F % 10);
            F /= 10;
        } while (F);
        while (n)
            *p++ = digits[--n];
    }
    *p = 0;
    return (sys_u64)(p - out) + 1;
}

extern "C" sys_u64 sys_utf32_to_utf8(const sys_u32* s, char* out, sys_u64 capacity) {
    if (!capacity)
        return 0;
    sys_u64 n = 0;
    for (; *s; ++s) {
        char b[4];
        int k;
        sys_u32 c = *s;
        if (c < 0x80) {
            b[0] = (char)c;
            k = 1;
        } else if (c < 0x800) {
            b[0] = (char)(0xC0 | (c >> 6));
            b[1] = (char)(0x80 | (c & 63));
            k = 2;
        } else if (c < 0x10000) {
            b[0] = (char)(0xE0 | (c >> 12));
            b[1] = (char)(0x80 | ((c >> 6) & 63));
            b[2] = (char)(0x80 | (c & 63));
            k = 3;
        } else {
            b[0] = (char)(0xF0 | (c >> 18));
            b[1] = (char)(0x80 | ((c >> 12) & 63));
            b[2] = (char)(0x80 | ((c >> 6) & 63));
            b[3] = (char)(0x80 | (c & 63));
            k = 4;
        }
        if (n + (sys_u64)k + 1 > capacity)
            break;
        memcpy(out + n, b, (size_t)k);
        n += (sys_u64)k;
    }
    out[n] = 0;
    return n;
}
