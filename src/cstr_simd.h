// Wide-load kernels of the byte-string routines, written once over a vector type V and
// compiled with SSE2 (every x86-64) in cstr.cpp and with AVX2 in cstr_avx2.cpp, the comparison
// also with AVX-512 in cstr_evex.cpp, chosen at run time by the processor.
//
// Safety of the wide loads: a kernel only loads whole V-aligned blocks (V::W bytes, at most
// 32) or, in the comparison, unaligned blocks that it has proven to lie in mapped pages: pages
// holding bytes already compared, or a next page the text is proven to reach. A block that holds at
// least one byte the caller vouches for (a byte before or at the text's NUL) therefore lies in a
// page that is mapped, so bytes read past the NUL are never outside the caller's memory mapping,
// and they never change a result. Sanitizer builds do not use these kernels (they would see the
// reads past the NUL): cstr.cpp falls back to byte loops there.
//
// Everything is in an anonymous namespace: each including file gets its own copies, compiled
// for its own instruction set, and none can be picked by the linker for the other.
#pragma once

#include "qv_sys/types.h"

#include <stdint.h>

// Entry points of the AVX2 translation unit (call only when the processor has AVX2).
sys_u64 cstr_avx2_strlen(const char* text);
const char* cstr_avx2_strchr(const char* text, char c);
sys_i64 cstr_avx2_strcmp(const char* a, const char* b);
sys_i64 cstr_avx2_strncmp(const char* a, const char* b, sys_u64 n);
const char* cstr_avx2_strstr(const char* text, const char* pattern);

// The comparison compiled with AVX-512VL and AVX-512BW on 32-byte blocks (call only when the
// processor has them and the operating system saves their state).
sys_i64 cstr_evex_strcmp(const char* a, const char* b);
sys_i64 cstr_evex_strncmp(const char* a, const char* b, sys_u64 n);
// The same, compiled without clearing the vector registers' upper halves at each return (call
// only where cstr_evex_strcmp may be called, and only on processors where SSE code that runs
// after it pays nothing for those halves: AMD's).
sys_i64 cstr_evex_keep_upper_strcmp(const char* a, const char* b);
sys_i64 cstr_evex_keep_upper_strncmp(const char* a, const char* b, sys_u64 n);

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

// Lanes where x's byte is the NUL or differs from y's byte. x's block is kept in a register:
// the compiler would otherwise read it twice, folding a load into each instruction that uses it.
template <class V> inline uint32_t stop_mask(typename V::reg vx, typename V::reg vy) {
    asm("" : "+x"(vx));
    return V::mask(V::eq(V::min(vx, V::eq(vx, vy)), V::zero()));
}

// Stops in the two blocks at x and y, as one mask of 2W lanes.
template <class V> inline uint64_t pair_stops(const unsigned char* x, const unsigned char* y) {
    constexpr unsigned W = V::W;
    return stop_mask<V>(V::loadu(x), V::loadu(y)) |
           (uint64_t)stop_mask<V>(V::loadu(x + W), V::loadu(y + W)) << W;
}

// Whether a group of four blocks of x (in registers) and y holds a stop.
template <class V>
inline bool group_has_stop(typename V::reg x0, typename V::reg x1, typename V::reg x2,
                           typename V::reg x3, const unsigned char* y) {
    constexpr unsigned W = V::W;
    // 0 where the bytes differ (min with the 0 of eq) or where x's byte is the NUL.
    const typename V::reg t0 = V::min(x0, V::eq(x0, V::loadu(y)));
    const typename V::reg t1 = V::min(x1, V::eq(x1, V::loadu(y + W)));
    const typename V::reg t2 = V::min(x2, V::eq(x2, V::loadu(y + 2 * W)));
    const typename V::reg t3 = V::min(x3, V::eq(x3, V::loadu(y + 3 * W)));
    return V::mask(V::eq(V::min(V::min(t0, t1), V::min(t2, t3)), V::zero())) != 0;
}

