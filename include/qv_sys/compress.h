/* qv_sys compression: buffer-to-buffer block compression.
 *
 * Three modes: a plain copy, the LZ4 block format from the fast compressor, and the same
 * format from the high-compression compressor. There is no framing: the caller keeps the mode
 * and the sizes (the compressed size, and for decompress_fast the uncompressed size) beside
 * the data. All functions are reentrant and may be called from any thread. */
#ifndef QV_SYS_COMPRESS_H
#define QV_SYS_COMPRESS_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Compression modes (32-bit unsigned values). Blocks made in mode 1 and mode 2 have the same
 * format: either decompresses with mode 1 or mode 2. */
enum {
    COMPRESSION_NONE = 0,  /* copy */
    COMPRESSION_LZ4 = 1,   /* fast compressor, acceleration 1 */
    COMPRESSION_LZ4HC = 2, /* high-compression compressor at level 9; slower, smaller */
};

/* Size limit of modes 1 and 2. The block compressor works with 32-bit signed sizes, so every
 * size and capacity handed to it in modes 1 and 2 must be below 2 GiB: a larger source size,
 * compressed size, destination capacity or uncompressed size makes the call fail (0, or
 * false) rather than pass a truncated size on. Sources are further limited to 0x7E000000
 * bytes, beyond which compress gives 0. Mode 0 has no such limit. */

/* Compresses `size` bytes at `source` into `destination`, which holds `capacity` bytes.
 * Note the order: destination and its capacity first, then the source.
 *   mode 0: copies when capacity >= size and gives size, else 0.
 *   mode 1, 2: gives the compressed size, or 0 when the destination is too small.
 * An unknown mode fails the check "!\"Failure\"" and gives 0. A source of size 0 gives 0 in
 * mode 0 (nothing copied), so 0 means failure only for a non-empty source. */
QV_SYS_API sys_u64 compress(void* destination, sys_u64 capacity, const void* source, sys_u64 size,
                            sys_u32 mode);

/* Decompresses `compressed_size` bytes at `source` into `destination` (`capacity` bytes).
 *   mode 0: copies when capacity >= compressed_size and gives compressed_size, else 0.
 *   mode 1, 2: gives the number of bytes decoded; damaged input, or output that would not fit
 *              in `capacity`, gives 0 and nothing is written past the capacity.
 * On failure the destination's content is undefined. An unknown mode fails the check
 * "!\"Failure\"" and gives 0. Safe for data from outside the program. */
QV_SYS_API sys_u64 decompress(void* destination, sys_u64 capacity, const void* source,
                              sys_u64 compressed_size, sys_u32 mode);

/* Decompresses a block whose exact uncompressed size is known, without input bounds checks.
 *   mode 0: copies `uncompressed_size` bytes and gives true.
 *   mode 1, 2: true when the decoder succeeds.
 * It trusts its input: it reads as much of the source as the block says. Use it only for data
 * the program made itself; data from outside goes through decompress. An unknown mode fails
 * the check "!\"Failure\"" and gives false. */
QV_SYS_API sys_bool decompress_fast(void* destination, const void* source,
                                    sys_u64 uncompressed_size, sys_u32 mode);

QV_SYS_END_C

#endif /* QV_SYS_COMPRESS_H */
