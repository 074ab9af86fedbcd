// Helpers shared by the test programs: platform facts and running a scenario under a real
// debugger (a ptrace parent on Linux, the Win32 debugging API on Windows and Wine).
#pragma once

#include <gtest/gtest.h>

#include <string>

namespace qv_test {

// The exit code a parent sees after a failed check: ExitProcess(-1) on Windows, _exit(255)
// (the same value truncated to 8 bits) on Linux.
#if defined(_WIN32)
inline constexpr int kCheckExitCode = -1;
#else
inline constexpr int kCheckExitCode = 255;
#endif

// Whether the Windows build runs under Wine (ntdll exports wine_get_version there).
bool running_under_wine();

struct DebuggedRun {
    bool started = false; // the child was started and ran to its end under our tracer
    int exit_code = -1;   // the child's exit code
    int traps = 0;        // breakpoint traps hit after the child's own start-up
};

// Runs this test program again under a debugger that resumes every breakpoint trap, with only
// the (DISABLED_) test `full_test_name` (e.g. "AssertDebuggee.DISABLED_Run") selected.
DebuggedRun run_test_under_debugger(const std::string& full_test_name);

// Ends a debuggee scenario: exit code kDebuggeeOk when none of its expectations failed, so the
// debugger side can tell a clean run from one that failed or died.
inline constexpr int kDebuggeeOk = 42;
[[noreturn]] void end_debuggee();

} // namespace qv_test