// The first stop in a group of four blocks of y (unaligned) and of x (aligned when XAligned), or
// 4W when there is none. One test for the four; the blocks are looked at one by one only in the
// group that stops. A vector type may bring its own test and exit (given x's blocks).
template <class V, bool XAligned = true>
inline unsigned group_first_stop(const unsigned char* x, const unsigned char* y) {
    constexpr unsigned W = V::W;
    typename V::reg x0, x1, x2, x3;
    if constexpr (XAligned) {
        x0 = V::load(x), x1 = V::load(x + W), x2 = V::load(x + 2 * W), x3 = V::load(x + 3 * W);
    } else {
        x0 = V::loadu(x), x1 = V::loadu(x + W), x2 = V::loadu(x + 2 * W), x3 = V::loadu(x + 3 * W);
    }
    keep_in_registers(x0, x1, x2, x3);
    if constexpr (requires { V::group_first_stop(x0, x1, x2, x3, y); }) {
        return V::group_first_stop(x0, x1, x2, x3, y);
    } else {
        // Most groups go on: that path falls through, with one taken branch per loop iteration.
        if (__builtin_expect(!group_has_stop<V>(x0, x1, x2, x3, y), 1))
            return 4 * W;
        // y's blocks are read again below rather than kept from the test: kept, they could not
        // be folded into the test's instructions, and the loop would carry four more.
        asm("" ::: "memory");
        const uint64_t low =
            stop_mask<V>(x0, V::loadu(y)) | (uint64_t)stop_mask<V>(x1, V::loadu(y + W)) << W;
        if (low != 0)
            return (unsigned)__builtin_ctzll(low);
        return 2 * W +
               (unsigned)__builtin_ctzll(stop_mask<V>(x2, V::loadu(y + 2 * W)) |
                                         (uint64_t)stop_mask<V>(x3, V::loadu(y + 3 * W)) << W);
    }
}

// The result at a stop, bounded or not: the byte difference.
inline sys_i64 byte_difference(const unsigned char* x, const unsigned char* y, sys_u64 i) {
    return (sys_i64)x[i] - (sys_i64)y[i];
}

// The first stop among the r bytes from x and y, r reaching a page end of one of them, or r if
// there is none. Blocks: forward ones, then the one that ends at r, overlapping bytes compared
// already (no stop there). With r under a block that one starts before x and y: the caller
// knows the W - r bytes before them are compared, equal and not the NUL.
template <class V>
__attribute__((always_inline)) inline sys_u64 first_stop_within(const unsigned char* x,
                                                                const unsigned char* y, sys_u64 r) {
    constexpr sys_i64 W = V::W;
    const sys_i64 end = (sys_i64)r;
    for (sys_i64 at = end > W ? 0 : end - W;;) {
        const uint32_t m = stop_mask<V>(V::loadu(x + at), V::loadu(y + at));
        if (m)
            return (sys_u64)(at + ctz32(m));
        if (at + W >= end)
            return r;
        at = at + 2 * W <= end ? at + W : end - W;
    }
}

// The comparison: (unsigned a byte) - (unsigned b byte) at the first difference, stopping after
// a's NUL, and, when Bounded, within n bytes (0 if none). Unbounded, n is not looked at (the
// plain comparison carries no count).
//
// The first four blocks are compared one at a time with unaligned loads (most texts end in
// them); each block's test is plain vector arithmetic even where mask registers exist, which on
// the processors measured costs less per block; then one unaligned group of four where neither
// page ends within it. The bulk of a long comparison is then groups: a read in aligned groups
// (never across a page, and without split cache lines) and b in unaligned ones, as many at a
// time as fit before b's page ends. When b's next group would cross into its
// next page, the group that ends exactly at that page's end is compared first: it starts inside
// bytes that were already compared (equal, not the NUL), so it is readable, and if it finds nothing
// the text goes on into the next page, which is therefore mapped, and the crossing group can be
// read as usual. A page end thus costs at most one group more.
//
// A start near either page's end (and a page end met before enough bytes are compared to step
// back over, which the entry rules out) is compared up to the nearer page end by blocks that
// end there, and the comparison starts afresh past it; that path is out of line, so the common
// one carries none of its setup.
template <class V, bool Bounded>
__attribute__((noinline)) sys_i64 compare_near_page_end(const unsigned char* x,
                                                        const unsigned char* y, sys_u64 n);

