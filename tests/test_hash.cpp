// The hash against its published vectors, and the streamed form against the one call.
#include "support/test_support.h"

#include "qv_sys/hash.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace {

const char kVector[] = "012345678901234567890123456789012345678901234567890123456789012";

// Pieces cycle through `pieces`; init must not rely on a cleared state.
sys_u64 streamed(const void* data, size_t size, sys_u64 seed, const std::vector<size_t>& pieces) {
    qv_hash_state state;
    memset(&state, 0xAB, sizeof state);
    qv_hash_init(&state, seed);
    for (size_t i = 0, done = 0, piece; done < size; done += piece, ++i) {
        piece = std::min(pieces[i % pieces.size()], size - done);
        qv_hash_increment(&state, (const sys_u8*)data + done, piece);
    }
    const sys_u64 h = qv_hash_finalize(&state);
    EXPECT_EQ(state.v[0], h);
    return h;
}

// Streamed pieces below, at and above the 32-byte stripe, empty ones included.
TEST(Hash, PublishedVectorsAndStreamingInAnySplit) {
    EXPECT_EQ(qv_hash(kVector, 63), 0xAD4B7006AE3D756Bull);
    EXPECT_EQ(qv_hash_s(kVector, 63, 1), 0xDFB8B9F41C480D3Bull);
    EXPECT_EQ(streamed(kVector, 63, 1, {7}), 0xDFB8B9F41C480D3Bull);
    EXPECT_EQ(qv_hash("", 0), 0x705FB008071E967Dull);
    EXPECT_NE(qv_hash_s("", 0, 1), qv_hash_s("", 0, 0)) << "the empty input still sees the seed";
    std::vector<sys_u8> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (sys_u8)(i * 131 + (i >> 3));
    for (size_t size : {0, 15, 31, 32, 63, 1000})
        for (sys_u64 seed : {0ull, ~0ull})
            for (const auto& split :
                 std::vector<std::vector<size_t>>{{1}, {7}, {32}, {33}, {0, 5, 64, 1, 31, 0}})
                EXPECT_EQ(streamed(data.data(), size, seed, split),
                          qv_hash_s(data.data(), size, seed))
                    << "size " << size << ", pieces of " << split[0] << ", seed " << seed;
}

} // namespace
