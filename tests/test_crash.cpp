// Crash dumps and reports: each crash in a death-test child, whose dump the parent then reads.
#include "qv_sys/qv_sys.h"

#include "support/test_support.h"

#include <signal.h>

#include <utility>

#if defined(_WIN32)
#include <windows.h>
#define SIGTRAP 5 // only Linux children end by a signal; the table names it for both
#else
#include <unistd.h>
#endif

extern "C" {
// Out of line and exported, so the report can name them; the undefined-behaviour sanitizer
// would stop them before their fault, and the empty statements hide the null targets.
__attribute__((noinline, no_sanitize("undefined"))) void crash_null_write() {
    volatile int* target = nullptr;
    __asm__ __volatile__("" : "+r"(target));
    *target = 1;
}
__attribute__((noinline, no_sanitize("undefined"))) void crash_null_call() {
    void (*target)() = nullptr;
    __asm__ __volatile__("" : "+r"(target));
    target();
    __asm__ __volatile__("" ::: "memory"); // keeps the call a call, not a jump
}
__attribute__((noinline, no_sanitize("undefined"))) void crash_divide_by_zero() {
    int numerator = 7, zero = 0;
    __asm__ __volatile__("" : "+r"(numerator), "+r"(zero));
    volatile int result = numerator / zero;
    (void)result;
}
__attribute__((noinline)) void crash_abort() {
    abort();
}
__attribute__((noinline)) void crash_breakpoint() {
    __asm__ __volatile__("int3");
}
__attribute__((noinline)) void crash_on_other_thread() {
    std::thread([] { crash_null_write(); }).join();
}
// The crash handler's own log lines come through the crashing callback again.
__attribute__((noinline)) void crash_in_print_callback() {
    sys_printf_add_callback(
        [](void*, const char*, sys_u64, sys_bool) {
            static bool crashed = false;
            if (!std::exchange(crashed, true))
                crash_null_write();
        },
        nullptr);
    sys_printf("%s\n", "into the callback");
}
__attribute__((noinline)) void fail_check_with_dump() {
    sys_assert_add_callback(sys_assert_callback_create_minidump, nullptr);
    volatile bool holds = false;
    SYS_CHECK(holds);
}
}

namespace {

std::string s_home;

// Starts the session of `uid`: where its child leaves a dump (one of an earlier run removed).
std::string fresh_dump_path(const char* uid, const char* name = "crash_tests") {
    sys_time_init_start_time();
    filesystem_set_home_path(s_home.c_str());
    filesystem_set_session(name, uid);
    char session[512];
    filesystem_get_session_path(session, sizeof session);
    const std::string path = std::string(session) + uid + "_crash.dmp";
    remove(path.c_str());
    return path;
}

sys_u32 u32_at(const std::string& b, size_t at) {
    sys_u32 v = 0;
    if (at + 4 <= b.size())
        memcpy(&v, b.data() + at, 4);
    return v;
}

// The dump read whole; empty when it is not a dump.
std::string read_dump(const std::string& path) {
    const std::string dump = qv_test::read_file(path);
    return dump.size() >= 32 && dump.compare(0, 4, "MDMP") == 0 ? dump : std::string();
}

// The offset of the dump's stream of `type` from its directory, 0 when there is none.
sys_u32 stream_at(const std::string& b, sys_u32 type) {
    const sys_u32 count = u32_at(b, 8), directory = u32_at(b, 12);
    for (sys_u32 i = 0; i < count && directory + 12 * (i + 1) <= b.size(); ++i)
        if (u32_at(b, directory + 12 * i) == type)
            return u32_at(b, directory + 12 * i + 8);
    return 0;
}

class CrashTest : public ::testing::Test {
  protected:
    // ThreadSanitizer defers signals and finds the handler's symbol lookups unsafe there.
    void SetUp() override {
        if (QV_TEST_TSAN)
            GTEST_SKIP() << "not under ThreadSanitizer";
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        char temp[512];
        filesystem_get_temp_path(temp, sizeof temp);
        s_home = std::string(temp) + "qv_sys_crash_tests";
#if defined(_WIN32)
        SetEnvironmentVariableA("QV_SYS_CRASH_NO_MESSAGE_BOX", "1"); // report on stderr instead
#endif
    }
};

struct Scenario {
    const char* uid;
    void (*crash)();
    int signal_number;       // how a Linux child ends; 0: as a failed check, with no exception
    unsigned windows_code;   // the exception code a Windows child ends with (0: not on Windows)
    const char* report_text; // in the report on stderr
};

const Scenario kScenarios[] = {
    {"null_write", crash_null_write, SIGSEGV, 0xc0000005u, "ExceptionCode:\\s0xc0000005"},
    {"null_call", crash_null_call, SIGSEGV, 0xc0000005u, "Module:\\s\\S*test_crash"},
    {"divide", crash_divide_by_zero, SIGFPE, 0xc0000094u, "0: crash_divide_by_zero"},
    {"abort", crash_abort, SIGABRT, 0, "crash_abort"},
    {"thread", crash_on_other_thread, SIGSEGV, 0xc0000005u, "0: crash_null_write"},
    {"print_callback", crash_in_print_callback, SIGSEGV, 0xc0000005u,
     "0: crash_null_write\\s\\S*\\s1: .*dispatch"},
    // With no debugger to take it, a breakpoint leaves a dump but no report.
    {"breakpoint", crash_breakpoint, SIGTRAP, 0x80000003u, "^$"},
    {"assert_callback", fail_check_with_dump, 0, 0, ""},
};

class CrashScenario : public CrashTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(CrashScenario, LeavesADumpAndAReportNamingTheFault) {
    const Scenario& s = GetParam();
#if QV_TEST_ASAN
    // AddressSanitizer gives the threads it starts signal stacks too small for the report.
    if (strcmp(s.uid, "thread") == 0)
        GTEST_SKIP() << "the sanitizer's per-thread signal stack is too small";
#endif
#if defined(_WIN32)
    if (s.signal_number != 0 && s.windows_code == 0)
        GTEST_SKIP() << "the runtime's abort ends the process itself, without an exception";
    const sys_u32 code = s.windows_code;
    const std::function<bool(int)> ends_by =
        ::testing::ExitedWithCode(code ? (int)code : qv_test::kCheckExitCode);
#else
    // Linux readers take the signal as the exception code.
    const sys_u32 code = (sys_u32)s.signal_number;
    const std::function<bool(int)> ends_by =
        code ? std::function<bool(int)>(::testing::KilledBySignal(s.signal_number))
             : ::testing::ExitedWithCode(qv_test::kCheckExitCode);
#endif
    const std::string path = fresh_dump_path(s.uid);
    EXPECT_EXIT(
        {
            sys_setup_terminate();
            s.crash();
            fprintf(stderr, "ran on after the fault\n");
            exit(0);
        },
        ends_by, s.report_text);

