// A game's load in streaming mode, with a viewer connected over loopback: 8 host threads and 1
// library thread make frames of 1 root and 200 scopes at 60 frames a second. Every frame tree
// must arrive and nothing may be dropped. The test is about delivery, not timing: a thread
// that falls behind its schedule (a busy shared machine) makes its frames later, never fewer,
// and the wait for the last tree is generous. QV_TEST_LOAD_SECONDS sets the duration (3 by
// default, for CI; 10 or more by hand). The profiler thread's processor time is printed.
#include "profiler/profiler_internal.h"
#include "profiler/scope_internal.h"
#include "qv_sys/thread.h"

#include "support/stream_viewer.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr int kHostThreads = 8;
constexpr int kScopesPerFrame = 200; // under the frame's root
constexpr int kFramesPerSecond = 60;

const char* const kNames[10] = {"input",   "physics", "animation", "ai",     "audio",
                                "culling", "shadows", "lighting",  "submit", "present"};

// One frame: the root and 200 scopes, 20 groups of a parent with 9 children.
void make_frame() {
    scope_begin("frame");
    for (int group = 0; group < kScopesPerFrame / 10; ++group) {
        scope_begin(kNames[group % 10]);
        for (int i = 1; i < 10; ++i) {
            scope_begin(kNames[i]);
            scope_end();
        }
        scope_end();
    }
    scope_end();
}

// Frames on a fixed schedule from `start`; one that is late is made at once.
void make_frames(int frames, std::chrono::steady_clock::time_point start) {
    for (int i = 0; i < frames; ++i) {
        std::this_thread::sleep_until(start +
                                      std::chrono::microseconds(i * 1000000LL / kFramesPerSecond));
        make_frame();
    }
}

struct LibraryFrames {
    int frames;
    std::chrono::steady_clock::time_point start;
};

sys_u32 library_thread(void* argument) {
    LibraryFrames* work = (LibraryFrames*)argument;
    make_frames(work->frames, work->start);
    return 0;
}

int load_seconds() {
    const char* text = getenv("QV_TEST_LOAD_SECONDS");
    int seconds = text != nullptr ? atoi(text) : 0;
    return seconds > 0 ? seconds : 3;
}

} // namespace

TEST(ProfilerLoad, EveryFrameOfNineThreadsArrivesWithNothingDropped) {
    const int frames = load_seconds() * kFramesPerSecond;
    const uint16_t port = qv_test::pick_free_port();
    scope_settings settings = SCOPE_SETTINGS_INIT;
    settings.flags = SCOPE_SETTINGS_STREAM | SCOPE_SETTINGS_BIND_LOOPBACK;
    settings.port = port;
    ASSERT_EQ(scope_static_init_with(&settings), 0u);
    {
        qv_test::StreamViewer viewer;
        ASSERT_TRUE(viewer.open(port, false));
        const sys_u64 cpu_before = Profiler_ThreadCpuMicroseconds();
        const auto start = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);

        std::vector<std::thread> hosts;
        for (int t = 0; t < kHostThreads; ++t)
            hosts.emplace_back([t, frames, start] {
                scope_set_thread_name(("host" + std::to_string(t)).c_str());
                make_frames(frames, start);
            });
        LibraryFrames work = {frames, start};
        void* library = thread_thread_create(library_thread, &work, "library", -1);
        ASSERT_NE(library, nullptr);
        for (std::thread& host : hosts)
            host.join();
        thread_thread_join(library);
        const auto produced = std::chrono::steady_clock::now();

        // Each thread's frames, and the library thread's "thread_entry" at its end.
        auto all_arrived = [&] {
            for (int t = 0; t < kHostThreads; ++t)
                if (viewer.count["host" + std::to_string(t)] < (uint64_t)frames)
                    return false;
            return viewer.count["library"] >= (uint64_t)frames + 1;
        };
        const bool arrived = viewer.wait_until(all_arrived, 60000);
        const auto delivered = std::chrono::steady_clock::now();
        const sys_u64 cpu_used = Profiler_ThreadCpuMicroseconds() - cpu_before;
        viewer.close();

        uint64_t trees = 0;
        for (const auto& entry : viewer.count)
            trees += entry.second;
        printf(
            "load: %d threads x %d frames of %d scopes: %llu trees, %.1f MB, the last %lld ms "
            "after the producers finished; profiler thread %.0f ms of processor time "
            "(%.1f ms per 1000 trees)\n",
            kHostThreads + 1, frames, kScopesPerFrame + 1, (unsigned long long)trees,
            viewer.bytes / 1e6,
            (long long)std::chrono::duration_cast<std::chrono::milliseconds>(delivered - produced)
                .count(),
            cpu_used / 1e3, trees != 0 ? cpu_used / 1e3 / (trees / 1000.0) : 0.0);

        EXPECT_TRUE(arrived);
        EXPECT_TRUE(viewer.faults.empty()) << viewer.faults[0];
        EXPECT_EQ(viewer.dropped_trees, 0u);
        EXPECT_EQ(viewer.dropped_logs, 0u);
        for (int t = 0; t < kHostThreads; ++t) {
            std::string name = "host" + std::to_string(t);
            EXPECT_EQ(viewer.count[name], (uint64_t)frames) << name;
            EXPECT_EQ(viewer.samples[name], (uint64_t)frames * (kScopesPerFrame + 1)) << name;
        }
        EXPECT_EQ(viewer.count["library"], (uint64_t)frames + 1);
        EXPECT_EQ(viewer.samples["library"], (uint64_t)frames * (kScopesPerFrame + 1) + 1);
    }
    scope_static_destroy();
}
