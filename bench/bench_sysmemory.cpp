// sys_malloc/sys_free against the C heap they sit on: the wrapper must cost nothing.
#include <benchmark/benchmark.h>

#include "qv_sys/sysmemory.h"

#include <stdlib.h>

namespace {

void alloc_free_qv(benchmark::State& state) {
    const sys_u64 size = (sys_u64)state.range(0);
    for (auto _ : state) {
        void* p = sys_malloc(size);
        benchmark::DoNotOptimize(p);
        sys_free(p);
    }
}

void alloc_free_libc(benchmark::State& state) {
    const size_t size = (size_t)state.range(0);
    for (auto _ : state) {
        void* p = malloc(size);
        benchmark::DoNotOptimize(p);
        free(p);
    }
}

BENCHMARK(alloc_free_qv)->Name("alloc_free_64/qv_sys")->Arg(64);
BENCHMARK(alloc_free_libc)->Name("alloc_free_64/glibc")->Arg(64);
BENCHMARK(alloc_free_qv)->Name("alloc_free_64k/qv_sys")->Arg(65536);
BENCHMARK(alloc_free_libc)->Name("alloc_free_64k/glibc")->Arg(65536);

} // namespace
