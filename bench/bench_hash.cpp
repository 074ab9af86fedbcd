// qv_hash against XXH64 on large buffers and on short keys.
#include <benchmark/benchmark.h>

#include "qv_sys/hash.h"

#include <vector>
#include <xxhash.h>

namespace {

std::vector<unsigned char> bytes(size_t size) {
    std::vector<unsigned char> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = (unsigned char)(i * 131 + 7);
    return data;
}

void hash_qv(benchmark::State& state) {
    const std::vector<unsigned char> data = bytes((size_t)state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(qv_hash(data.data(), data.size()));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void hash_xxh64(benchmark::State& state) {
    const std::vector<unsigned char> data = bytes((size_t)state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(XXH64(data.data(), data.size(), 0));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

BENCHMARK(hash_qv)->Name("hash_1MiB/qv_sys")->Arg(1 << 20);
BENCHMARK(hash_xxh64)->Name("hash_1MiB/xxh64")->Arg(1 << 20);
BENCHMARK(hash_qv)->Name("hash_key8/qv_sys")->Arg(8);
BENCHMARK(hash_xxh64)->Name("hash_key8/xxh64")->Arg(8);
BENCHMARK(hash_qv)->Name("hash_key16/qv_sys")->Arg(16);
BENCHMARK(hash_xxh64)->Name("hash_key16/xxh64")->Arg(16);
BENCHMARK(hash_qv)->Name("hash_key32/qv_sys")->Arg(32);
BENCHMARK(hash_xxh64)->Name("hash_key32/xxh64")->Arg(32);
BENCHMARK(hash_qv)->Name("hash_key64/qv_sys")->Arg(64);
BENCHMARK(hash_xxh64)->Name("hash_key64/xxh64")->Arg(64);

} // namespace
