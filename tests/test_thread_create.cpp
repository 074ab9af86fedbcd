// Threads the library starts: exit codes, log lines, names, affinity, forced and early ends.
#include "support/test_support.h"

#include "qv_sys/assertion.h"
#include "qv_sys/thread.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <pthread.h>
#include <sched.h>
#include <unistd.h>
#endif

namespace {

sys_u32 return_argument(void* argument) {
    return sys_u32(reinterpret_cast<uintptr_t>(argument));
}

sys_u32 run(sys_u32 (*function)(void*), void* argument, const char* name) {
    return thread_thread_join(thread_thread_create(function, argument, name, -1));
}

std::atomic<int> s_exit_reached{0};

// Logs a marker; with an argument, leaves the thread early through threadlocal_exit(9).
sys_u32 print_marker(void* exit_early) {
    sys_printf("inside the thread function\n");
    s_exit_reached = 1;
    if (exit_early)
        threadlocal_exit(9);
    s_exit_reached = 2;
    return 3;
}

// 1 when the system reports the thread's name as `expected`, 2 when it cannot tell. On Windows
// the creator names the thread after starting it: give it a moment.
sys_u32 name_matches(void* expected) {
    char name[64] = {0};
#if defined(_WIN32)
    using GetFn = HRESULT(WINAPI*)(HANDLE, PWSTR*);
    GetFn get = reinterpret_cast<GetFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetThreadDescription")));
    if (get == nullptr)
        return 2;
    for (int i = 0; i < 200 && strcmp(name, static_cast<const char*>(expected)) != 0; ++i) {
        PWSTR wide = nullptr;
        Sleep(i == 0 ? 0 : 5);
        if (SUCCEEDED(get(GetCurrentThread(), &wide)) && wide != nullptr) {
            WideCharToMultiByte(CP_UTF8, 0, wide, -1, name, 64, nullptr, nullptr);
            LocalFree(wide);
        }
    }
#else
    pthread_getname_np(pthread_self(), name, sizeof(name));
#endif
    return strcmp(name, static_cast<const char*>(expected)) == 0 ? 1 : 0;
}

TEST(Thread, JoinYieldsTheResultNamesReachTheSystemAndLogLinesSurroundTheFunction) {
    char name[] = "fifteen_bytes__";
    EXPECT_NE(run(name_matches, name, name), 0u);
    for (sys_u32 code : {0u, 0x7FFFFFFFu, 0xFFFFFFFFu})
        EXPECT_EQ(run(return_argument, reinterpret_cast<void*>(uintptr_t(code)), "worker"), code);
    qv_test::PrintLog log;
    EXPECT_EQ(run(print_marker, nullptr, "logged"), 3u);
    EXPECT_EQ(s_exit_reached.load(), 2);
    EXPECT_EQ(run(print_marker, &s_exit_reached, "quitter"), 9u);
    EXPECT_EQ(s_exit_reached.load(), 1);
    const int created = log.find(" Thread logged being created\n");
    const int inside = log.find("inside the thread function\n");
    ASSERT_GE(created, 0);
    EXPECT_GT(inside, created);
    EXPECT_GT(log.find(" Thread logged about to exit\n"), inside);
    EXPECT_GE(log.find(" Thread quitter being created\n"), 0);
    EXPECT_EQ(log.find("Thread quitter about to exit"), -1);
}

void log_to_stderr_on_one_line(void*, const char* text, sys_u64 length, sys_bool) {
    for (sys_u64 i = 0; i < length; ++i)
        if (text[i] != '\n')
            fputc(text[i], stderr);
}

sys_u32 fail_a_check(void*) { // the report is built on this thread's stack
    int* p = nullptr;
    SYS_CHECK(p != NULL);
    return 0;
}

// A check failing on a library thread ends the process; so does the name's length check.
TEST(Thread, FailedChecksOnAndForLibraryThreads) {
    const struct {
        sys_u32 (*function)(void*);
        const char *name, *report;
    } cases[] = {{return_argument, "sixteen_bytes___",
                  "Thread sixteen_bytes___ being created.*sys_strlen\\( name \\) <= 15"},
                 {fail_a_check, "checker", "ASSERT failed: p != NULL"}};
    for (const auto& c : cases)
        EXPECT_EXIT(
            {
                sys_printf_add_callback(log_to_stderr_on_one_line, nullptr);
                sys_assert_add_callback(sys_assert_callback_print, nullptr);
                run(c.function, nullptr, c.name);
                exit(7);
            },
            ::testing::ExitedWithCode(qv_test::kCheckExitCode), c.report);
}

// The calling thread's processor mask (low 32 bits), or the process's.
sys_u32 mask_of_this(bool process) {
#if defined(_WIN32)
    DWORD_PTR mine = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &mine, &system);
    if (!process) // setting a mask hands back the one it replaces
        mine = SetThreadAffinityMask(GetCurrentThread(), mine);
    return sys_u32(mine);
#else
    cpu_set_t set;
    CPU_ZERO(&set);
    process ? sched_getaffinity(getpid(), sizeof(set), &set)
            : pthread_getaffinity_np(pthread_self(), sizeof(set), &set);
    sys_u32 mask = 0;
    for (int cpu = 0; cpu < 32; ++cpu)
        mask |= CPU_ISSET(cpu, &set) ? 1u << cpu : 0u;
    return mask;
#endif
}

