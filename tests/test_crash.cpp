// Crash dumps and the last-chance report. Every crash happens in a death-test child; the
// parent then finds the dump the child left in its session folder and reads its streams.
#include "qv_sys/qv_sys.h"

#include "support/test_support.h"

#include <signal.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

extern "C" {
// Plain, out of line and exported by name, so the report can be asked to name them; the
// undefined-behaviour sanitizer would stop them before the fault they are here to make. The
// empty statements hide the null target, so the compiler cannot drop the fault.
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
    std::thread worker([] { crash_null_write(); });
    worker.join();
}
}

namespace {

bool s_callback_crashed = false;
// A print callback that crashes the first time it is called: the crash handler's own log
// lines then come through it again and must be printed normally.
void crashing_print_callback(void*, const char*, sys_u64, sys_bool) {
    if (s_callback_crashed)
        return;
    s_callback_crashed = true;
    crash_null_write();
}

__attribute__((noinline)) void crash_in_print_callback() {
    sys_printf_add_callback(crashing_print_callback, nullptr);
    sys_printf("%s\n", "into the callback");
}

std::string s_home;

void use_session(const char* uid) {
    sys_time_init_start_time();
    filesystem_set_home_path(s_home.c_str());
    filesystem_set_session("crash_tests", uid);
}

// Where the child of `uid` leaves its dump; a dump of an earlier run is removed.
std::string fresh_dump_path(const char* uid) {
    use_session(uid);
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
    // ThreadSanitizer defers signals and reports the crash handler's symbol lookups as unsafe
    // in a signal handler (known limits of the walk); the other lanes prove the crashes.
    void SetUp() override {
        if (QV_TEST_TSAN)
            GTEST_SKIP() << "not under ThreadSanitizer";
    }
    static void SetUpTestSuite() {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        char temp[512];
        filesystem_get_temp_path(temp, sizeof temp);
        s_home = std::string(temp) + "qv_sys_crash_tests";
#if defined(_WIN32)
        // The children write their report to stderr instead of waiting on a message box.
        SetEnvironmentVariableA("QV_SYS_CRASH_NO_MESSAGE_BOX", "1");
#endif
    }
};

struct Scenario {
    const char* uid;
    void (*crash)();
    int signal_number;       // how a Linux child ends
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
};

class CrashScenario : public CrashTest, public ::testing::WithParamInterface<Scenario> {};

TEST_P(CrashScenario, LeavesADumpAndAReportNamingTheFault) {
    const Scenario& s = GetParam();
#if QV_TEST_ASAN
    // AddressSanitizer gives every thread it starts a small alternate signal stack of its own,
    // too small for the report's walk; the main thread runs on the library's.
    if (strcmp(s.uid, "thread") == 0)
        GTEST_SKIP() << "the sanitizer's per-thread signal stack is too small";
#endif
#if defined(_WIN32)
    if (s.windows_code == 0)
        GTEST_SKIP() << "the runtime's abort ends the process itself, without an exception";
    const auto ends_by = ::testing::ExitedWithCode((int)s.windows_code);
    const sys_u32 code = s.windows_code;
#else
    // Linux readers take the signal as the exception code.
    const auto ends_by = ::testing::KilledBySignal(s.signal_number);
    const sys_u32 code = (sys_u32)s.signal_number;
#endif
    const std::string path = fresh_dump_path(s.uid);
    EXPECT_EXIT(
        {
            use_session(s.uid);
            sys_setup_terminate();
            s.crash();
            fprintf(stderr, "ran on after the fault\n");
            exit(0);
        },
        ends_by, s.report_text);

    const std::string dump = read_dump(path);
    ASSERT_FALSE(dump.empty()) << path;
    const sys_u32 exception = stream_at(dump, 6);
    ASSERT_NE(exception, 0u);
    EXPECT_NE(stream_at(dump, 3), 0u); // threads
    EXPECT_NE(stream_at(dump, 4), 0u); // modules
    EXPECT_EQ(u32_at(dump, exception + 8), code);
    EXPECT_EQ(u32_at(dump, 24), 0x1144u); // the dump type in the header's flags
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
    EXPECT_NE(out.find("stop reason = signal SIGSEGV"), std::string::npos) << out;
    EXPECT_NE(out.find("frame #0: 0x"), std::string::npos) << out;
    EXPECT_NE(out.find("crash_null_write() at test_crash.cpp"), std::string::npos) << out;
#endif
}

// Named after the fixture's suite, so a filter on that suite selects the scenarios too.
INSTANTIATE_TEST_SUITE_P(CrashTest, CrashScenario, ::testing::ValuesIn(kScenarios),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.uid);
                         });

