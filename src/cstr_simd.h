// Wide-load kernels of the byte-string routines, written once over a vector type V and
// compiled twice: with SSE2 (every x86-64) in cstr.cpp and with AVX2 in cstr_avx2.cpp, chosen
// at run time by the processor.
//
// Safety of the wide loads: a kernel only loads whole V-aligned blocks (V::W bytes, at most
// 32) or, in the comparison, unaligned blocks that it has proven do not cross a 4096-byte page
// boundary. A block that holds at least one byte the caller vouches for (a byte before or at
// the text's NUL) therefore lies in a page that is mapped, so bytes read past the NUL are
// never outside the caller's memory mapping, and they never change a result. Sanitizer builds
// do not use these kernels (they would see the reads past the NUL): cstr.cpp falls back to
// byte loops there.
//
// Everything is in an anonymous namespace: each including file gets its own copies, compiled
// for its own instruction set, and none can be picked by the linker for the other.
#pragma once

#include "qv_sys/types.h"

#include <stdint.h>

// Entry points of the AVX2 translation unit (call only when the processor has AVX2).
sys_u64 cstr_avx2_strlen(const char* text);
const char* cstr_avx2_strchr(const char* text, char c);
sys_i64 cstr_avx2_strncmp(const char* a, const char* b, sys_u64 n);
const char* cstr_avx2_strstr(const char* text, const char* pattern);

