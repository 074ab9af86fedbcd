// Streaming mode and the host's settings: what they resolve to (defaults, the host's record,
// the environment and its refusals), and what a viewer receives on the wire: names pushed once
// per connection before the trees that use them, named threads, a library thread's frames one
// tree each while it runs, drop counts that account for every tree not delivered, bounded
// memory for a scope that never closes, and a listener on 127.0.0.1 only.
#include "profiler/profiler_internal.h"
#include "profiler/scope_internal.h"
#include "qv_sys/io.h"
#include "qv_sys/thread.h"

#include "support/stream_viewer.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <string>
#include <thread>

using qv_test::StreamViewer;
using qv_test::ViewedTree;

namespace {

void set_env(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

const char* const kVariables[] = {"QV_SYS_PROFILER_PORT", "QV_SYS_PROFILER_BIND",
                                  "QV_SYS_PROFILER_STREAM"};

// Clears the three variables for a test and puts back what was there.
class CleanEnvironment {
  public:
    CleanEnvironment() {
        for (int i = 0; i < 3; ++i) {
            const char* value = getenv(kVariables[i]);
            saved_[i] = value != nullptr ? value : "";
            had_[i] = value != nullptr && *value != '\0';
            set_env(kVariables[i], nullptr);
        }
    }
    ~CleanEnvironment() {
        for (int i = 0; i < 3; ++i)
            set_env(kVariables[i], had_[i] ? saved_[i].c_str() : nullptr);
    }

  private:
    std::string saved_[3];
    bool had_[3] = {};
};

std::vector<std::string> g_lines;
void record_line(void*, const char* text, sys_u64 length, sys_bool) {
    g_lines.emplace_back(text, (size_t)length);
}

scope_settings streaming_on(uint16_t port, sys_u32 flags = SCOPE_SETTINGS_STREAM) {
    scope_settings settings = SCOPE_SETTINGS_INIT;
    settings.flags = flags;
    settings.port = port;
    return settings;
}

bool same(const ProfilerSettings& a, const ProfilerSettings& b) {
    return a.port == b.port && a.update_interval_ms == b.update_interval_ms &&
           a.queue_bytes == b.queue_bytes && a.messages_per_pass == b.messages_per_pass &&
           a.bind_loopback == b.bind_loopback && a.streaming == b.streaming &&
           a.pass_budget_ms == b.pass_budget_ms &&
           a.max_samples_per_thread == b.max_samples_per_thread;
}

void frame(const char* root, const char* child) {
    scope_begin(root);
    scope_begin(child);
    scope_end();
    scope_end();
}

} // namespace

TEST(ProfilerSettings, WithoutHostOrEnvironmentTheDefaultsHold) {
    CleanEnvironment clean;
    ProfilerSettings resolved;
    ProfilerSettings_Resolve(nullptr, &resolved);
    EXPECT_TRUE(same(resolved, *prf_settings()));
    EXPECT_EQ(resolved.port, 17815);
    EXPECT_EQ(resolved.queue_bytes, 131072u);
    EXPECT_EQ(resolved.messages_per_pass, 10u);
    EXPECT_EQ(resolved.streaming, 0u);
    EXPECT_EQ(resolved.bind_loopback, 0u);

    // A zeroed record, and one from a host built when the record was shorter, change nothing.
    scope_settings zero = SCOPE_SETTINGS_INIT;
    ProfilerSettings_Resolve(&zero, &resolved);
    EXPECT_TRUE(same(resolved, *prf_settings()));
    scope_settings shorter = streaming_on(1234, SCOPE_SETTINGS_STREAM);
    shorter.size = 8; // the port lies past what this host knew
    ProfilerSettings_Resolve(&shorter, &resolved);
    EXPECT_EQ(resolved.port, 17815);
    EXPECT_EQ(resolved.streaming, 1u);
}

TEST(ProfilerSettings, EnvironmentOverridesTheHostAndInvalidValuesAreRefusedWithALogLine) {
    struct Row {
        const char* variable;
        const char* value;
        bool refused;
        uint16_t port;
        uint32_t loopback;
        uint32_t streaming;
    };
    // The host asks for port 4000, loopback and streaming; the environment may override.
    const Row rows[] = {
        {"QV_SYS_PROFILER_PORT", "1", false, 1, 1, 1},
        {"QV_SYS_PROFILER_PORT", "65535", false, 65535, 1, 1},
        {"QV_SYS_PROFILER_PORT", "0", true, 4000, 1, 1},
        {"QV_SYS_PROFILER_PORT", "65536", true, 4000, 1, 1},
        {"QV_SYS_PROFILER_PORT", "123456", true, 4000, 1, 1},
        {"QV_SYS_PROFILER_PORT", "80x", true, 4000, 1, 1},
        {"QV_SYS_PROFILER_PORT", "-1", true, 4000, 1, 1},
        {"QV_SYS_PROFILER_PORT", "", true, 4000, 1, 1},
        {"QV_SYS_PROFILER_BIND", "any", false, 4000, 0, 1},
        {"QV_SYS_PROFILER_BIND", "Loopback", true, 4000, 1, 1},
        {"QV_SYS_PROFILER_STREAM", "0", false, 4000, 1, 0},
        {"QV_SYS_PROFILER_STREAM", "yes", true, 4000, 1, 1},
    };
    scope_settings host = streaming_on(4000, SCOPE_SETTINGS_STREAM | SCOPE_SETTINGS_BIND_LOOPBACK);
    sys_printf_add_callback(record_line, nullptr);
    for (const Row& row : rows) {
        CleanEnvironment clean;
#if defined(_WIN32)
        if (*row.value == '\0')
            continue; // Windows cannot hold an empty variable: setting one removes it
#endif
        set_env(row.variable, row.value);
        g_lines.clear();
        ProfilerSettings resolved;
        ProfilerSettings_Resolve(&host, &resolved);
        SCOPED_TRACE(std::string(row.variable) + "=" + row.value);
        EXPECT_EQ(resolved.port, row.port);
        EXPECT_EQ(resolved.bind_loopback, row.loopback);
        EXPECT_EQ(resolved.streaming, row.streaming);
        ASSERT_EQ(g_lines.size(), row.refused ? 1u : 0u);
        if (row.refused) {
            EXPECT_NE(g_lines[0].find(row.variable), std::string::npos) << g_lines[0];
            EXPECT_NE(g_lines[0].find("refused"), std::string::npos) << g_lines[0];
        }
    }
    sys_printf_remove_callback(record_line);

    // Without a host record the environment alone switches streaming on, with its queue.
    CleanEnvironment clean;
    set_env("QV_SYS_PROFILER_STREAM", "1");
    ProfilerSettings resolved;
    ProfilerSettings_Resolve(nullptr, &resolved);
    EXPECT_EQ(resolved.streaming, 1u);
    EXPECT_GT(resolved.queue_bytes, prf_settings()->queue_bytes);
}

namespace {

struct Worker {
    std::atomic<int> frames_done{0};
    std::atomic<bool> finish{false};
};

sys_u32 worker_main(void* argument) {
    Worker* worker = (Worker*)argument;
    for (int i = 0; i < 3; ++i) {
        frame("job", "step");
        worker->frames_done++;
    }
    while (!worker->finish)
        threadlocal_sleep(1);
    return 0;
}

// The trees of `thread` as (root name, child count) pairs.
std::vector<std::string> roots_of(StreamViewer& viewer, const std::string& thread) {
    std::vector<std::string> roots;
    for (const ViewedTree& tree : viewer.trees)
        if (tree.thread == thread)
            roots.push_back(viewer.names[tree.hashes[0]] + "/" +
                            std::to_string(tree.hashes.size()));
    return roots;
}

} // namespace

TEST(ProfilerStreaming, NamesFirstAndOnceNamedThreadsAndLibraryFramesWhileTheThreadRuns) {
    CleanEnvironment clean;
    const uint16_t port = qv_test::pick_free_port();
    scope_settings settings = streaming_on(port);
    ASSERT_EQ(scope_static_init_with(&settings), 0u);
    {
        StreamViewer viewer;
        ASSERT_TRUE(viewer.open(port));
        std::thread host([] {
            scope_set_thread_name("render");
            for (int i = 0; i < 3; ++i)
                frame("frame", "draw");
        });
        host.join();
        Worker worker;
        void* thread = thread_thread_create(worker_main, &worker, "worker", -1);
        ASSERT_NE(thread, nullptr);
        // The library thread's frames arrive while it still runs (it waits for `finish`).
        EXPECT_TRUE(viewer.wait_until(
            [&] { return viewer.count["render"] == 3 && viewer.count["worker"] == 3; }));
        worker.finish = true;
        thread_thread_join(thread);
        // Its "thread_entry" comes last, alone: the frames were taken out of it.
        EXPECT_TRUE(viewer.wait_until([&] { return viewer.count["worker"] == 4; }));
        viewer.close();

        EXPECT_TRUE(viewer.faults.empty()) << viewer.faults[0];
        EXPECT_EQ(roots_of(viewer, "render"),
                  (std::vector<std::string>{"frame/2", "frame/2", "frame/2"}));
        EXPECT_EQ(roots_of(viewer, "worker"),
                  (std::vector<std::string>{"job/2", "job/2", "job/2", "thread_entry/1"}));
        for (const std::string& line : viewer.log_lines)
            EXPECT_TRUE(line != "frame" && line != "draw" && line != "job") << line;

        // A new connection starts with no names: they come again before the next tree.
        StreamViewer second;
        ASSERT_TRUE(second.open(port));
        std::thread again([] {
            scope_set_thread_name("render2");
            frame("frame", "draw");
        });
        again.join();
        EXPECT_TRUE(second.wait_until([&] { return second.count["render2"] == 1; }));
        second.close();
        EXPECT_TRUE(second.faults.empty()) << second.faults[0];
        EXPECT_EQ(roots_of(second, "render2"), (std::vector<std::string>{"frame/2"}));
    }
    scope_static_destroy();
}

TEST(ProfilerStreaming, DropCountsAccountForEveryTreeThatWasNotDelivered) {
    CleanEnvironment clean;
    const uint16_t port = qv_test::pick_free_port();
    scope_settings settings = streaming_on(port);
    ASSERT_EQ(scope_static_init_with(&settings), 0u);
    const uint64_t kTrees = 100000; // far more than the queue holds
    {
        StreamViewer viewer;
        ASSERT_TRUE(viewer.open(port, false));
        std::thread burst([&] {
            scope_set_thread_name("burst");
            for (uint64_t i = 0; i < kTrees; ++i) {
                scope_begin("b");
                scope_end();
            }
        });
        burst.join();
        // Every tree is either delivered or counted in a "DROP".
        // Generous: under Wine every frame the viewer reads costs several system calls.
        EXPECT_TRUE(viewer.wait_until(
            [&] { return viewer.count["burst"] + viewer.dropped_trees >= kTrees; }, 90000));
        viewer.close();
        EXPECT_TRUE(viewer.faults.empty()) << viewer.faults[0];
        const uint64_t delivered = viewer.count["burst"];
        EXPECT_GT(viewer.drop_messages, 0u);
        EXPECT_LT(delivered, kTrees);
        // The profiler thread's own trees may be among the dropped ones: a few per pass.
        EXPECT_GE(delivered + viewer.dropped_trees, kTrees);
        EXPECT_LE(delivered + viewer.dropped_trees, kTrees + 1000);
        EXPECT_EQ(viewer.dropped_logs, 0u);
    }
    scope_static_destroy();
}

TEST(ProfilerStreaming, AnOutermostScopeThatNeverClosesHoldsBoundedMemory) {
    CleanEnvironment clean;
    scope_settings settings = streaming_on(qv_test::pick_free_port());
    ASSERT_EQ(scope_static_init_with(&settings), 0u);
    const prf_u32 cap = profiler_instance()->settings.max_samples_per_thread;
    std::thread runner([&] {
        scope_begin("main");
        for (prf_u32 i = 0; i < cap + 1000; ++i)
            frame("frame", "work");
        Profiler* prof;
        ThreadSampler* ts = nullptr;
        prof = profiler_instance();
        ASSERT_EQ(FetchThreadSampler(prof, &ts), PRF_ERROR_NONE);
        EXPECT_EQ(ts->sample_tree->allocator->nb_created, cap);
        scope_end(); // "main": the scopes left out were paired, so this closes it
        EXPECT_EQ(ts->sample_tree->current_parent, ts->sample_tree->root);
        EXPECT_EQ(ts->failed_pushes, 0u);
        // Every sample now waits in the queued tree (no viewer reads it): an outermost scope
        // left out counts as a dropped tree, and its end still pairs.
        EXPECT_EQ(ts->dropped_trees, 0u);
        scope_begin("late");
        scope_end();
        EXPECT_EQ(ts->dropped_trees, 1u);
        EXPECT_EQ(ts->failed_pushes, 0u);
    });
    runner.join();
    scope_static_destroy();
}

TEST(ProfilerStreaming, LoopbackListenerRefusesTheMachinesOtherAddresses) {
    CleanEnvironment clean;
    // 127.0.0.2 reaches this machine over the loopback interface, but is not 127.0.0.1.
    const uint32_t other = 0x7F000002;
    for (bool loopback : {true, false}) {
        SCOPED_TRACE(loopback ? "loopback only" : "every interface");
        const uint16_t port = qv_test::pick_free_port();
        scope_settings settings = streaming_on(port, loopback ? SCOPE_SETTINGS_BIND_LOOPBACK : 0u);
        ASSERT_EQ(scope_static_init_with(&settings), 0u);
        {
            qv_test::WsClient local, remote;
            EXPECT_TRUE(local.connect_to(port));
            EXPECT_EQ(remote.connect_to(port, 300, other), !loopback);
        }
        scope_static_destroy();
    }
}
