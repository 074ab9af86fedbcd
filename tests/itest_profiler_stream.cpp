// The host's settings, the environment's overrides, and streaming mode as a viewer sees it.
#include "profiler/profiler_internal.h"
#include "profiler/scope_internal.h"
#include "qv_sys/thread.h"

#include "support/test_support.h"
#include "support/ws_client.h"

using qv_test::set_env;
using qv_test::StreamViewer;
using Texts = std::vector<std::string>;

namespace {

void clear_environment() {
    for (const char* name :
         {"QV_SYS_PROFILER_PORT", "QV_SYS_PROFILER_BIND", "QV_SYS_PROFILER_STREAM"})
        set_env(name, nullptr);
}

scope_settings host_settings(uint16_t port, sys_u32 flags = SCOPE_SETTINGS_STREAM) {
    scope_settings settings = SCOPE_SETTINGS_INIT;
    settings.flags = flags;
    settings.port = port;
    return settings;
}

struct StreamingInstance {
    scope_settings settings = host_settings(qv_test::pick_free_port());
    explicit StreamingInstance(sys_u32 flags = SCOPE_SETTINGS_STREAM) {
        clear_environment();
        settings.flags = flags;
        EXPECT_EQ(scope_static_init_with(&settings), 0u);
    }
    ~StreamingInstance() { scope_static_destroy(); }
};

std::vector<prf_u32> fields(const ProfilerSettings& s) {
    return {s.port,          s.update_interval_ms, s.queue_bytes,    s.messages_per_pass,
            s.bind_loopback, s.streaming,          s.pass_budget_ms, s.max_samples_per_thread};
}

void frame(const char* root, const char* child) {
    scope_begin(root);
    scope_begin(child);
    scope_end();
    scope_end();
}

} // namespace

// Fields past the size a host was built with keep their defaults; streaming has a bigger queue.
TEST(ProfilerSettings, WithoutHostOrEnvironmentTheDefaultsHold) {
    clear_environment();
    const std::vector<prf_u32> defaults = {17815, 10, 131072, 10, 0, 0, 0, 0};
    EXPECT_EQ(fields(*prf_settings()), defaults);
    const scope_settings zero = SCOPE_SETTINGS_INIT;
    scope_settings shorter = host_settings(1234);
    shorter.size = 8; // the port lies past what this host knew
    ProfilerSettings resolved;
    for (const scope_settings* host : {(const scope_settings*)nullptr, &zero}) {
        ProfilerSettings_Resolve(host, &resolved);
        EXPECT_EQ(fields(resolved), defaults);
    }
    ProfilerSettings_Resolve(&shorter, &resolved);
    EXPECT_EQ(resolved.port, 17815);
    EXPECT_EQ(resolved.streaming, 1u);

    set_env("QV_SYS_PROFILER_STREAM", "1");
    ProfilerSettings_Resolve(nullptr, &resolved);
    EXPECT_EQ(resolved.streaming, 1u);
    EXPECT_GT(resolved.queue_bytes, prf_settings()->queue_bytes);
}

// The host asks for port 4000, loopback and streaming; a refused value logs one line naming it.
TEST(ProfilerSettings, EnvironmentOverridesTheHostAndInvalidValuesAreRefusedWithALogLine) {
    // The variable, its value, whether it is refused, then the port, loopback and streaming.
    const std::tuple<const char*, const char*, bool, std::vector<prf_u32>> rows[] = {
        {"QV_SYS_PROFILER_PORT", nullptr, false, {4000, 1, 1}},
        {"QV_SYS_PROFILER_PORT", "1", false, {1, 1, 1}},
        {"QV_SYS_PROFILER_PORT", "65535", false, {65535, 1, 1}},
        {"QV_SYS_PROFILER_PORT", "0", true, {4000, 1, 1}},
        {"QV_SYS_PROFILER_PORT", "65536", true, {4000, 1, 1}},
        {"QV_SYS_PROFILER_PORT", "80x", true, {4000, 1, 1}},
        {"QV_SYS_PROFILER_BIND", "any", false, {4000, 0, 1}},
        {"QV_SYS_PROFILER_BIND", "Loopback", true, {4000, 1, 1}},
        {"QV_SYS_PROFILER_STREAM", "0", false, {4000, 1, 0}},
        {"QV_SYS_PROFILER_STREAM", "yes", true, {4000, 1, 1}},
    };
    scope_settings host = host_settings(4000, SCOPE_SETTINGS_STREAM | SCOPE_SETTINGS_BIND_LOOPBACK);
    for (const auto& [variable, value, refused, expected] : rows) {
        clear_environment();
        set_env(variable, value);
        qv_test::PrintLog log;
        ProfilerSettings resolved;
        ProfilerSettings_Resolve(&host, &resolved);
        SCOPED_TRACE(std::string(variable) + "=" + (value ? value : "(unset)"));
        EXPECT_EQ((std::vector<prf_u32>{resolved.port, resolved.bind_loopback, resolved.streaming}),
                  expected);
        EXPECT_EQ(log.lines().size(), refused ? 1u : 0u) << log.text();
        const bool named = log.find(std::string(variable) + "=\"") != -1;
        EXPECT_EQ(named && log.find("refused") != -1, refused) << log.text();
    }
}

