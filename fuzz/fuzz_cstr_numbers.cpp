// The number parsers over arbitrary bytes (counted forms over an exactly sized copy without a NUL,
// so a read past n shows), then the formatters on what was read, into buffers of the named sizes.
#include "qv_sys/cstr.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    // The first byte picks the radix (2..16) and the number of decimals (0..25).
    const sys_u8 radix = (sys_u8)(2 + data[0] % 15);
    const sys_u64 decimals = data[0] % 26;
    std::vector<char> counted(data + 1, data + size), terminated(counted);
    terminated.push_back(0);
    const sys_u64 n = counted.size();
    const char* c = counted.data(); // may be null when empty: n is then 0 and nothing is read

    sys_bool ok = 7;
    const sys_u64 u = sys_antou(c, n, radix, &ok);
    if (ok > 1 || sys_antou(c, n, radix, nullptr) != u)
        __builtin_trap();
    const sys_i64 i = sys_antoi(c, n, radix, &ok);
    const sys_f64 d = sys_antof64(c, n, &ok);
    if (!ok && d != 0.0)
        __builtin_trap();
    const sys_f32 f = sys_antof32(c, n, &ok);

    // The terminated copy reads the same as the counted one when it holds no NUL.
    const char* t = terminated.data();
    const sys_u64 tu = sys_atou(t, radix, nullptr);
    const sys_i64 ti = sys_atoi(t, radix, nullptr);
    const sys_f64 e = sys_atof64(t, nullptr);
    sys_atof32(t, nullptr);
    if ((n == 0 || memchr(c, 0, n) == nullptr) &&
        (tu != u || ti != i || !(e == d || (e != e && d != d))))
        __builtin_trap();

    // Formatting what was read: exact buffer sizes, and a round trip for the integers.
    std::vector<char> ubuf(65), ibuf(66), fbuf(22 + decimals);
    if (sys_utoa(u, ubuf.data(), radix) != strlen(ubuf.data()) + 1 ||
        sys_antou(ubuf.data(), 65, radix, nullptr) != u ||
        sys_itoa(i, ibuf.data(), radix) != strlen(ibuf.data()) + 1 ||
        sys_atoi(ibuf.data(), radix, nullptr) != i ||
        sys_f64toa(d, fbuf.data(), decimals) != strlen(fbuf.data()) + 1 ||
        sys_f32toa(f, fbuf.data(), decimals) != strlen(fbuf.data()) + 1)
        __builtin_trap();
    return 0;
}
