// 8 host threads and 1 library thread stream 60 frames a second of 201 scopes: every tree must
// arrive (a late thread makes its frames later, never fewer). QV_TEST_LOAD_SECONDS: duration (3).
#include "profiler/profiler_internal.h"
#include "profiler/scope_internal.h"
#include "qv_sys/thread.h"

#include "support/test_support.h"
#include "support/ws_client.h"

namespace {

constexpr int kHostThreads = 8, kFramesPerSecond = 60;
const char* const kNames[10] = {"input",   "physics", "animation", "ai",     "audio",
                                "culling", "shadows", "lighting",  "submit", "present"};
int g_frames = 0;
std::chrono::steady_clock::time_point g_start;

// Each frame: 20 groups of a parent with 9 children.
sys_u32 make_frames(void*) {
    for (int f = 0; f < g_frames; ++f) {
        std::this_thread::sleep_until(g_start + std::chrono::microseconds(f * 1000000LL / 60));
        scope_begin("frame");
        for (int group = 0; group < 20; ++group) {
            scope_begin(kNames[group % 10]);
            for (int i = 1; i < 10; ++i) {
                scope_begin(kNames[i]);
                scope_end();
            }
            scope_end();
        }
        scope_end();
    }
    return 0;
}

} // namespace

TEST(ProfilerLoad, EveryFrameOfNineThreadsArrivesWithNothingDropped) {
    const char* seconds = getenv("QV_TEST_LOAD_SECONDS");
    g_frames = (seconds != nullptr && atoi(seconds) > 0 ? atoi(seconds) : 3) * kFramesPerSecond;
    scope_settings settings = SCOPE_SETTINGS_INIT;
    settings.flags = SCOPE_SETTINGS_STREAM | SCOPE_SETTINGS_BIND_LOOPBACK;
    settings.port = qv_test::pick_free_port();
    ASSERT_EQ(scope_static_init_with(&settings), 0u);
    {
        qv_test::StreamViewer viewer;
        ASSERT_TRUE(viewer.open(settings.port));
        g_start = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
        std::vector<std::thread> hosts;
        for (int t = 0; t < kHostThreads; ++t)
            hosts.emplace_back([t] {
                scope_set_thread_name(("host" + std::to_string(t)).c_str());
                make_frames(nullptr);
            });
        void* library = thread_thread_create(make_frames, nullptr, "library", -1);
        ASSERT_NE(library, nullptr);
        for (std::thread& host : hosts)
            host.join();
        thread_thread_join(library);

        const uint64_t expected = (uint64_t)g_frames * (kHostThreads + 1) + 1;
        EXPECT_TRUE(viewer.wait_until(
            [&] { return viewer.total_trees - viewer.count["Profiler"] >= expected; }, 60000));
        viewer.close();
        EXPECT_EQ(viewer.faults, std::vector<std::string>{});
        EXPECT_EQ(viewer.dropped_trees + viewer.dropped_logs, 0u);
        std::vector<std::string> trees(g_frames, "frame/201");
        for (int t = 0; t < kHostThreads; ++t)
            EXPECT_EQ(viewer.roots["host" + std::to_string(t)], trees) << t;
        trees.push_back("thread_entry/1"); // the library thread's whole life, when it ended
        EXPECT_EQ(viewer.roots["library"], trees);
    }
    scope_static_destroy();
}
