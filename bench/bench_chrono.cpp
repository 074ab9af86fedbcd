// chrono_now against the raw counter read it sits on.
#include <benchmark/benchmark.h>

#include "qv_sys/chrono.h"

#include <time.h>

namespace {

void now_qv(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(chrono_now());
}

void now_raw(benchmark::State& state) {
    for (auto _ : state) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        benchmark::DoNotOptimize((uint64_t)now.tv_sec * 10000000u + (uint64_t)now.tv_nsec / 100);
    }
}

BENCHMARK(now_qv)->Name("clock_now/qv_sys");
BENCHMARK(now_raw)->Name("clock_now/clock_gettime");

} // namespace
