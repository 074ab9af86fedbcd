// scope_begin + scope_end with a running profiler and no viewer, the steady state of a game
// that starts the profiler and nobody connects: the queue is full, so each begin's log line is
// refused at once and each finished tree goes straight back to its pool. The floor is a bare
// pair of counter reads, which is what the two timestamps alone cost.
#include "qv_sys/scope.h"

#include <benchmark/benchmark.h>
#include <x86intrin.h>

namespace {

void scope_pair_profiler(benchmark::State& state) {
    if (scope_static_init() != 0) {
        state.SkipWithError("TCP port 17815 is taken");
        return;
    }
    // Fill the queue first, as a minute of play without a viewer would.
    for (int i = 0; i < 10000; ++i) {
        scope_begin("warm");
        scope_end();
    }
    for (auto _ : state) {
        scope_begin("bench");
        scope_end();
    }
    scope_static_destroy();
}

void scope_pair_nested_profiler(benchmark::State& state) {
    if (scope_static_init() != 0) {
        state.SkipWithError("TCP port 17815 is taken");
        return;
    }
    scope_begin("frame"); // the measured pairs never finish a tree
    for (auto _ : state) {
        scope_begin("bench");
        scope_end();
    }
    scope_end();
    scope_static_destroy();
}

void scope_pair_rdtsc(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(__rdtsc());
        benchmark::DoNotOptimize(__rdtsc());
    }
}

} // namespace

BENCHMARK(scope_pair_profiler)->Name("scope_begin_end_top_level/qv_sys");
BENCHMARK(scope_pair_rdtsc)->Name("scope_begin_end_top_level/rdtsc_pair");
BENCHMARK(scope_pair_nested_profiler)->Name("scope_begin_end_nested/qv_sys");
BENCHMARK(scope_pair_rdtsc)->Name("scope_begin_end_nested/rdtsc_pair");