TEST_F(CrashTest, AssertCallbackWritesADumpWithoutAnException) {
    const std::string path = fresh_dump_path("assert_callback");
    QV_EXPECT_CHECK_FAILS({
        use_session("assert_callback");
        sys_assert_add_callback(sys_assert_callback_create_minidump, nullptr);
        SYS_CHECK(path.empty());
    });
    const std::string dump = read_dump(path);
    ASSERT_FALSE(dump.empty()) << path;
    EXPECT_EQ(stream_at(dump, 6), 0u); // no exception
    EXPECT_NE(stream_at(dump, 3), 0u); // threads
}

// A breakpoint with no debugger to take it ends the process with a dump and no report.
TEST_F(CrashTest, ABreakpointLeavesADumpButNoReport) {
    const std::string path = fresh_dump_path("breakpoint");
#if defined(_WIN32)
    const auto ends_by = ::testing::ExitedWithCode((int)0x80000003u);
    const sys_u32 code = 0x80000003u;
#else
    const auto ends_by = ::testing::KilledBySignal(SIGTRAP);
    const sys_u32 code = SIGTRAP;
#endif
    EXPECT_EXIT(
        {
            use_session("breakpoint");
            sys_setup_terminate();
            crash_breakpoint();
            exit(0);
        },
        ends_by, "^$"); // nothing on the error stream: no report
    const std::string dump = read_dump(path);
    ASSERT_FALSE(dump.empty()) << path;
    const sys_u32 exception = stream_at(dump, 6);
    ASSERT_NE(exception, 0u);
    EXPECT_EQ(u32_at(dump, exception + 8), code);
}

#if !defined(_WIN32)
// A dump path over 511 bytes is cut to 511 and ends there (a cut field alone would leave the
// literal after it in the last byte, unterminated). Windows' own path limit is far shorter.
TEST_F(CrashTest, ALongDumpPathIsCutTo511Bytes) {
    const std::string name(127, 'n'), uid(127, 'u'), home = s_home;
    s_home += "/" + std::string(220, 'h');
    auto use_long_session = [&] {
        use_session(uid.c_str());
        filesystem_set_session(name.c_str(), uid.c_str());
    };
    use_long_session();
    char session[512];
    filesystem_get_session_path(session, sizeof session);
    const std::string full = std::string(session) + uid + "_crash.dmp";
    ASSERT_GT(full.size(), 511u);
    const std::string cut = full.substr(0, 511);
    remove(cut.c_str());
    EXPECT_EXIT(
        {
            use_long_session();
            sys_assert_callback_create_minidump(nullptr, "", "", 0, "");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
    s_home = home;
    EXPECT_FALSE(read_dump(cut).empty()) << cut;
}
#endif

// A home folder below a plain file: no folder along the path can be made.
TEST_F(CrashTest, AFileThatCannotBeCreatedIsLogged) {
    const std::string blocker = s_home + "_file";
    qv_test::write_file(blocker, "");
    EXPECT_EXIT(
        {
            s_home = blocker;
            use_session("blocked");
            sys_printf_add_callback([](void*, const char* text, sys_u64 length,
                                       sys_bool) { fwrite(text, 1, (size_t)length, stderr); },
                                    nullptr);
            sys_assert_callback_create_minidump(nullptr, "", "", 0, "");
            exit(0);
        },
        ::testing::ExitedWithCode(0), "Unable to open minidump file '.*blocked_crash.dmp'");
    remove(blocker.c_str());
}

} // namespace
