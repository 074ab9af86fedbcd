// Child processes through sys_exec with a child program built beside the tests; the last error.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/assertion.h"
#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"

#include <errno.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dirent.h>
#include <unistd.h>
#endif

namespace {

constexpr sys_u32 kFailed = 0xFFFFFFFFu;
const char* const kMissingProgram = "qv_no_such_program_anywhere_4711";

// Open handles (Windows) or descriptors (Linux) of this process.
#if defined(_WIN32)
const char* const kChild = "qv_test_exec_child.exe";
void set_env(const char* name, const char* value) {
    SetEnvironmentVariableA(name, value);
}
long open_handles() {
    DWORD count = 0;
    GetProcessHandleCount(GetCurrentProcess(), &count);
    return (long)count;
}
#else
const char* const kChild = "qv_test_exec_child";
void set_env(const char* name, const char* value) {
    setenv(name, value, 1);
}
long open_handles() {
    long n = 0;
    DIR* d = opendir("/proc/self/fd");
    while (readdir(d))
        ++n;
    closedir(d);
    return n;
}
#endif

struct Capture {
    std::string out, err;
    sys_u64 largest_piece = 0;
    int wrong_flag = 0;
    std::string input; // fed in the pieces the callback is asked for
    size_t fed = 0;
    std::vector<sys_u64> capacities;
};

template <bool kStdout>
void on_output(void* user, const char* data, sys_u64 length, sys_bool is_stdout) {
    Capture* c = (Capture*)user;
    (kStdout ? c->out : c->err).append(data, length);
    c->largest_piece = std::max(length, c->largest_piece);
    c->wrong_flag += is_stdout != (kStdout ? 1 : 0);
}

sys_u64 on_stdin(void* user, char* buffer, sys_u64 capacity) {
    Capture* c = (Capture*)user;
    c->capacities.push_back(capacity);
    const size_t n = std::min<size_t>(capacity, c->input.size() - c->fed);
    memcpy(buffer, c->input.data() + c->fed, n);
    c->fed += n;
    return n;
}

// Runs the child (by its bare name when asked) with `args`, capturing both streams when asked.
sys_u32 run(Capture* c, std::vector<const char*> args, const char* working_dir = nullptr,
            bool feed = false, bool capture = true, bool bare = false) {
    char dir[1024];
    const std::string program =
        bare ? kChild : std::string(dir, filesystem_get_exe_dir(dir, sizeof(dir))) + kChild;
    args.insert(args.begin(), program.c_str());
    args.push_back(nullptr);
    sys_exec_input in = {};
    in._args = args.data();
    in._working_dir = working_dir;
    in._stdin_callback = feed ? on_stdin : nullptr;
    in._stdout_callback = capture ? on_output<true> : nullptr;
    in._stderr_callback = capture ? on_output<false> : nullptr;
    in._user_data = c;
    return sys_exec(&in);
}

// Environment expansion (up to a command line's length), a bare name, the working folder.
TEST(Exec, ArgumentsArriveOneByOneWithTheEnvironmentExpandedInTheWorkingDirectory) {
    set_env("QV_TEST_EXEC_VALUE", "hello world");
    const std::string long_value(700, 'x');
    set_env("QV_TEST_EXEC_LONG", long_value.c_str());
    Capture c;
    EXPECT_EQ(run(&c, {"args", "a", "b c", "", "%QV_TEST_EXEC_VALUE%", "x%QV_TEST_NOT_DEFINED%y",
                       "<%QV_TEST_EXEC_VALUE%%QV_TEST_EXEC_VALUE%>", "100%",
                       "%QV_TEST_EXEC_LONG%%QV_TEST_EXEC_LONG%",
                       "%QV_TEST_EXEC_LONG%%QV_TEST_EXEC_LONG%%QV_TEST_EXEC_LONG%"}),
              0u);
    EXPECT_EQ(c.out, "a\nb c\n\nhello world\nx%QV_TEST_NOT_DEFINED%y\n<hello worldhello world>\n"
                     "100%\n" +
                         long_value + long_value +
                         "\n%QV_TEST_EXEC_LONG%%QV_TEST_EXEC_LONG%%QV_TEST_EXEC_LONG%\n");
    EXPECT_EQ(c.err, "");

    // By its bare name, from another current folder than the working one.
    char before[1024];
    filesystem_get_current_directory(before, sizeof(before));
    filesystem_set_current_directory(qv_test::fresh_folder("qv_exec_bare_").c_str());
    std::string dir = qv_test::fresh_folder("qv_exec_cwd_");
    dir.pop_back();
    Capture cwd;
    EXPECT_EQ(run(&cwd, {"cwd"}, dir.c_str(), false, true, true), 0u);
    filesystem_set_current_directory(before);
    std::replace(cwd.out.begin(), cwd.out.end(), '\\', '/');
#if defined(_WIN32)
    EXPECT_EQ(_stricmp(cwd.out.c_str(), dir.c_str()), 0) << cwd.out << " vs " << dir;
#else
    EXPECT_EQ(cwd.out, dir);
#endif
}

// Both streams whole, in order, in pieces of at most 2048; input asked for 2048 bytes at a time.
TEST(Exec, StreamsCarryEveryByteInOrderInPiecesOf2048Bytes) {
    auto pattern = [](const char* size) {
        std::string bytes(strtoul(size, nullptr, 10), 0);
        for (size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = char(i % 251);
        return bytes;
    };
    const struct {
        const char *out, *err, *code;
    } cases[] = {{"1048576", "1048576", "7"}, {"20000", "30000", "5"}, {"0", "70001", "0"}};
    for (const auto& k : cases) {
        Capture c;
        EXPECT_EQ(run(&c, {"streams", k.out, k.err, k.code}), sys_u32(atoi(k.code)));
        EXPECT_TRUE(c.out == pattern(k.out)) << k.out << " bytes, got " << c.out.size();
        EXPECT_TRUE(c.err == pattern(k.err)) << k.err << " bytes, got " << c.err.size();
        EXPECT_LE(c.largest_piece, 2048u);
        EXPECT_EQ(c.wrong_flag, 0);
    }

    Capture c;
    c.input = pattern("3000"); // small enough for the child's echo to fit its output pipe
    EXPECT_EQ(run(&c, {"stdin"}, nullptr, true), 0u);
    EXPECT_TRUE(c.out == c.input);
    EXPECT_EQ(c.err, "3000\n");
    EXPECT_EQ(c.capacities, std::vector<sys_u64>(c.capacities.size(), 2048u));
    Capture quiet;
    quiet.input = "ignored";
    EXPECT_EQ(run(&quiet, {"stdin"}, nullptr, true, false), 0u);
    EXPECT_EQ(quiet.fed, 7u);
    EXPECT_EQ(run(&quiet, {"exit", "42"}, nullptr, false, false), 42u);
}

// A missing program fails quietly only when asked with 1, else with a four-line report; odd
// endings (killed, early close, unread input) are waited for; nothing is left open.
TEST(ExecDeathTest, MissingProgramAndChildrenEndingOddly) {
    const char* args[] = {kMissingProgram, "b c", nullptr};
    sys_exec_input in = {};
    in._args = args;
    in._no_assert_on_failure = 1;
    const long before = open_handles();
    EXPECT_EQ(sys_exec(&in), kFailed);
    Capture c;
    in._stdout_callback = on_output<true>;
    in._stderr_callback = on_output<false>;
    in._user_data = &c;
    EXPECT_EQ(sys_exec(&in), kFailed);
    EXPECT_EQ(run(&c, {"kill"}), 137u); // 128 + SIGKILL on Linux; the termination code on Windows
#if !defined(_WIN32) // on Windows a child that closed its output reads as still active
    EXPECT_EQ(run(&c, {"exit", "3", "100"}), 3u);
#endif
    c.input.assign(4 << 20, 'x'); // far more than a pipe holds
    EXPECT_EQ(run(&c, {"exit", "4"}, nullptr, true), 4u);
    EXPECT_EQ(c.fed, c.input.size());
    EXPECT_EQ(open_handles(), before);

    in = {};
    in._args = args;
    in._no_assert_on_failure = 2;
    EXPECT_EXIT(
        {
            sys_assert_add_callback([](void*, const char*, const char*, sys_u32,
                                       const char* report) { fputs(report, stderr); },
                                    nullptr);
            sys_exec(&in);
            exit(7);
        },
        ::testing::ExitedWithCode(qv_test::kCheckExitCode),
        "Failed to create process. \nCMD: qv_no_such_program_anywhere_4711 \nCMDLINE: "
        "\"qv_no_such_program_anywhere_4711\" \"b c\" \nWORKING_DIR: <not specified> "
        "\nGetLastError: .+");
}

#if QV_TEST_RECORDS_CHECKS
// Failure conditions; an argument or working folder over 1023 characters fails to convert.
TEST(Exec, FailureTextsAndValues) {
    const char* missing[] = {kMissingProgram, nullptr};
    const std::pair<const char**, const char*> cases[] = {
        {nullptr, "!\"No command to run\""}, {missing, "in->_no_assert_on_failure == sys_bool(1)"}};
    for (const auto& [args, condition] : cases) {
        qv_test::CheckRecorder recorder;
        sys_exec_input in = {};
        in._args = args;
        EXPECT_EQ(sys_exec(&in), kFailed);
        EXPECT_EQ(recorder.conditions, qv_test::texts(condition));
    }
    qv_test::CheckRecorder recorder;
    Capture c;
    EXPECT_EQ(run(&c, {"args", std::string(1500, 'a').c_str(), "next"}), 0u);
    EXPECT_EQ(c.out, "\nnext\n");
    EXPECT_EQ(run(&c, {"args"}, std::string(1500, 'd').c_str()), kFailed);
    EXPECT_EQ(recorder.conditions, qv_test::texts("mbtowc_ret", "mbtowc_ret",
                                                  "in->_no_assert_on_failure == sys_bool(1)"));
}
#endif

// The thread's last error as text, in one buffer that the next call reuses.
TEST(LastError, TextOfTheThreadsLastError) {
#if defined(_WIN32)
    char expected[1024] = {};
    FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   ERROR_FILE_NOT_FOUND, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), expected,
                   sizeof(expected), nullptr);
    SetLastError(ERROR_FILE_NOT_FOUND);
    const char* text = sys_get_last_error();
    SetLastError(ERROR_ACCESS_DENIED);
#else
    const char* expected = strerror(ENOENT);
    errno = ENOENT;
    const char* text = sys_get_last_error();
    errno = EACCES;
#endif
    EXPECT_STREQ(text, expected);
    EXPECT_EQ(sys_get_last_error(), text);
}

TEST(ExitDeathTest, PrintsTheMessageOnTheErrorStreamAndEndsWithTheCode) {
    EXPECT_EXIT(
        {
            sys_printf_add_callback(sys_printf_callback_stdout, nullptr);
            sys_exit(3, "bye %s %u", "now", 5u);
        },
        ::testing::ExitedWithCode(3), "bye now 5");
}

} // namespace