std::atomic<int> s_go{0};
sys_u32 report_affinity(void*) { // once the creator has pinned the thread
    while (s_go.load() == 0)
        threadlocal_yield();
    return mask_of_this(false);
}

// The index is taken modulo 64; -1, or a missing processor, leaves the process's mask.
TEST(Thread, AffinityByIndexModulo64) {
    const sys_u32 n = thread_util_hardware_concurrency();
    const sys_u32 all = mask_of_this(true);
#if defined(_WIN32)
    // Windows' runtime counts only the processors this process may use, and a confined process
    // (a job object, or taskset under Wine) may not pin a thread outside them.
    EXPECT_GE(n, std::thread::hardware_concurrency());
    if (n < 32 && all != (1u << n) - 1)
        GTEST_SKIP() << "this process may not use every processor";
#else
    EXPECT_EQ(n, std::thread::hardware_concurrency());
#endif
    if (n < 2)
        GTEST_SKIP() << "needs two processors";
    for (sys_i64 index : {-1, 0, 1, 33, 63, 64, 65, 129}) {
        const sys_i64 cpu = index % 64;
        s_go = 0;
        void* h = thread_thread_create(report_affinity, nullptr, "pinned", index);
        ASSERT_NE(h, nullptr);
        s_go = 1;
        EXPECT_EQ(thread_thread_join(h), cpu < 0 || cpu >= n ? all
                                         : cpu < 32          ? 1u << cpu
                                                             : 0u)
            << "index " << index;
    }
}

std::atomic<sys_u64> s_spins{0};

sys_u32 spin_forever(void*) {
    for (;;)
        s_spins.fetch_add(1, std::memory_order_relaxed);
    return 1;
}

TEST(Thread, DestroyEndsABusyThread) {
    if (QV_TEST_TSAN)
        GTEST_SKIP() << "the thread sanitizer does not follow asynchronous cancellation";
    qv_test::PrintLog log;
    void* h = thread_thread_create(spin_forever, nullptr, "spinner", -1);
    ASSERT_NE(h, nullptr);
    while (s_spins.load() < 1000)
        threadlocal_yield();
    thread_thread_destroy(h);
    const sys_u64 after = s_spins.load();
    const auto start = std::chrono::steady_clock::now();
    threadlocal_sleep(30); // at least its milliseconds
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(28));
    EXPECT_EQ(s_spins.load(), after);
    EXPECT_EQ(log.find("Thread spinner about to exit"), -1);
}

} // namespace
