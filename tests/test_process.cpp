// Child processes through sys_exec with a small child program built beside the tests, the
// stored command line, the console and the last error's text.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/assertion.h"
#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>
#include <vector>

#if defined(_WIN32)
#include <direct.h>
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr sys_u32 kFailed = 0xFFFFFFFFu;

std::string child_path() {
    char dir[1024];
    const sys_u32 n = filesystem_get_exe_dir(dir, sizeof(dir));
#if defined(_WIN32)
    return std::string(dir, n) + "qv_test_exec_child.exe";
#else
    return std::string(dir, n) + "qv_test_exec_child";
#endif
}

struct Capture {
    std::string out, err;
    sys_u64 largest_piece = 0;
    int wrong_flag = 0;
    // The input to feed, handed over in the pieces the callback is asked for.
    std::string input;
    size_t fed = 0;
    std::vector<sys_u64> capacities;
};

void on_stdout(void* user, const char* data, sys_u64 length, sys_bool is_stdout) {
    Capture* c = (Capture*)user;
    c->out.append(data, length);
    c->largest_piece = length > c->largest_piece ? length : c->largest_piece;
    c->wrong_flag += is_stdout != 1;
}

void on_stderr(void* user, const char* data, sys_u64 length, sys_bool is_stdout) {
    Capture* c = (Capture*)user;
    c->err.append(data, length);
    c->largest_piece = length > c->largest_piece ? length : c->largest_piece;
    c->wrong_flag += is_stdout != 0;
}

sys_u64 on_stdin(void* user, char* buffer, sys_u64 capacity) {
    Capture* c = (Capture*)user;
    c->capacities.push_back(capacity);
    const size_t n = std::min<size_t>(capacity, c->input.size() - c->fed);
    memcpy(buffer, c->input.data() + c->fed, n);
    c->fed += n;
    return n;
}

// Runs the child with `args` (after the program), capturing both streams.
sys_u32 run(Capture* c, std::vector<const char*> args, const char* working_dir = nullptr,
            bool feed = false) {
    const std::string program = child_path();
    args.insert(args.begin(), program.c_str());
    args.push_back(nullptr);
    sys_exec_input in = {};
    in._args = args.data();
    in._working_dir = working_dir;
    in._stdin_callback = feed ? on_stdin : nullptr;
    in._stdout_callback = on_stdout;
    in._stderr_callback = on_stderr;
    in._user_data = c;
    return sys_exec(&in);
}

void set_env(const char* name, const char* value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value);
#else
    setenv(name, value, 1);
#endif
}

// Open descriptors (Linux) or handles (Windows) of this process.
long open_handles() {
#if defined(_WIN32)
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return (long)count;
#else
    long n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
#endif
}

TEST(Exec, ArgumentsArriveOneByOne) {
    Capture c;
    EXPECT_EQ(run(&c, {"args", "a", "b c", "d", ""}), 0u);
    EXPECT_EQ(c.out, "a\nb c\nd\n\n");
    EXPECT_EQ(c.err, "");
}

TEST(Exec, EnvironmentReferencesAreExpandedAndUndefinedOnesKept) {
    set_env("QV_TEST_EXEC_VALUE", "hello world");
    Capture c;
    EXPECT_EQ(run(&c, {"args", "%QV_TEST_EXEC_VALUE%", "x%QV_TEST_NOT_DEFINED_AT_ALL%y",
                       "<%QV_TEST_EXEC_VALUE%%QV_TEST_EXEC_VALUE%>", "100%"}),
              0u);
    EXPECT_EQ(c.out, "hello world\nx%QV_TEST_NOT_DEFINED_AT_ALL%y\n<hello worldhello world>\n"
                     "100%\n");

    // An expansion longer than an argument may be goes as written.
    const std::string long_value(1000, 'x');
    set_env("QV_TEST_EXEC_LONG", long_value.c_str());
    Capture l;
    EXPECT_EQ(run(&l, {"args", "%QV_TEST_EXEC_LONG%", "%QV_TEST_EXEC_LONG%%QV_TEST_EXEC_LONG%"}),
              0u);
    EXPECT_EQ(l.out, long_value + "\n%QV_TEST_EXEC_LONG%%QV_TEST_EXEC_LONG%\n");
}

TEST(Exec, WorkingDirectoryMayUseSlashes) {
    char temp[512];
    const sys_u32 n = filesystem_get_temp_path(temp, sizeof(temp));
    const std::string dir =
        std::string(temp, n) + "qv_exec_cwd_" + std::to_string((unsigned long)time(nullptr));
#if defined(_WIN32)
    _mkdir(dir.c_str());
#else
    mkdir(dir.c_str(), 0700);
#endif
    Capture c;
    EXPECT_EQ(run(&c, {"cwd"}, dir.c_str()), 0u);
    std::string got = c.out;
    for (char& ch : got)
        if (ch == '\\')
            ch = '/';
#if defined(_WIN32)
    EXPECT_EQ(_stricmp(got.c_str(), dir.c_str()), 0) << got << " vs " << dir;
    _rmdir(dir.c_str());
#else
    EXPECT_EQ(got, dir);
    rmdir(dir.c_str());
#endif
}

