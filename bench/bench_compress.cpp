// compress/decompress on 64 KiB blocks against the same LZ4 calls made directly: the layer
// must add next to nothing.
#include <benchmark/benchmark.h>

#include "qv_sys/compress.h"

#include <lz4.h>
#include <lz4hc.h>
#include <stdint.h>

#include <vector>

namespace {

constexpr int kBlock = 64 * 1024;

// Game-asset-like data: runs, repeated records and some noise.
const std::vector<char>& block() {
    static const std::vector<char> data = [] {
        std::vector<char> d(kBlock);
        uint32_t x = 12345;
        for (int i = 0; i < kBlock; ++i) {
            x = x * 1103515245u + 12345u;
            const int kind = (i / 512) % 3;
            d[(size_t)i] = kind == 0   ? (char)(x >> 24)
                           : kind == 1 ? "entity:transform:position;"[i % 26]
                                       : (char)((i / 64) & 0xff);
        }
        return d;
    }();
    return data;
}

std::vector<char> compressed() {
    std::vector<char> out((size_t)LZ4_compressBound(kBlock));
    out.resize((size_t)LZ4_compress_default(block().data(), out.data(), kBlock, (int)out.size()));
    return out;
}

void compress_qv(benchmark::State& state) {
    std::vector<char> out((size_t)LZ4_compressBound(kBlock));
    const sys_u32 mode = (sys_u32)state.range(0);
    for (auto _ : state)
        benchmark::DoNotOptimize(compress(out.data(), out.size(), block().data(), kBlock, mode));
    state.SetBytesProcessed(state.iterations() * kBlock);
}

void compress_lz4(benchmark::State& state) {
    std::vector<char> out((size_t)LZ4_compressBound(kBlock));
    const bool hc = state.range(0) == COMPRESSION_LZ4HC;
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            hc ? LZ4_compress_HC(block().data(), out.data(), kBlock, (int)out.size(), 9)
               : LZ4_compress_default(block().data(), out.data(), kBlock, (int)out.size()));
    }
    state.SetBytesProcessed(state.iterations() * kBlock);
}

void decompress_qv(benchmark::State& state) {
    const std::vector<char> in = compressed();
    std::vector<char> out(kBlock);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            decompress(out.data(), out.size(), in.data(), in.size(), COMPRESSION_LZ4));
    state.SetBytesProcessed(state.iterations() * kBlock);
}

void decompress_lz4(benchmark::State& state) {
    const std::vector<char> in = compressed();
    std::vector<char> out(kBlock);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            LZ4_decompress_safe(in.data(), out.data(), (int)in.size(), (int)out.size()));
    state.SetBytesProcessed(state.iterations() * kBlock);
}

BENCHMARK(compress_qv)->Name("compress_64k/qv_sys")->Arg(COMPRESSION_LZ4);
BENCHMARK(compress_lz4)->Name("compress_64k/lz4")->Arg(COMPRESSION_LZ4);
BENCHMARK(compress_qv)->Name("compress_hc_64k/qv_sys")->Arg(COMPRESSION_LZ4HC);
BENCHMARK(compress_lz4)->Name("compress_hc_64k/lz4")->Arg(COMPRESSION_LZ4HC);
BENCHMARK(decompress_qv)->Name("decompress_64k/qv_sys");
BENCHMARK(decompress_lz4)->Name("decompress_64k/lz4");

} // namespace
