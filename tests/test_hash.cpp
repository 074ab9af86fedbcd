// The hash against its published vectors, and the streamed form against the one call.
#include "support/test_support.h"

#include "qv_sys/hash.h"

#include <string.h>

#include <algorithm>
#include <vector>

namespace {

const char kVectorText[] = "012345678901234567890123456789012345678901234567890123456789012";

TEST(Hash, PublishedVectors) {
    EXPECT_EQ(qv_hash(kVectorText, 63), 0xAD4B7006AE3D756Bull);
    EXPECT_EQ(qv_hash_s(kVectorText, 63, 1), 0xDFB8B9F41C480D3Bull);
    EXPECT_EQ(qv_hash("", 0), 0x705FB008071E967Dull);
    EXPECT_NE(qv_hash_s("", 0, 1), qv_hash_s("", 0, 0)) << "the empty input still sees the seed";
}

sys_u64 streamed(const sys_u8* data, size_t size, sys_u64 seed, const std::vector<size_t>& pieces) {
    qv_hash_state state;
    memset(&state, 0xAB, sizeof state); // init must not rely on a cleared state
    qv_hash_init(&state, seed);
    for (size_t i = 0, done = 0; done < size; ++i) {
        const size_t piece = std::min(pieces[i % pieces.size()], size - done);
        qv_hash_increment(&state, data + done, piece);
        done += piece;
    }
    const sys_u64 h = qv_hash_finalize(&state);
    EXPECT_EQ(state.v[0], h);
    return h;
}

// Pieces below, at and above the 32-byte stripe, empty ones included.
TEST(Hash, StreamingInAnySplitEqualsOneCall) {
    const std::vector<std::vector<size_t>> splits = {{1}, {7}, {32}, {33}, {0, 5, 64, 1, 31, 0}};
    std::vector<sys_u8> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = (sys_u8)(i * 131 + (i >> 3));
    for (size_t size : {0, 15, 31, 32, 63, 1000}) {
        for (sys_u64 seed : {0ull, 0xFFFFFFFFFFFFFFFFull}) {
            const sys_u64 expected = qv_hash_s(data.data(), size, seed);
            for (const std::vector<size_t>& split : splits)
                EXPECT_EQ(streamed(data.data(), size, seed, split), expected)
                    << "size " << size << ", pieces of " << split[0] << ", seed " << seed;
        }
    }
    const sys_u8* text = reinterpret_cast<const sys_u8*>(kVectorText);
    EXPECT_EQ(streamed(text, 63, 1, {7}), 0xDFB8B9F41C480D3Bull);
}

} // namespace