TEST(Exec, InputIsFedInPiecesOf2048Bytes) {
    Capture c;
    // Small enough that the child's echo fits its output pipe: all input is written first.
    for (int i = 0; i < 3000; ++i)
        c.input.push_back((char)('a' + i % 26));
    EXPECT_EQ(run(&c, {"stdin"}, nullptr, true), 0u);
    EXPECT_EQ(c.out, c.input);
    EXPECT_EQ(c.err, "3000\n");
    ASSERT_FALSE(c.capacities.empty());
    for (sys_u64 cap : c.capacities)
        EXPECT_EQ(cap, 2048u);
}

// Every byte of both streams, in order, at the right callback.
void expect_pattern(const std::string& data, size_t size, const char* name) {
    ASSERT_EQ(data.size(), size) << name;
    for (size_t i = 0; i < size; ++i)
        if ((unsigned char)data[i] != i % 251) {
            ADD_FAILURE() << name << " differs at byte " << i;
            return;
        }
}

TEST(Exec, BothStreamsDeliverEveryByteInOrder) {
    struct Case {
        const char* out;
        const char* err;
        const char* code;
        sys_u32 expected_code;
    } cases[] = {
        {"1048576", "1048576", "7", 7},
        {"20000", "30000", "5", 5}, // the child ends with data still in the pipes
        {"0", "70001", "0", 0},
        {"3", "0", "200", 200},
    };
    for (const Case& k : cases) {
        Capture c;
        EXPECT_EQ(run(&c, {"streams", k.out, k.err, k.code}), k.expected_code);
        expect_pattern(c.out, strtoul(k.out, nullptr, 10), "stdout");
        expect_pattern(c.err, strtoul(k.err, nullptr, 10), "stderr");
        EXPECT_LE(c.largest_piece, 2048u);
        EXPECT_EQ(c.wrong_flag, 0);
    }
}

TEST(Exec, WithoutCallbacksOnlyTheExitCodeComesBack) {
    const std::string program = child_path();
    const char* args[] = {program.c_str(), "exit", "42", nullptr};
    sys_exec_input in = {};
    in._args = args;
    EXPECT_EQ(sys_exec(&in), 42u);

    // Only an input callback: output goes nowhere, the wait ends with the child.
    const char* echo[] = {program.c_str(), "stdin", nullptr};
    Capture c;
    c.input = "ignored";
    in._args = echo;
    in._stdin_callback = on_stdin;
    in._user_data = &c;
    EXPECT_EQ(sys_exec(&in), 0u);
    EXPECT_EQ(c.fed, 7u);
}

TEST(Exec, MissingProgramFailsQuietlyWhenAsked) {
    const char* args[] = {"qv_no_such_program_anywhere_4711", "x", nullptr};
    sys_exec_input in = {};
    in._args = args;
    in._no_assert_on_failure = 1;
    const long before = open_handles();
    EXPECT_EQ(sys_exec(&in), kFailed);
    Capture c;
    in._stdout_callback = on_stdout;
    in._stderr_callback = on_stderr;
    in._user_data = &c;
    EXPECT_EQ(sys_exec(&in), kFailed);
    EXPECT_EQ(open_handles(), before);
}

void report_to_stderr(void*, const char*, const char*, sys_u32, const char* report) {
    fputs(report, stderr);
    fflush(stderr);
}

void exec_missing_program() {
    sys_assert_add_callback(report_to_stderr, nullptr);
    const char* args[] = {"qv_no_such_program_anywhere_4711", "b c", nullptr};
    sys_exec_input in = {};
    in._args = args;
    in._no_assert_on_failure = 2; // only exactly 1 means quiet
    sys_exec(&in);
}

void exec_nothing() {
    sys_exec_input in = {};
    sys_exec(&in);
}

TEST(ExecDeathTest, MissingProgramIsReportedWithFourLines) {
    EXPECT_EXIT(
        {
            exec_missing_program();
            exit(7);
        },
        ::testing::ExitedWithCode(qv_test::kCheckExitCode),
        "Failed to create process. \nCMD: qv_no_such_program_anywhere_4711 \nCMDLINE: "
        "\"qv_no_such_program_anywhere_4711\" \"b c\" \nWORKING_DIR: <not specified> "
        "\nGetLastError: .+");
    QV_EXPECT_CHECK_FAILS(exec_nothing());
}

