// MetroHash64, in one call and streamed. Both forms share the stripe update, the lane fold and
// the tail, so they cannot drift apart.
#include "qv_sys/hash.h"

#include <stddef.h>
#include <string.h>

static_assert(sizeof(qv_hash_state) == 80);
static_assert(offsetof(qv_hash_state, input) == 0 && offsetof(qv_hash_state, v) == 32 &&
              offsetof(qv_hash_state, bytes) == 64 && offsetof(qv_hash_state, seed) == 72);

namespace {

constexpr sys_u64 k0 = 0xD6D018F5;
constexpr sys_u64 k1 = 0xA2AA033B;
constexpr sys_u64 k2 = 0x62992FC1;
constexpr sys_u64 k3 = 0x30BC5B29;

// Unaligned little-endian reads; both targets are little-endian x86-64.
inline sys_u64 read_u64(const sys_u8* p) {
    sys_u64 v;
    memcpy(&v, p, 8);
    return v;
}

inline sys_u64 read_u32(const sys_u8* p) {
    sys_u32 v;
    memcpy(&v, p, 4);
    return v;
}

inline sys_u64 read_u16(const sys_u8* p) {
    sys_u16 v;
    memcpy(&v, p, 2);
    return v;
}

inline sys_u64 rotate_right(sys_u64 v, unsigned k) {
    return (v >> k) | (v << (64 - k));
}

inline sys_u64 seeded(sys_u64 seed) {
    return (seed + k2) * k0;
}

// One 32-byte stripe into the four lanes. Each lane adds the one two places on, lanes 2 and 3
// taking the already updated lanes 0 and 1.
inline void stripe(sys_u64 v[4], const sys_u8* p) {
    v[0] += read_u64(p) * k0;
    v[0] = rotate_right(v[0], 29) + v[2];
    v[1] += read_u64(p + 8) * k1;
    v[1] = rotate_right(v[1], 29) + v[3];
    v[2] += read_u64(p + 16) * k2;
    v[2] = rotate_right(v[2], 29) + v[0];
    v[3] += read_u64(p + 24) * k3;
    v[3] = rotate_right(v[3], 29) + v[1];
}

inline sys_u64 fold(sys_u64 v[4]) {
    v[2] ^= rotate_right(((v[0] + v[3]) * k0) + v[1], 37) * k1;
    v[3] ^= rotate_right(((v[1] + v[2]) * k1) + v[0], 37) * k0;
    v[0] ^= rotate_right(((v[0] + v[2]) * k0) + v[3], 37) * k1;
    v[1] ^= rotate_right(((v[1] + v[3]) * k1) + v[2], 37) * k0;
    return v[0] ^ v[1];
}

// The last fewer-than-32 bytes, then the final mix. A 16-byte tail works in two scratch
// words: the streaming form passes its second and third lanes, so a finalised state holds the
// same lanes as the published algorithm's streaming form leaves.
inline sys_u64 tail_and_mix(sys_u64 h, const sys_u8* p, sys_u64 n, sys_u64* t) {
    if (n >= 16) {
        t[0] = h + read_u64(p) * k2;
        t[0] = rotate_right(t[0], 29) * k3;
        t[1] = h + read_u64(p + 8) * k2;
        t[1] = rotate_right(t[1], 29) * k3;
        t[0] ^= rotate_right(t[0] * k0, 21) + t[1];
        t[1] ^= rotate_right(t[1] * k3, 21) + t[0];
        h += t[1];
        p += 16;
        n -= 16;
    }
    if (n >= 8) {
        h += read_u64(p) * k3;
        h ^= rotate_right(h, 55) * k1;
        p += 8;
        n -= 8;
    }
    if (n >= 4) {
        h += read_u32(p) * k3;
        h ^= rotate_right(h, 26) * k1;
        p += 4;
        n -= 4;
    }
    if (n >= 2) {
        h += read_u16(p) * k3;
        h ^= rotate_right(h, 48) * k1;
        p += 2;
        n -= 2;
    }
    if (n >= 1) {
        h += (sys_u64)*p * k3;
        h ^= rotate_right(h, 37) * k1;
    }
    h ^= rotate_right(h, 28);
    h *= k0;
    h ^= rotate_right(h, 29);
    return h;
}

// Exported functions can be interposed, so the compiler would not inline one into the other;
// both call this instead.
inline sys_u64 hash_one_call(const void* data, sys_u64 size, sys_u64 seed) {
    const sys_u8* p = static_cast<const sys_u8*>(data);
    sys_u64 h = seeded(seed);
    if (size >= 32) {
        sys_u64 v[4] = {h, h, h, h};
        do {
            stripe(v, p);
            p += 32;
            size -= 32;
        } while (size >= 32);
        h += fold(v);
    }
    sys_u64 scratch[2];
    return tail_and_mix(h, p, size, scratch);
}

} // namespace

sys_u64 qv_hash_s(const void* data, sys_u64 size, sys_u64 seed) {
    return hash_one_call(data, size, seed);
}

sys_u64 qv_hash(const void* data, sys_u64 size) {
    return hash_one_call(data, size, 0);
}

void qv_hash_init(qv_hash_state* state, sys_u64 seed) {
    const sys_u64 h = seeded(seed);
    state->v[0] = h;
    state->v[1] = h;
    state->v[2] = h;
    state->v[3] = h;
    state->bytes = 0;
    state->seed = seed;
}

void qv_hash_increment(qv_hash_state* state, const void* data, sys_u64 size) {
    const sys_u8* p = static_cast<const sys_u8*>(data);
    const sys_u64 pending = state->bytes % 32;
    if (pending != 0) {
        const sys_u64 fill = 32 - pending < size ? 32 - pending : size;
        memcpy(state->input + pending, p, (size_t)fill);
        p += fill;
        size -= fill;
        state->bytes += fill;
        if (state->bytes % 32 != 0)
            return;
        stripe(state->v, state->input);
    }
    state->bytes += size;
    // Whole stripes straight from the caller's bytes; only the remainder is copied.
    while (size >= 32) {
        stripe(state->v, p);
        p += 32;
        size -= 32;
    }
    if (size > 0)
        memcpy(state->input, p, (size_t)size);
}

sys_u64 qv_hash_finalize(qv_hash_state* state) {
    if (state->bytes >= 32)
        state->v[0] = seeded(state->seed) + fold(state->v);
    const sys_u64 h = tail_and_mix(state->v[0], state->input, state->bytes % 32, state->v + 1);
    state->v[0] = h;
    state->bytes = 0;
    return h;
}
