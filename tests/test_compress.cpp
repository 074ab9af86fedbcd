// Block compression against LZ4's own encoder. Cut and damaged blocks are the fuzz target's.
#include "support/test_support.h"

#include "qv_sys/compress.h"

#define LZ4_DISABLE_DEPRECATE_WARNINGS
#include <lz4.h>
#include <lz4hc.h>

namespace {

using Bytes = std::vector<char>;

// Deterministic inputs: compressible text, noise, or runs of repeated bytes between noise.
Bytes make_input(char kind, size_t size) {
    Bytes out(size);
    uint32_t x = 2463534242u;
    for (size_t i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        const bool noise = kind == 'n' || (kind == 'm' && (i / 97) % 2 == 0);
        out[i] = kind == 't' ? "the quick brown fox jumps over the lazy dog. "[(i * 7 + x % 3) % 45]
                 : noise     ? (char)(x & 0xff)
                             : (char)(i / 97);
    }
    return out;
}

// The block ours (or, with `lz4`, LZ4 itself) makes from `in` in the given mode.
Bytes compressed(const Bytes& in, sys_u32 mode, bool lz4 = false) {
    Bytes out((size_t)LZ4_compressBound((int)in.size()));
    const int size = (int)in.size(), room = (int)out.size();
    const int n = !lz4 ? (int)compress(out.data(), room, in.data(), size, mode)
                  : mode == COMPRESSION_LZ4
                      ? LZ4_compress_default(in.data(), out.data(), size, room)
                      : LZ4_compress_HC(in.data(), out.data(), size, room, 9);
    out.resize((size_t)n);
    return out;
}

TEST(Compress, BlocksAreExactlyLz4sAndDecodeEitherWay) {
    const std::pair<char, size_t> inputs[] = {{'t', 1},     {'t', 15},    {'t', 1000},   {'n', 100},
                                              {'n', 65536}, {'m', 65536}, {'t', 1 << 20}};
    for (const auto& [kind, size] : inputs) {
        const Bytes in = make_input(kind, size);
        for (sys_u32 mode : {COMPRESSION_LZ4, COMPRESSION_LZ4HC}) {
            SCOPED_TRACE(kind + std::to_string(size) + " mode " + std::to_string(mode));
            const Bytes block = compressed(in, mode);
            ASSERT_FALSE(block.empty());
            EXPECT_EQ(block, compressed(in, mode, true)); // so LZ4's own decoder reads it
            // Ours reads it in the other LZ4 mode too, safely and fast.
            const sys_u32 other = mode == COMPRESSION_LZ4 ? COMPRESSION_LZ4HC : COMPRESSION_LZ4;
            Bytes back(in.size()), fast(in.size());
            EXPECT_EQ(decompress(back.data(), back.size(), block.data(), block.size(), other),
                      in.size());
            EXPECT_EQ(back, in);
            EXPECT_EQ(decompress_fast(fast.data(), block.data(), in.size(), other), SYS_TRUE);
            EXPECT_EQ(fast, in);
        }
    }
}

TEST(Compress, CapacityTooSmallGivesZeroAndStaysInsideAndEmptySource) {
    const Bytes in = make_input('t', 5000);
    for (sys_u32 mode : {COMPRESSION_LZ4, COMPRESSION_LZ4HC}) {
        const Bytes block = compressed(in, mode);
        EXPECT_EQ(compress(nullptr, 0, in.data(), in.size(), mode), 0u);
        // Exactly the block's size is enough, one byte less is not; nothing past it is touched.
        Bytes out(block.size() + 64, '\x5a');
        EXPECT_EQ(compress(out.data(), block.size(), in.data(), in.size(), mode), block.size());
        EXPECT_EQ(compress(out.data(), block.size() - 1, in.data(), in.size(), mode), 0u);
        for (size_t i = block.size(); i < out.size(); ++i)
            ASSERT_EQ(out[i], '\x5a') << i;
        Bytes back(in.size());
        EXPECT_EQ(decompress(back.data(), in.size() - 1, block.data(), block.size(), mode), 0u);
        // An empty source is a one-byte block.
        ASSERT_EQ(compress(out.data(), out.size(), "", 0, mode), 1u);
        EXPECT_EQ(decompress(back.data(), back.size(), out.data(), 1, mode), 0u);
    }
}

// The copy mode; an empty source gives 0, even with no buffers at all.
TEST(Compress, CopyMode) {
    const char src[] = "copy me";
    char dst[3][16];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(compress(dst[0], 7, src, 7, COMPRESSION_NONE), 7u);
    EXPECT_EQ(decompress(dst[1], 16, src, 7, COMPRESSION_NONE), 7u);
    EXPECT_EQ(decompress_fast(dst[2], src, 7, COMPRESSION_NONE), SYS_TRUE);
    for (const char* d : dst)
        EXPECT_EQ(std::string(d, 8), "copy me#");
    EXPECT_EQ(compress(nullptr, 6, src, 7, COMPRESSION_NONE), 0u);
    EXPECT_EQ(decompress(nullptr, 6, src, 7, COMPRESSION_NONE), 0u);
    EXPECT_EQ(compress(nullptr, 0, nullptr, 0, COMPRESSION_NONE), 0u);
    EXPECT_EQ(decompress(nullptr, 0, nullptr, 0, COMPRESSION_NONE), 0u);
    EXPECT_EQ(decompress_fast(nullptr, nullptr, 0, COMPRESSION_NONE), SYS_TRUE);
}

TEST(Compress, SizesBeyondThirtyTwoBitsFailCleanly) {
    // The sizes are claimed, not backed by memory: the calls must refuse them before reading.
    const sys_u64 two_gib = (sys_u64)1 << 31;
    char small[64] = {0}, block[64];
    const sys_u64 n = compress(block, sizeof block, "abcabcabc", 9, COMPRESSION_LZ4);
    ASSERT_GT(n, 0u);
    for (sys_u64 size : {two_gib, ((sys_u64)1 << 32) + 100, UINT64_MAX}) {
        for (sys_u32 mode : {COMPRESSION_LZ4, COMPRESSION_LZ4HC}) {
            EXPECT_EQ(compress(small, sizeof small, small, size, mode), 0u) << size;
            EXPECT_EQ(compress(small, size, small, 9, mode), 0u) << size;
            EXPECT_EQ(decompress(small, sizeof small, block, size, mode), 0u) << size;
            EXPECT_EQ(decompress(small, size, block, n, mode), 0u) << size;
            EXPECT_EQ(decompress_fast(small, block, size, mode), SYS_FALSE) << size;
        }
    }
    // Just under 2 GiB but over LZ4's input limit: LZ4 refuses it itself, before reading.
    EXPECT_EQ(compress(small, sizeof small, small, 0x7E000001, COMPRESSION_LZ4), 0u);
    // A copy has no such limit; a too-small capacity is still refused before copying.
    EXPECT_EQ(compress(small, sizeof small, small, two_gib, COMPRESSION_NONE), 0u);
}

QV_CHECK_SCENARIO(Compress, UnknownModeFailsTheCheck, 3, {
    char buf[8] = {0};
    EXPECT_EQ(compress(buf, 8, buf, 8, 3), 0u);
    EXPECT_EQ(decompress(buf, 8, buf, 8, 3), 0u);
    EXPECT_EQ(decompress_fast(buf, buf, 8, 3), SYS_FALSE);
})

} // namespace