#if QV_TEST_RECORDS_CHECKS
TEST(Exec, FailureTextsAndValues) {
    {
        qv_test::CheckRecorder recorder;
        sys_exec_input in = {};
        EXPECT_EQ(sys_exec(&in), kFailed);
        EXPECT_EQ(recorder.conditions, std::vector<std::string>{"!\"No command to run\""});
    }
    {
        qv_test::CheckRecorder recorder;
        const char* args[] = {"/no/such/program", nullptr};
        sys_exec_input in = {};
        in._args = args;
        EXPECT_EQ(sys_exec(&in), kFailed);
        EXPECT_EQ(recorder.conditions,
                  std::vector<std::string>{"in->_no_assert_on_failure == sys_bool(1)"});
    }
    {
        // An argument longer than 1023 characters fails the conversion check and goes empty.
        qv_test::CheckRecorder recorder;
        const std::string too_long(1500, 'a');
        Capture c;
        EXPECT_EQ(run(&c, {"args", too_long.c_str(), "next"}), 0u);
        EXPECT_EQ(c.out, "\nnext\n");
        EXPECT_EQ(recorder.conditions, std::vector<std::string>{"mbtowc_ret"});
    }
}

// Linux only: on Windows a child that has closed its output but runs on reads as still
// active, which the library reports.
TEST(Exec, ChildThatClosesItsOutputEarlyIsWaitedFor) {
    const long before = open_handles();
    Capture c;
    EXPECT_EQ(run(&c, {"closeout", "100", "3"}), 3u);
    EXPECT_EQ(open_handles(), before);
}

TEST(Exec, ChildThatNeverReadsItsInputEndsTheInputQuietly) {
    const long before = open_handles();
    Capture c;
    c.input.assign(4 << 20, 'x'); // far more than a pipe holds
    qv_test::CheckRecorder recorder;
    EXPECT_EQ(run(&c, {"exit", "4"}, nullptr, true), 4u);
    EXPECT_EQ(recorder.conditions, std::vector<std::string>{"success"});
    EXPECT_EQ(open_handles(), before);
}
#endif

TEST(Exec, ChildKilledAbnormallyReturnsAndLeaksNothing) {
    const long before = open_handles();
    Capture c;
    EXPECT_EQ(run(&c, {"kill"}), 137u); // 128 + SIGKILL on Linux; the termination code on Windows
    EXPECT_EQ(open_handles(), before);
    for (int i = 0; i < 3; ++i)
        run(&c, {"streams", "5000", "5000", "0"});
    EXPECT_EQ(open_handles(), before);
}

TEST(CommandLine, StoredAsGiven) {
    char a0[] = "game", a1[] = "-windowed";
    char* argv[] = {a0, a1, nullptr};
    sys_u32 argc = 99;
    char** got = argv;
    sys_get_argc_argv(&argc, &got);
    EXPECT_EQ(argc, 0u);
    EXPECT_EQ(got, nullptr);
    sys_set_argc_argv(2, argv);
    sys_get_argc_argv(&argc, &got);
    EXPECT_EQ(argc, 2u);
    EXPECT_EQ(got, argv); // the pointer itself, not a copy
    sys_set_argc_argv(0, nullptr);
}

TEST(Console, AttachAndDetach) {
#if defined(_WIN32)
    // The test runner has no console of its own to share under Wine or CTest: only that the
    // answer is a proper truth value.
    const sys_bool attached = sys_attach_to_console();
    EXPECT_TRUE(attached == 0 || attached == 1);
    if (attached)
        sys_detach_from_console();
#else
    EXPECT_EQ(sys_attach_to_console(), 0);
    sys_detach_from_console();
#endif
}

TEST(LastError, TextOfTheThreadsLastError) {
#if defined(_WIN32)
    SetLastError(ERROR_FILE_NOT_FOUND);
    wchar_t w[512] = {};
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ERROR_FILE_NOT_FOUND, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), w, 512,
                   nullptr);
    char expected[1024];
    WideCharToMultiByte(CP_UTF8, 0, w, -1, expected, sizeof(expected), nullptr, nullptr);
    SetLastError(ERROR_FILE_NOT_FOUND);
#else
    const char* expected = strerror(ENOENT);
    errno = ENOENT;
#endif
    const char* text = sys_get_last_error();
    EXPECT_STREQ(text, expected);
    EXPECT_GT(strlen(text), 0u);
    // One buffer: the next call reuses it.
#if defined(_WIN32)
    SetLastError(ERROR_ACCESS_DENIED);
#else
    errno = EACCES;
#endif
    EXPECT_EQ(sys_get_last_error(), text);
}

TEST(ExitDeathTest, PrintsTheMessageAndEndsWithTheCode) {
    EXPECT_EXIT(
        {
            sys_printf_add_callback(sys_printf_callback_stdout, nullptr);
            sys_exit(3, "bye %s %u", "now", 5u);
        },
        ::testing::ExitedWithCode(3), "bye now 5"); // on the error stream
}

} // namespace