    const std::string dump = read_dump(path);
    ASSERT_FALSE(dump.empty()) << path;
    const sys_u32 exception = stream_at(dump, 6);
    EXPECT_NE(stream_at(dump, 3), 0u);    // threads
    EXPECT_NE(stream_at(dump, 4), 0u);    // modules
    EXPECT_EQ(u32_at(dump, 24), 0x1144u); // the dump type in the header's flags
    ASSERT_EQ(exception != 0, code != 0);
    EXPECT_EQ(code ? u32_at(dump, exception + 8) : 0u, code);
#if defined(__linux__)
    // A standard reader opens the Linux dump next to the program and walks the crashing thread.
    const char* lldb = "/usr/bin/lldb-14";
    if (strcmp(s.uid, "null_write") != 0 || access(lldb, X_OK) != 0)
        return;
    char exe[4096];
    filesystem_get_exe_path(exe, sizeof exe);
    const std::string command =
        std::string(lldb) + " --batch -o bt --core '" + path + "' '" + exe + "' 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string out(1 << 16, 0);
    out.resize(fread(out.data(), 1, out.size(), pipe));
    pclose(pipe);
    for (const char* text :
         {"stop reason = signal SIGSEGV", "frame #0: 0x", "crash_null_write() at test_crash.cpp"})
        EXPECT_NE(out.find(text), std::string::npos) << out;
#endif
}

// Named after the fixture's suite, so a filter on that suite selects the scenarios too.
INSTANTIATE_TEST_SUITE_P(CrashTest, CrashScenario, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.uid);
                         });

// A dump path over 511 bytes is cut to 511 (Windows' own limit is shorter); an unmakeable
// folder (below a plain file) is logged.
TEST_F(CrashTest, LongDumpPathsAreCutAndUnwritableOnesLogged) {
    const std::string name(127, 'n'), uid(127, 'u'), blocker = s_home + "_file";
    auto write_dump = [] {
        sys_printf_add_callback([](void*, const char* text, sys_u64 length,
                                   sys_bool) { fwrite(text, 1, (size_t)length, stderr); },
                                nullptr);
        sys_assert_callback_create_minidump(nullptr, "", "", 0, "");
        exit(0);
    };
#if !defined(_WIN32)
    s_home += "/" + std::string(220, 'h');
    const std::string full = fresh_dump_path(uid.c_str(), name.c_str());
    ASSERT_GT(full.size(), 511u);
    const std::string cut = full.substr(0, 511);
    remove(cut.c_str());
    EXPECT_EXIT(write_dump(), ::testing::ExitedWithCode(0), "");
    EXPECT_FALSE(read_dump(cut).empty()) << cut;
#endif
    qv_test::write_file(blocker, "");
    s_home = blocker;
    fresh_dump_path("blocked");
    EXPECT_EXIT(write_dump(), ::testing::ExitedWithCode(0),
                "Unable to open minidump file '.*blocked_crash.dmp'");
    remove(blocker.c_str());
}

} // namespace