// Names are pushed instead of logged; a library thread's "thread_entry" tree comes last.
TEST(ProfilerStreaming, NamesFirstAndOnceNamedThreadsAndLibraryFramesWhileTheThreadRuns) {
    StreamingInstance instance;
    StreamViewer viewer;
    ASSERT_TRUE(viewer.open(instance.settings.port));
    std::atomic<bool> finish{false};
    auto worker = [](void* finish) -> sys_u32 { // three frames, then waits to be told
        for (int i = 0; i < 3; ++i)
            frame("job", "step");
        while (!*(std::atomic<bool>*)finish)
            threadlocal_sleep(1);
        return 0;
    };
    void* thread = thread_thread_create(worker, &finish, "worker", -1);
    EXPECT_TRUE(viewer.wait_until([&] { return viewer.count["worker"] == 3; }));
    finish = true;
    thread_thread_join(thread);
    EXPECT_TRUE(viewer.wait_until([&] { return viewer.count["worker"] == 4; }));
    viewer.close();
    EXPECT_EQ(viewer.faults, Texts{});
    EXPECT_EQ(viewer.roots["worker"], (Texts{"job/2", "job/2", "job/2", "thread_entry/1"}));
    for (const std::string& line : viewer.log_lines)
        EXPECT_TRUE(line != "job" && line != "step") << line;

    StreamViewer second;
    ASSERT_TRUE(second.open(instance.settings.port));
    std::thread([] {
        scope_set_thread_name("render2");
        frame("frame", "draw");
    }).join();
    EXPECT_TRUE(second.wait_until([&] { return second.roots["render2"].size() == 1; }));
    second.close();
    EXPECT_EQ(second.faults, Texts{});
    EXPECT_EQ(second.roots["render2"], Texts{"frame/2"});
}

// Far more trees than the queue holds: the DROP messages count every one not delivered.
TEST(ProfilerStreaming, DropCountsAccountForEveryTreeThatWasNotDelivered) {
    StreamingInstance instance;
    const uint64_t kTrees = 100000;
    StreamViewer viewer;
    ASSERT_TRUE(viewer.open(instance.settings.port));
    std::thread([&] {
        scope_set_thread_name("burst");
        for (uint64_t i = 0; i < kTrees; ++i)
            scope_guard scope("b");
    }).join();
    // Generous: under Wine every frame the viewer reads costs several system calls.
    EXPECT_TRUE(viewer.wait_until(
        [&] { return viewer.count["burst"] + viewer.dropped_trees >= kTrees; }, 90000));
    viewer.close();
    const uint64_t delivered = viewer.count["burst"];
    EXPECT_EQ(viewer.faults, Texts{});
    EXPECT_LT(delivered, kTrees);
    // The profiler thread's own trees may be among the dropped ones: a few per pass.
    EXPECT_LE(delivered + viewer.dropped_trees, kTrees + 1000);
    EXPECT_EQ(viewer.dropped_logs, 0u);
}

// Once every sample waits in the unread queued tree, a new outermost scope is dropped.
TEST(ProfilerStreaming, AnOutermostScopeThatNeverClosesHoldsBoundedMemory) {
    StreamingInstance instance;
    const prf_u32 cap = profiler_instance()->settings.max_samples_per_thread;
    std::thread([&] {
        scope_begin("main");
        for (prf_u32 i = 0; i < cap + 1000; ++i)
            frame("frame", "work");
        ThreadSampler* ts = nullptr;
        ASSERT_EQ(FetchThreadSampler(profiler_instance(), &ts), PRF_ERROR_NONE);
        EXPECT_EQ(ts->sample_tree->allocator->nb_created, cap);
        scope_end(); // the scopes left out were paired, so this closes "main"
        EXPECT_EQ(ts->sample_tree->current_parent, ts->sample_tree->root);
        EXPECT_EQ(ts->dropped_trees, 0u);
        scope_begin("late");
        scope_end();
        EXPECT_EQ(ts->dropped_trees, 1u);
        EXPECT_EQ(ts->failed_pushes, 0u);
    }).join();
}

// 127.0.0.2 is this machine but not 127.0.0.1.
TEST(ProfilerStreaming, LoopbackListenerRefusesTheMachinesOtherAddresses) {
    for (bool loopback : {true, false}) {
        StreamingInstance instance(loopback ? SCOPE_SETTINGS_BIND_LOOPBACK : 0u);
        qv_test::WsClient local, remote;
        EXPECT_TRUE(local.connect_to(instance.settings.port));
        EXPECT_EQ(remote.connect_to(instance.settings.port, 0x7F000002), !loopback) << loopback;
    }
}
