// Helpers shared by the test programs: platform facts and running a scenario under a real
// debugger (a ptrace parent on Linux, the Win32 debugging API on Windows and Wine).
#pragma once

#include <gtest/gtest.h>

#include "qv_sys/io.h"

// The C and C++ headers every test program uses.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

// The sanitizer this program is built with: gcc and clang announce them differently.
#if defined(__has_feature)
#define QV_TEST_FEATURE(x) __has_feature(x)
#else
#define QV_TEST_FEATURE(x) 0
#endif
#if defined(__SANITIZE_ADDRESS__) || QV_TEST_FEATURE(address_sanitizer)
#define QV_TEST_ASAN 1
#else
#define QV_TEST_ASAN 0
#endif
#if defined(__SANITIZE_THREAD__) || QV_TEST_FEATURE(thread_sanitizer)
#define QV_TEST_TSAN 1
#else
#define QV_TEST_TSAN 0
#endif

namespace qv_test {

// The exit code a parent sees after a failed check: ExitProcess(-1) on Windows, _exit(255)
// (the same value truncated to 8 bits) on Linux.
#if defined(_WIN32)
inline constexpr int kCheckExitCode = -1;
#else
inline constexpr int kCheckExitCode = 255;
#endif

// Runs this test program again with only the (DISABLED_) test `full_test_name` selected, under
// a debugger that resumes every breakpoint trap, and expects it to run to its end with its own
// expectations met, after `traps` traps (at least that many when `at_least`).
void expect_under_debugger(const std::string& full_test_name, int traps, bool at_least = false);

// Collects every printed line, from any thread, while it lives.
class PrintLog {
  public:
    PrintLog() { sys_printf_add_callback(&PrintLog::add, this); }
    ~PrintLog() { sys_printf_remove_callback(&PrintLog::add); }
    PrintLog(const PrintLog&) = delete;
    PrintLog& operator=(const PrintLog&) = delete;
    std::vector<std::string> lines() {
        std::lock_guard<std::mutex> lock(mutex_);
        return lines_;
    }
    std::string text() {
        std::string all;
        for (const std::string& line : lines())
            all += line;
        return all;
    }
    // Index of the first line containing `text`, or -1.
    int find(const std::string& text) {
        const std::vector<std::string> all = lines();
        for (size_t i = 0; i < all.size(); ++i)
            if (all[i].find(text) != std::string::npos)
                return int(i);
        return -1;
    }

  private:
    static void add(void* user, const char* text, sys_u64 length, sys_bool) {
        PrintLog* self = static_cast<PrintLog*>(user);
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->lines_.emplace_back(text, length);
    }
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A new empty folder of this process under the temporary folder, its path ending in '/',
// removed with what it holds when the process ends.
std::string fresh_folder(const char* prefix);

// A whole file written and read through the library; "<missing>" when it does not open.
void write_file(const std::string& path, const std::string& bytes);
std::string read_file(const std::string& path);

// Ends a debuggee scenario with kDebuggeeOk when none of its expectations failed.
inline constexpr int kDebuggeeOk = 42;
[[noreturn]] void end_debuggee();

// One failing check proven both ways: without a debugger the statements end the process with
// the check's exit code; under a debugger that resumes every trap they run to their end, their
// own expectations met, after `traps` traps (as the DISABLED_ debuggee test of the suite).
#define QV_CHECK_SCENARIO(suite, name, traps, ...)                                                 \
    TEST(suite, DISABLED_##name##_Debuggee) {                                                      \
        __VA_ARGS__;                                                                               \
        qv_test::end_debuggee();                                                                   \
    }                                                                                              \
    TEST(suite, name) {                                                                            \
        QV_EXPECT_CHECK_FAILS(__VA_ARGS__);                                                        \
        qv_test::expect_under_debugger(#suite ".DISABLED_" #name "_Debuggee", traps);              \
    }

} // namespace qv_test

// The statements fail a check: the process ends with the check's exit code before the line
// after them runs (had the handler returned, the exit code would be 7).
#define QV_EXPECT_CHECK_FAILS(...)                                                                 \
    EXPECT_EXIT(                                                                                   \
        {                                                                                          \
            __VA_ARGS__;                                                                           \
            exit(7);                                                                               \
        },                                                                                         \
        ::testing::ExitedWithCode(qv_test::kCheckExitCode), "")
