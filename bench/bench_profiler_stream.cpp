// Streaming throughput: 8 threads make frames of 2,001 scopes (a root, 20 groups of a parent
// and 99 children) and a viewer on loopback reads everything, as fast as the producers go (no
// frame pacing, so the profiler thread is the bottleneck, not the schedule). Reported: scopes
// delivered whole per second, trees dropped, and the profiler thread's processor time per 1000
// trees. The target is one million scopes a second (8 threads x 2,001 scopes x 60 frames).
#include "profiler/profiler_internal.h"

#include "../tests/support/ws_client.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kThreads = 8;
constexpr int kGroups = 20;
constexpr int kChildren = 99;
constexpr uint64_t kScopesPerFrame = 1 + kGroups * (1 + kChildren);

void make_frame() {
    scope_begin("frame");
    for (int g = 0; g < kGroups; ++g) {
        scope_begin("group");
        for (int c = 0; c < kChildren; ++c) {
            scope_begin("leaf");
            scope_end();
        }
        scope_end();
    }
    scope_end();
}

void streaming_delivery(benchmark::State& state) {
    const int frames = (int)state.range(0);
    // A frame on each thread every 1/rate s; 0: as fast as the producers go.
    const int rate = (int)state.range(1);
    for (auto _ : state) {
        const uint16_t port = qv_test::pick_free_port();
        scope_settings settings = SCOPE_SETTINGS_INIT;
        settings.flags = SCOPE_SETTINGS_STREAM | SCOPE_SETTINGS_BIND_LOOPBACK;
        settings.port = port;
        if (scope_static_init_with(&settings) != 0) {
            state.SkipWithError("the profiler did not start");
            return;
        }
        qv_test::StreamViewer viewer;
        if (!viewer.open(port)) {
            state.SkipWithError("no connection");
            scope_static_destroy();
            return;
        }
        const sys_u64 cpu_before = Profiler_ThreadCpuMicroseconds();
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::thread> producers;
        for (int t = 0; t < kThreads; ++t)
            producers.emplace_back([t, frames, rate, start] {
                scope_set_thread_name(("producer" + std::to_string(t)).c_str());
                for (int i = 0; i < frames; ++i) {
                    if (rate != 0)
                        std::this_thread::sleep_until(
                            start + std::chrono::microseconds(i * 1000000LL / rate));
                    make_frame();
                }
            });
        for (std::thread& producer : producers)
            producer.join();
        uint64_t delivered = 0;
        auto settled = [&] {
            uint64_t trees = 0;
            for (int t = 0; t < kThreads; ++t)
                trees += viewer.count["producer" + std::to_string(t)];
            delivered = trees;
            return trees + viewer.dropped_trees >= (uint64_t)kThreads * frames;
        };
        viewer.wait_until(settled, 120000);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const sys_u64 cpu = Profiler_ThreadCpuMicroseconds() - cpu_before;
        viewer.close();
        state.SetIterationTime(seconds);
        state.counters["scopes_per_s"] = (double)(delivered * kScopesPerFrame) / seconds;
        state.counters["dropped_trees"] = (double)viewer.dropped_trees;
        state.counters["MB_per_s"] = viewer.bytes / 1e6 / seconds;
        state.counters["cpu_ms_per_1000_trees"] =
            delivered != 0 ? cpu / 1e3 / (delivered / 1000.0) : 0.0;
        scope_static_destroy();
    }
}

} // namespace

// As fast as the producers go: the profiler thread's ceiling (drops show where it is passed).
BENCHMARK(streaming_delivery)
    ->Args({200, 0})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// A busy game's load: 8 threads x 2,001 scopes at 60 frames a second for 3 s.
BENCHMARK(streaming_delivery)
    ->Args({180, 60})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