// x aligned to a group; the bytes from start to x, and as many before y, are compared, equal
// and not the NUL.
//
// y's page ends are all `back` bytes short of a group boundary (G when they fall on one), so
// after the first one the loop runs whole pages of groups: an even count known in advance, and
// at each page end the blocks up to it, unless the end falls on a boundary.
//
// Inlined into the entry even where it has two callers: a call there is one more jump and a
// setup the entry has already done, a few percent of a 1 KiB comparison.
template <class V, bool Bounded>
__attribute__((always_inline)) inline sys_i64 compare_groups(const unsigned char* start,
                                                             const unsigned char* x,
                                                             const unsigned char* y, sys_u64 n) {
    constexpr unsigned G = 4 * V::W;
    const sys_u64 room = 4096 - ((uintptr_t)y & 4095);
    const sys_u64 back = G - room % G;
    sys_u64 count = room / G; // groups before y's page end
    if (count == 0 && (sys_u64)(x - start) < back)
        return compare_near_page_end<V, Bounded>(x, y, n);
    for (;;) {
        // Whether the limit comes before y's page end (the group it falls in then lies within
        // y's page).
        bool limit_first = false;
        if constexpr (Bounded) {
            limit_first = count > n / G;
            if (limit_first)
                count = n / G;
            n -= count * G;
        }
        // Two groups per turn of the loop: its counting and branch are then paid once per 256
        // bytes (with AVX2 blocks), which is what holds it back when neither text's loads
        // split cache lines.
        if (count & 1) {
            const unsigned i = group_first_stop<V>(x, y);
            if (__builtin_expect(i != G, 0))
                return byte_difference(x, y, i);
            x += G;
            y += G;
        }
        for (count /= 2; count != 0; --count) {
            unsigned i = group_first_stop<V>(x, y);
            if (__builtin_expect(i != G, 0))
                return byte_difference(x, y, i);
            i = group_first_stop<V>(x + G, y + G);
            if (__builtin_expect(i != G, 0))
                return byte_difference(x, y, G + i);
            x += 2 * G;
            y += 2 * G;
        }
        if (Bounded && limit_first) {
            const unsigned i = n != 0 ? group_first_stop<V>(x, y) : G;
            return i < n ? byte_difference(x, y, i) : 0;
        }
        // y's page ends G - back bytes ahead (at least `back` bytes are compared before x). If
        // no stop comes before it, y goes on into its next page, and the group that crosses can
        // be read.
        if (back != G) {
            const sys_u64 i = first_stop_within<V>(x, y, G - back);
            if (i != G - back)
                return !Bounded || i < n ? byte_difference(x, y, i) : 0;
        }
        if (Bounded && n <= G - back)
            return 0;
        count = 4096 / G;
    }
}

template <class V, bool Bounded>
__attribute__((always_inline)) inline sys_i64 kernel_compare(const char* a, const char* b,
                                                             sys_u64 n);

// A start within a group of either text's page end. When only a's page ends that near (and
// not within two blocks), its next group boundary is that page end: two blocks, then the two
// that end at the boundary (whole blocks of a's page, overlapping only bytes compared already),
// and the groups from there. Otherwise the bytes up to the nearer page end are compared by
// blocks within both pages: forward ones, then the one that ends at that page end; when fewer
// than a block's bytes are left, that one starts before the texts, its bytes there (still in
// their pages) shifted out of the result. Past the page end the text that ended there is known
// to go on, so its next page is mapped, and the comparison starts again from the entry.
template <class V, bool Bounded>
__attribute__((noinline)) sys_i64 compare_near_page_end(const unsigned char* x,
                                                        const unsigned char* y, sys_u64 n) {
    constexpr unsigned W = V::W, G = 4 * W;
    const sys_u64 x_off = (uintptr_t)x & 4095, y_off = (uintptr_t)y & 4095;
    if (x_off <= 4096 - 2 * W && y_off <= 4096 - G) {
        uint64_t m = pair_stops<V>(x, y);
        if (Bounded && n < 2 * W)
            m &= (1ull << n) - 1;
        if (m)
            return byte_difference(x, y, (unsigned)__builtin_ctzll(m));
        if (Bounded && n <= 2 * W)
            return 0;
        const sys_u64 step = G - ((uintptr_t)x & (G - 1)), at = step - 2 * W;
        m = pair_stops<V>(x + at, y + at);
        if (Bounded && n < step)
            m &= (1ull << (n - at)) - 1;
        if (m)
            return byte_difference(x, y, at + (unsigned)__builtin_ctzll(m));
        if (Bounded && n <= step)
            return 0;
        return compare_groups<V, Bounded>(x, x + step, y + step, n - step);
    }
    const sys_u64 left = 4096 - (x_off > y_off ? x_off : y_off); // to the nearer page end
    if (left >= W) {
        const sys_u64 i = first_stop_within<V>(x, y, left);
        if (i != left)
            return !Bounded || i < n ? byte_difference(x, y, i) : 0;
    } else if (const sys_u64 back = W - left; x_off >= back && y_off >= back) {
        uint32_t m = stop_mask<V>(V::loadu(x - back), V::loadu(y - back)) >> back;
        if (Bounded && n < left)
            m &= (uint32_t)((1ull << n) - 1);
        if (m)
            return byte_difference(x, y, ctz32(m));
    } else {
        // The other text starts within a block of its page's start: byte by byte (rare).
        for (sys_u64 i = 0; i < left && (!Bounded || i < n); ++i) {
            if (x[i] != y[i] || x[i] == 0)
                return byte_difference(x, y, i);
        }
    }
    if (Bounded && n <= left)
        return 0;
    return kernel_compare<V, Bounded>((const char*)(x + left), (const char*)(y + left), n - left);
}

