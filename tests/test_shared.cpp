// Plugins: builds for this processor, entry points, wrapping a loaded library, and failures.
#include "support/plugin_probe.h"
#include "support/test_support.h"

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"
#include "qv_sys/shared.h"

#include <cpuid.h>

namespace {

bool processor_has_avx2() {
    unsigned a, b, c, d;
    __cpuid(0, a, b, c, d);
    if (a < 7)
        return false;
    __cpuid_count(7, 0, a, b, c, d);
    return (b >> 5) & 1u;
}

shared_init_params params_for(plugin_probe* probe) {
    shared_init_params params;
    for (int i = 0; i < 24; ++i)
        params.data[i] = (sys_u8)(0xA0 + i);
    memcpy(params.data, &probe, sizeof probe);
    return params;
}

std::string build_of(shared_library* library) {
    using Build = const char* (*)();
    Build build = (Build)shared_shared_load_function(library, "plugin_build");
    return build ? build() : "<no plugin_build>";
}

TEST(Shared, LoadsTheBuildThatSuitsTheProcessorOrFallsBack) {
    const struct {
        const char* base;
        sys_bool use_suffixes;
        const char* build;
    } cases[] = {
        {"qv_plugin_all", 1, processor_has_avx2() ? "avx2" : "plain"},
        {"qv_plugin_all", 0, "undecorated"},
        {"qv_plugin_plain", 1, "plain"},
        {"qv_plugin_bare", 1, "undecorated"},
        {"qv_plugin_noentry", 0, "undecorated"}, // no entry points: loads, nothing called
    };
    for (const auto& c : cases) {
        plugin_probe probe = {};
        shared_library* library = shared_shared_create(c.base, c.use_suffixes, params_for(&probe));
        ASSERT_NE(library, nullptr) << c.base;
        EXPECT_EQ(build_of(library), c.build) << c.base << " suffixes " << int(c.use_suffixes);
        EXPECT_STREQ(shared_shared_get_name(library), c.base);
        shared_shared_destroy(library);
        EXPECT_EQ(probe.init_calls, probe.fini_calls) << c.base;
    }
}

TEST(Shared, InitGetsTheRecordAndFiniRunsBeforeUnloading) {
    plugin_probe probe = {};
    const shared_init_params params = params_for(&probe);
    shared_library* library = shared_shared_create("qv_plugin_bare", 1, params);
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(probe.init_calls, 1u);
    EXPECT_EQ(probe.fini_calls, 0u);
    EXPECT_EQ(memcmp(&probe.seen, &params, sizeof params), 0);

    // Someone else's view of the same library: not owned, so destroying it changes nothing.
    shared_library* wrapped = shared_shared_get_loaded_library("qv_plugin_bare", 1);
    ASSERT_NE(wrapped, nullptr);
    EXPECT_EQ(shared_shared_load_function(wrapped, "plugin_build"),
              shared_shared_load_function(library, "plugin_build"));
    shared_shared_destroy(wrapped);
    EXPECT_EQ(probe.fini_calls, 0u);
    EXPECT_EQ(build_of(library), "undecorated"); // still loaded

    shared_shared_destroy(library);
    EXPECT_EQ(probe.fini_calls, 1u);
    EXPECT_EQ(shared_shared_get_loaded_library("qv_plugin_bare", 1), nullptr); // unloaded
}

TEST(Shared, MissingLibraryIsQuiet) {
    qv_test::PrintLog log;
    plugin_probe probe = {};
    EXPECT_EQ(shared_shared_create("qv_plugin_missing", 1, params_for(&probe)), nullptr);
    EXPECT_EQ(shared_shared_get_loaded_library("qv_plugin_missing", 1), nullptr);
    // The longest name the platform is asked for: 255 characters and ".dll" in 259 units.
    EXPECT_EQ(shared_shared_get_loaded_library(std::string(255, 'n').c_str(), 0), nullptr);
    EXPECT_EQ(log.text(), "");
    EXPECT_NE(shared_shared_get_create_error(), nullptr);
}

// A file that is no library, and a name past the platform's limit, end the process.
TEST(SharedDeathTest, AFileThatIsNoLibraryEndsTheProcess) {
    const std::pair<std::function<void()>, const char*> cases[] = {
        {[] { shared_shared_create("qv_plugin_broken", 0, params_for(nullptr)); },
         "Couldn't load library"},
        {[] { shared_shared_get_loaded_library(std::string(256, 'n').c_str(), 0); },
         "Couldn't convert string to multibyte: .*nnnnnnnn"}};
    for (const auto& [call, report] : cases) {
        EXPECT_EXIT(
            {
                sys_printf_add_callback(sys_printf_callback_stdout, nullptr);
                sys_assert_add_callback(sys_assert_callback_print, nullptr);
                call();
                exit(7);
            },
            ::testing::ExitedWithCode(qv_test::kCheckExitCode), report);
    }
}

} // namespace
