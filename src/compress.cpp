// Block compression: the mode switch over LZ4, and the copy mode.
//
// LZ4 takes 32-bit signed sizes. Every size crossing into it is checked first, so a 64-bit
// size is never cut down to one that would silently compress or decode a different amount.
#include "qv_sys/compress.h"

#include "qv_sys/assertion.h"

// The trusting decoder is deprecated upstream but is what decompress_fast is for.
#define LZ4_DISABLE_DEPRECATE_WARNINGS
#include <lz4.h>
#include <lz4hc.h>
#include <stdint.h>
#include <string.h>

namespace {

constexpr int kHighCompressionLevel = 9;

bool fits_lz4(sys_u64 size) {
    return size <= (sys_u64)INT32_MAX;
}

sys_u64 copy_if_fits(void* destination, sys_u64 capacity, const void* source, sys_u64 size) {
    if (capacity < size)
        return 0;
    if (size != 0)
        memcpy(destination, source, (size_t)size);
    return size;
}

} // namespace

sys_u64 compress(void* destination, sys_u64 capacity, const void* source, sys_u64 size,
                 sys_u32 mode) {
    switch (mode) {
    case COMPRESSION_NONE:
        return copy_if_fits(destination, capacity, source, size);
    case COMPRESSION_LZ4:
    case COMPRESSION_LZ4HC: {
        if (!fits_lz4(size) || !fits_lz4(capacity))
            return 0;
        const int written = mode == COMPRESSION_LZ4
                                ? LZ4_compress_default((const char*)source, (char*)destination,
                                                       (int)size, (int)capacity)
                                : LZ4_compress_HC((const char*)source, (char*)destination,
                                                  (int)size, (int)capacity, kHighCompressionLevel);
        return written > 0 ? (sys_u64)written : 0;
    }
    default:
        SYS_CHECK(!"Failure");
        return 0;
    }
}

sys_u64 decompress(void* destination, sys_u64 capacity, const void* source, sys_u64 compressed_size,
                   sys_u32 mode) {
    switch (mode) {
    case COMPRESSION_NONE:
        return copy_if_fits(destination, capacity, source, compressed_size);
    case COMPRESSION_LZ4:
    case COMPRESSION_LZ4HC: {
        if (!fits_lz4(compressed_size) || !fits_lz4(capacity))
            return 0;
        const int decoded = LZ4_decompress_safe((const char*)source, (char*)destination,
                                                (int)compressed_size, (int)capacity);
        return decoded >= 0 ? (sys_u64)decoded : 0;
    }
    default:
        SYS_CHECK(!"Failure");
        return 0;
    }
}

sys_bool decompress_fast(void* destination, const void* source, sys_u64 uncompressed_size,
                         sys_u32 mode) {
    switch (mode) {
    case COMPRESSION_NONE:
        if (uncompressed_size != 0)
            memcpy(destination, source, (size_t)uncompressed_size);
        return SYS_TRUE;
    case COMPRESSION_LZ4:
    case COMPRESSION_LZ4HC:
        if (!fits_lz4(uncompressed_size))
            return SYS_FALSE;
        return LZ4_decompress_fast((const char*)source, (char*)destination,
                                   (int)uncompressed_size) >= 0
                   ? SYS_TRUE
                   : SYS_FALSE;
    default:
        SYS_CHECK(!"Failure");
        return SYS_FALSE;
    }
}
