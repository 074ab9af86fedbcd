// callstack_get (frames named with files and lines, served from the per-address cache after
// the first walk) against glibc's backtrace + backtrace_symbols (exported names only, and an
// allocation per walk). The walk starts a few frames down so both see the same depth.
#include <benchmark/benchmark.h>

#include "qv_sys/assertion.h"

#include <execinfo.h>
#include <stdlib.h>

namespace {

constexpr int kFrames = 16;

template <typename Walk> __attribute__((noinline)) int nest(int depth, Walk walk) {
    if (depth > 0) {
        int n = nest(depth - 1, walk);
        benchmark::DoNotOptimize(n);
        return n;
    }
    return walk();
}

void walk_qv(benchmark::State& state) {
    static callstack_entry frames[kFrames];
    for (auto _ : state)
        benchmark::DoNotOptimize(
            nest(8, [] { return (int)callstack_get(frames, kFrames, nullptr); }));
}

void walk_glibc(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(nest(8, [] {
            void* pcs[kFrames];
            int n = backtrace(pcs, kFrames);
            char** names = backtrace_symbols(pcs, n);
            free(names);
            return n;
        }));
}

BENCHMARK(walk_qv)->Name("walk_16/qv_sys");
BENCHMARK(walk_glibc)->Name("walk_16/glibc_backtrace_symbols");

} // namespace
