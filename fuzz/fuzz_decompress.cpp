// decompress in the LZ4 modes over arbitrary input and capacities: never a write past the
// capacity (the destination is exactly sized on the heap) and never a result above it.
#include "qv_sys/compress.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3)
        return 0;
    const size_t capacity = (size_t)(data[0] | (data[1] << 8)) % 20000;
    const sys_u32 mode = (data[2] & 1) ? COMPRESSION_LZ4HC : COMPRESSION_LZ4;
    std::vector<uint8_t> source(data + 3, data + size);
    std::vector<uint8_t> out(capacity);
    const sys_u64 n = decompress(out.data(), capacity, source.data(), source.size(), mode);
    if (n > capacity)
        __builtin_trap();

    // Whatever decodes must compress and decode back to itself.
    if (n != 0) {
        std::vector<uint8_t> block(n + n / 255 + 16);
        const sys_u64 c = compress(block.data(), block.size(), out.data(), n, mode);
        std::vector<uint8_t> back(n);
        if (c == 0 || decompress(back.data(), n, block.data(), c, mode) != n ||
            memcmp(back.data(), out.data(), n) != 0)
            __builtin_trap();
    }
    return 0;
}