namespace {

inline unsigned ctz32(uint32_t m) {
    return (unsigned)__builtin_ctz(m);
}

template <class V> inline const char* align_down(const char* p) {
    return (const char*)((uintptr_t)p & ~(uintptr_t)(V::W - 1));
}

// Bytes before the NUL. Aligned blocks only: single blocks up to a 4W boundary, then four
// blocks (4W <= 128 bytes, all in one page) at a time.
template <class V> inline sys_u64 kernel_strlen(const char* s) {
    using R = typename V::reg;
    const R zero = V::zero();
    const char* p = align_down<V>(s);
    uint32_t m = V::mask(V::eq(V::load(p), zero)) >> ((uintptr_t)s & (V::W - 1));
    if (m)
        return ctz32(m);
    p += V::W;
    while ((uintptr_t)p & (4 * V::W - 1)) {
        m = V::mask(V::eq(V::load(p), zero));
        if (m)
            return (sys_u64)(p - s) + ctz32(m);
        p += V::W;
    }
    for (;;) {
        const R a = V::load(p), b = V::load(p + V::W), c = V::load(p + 2 * V::W),
                d = V::load(p + 3 * V::W);
        const R low = V::min(V::min(a, b), V::min(c, d));
        if (V::mask(V::eq(low, zero))) {
            if ((m = V::mask(V::eq(a, zero))) != 0)
                return (sys_u64)(p - s) + ctz32(m);
            if ((m = V::mask(V::eq(b, zero))) != 0)
                return (sys_u64)(p - s) + V::W + ctz32(m);
            if ((m = V::mask(V::eq(c, zero))) != 0)
                return (sys_u64)(p - s) + 2 * V::W + ctz32(m);
            m = V::mask(V::eq(d, zero));
            return (sys_u64)(p - s) + 3 * V::W + ctz32(m);
        }
        p += 4 * V::W;
    }
}

// First position holding c (c != 0) or the NUL, then null for the NUL. A byte x is a hit when
// min(x ^ c, x) is 0: x == c makes the first 0, x == 0 the second.
template <class V> inline const char* kernel_strchr(const char* s, char c) {
    using R = typename V::reg;
    const R zero = V::zero();
    const R vc = V::set1(c);
    auto hits = [&](R v) { return V::eq(V::min(V::bxor(v, vc), v), zero); };
    auto found = [&](const char* at) { return *at == c ? at : nullptr; };
    const char* p = align_down<V>(s);
    uint32_t m = V::mask(hits(V::load(p))) >> ((uintptr_t)s & (V::W - 1));
    if (m)
        return found(s + ctz32(m));
    p += V::W;
    while ((uintptr_t)p & (4 * V::W - 1)) {
        m = V::mask(hits(V::load(p)));
        if (m)
            return found(p + ctz32(m));
        p += V::W;
    }
    for (;;) {
        const R a = V::min(V::bxor(V::load(p), vc), V::load(p));
        const R b = V::min(V::bxor(V::load(p + V::W), vc), V::load(p + V::W));
        const R d0 = V::load(p + 2 * V::W), d1 = V::load(p + 3 * V::W);
        const R c2 = V::min(V::bxor(d0, vc), d0);
        const R c3 = V::min(V::bxor(d1, vc), d1);
        if (V::mask(V::eq(V::min(V::min(a, b), V::min(c2, c3)), zero))) {
            if ((m = V::mask(V::eq(a, zero))) != 0)
                return found(p + ctz32(m));
            if ((m = V::mask(V::eq(b, zero))) != 0)
                return found(p + V::W + ctz32(m));
            if ((m = V::mask(V::eq(c2, zero))) != 0)
                return found(p + 2 * V::W + ctz32(m));
            m = V::mask(V::eq(c3, zero));
            return found(p + 3 * V::W + ctz32(m));
        }
        p += 4 * V::W;
    }
}

// Keeps a group's four blocks in registers. Without it the compiler reads them from memory
// again wherever it can fold a load into an instruction; the comparison's group then makes
// eleven loads instead of eight, and loads, not arithmetic, bound the loop (1 KiB texts took
// about 40% longer).
template <class R> inline void keep_in_registers(R& a, R& b, R& c, R& d) {
    asm("" : "+x"(a), "+x"(b), "+x"(c), "+x"(d));
}

// Lanes where x's byte is the NUL or differs from y's byte.
template <class V> inline uint32_t stop_mask(typename V::reg vx, typename V::reg vy) {
    return V::mask(V::eq(V::min(vx, V::eq(vx, vy)), V::zero()));
}

// The first stop in a group of four blocks (x aligned, y not), or 4W when there is none. One
// test for the four; the blocks are looked at one by one only in the group that stops.
template <class V>
inline unsigned group_first_stop(const unsigned char* x, const unsigned char* y) {
    constexpr unsigned W = V::W;
    typename V::reg x0 = V::load(x), x1 = V::load(x + W), x2 = V::load(x + 2 * W),
                    x3 = V::load(x + 3 * W);
    keep_in_registers(x0, x1, x2, x3);
    // 0 where the bytes differ (min with the 0 of eq) or where x's byte is the NUL.
    const typename V::reg t0 = V::min(x0, V::eq(x0, V::loadu(y)));
    const typename V::reg t1 = V::min(x1, V::eq(x1, V::loadu(y + W)));
    const typename V::reg t2 = V::min(x2, V::eq(x2, V::loadu(y + 2 * W)));
    const typename V::reg t3 = V::min(x3, V::eq(x3, V::loadu(y + 3 * W)));
    if (!V::mask(V::eq(V::min(V::min(t0, t1), V::min(t2, t3)), V::zero())))
        return 4 * W;
    const uint64_t low = V::mask(V::eq(t0, V::zero())) | (uint64_t)V::mask(V::eq(t1, V::zero()))
                                                             << W;
    if (low != 0)
        return (unsigned)__builtin_ctzll(low);
    return 2 * W + (unsigned)__builtin_ctzll(V::mask(V::eq(t2, V::zero())) |
                                             (uint64_t)V::mask(V::eq(t3, V::zero())) << W);
}

// (unsigned a byte) - (unsigned b byte) at the first difference within n bytes, stopping after
// a's NUL; 0 if none.
//
// After the first block, a is read in aligned blocks (never across a page, and without split
// cache lines) and b in unaligned ones. Before a block of b would cross into the next page, one
// block ending exactly at that page's end is compared first: it starts inside bytes that were
// already compared (equal, not the NUL), so it is readable, and if it finds nothing the text
// goes on into the next page, which is therefore mapped.
template <class V> inline sys_i64 kernel_strncmp(const char* a, const char* b, sys_u64 n) {
    constexpr unsigned W = V::W;
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    if (n == 0)
        return 0;
    // Texts of up to two blocks (most names and keys), and the start of longer ones: both
    // blocks at once when neither text is that close to its page's end.
    if (((uintptr_t)x & 4095) <= 4096 - 2 * W && ((uintptr_t)y & 4095) <= 4096 - 2 * W) {
        uint64_t m = stop_mask<V>(V::loadu(x), V::loadu(y)) |
                     (uint64_t)stop_mask<V>(V::loadu(x + W), V::loadu(y + W)) << W;
        if (n < 2 * W)
            m &= (1ull << n) - 1;
        if (m) {
            const unsigned i = (unsigned)__builtin_ctzll(m);
            return (sys_i64)x[i] - (sys_i64)y[i];
        }
        if (n <= 2 * W)
            return 0;
        // x goes on aligned (its loads then never split a cache line): a step back of less
        // than a block, over bytes compared already.
        const sys_u64 back = (uintptr_t)x & (W - 1);
        x += 2 * W - back;
        y += 2 * W - back;
        n -= 2 * W - back;
        // Long texts: four blocks of each at a time, one test for the four, as many groups
        // as fit before either text's page ends (and within n) without a check between.
        for (;;) {
            const sys_u64 room_x = 4096 - ((uintptr_t)x & 4095);
            const sys_u64 room_y = 4096 - ((uintptr_t)y & 4095);
            sys_u64 room = room_x < room_y ? room_x : room_y;
            if (room > n)
                room = n;
            sys_u64 groups = room / (4 * W);
            if (groups == 0)
                break;
            n -= groups * 4 * W;
            do {
                const unsigned i = group_first_stop<V>(x, y);
                if (i != 4 * W)
                    return (sys_i64)x[i] - (sys_i64)y[i];
                x += 4 * W;
                y += 4 * W;
            } while (--groups != 0);
        }
        // x is aligned, and the bytes before x and y are compared, equal and not the NUL, as
        // the loop below expects.
        goto aligned;
    }
    if (((uintptr_t)x & 4095) <= 4096 - W && ((uintptr_t)y & 4095) <= 4096 - W) {
        uint32_t m = stop_mask<V>(V::loadu(x), V::loadu(y));
        if (n < W)
            m &= (uint32_t)((1ull << n) - 1);
        if (m) {
            const unsigned i = ctz32(m);
            return (sys_i64)x[i] - (sys_i64)y[i];
        }
    } else {
        const sys_u64 k = n < W ? n : W;
        for (sys_u64 i = 0; i < k; ++i) {
            if (x[i] != y[i] || x[i] == 0)
                return (sys_i64)x[i] - (sys_i64)y[i];
        }
    }
    if (n <= W)
        return 0;
    // Align x; the bytes stepped over were compared above. From here on the W bytes before x
    // and y are compared, equal and not the NUL.
    {
        const sys_u64 step = W - ((uintptr_t)x & (W - 1));
        x += step;
        y += step;
        n -= step;
    }
aligned:
    for (;;) {
        sys_u64 left = 4096 - ((uintptr_t)y & 4095);
        if (left < W) {
            const sys_u64 back = W - left;
            if (x - back >= (const unsigned char*)a) {
                // The bytes before x and y give no lane, so the first lane is at or after
                // `back`.
                const uint32_t m = stop_mask<V>(V::loadu(x - back), V::loadu(y - back));
                if (m) {
                    const sys_u64 i = ctz32(m) - back;
                    return i < n ? (sys_i64)x[i] - (sys_i64)y[i] : 0;
                }
            } else {
                // Right after a first block compared byte by byte: too few bytes behind.
                for (sys_u64 i = 0; i < left && i < n; ++i) {
                    if (x[i] != y[i] || x[i] == 0)
                        return (sys_i64)x[i] - (sys_i64)y[i];
                }
            }
            if (n <= left)
                return 0;
            left += 4096;
        }
        if (n <= W) {
            const uint32_t m = stop_mask<V>(V::load(x), V::loadu(y)) & (uint32_t)((1ull << n) - 1);
            if (m) {
                const unsigned i = ctz32(m);
                return (sys_i64)x[i] - (sys_i64)y[i];
            }
            return 0;
        }
        // Whole blocks inside both y's mapped bytes and the n bytes.
        const sys_u64 blocks = (left < n ? left : n) / W;
        // Single blocks up to a 4W boundary of x, so that a group of four stays in x's page.
        sys_u64 singles = (4 * W - ((uintptr_t)x & (4 * W - 1))) / W % 4;
        if (singles > blocks)
            singles = blocks;
        for (sys_u64 k = singles; k != 0; --k) {
            const uint32_t m = stop_mask<V>(V::load(x), V::loadu(y));
            if (m) {
                const unsigned i = ctz32(m);
                return (sys_i64)x[i] - (sys_i64)y[i];
            }
            x += W;
            y += W;
        }
        for (sys_u64 k = (blocks - singles) / 4; k != 0; --k) {
            const unsigned i = group_first_stop<V>(x, y);
            if (i != 4 * W)
                return (sys_i64)x[i] - (sys_i64)y[i];
            x += 4 * W;
            y += 4 * W;
        }
        for (sys_u64 k = (blocks - singles) % 4; k != 0; --k) {
            const uint32_t m = stop_mask<V>(V::load(x), V::loadu(y));
            if (m) {
                const unsigned i = ctz32(m);
                return (sys_i64)x[i] - (sys_i64)y[i];
            }
            x += W;
            y += W;
        }
        n -= blocks * W;
        if (n == 0)
            return 0;
    }
}

// Whether the text at t starts with the terminated `rest`. Stops at the first difference, so
// the text's NUL (which differs from every byte of rest) ends it.
inline bool starts_with(const char* t, const char* rest) {
    for (; *rest; ++t, ++rest) {
        if (*t != *rest)
            return false;
    }
    return true;
}

// First occurrence of a pattern of at least two bytes. Each aligned block without a NUL is
// filtered for positions i with text[i] == pattern[0] and text[i + k] == pattern[k], k being
// the pattern's last position capped at W, through a second, unaligned load at p + k. That load
// stays within the next aligned block, which is mapped: the current block has no NUL, so the
// text goes on at least to the next block's first byte. Candidates are verified byte by byte.
// The block that holds the NUL is searched byte by byte.
template <class V> inline const char* kernel_strstr(const char* s, const char* pattern) {
    using R = typename V::reg;
    const R zero = V::zero();
    sys_u64 k = 1;
    while (k < V::W && pattern[k + 1] != 0)
        ++k;
    const R v0 = V::set1(pattern[0]);
    const R vk = V::set1(pattern[k]);
    const char* rest = pattern + 1;
    const char* p = align_down<V>(s);
    uint32_t keep = ~0u << ((uintptr_t)s & (V::W - 1));
    for (;;) {
        const R v = V::load(p);
        const uint32_t z = V::mask(V::eq(v, zero)) & keep;
        if (z) {
            for (const char* at = p + ctz32(keep); at < p + ctz32(z); ++at) {
                if (*at == pattern[0] && starts_with(at + 1, rest))
                    return at;
            }
            return nullptr;
        }
        uint32_t candidates = V::mask(V::eq(v, v0)) & V::mask(V::eq(V::loadu(p + k), vk)) & keep;
        keep = ~0u;
        while (candidates) {
            const char* at = p + ctz32(candidates);
            if (starts_with(at + 1, rest))
                return at;
            candidates &= candidates - 1;
        }
        p += V::W;
    }
}

} // namespace
