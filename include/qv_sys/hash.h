/* qv_sys hash: MetroHash64, the library's 64-bit identifier hash.
 *
 * Fast and well spread, not meant for security. One call over a byte range, or streamed in
 * pieces of any size with the same result. Input is read as little-endian words with no
 * alignment requirement; the result is the algorithm's 8-byte digest read as a little-endian
 * 64-bit integer. Nothing here allocates. */
#ifndef QV_SYS_HASH_H
#define QV_SYS_HASH_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Streaming state, owned by the caller. Usable after qv_hash_init; one state must not be used
 * by two threads at once. */
typedef struct qv_hash_state {
    sys_u8 input[32]; /* received bytes that do not yet make up a 32-byte stripe */
    sys_u64 v[4];     /* the four lanes */
    sys_u64 bytes;    /* bytes received since qv_hash_init */
    sys_u64 seed;     /* the seed given to qv_hash_init */
} qv_hash_state;

/* The hash of `size` bytes at `data` with `seed`. Reentrant. */
QV_SYS_API sys_u64 qv_hash_s(const void* data, sys_u64 size, sys_u64 seed);

/* The hash of `size` bytes at `data` with seed 0: the identifier hash used for log types and
 * custom print objects. */
QV_SYS_API sys_u64 qv_hash(const void* data, sys_u64 size);

/* Starts a streamed hash with `seed`. */
QV_SYS_API void qv_hash_init(qv_hash_state* state, sys_u64 seed);

/* Adds `size` bytes (0 allowed, any size) to a streamed hash. */
QV_SYS_API void qv_hash_increment(qv_hash_state* state, const void* data, sys_u64 size);

/* Returns the hash of everything added since qv_hash_init: the same value qv_hash_s gives
 * over all pieces joined, with the same seed. The value is also left in state->v[0], and the
 * byte count is reset, but the lanes are not: call qv_hash_init again before reusing the
 * state, or the next result is not the hash of the new bytes. */
QV_SYS_API sys_u64 qv_hash_finalize(qv_hash_state* state);

QV_SYS_END_C

#endif /* QV_SYS_HASH_H */
