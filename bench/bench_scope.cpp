// scope_begin + scope_end with a running profiler and no viewer, the steady state of a game
// that starts the profiler and nobody connects, in both modes. Default mode: the queue is full,
// so each begin's log line is refused at once and each finished tree goes straight back to its
// pool. Streaming mode: no log line at all; the same full queue. The floor is a bare pair of
// counter reads, which is what the two timestamps alone cost.
#include "qv_sys/scope.h"

#include "../tests/support/ws_client.h"

#include <benchmark/benchmark.h>
#include <x86intrin.h>

namespace {

// Starts the profiler on a free port and fills its queue, as a minute of play without a
// viewer would.
bool start_profiler_with_full_queue(benchmark::State& state, sys_u32 flags) {
    scope_settings settings = SCOPE_SETTINGS_INIT;
    settings.flags = flags;
    settings.port = qv_test::pick_free_port();
    if (scope_static_init_with(&settings) != 0) {
        state.SkipWithError("the profiler did not start");
        return false;
    }
    for (int i = 0; i < 40000; ++i) {
        scope_begin("warm");
        scope_end();
    }
    return true;
}

void scope_pair_profiler(benchmark::State& state, sys_u32 flags) {
    if (!start_profiler_with_full_queue(state, flags))
        return;
    for (auto _ : state) {
        scope_begin("bench");
        scope_end();
    }
    scope_static_destroy();
}

// A frame of eight nested pairs, the common shape: the children stay in the frame's tree
// until the frame closes, then the whole tree goes back to the pool at once. Reported per
// iteration, that is per nine pairs.
void scope_frame_profiler(benchmark::State& state, sys_u32 flags) {
    if (!start_profiler_with_full_queue(state, flags))
        return;
    static const char* const names[8] = {"input", "physics", "animation", "ai",
                                         "audio", "culling", "submit",    "present"};
    for (auto _ : state) {
        scope_begin("frame");
        for (const char* name : names) {
            scope_begin(name);
            scope_end();
        }
        scope_end();
    }
    scope_static_destroy();
}

void scope_frame_rdtsc(benchmark::State& state) {
    for (auto _ : state)
        for (int i = 0; i < 9; ++i) {
            benchmark::DoNotOptimize(__rdtsc());
            benchmark::DoNotOptimize(__rdtsc());
        }
}

void scope_pair_rdtsc(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(__rdtsc());
        benchmark::DoNotOptimize(__rdtsc());
    }
}

// Without an instance: one load and a branch each.
void scope_pair_off(benchmark::State& state) {
    for (auto _ : state) {
        scope_begin("off");
        scope_end();
    }
}

void scope_pair_empty(benchmark::State& state) {
    for (auto _ : state)
        benchmark::ClobberMemory();
}

} // namespace

BENCHMARK_CAPTURE(scope_pair_profiler, default, 0u)->Name("scope_begin_end_top_level/qv_sys");
BENCHMARK(scope_pair_rdtsc)->Name("scope_begin_end_top_level/rdtsc_pair");
BENCHMARK_CAPTURE(scope_pair_profiler, streaming, SCOPE_SETTINGS_STREAM)
    ->Name("scope_begin_end_top_level_streaming/qv_sys");
BENCHMARK(scope_pair_rdtsc)->Name("scope_begin_end_top_level_streaming/rdtsc_pair");
BENCHMARK_CAPTURE(scope_frame_profiler, default, 0u)->Name("frame_of_9_scope_pairs/qv_sys");
BENCHMARK(scope_frame_rdtsc)->Name("frame_of_9_scope_pairs/rdtsc_pairs");
BENCHMARK_CAPTURE(scope_frame_profiler, streaming, SCOPE_SETTINGS_STREAM)
    ->Name("frame_of_9_scope_pairs_streaming/qv_sys");
BENCHMARK(scope_frame_rdtsc)->Name("frame_of_9_scope_pairs_streaming/rdtsc_pairs");
BENCHMARK(scope_pair_off)->Name("scope_begin_end_without_profiler/qv_sys");
BENCHMARK(scope_pair_empty)->Name("scope_begin_end_without_profiler/empty_loop");