template <class V, bool Bounded>
__attribute__((always_inline)) inline sys_i64 kernel_compare(const char* a, const char* b,
                                                             sys_u64 n) {
    constexpr unsigned W = V::W, G = 4 * W;
    const unsigned char* x = (const unsigned char*)a;
    const unsigned char* y = (const unsigned char*)b;
    if (Bounded && n == 0)
        return 0;
    if (((uintptr_t)x & 4095) > 4096 - G || ((uintptr_t)y & 4095) > 4096 - G)
        return compare_near_page_end<V, Bounded>(x, y, n);
    // The first four blocks, one at a time: most texts end in them. A limit n is the rare case:
    // the texts' own end is what stops most comparisons.
    uint64_t m = stop_mask<V>(V::loadu(x), V::loadu(y));
    if (Bounded && __builtin_expect(n < 2 * W, 0)) {
        m = (m | (uint64_t)stop_mask<V>(V::loadu(x + W), V::loadu(y + W)) << W) & ((1ull << n) - 1);
        return m ? byte_difference(x, y, (unsigned)__builtin_ctzll(m)) : 0;
    }
    if (__builtin_expect(m != 0, 0))
        return byte_difference(x, y, (unsigned)__builtin_ctzll(m));
    m = stop_mask<V>(V::loadu(x + W), V::loadu(y + W));
    if (__builtin_expect(m != 0, 1))
        return byte_difference(x, y, W + (unsigned)__builtin_ctzll(m));
    m = pair_stops<V>(x + 2 * W, y + 2 * W);
    if (Bounded && __builtin_expect(n < G, 0))
        m &= (1ull << (n - 2 * W)) - 1;
    if (m)
        return byte_difference(x, y, 2 * W + (unsigned)__builtin_ctzll(m));
    if (Bounded && __builtin_expect(n <= G, 0))
        return 0;
    // x goes on aligned to a group, stepping back over up to a group's bytes compared already.
    // Before that step back, one more group where it lies in both pages: texts of up to two
    // groups then end in it with each byte read once (aligning at once would read up to a
    // group's bytes twice, and most starts would need a group more).
    sys_u64 step = G - ((uintptr_t)x & (G - 1));
    const sys_u64 x_off = (uintptr_t)x & 4095, y_off = (uintptr_t)y & 4095;
    if ((x_off > y_off ? x_off : y_off) <= 4096 - 2 * G) {
        const unsigned i = group_first_stop<V, false>(x + G, y + G);
        if (i != G)
            return !Bounded || G + i < n ? byte_difference(x, y, G + i) : 0;
        if (Bounded && n <= 2 * G)
            return 0;
        step += G;
    }
    return compare_groups<V, Bounded>(x, x + step, y + step, n - step);
}

// A limit within a group takes its own out-of-line copy; past that the limit cannot fall in the
// first group, and the compiler drops those checks from the common path.
template <class V>
__attribute__((noinline)) sys_i64 compare_short_limit(const char* a, const char* b, sys_u64 n) {
    return kernel_compare<V, true>(a, b, n);
}

template <class V> inline sys_i64 kernel_strncmp(const char* a, const char* b, sys_u64 n) {
    constexpr unsigned W = V::W;
    if (__builtin_expect(n <= 4 * W, 0)) {
        // A limit within two blocks (a prefix test, most often): two blocks and the limit's mask.
        if (n <= 2 * W && ((uintptr_t)a & 4095) <= 4096 - 2 * W &&
            ((uintptr_t)b & 4095) <= 4096 - 2 * W) {
            const unsigned char* x = (const unsigned char*)a;
            const unsigned char* y = (const unsigned char*)b;
            uint64_t m = pair_stops<V>(x, y);
            m &= n >= 64 ? ~0ull : (1ull << n) - 1;
            return m ? byte_difference(x, y, (unsigned)__builtin_ctzll(m)) : 0;
        }
        return compare_short_limit<V>(a, b, n);
    }
    return kernel_compare<V, true>(a, b, n);
}

template <class V> inline sys_i64 kernel_strcmp(const char* a, const char* b) {
    return kernel_compare<V, false>(a, b, 0);
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
