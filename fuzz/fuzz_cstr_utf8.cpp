// The UTF-8 decoders over arbitrary bytes (a terminated, exactly sized heap copy), then the
// encoders and the case mapping over what they gave. A bad lead byte and a code point above
// 0x10FFFF fail checks by design: the text is cut before the first bad lead byte (a sequence cut
// short by the NUL stays), and code points are masked before encoding.
#include "qv_sys/cstr.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

// A text of L bytes has at most L code points, then the terminator.
sys_u64 decode_all(const char* text, std::vector<sys_u32>& out) {
    out.assign(strlen(text) + 1, 0xDEADBEEF);
    const sys_u64 n = sys_utf8_to_utf32(text, out.data(), out.size());
    if (n >= out.size() || out[n] != 0)
        __builtin_trap();
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<char> text(data, data + size);
    text.push_back(0);
    const sys_bool valid = sys_utf8_is_valid(text.data());
    if (valid > 1)
        __builtin_trap();
    for (size_t at = 0; !valid && text[at]; ++at) {
        // The sequence length by the lead byte's top five bits, 0 for a bad lead byte.
        const size_t len = "11111111111111110000000022223340"[(unsigned char)text[at] >> 3] - '0';
        if (len == 0) // ends the text, and the walk
            text[at--] = 0;
        for (size_t k = 1; k < len && text[at + 1]; ++k)
            ++at;
    }
    std::vector<sys_u32> cps;
    const sys_u64 n = decode_all(text.data(), cps);
    for (sys_u64 i = 0; i < n; ++i) {
        cps[i] &= cps[i] > 0x10FFFF ? 0xFFFF : ~0u;
        if (cps[i] == 0)
            cps[i] = 'x';
    }
    sys_utf32_to_upper(cps.data());
    sys_utf32n_to_lower(cps.data(), n / 2);

    // Encode with every capacity up to a little past the need; the results only grow.
    std::vector<char> out(4 * n + 2);
    sys_u64 previous = 0;
    for (sys_u64 capacity = 1; capacity <= out.size(); capacity += 1 + capacity / 8) {
        std::vector<char> exact(capacity);
        const sys_u64 w = sys_utf32_to_utf8(cps.data(), exact.data(), capacity);
        if (w >= capacity || exact[w] != 0 || w < previous)
            __builtin_trap();
        previous = w;
        const sys_u64 wn = sys_utf32n_to_utf8(cps.data(), n, exact.data(), capacity);
        if (wn > capacity || wn < w)
            __builtin_trap();
    }
    const sys_u64 all = sys_utf32_to_utf8(cps.data(), out.data(), out.size());
    std::vector<sys_u32> back;
    if (sys_utf8_is_valid(out.data()) != 1 || decode_all(out.data(), back) != n ||
        memcmp(back.data(), cps.data(), n * sizeof(sys_u32)) != 0 || all > 4 * n)
        __builtin_trap();
    return 0;
}
