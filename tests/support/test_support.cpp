#include "support/test_support.h"

#include "qv_sys/filesystem.h"

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <system_error>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace qv_test {

namespace {

struct DebuggedRun {
    bool started = false; // the child ran to its end under our tracer
    int exit_code = -1;
    int traps = 0; // breakpoint traps after the child's own start-up
};

DebuggedRun run_test_under_debugger(const std::string& full_test_name);

} // namespace

namespace {
// The folders this process made, removed with everything in them when it ends. Only by the
// process that made them: a death test's forked child ends through the same exit path.
struct MadeFolders {
    std::vector<std::string> paths;
    const int owner = (int)getpid();
    ~MadeFolders() {
        if ((int)getpid() != owner)
            return;
        for (const std::string& path : paths) {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    }
};
} // namespace

std::string fresh_folder(const char* prefix) {
    static int counter = 0;
    char temp[512];
    filesystem_get_temp_path(temp, sizeof(temp));
    char name[600];
    // Process numbers come back (under Wine within a few runs): a name still taken by an
    // earlier run is passed over.
    do
        snprintf(name, sizeof(name), "%s%s%d_%d/", temp, prefix, (int)getpid(), ++counter);
    while (filesystem_get_attr(name) != 0);
    filesystem_create_directories_in_path(name);
    static MadeFolders made; // made on first use: other files' globals may call this
    made.paths.push_back(name);
    return name;
}

void write_file(const std::string& path, const std::string& bytes) {
    filesystem_file* f = filesystem_file_create(path.c_str(), FS_WRITE, FS_LOCATION_NONE);
    ASSERT_NE(f, nullptr) << path;
    EXPECT_EQ(filesystem_file_write(f, bytes.data(), bytes.size()), bytes.size());
    filesystem_file_destroy(f);
}

std::string read_file(const std::string& path) {
    filesystem_file* f = filesystem_file_create(path.c_str(), FS_READ, FS_LOCATION_NONE);
    if (!f)
        return "<missing>";
    std::string out;
    char buffer[4096];
    sys_u64 n;
    while ((n = filesystem_file_read(f, buffer, sizeof(buffer))) > 0)
        out.append(buffer, n);
    filesystem_file_destroy(f);
    return out;
}

void expect_under_debugger(const std::string& full_test_name, int traps, bool at_least) {
    const DebuggedRun run = run_test_under_debugger(full_test_name);
    ASSERT_TRUE(run.started) << full_test_name << " did not run to its end";
    EXPECT_EQ(run.exit_code, kDebuggeeOk) << full_test_name;
    if (at_least)
        EXPECT_GE(run.traps, traps) << full_test_name;
    else
        EXPECT_EQ(run.traps, traps) << full_test_name;
}

void end_debuggee() {
    fflush(stdout);
    fflush(stderr);
    const int code = ::testing::Test::HasFailure() ? 1 : kDebuggeeOk;
#if defined(_WIN32)
    ExitProcess((UINT)code);
#else
    _exit(code);
#endif
}

namespace {

#if defined(_WIN32)

DebuggedRun run_test_under_debugger(const std::string& full_test_name) {
    DebuggedRun run;
    wchar_t self[MAX_PATH];
    if (!GetModuleFileNameW(nullptr, self, MAX_PATH))
        return run;
    std::wstring filter(full_test_name.begin(), full_test_name.end());
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" --gtest_also_run_disabled_tests " +
                       L"--gtest_filter=" + filter;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS, nullptr,
                        nullptr, &si, &pi))
        return run;

    // The loader's own breakpoint comes first; every later one is the debuggee's.
    bool loader_break_seen = false;
    for (;;) {
        DEBUG_EVENT ev{};
        if (!WaitForDebugEvent(&ev, 60000)) {
            TerminateProcess(pi.hProcess, 99);
            break;
        }
        DWORD status = DBG_CONTINUE;
        if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
            const EXCEPTION_RECORD& rec = ev.u.Exception.ExceptionRecord;
            if (rec.ExceptionCode == EXCEPTION_BREAKPOINT) {
                if (loader_break_seen)
                    ++run.traps;
                loader_break_seen = true;
                // Resume after the int3 whether the system left the instruction pointer on it
                // or past it.
                HANDLE thread = OpenThread(THREAD_ALL_ACCESS, FALSE, ev.dwThreadId);
                CONTEXT ctx{};
                ctx.ContextFlags = CONTEXT_CONTROL;
                if (thread && GetThreadContext(thread, &ctx) &&
                    ctx.Rip == (DWORD64)rec.ExceptionAddress) {
                    unsigned char op = 0;
                    SIZE_T got = 0;
                    if (ReadProcessMemory(pi.hProcess, rec.ExceptionAddress, &op, 1, &got) &&
                        got == 1 && op == 0xCC) {
                        ctx.Rip += 1;
                        SetThreadContext(thread, &ctx);
                    }
                }
                if (thread)
                    CloseHandle(thread);
            } else {
                status = DBG_EXCEPTION_NOT_HANDLED;
            }
        } else if (ev.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            if (ev.u.CreateProcessInfo.hFile)
                CloseHandle(ev.u.CreateProcessInfo.hFile);
        } else if (ev.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            if (ev.u.LoadDll.hFile)
                CloseHandle(ev.u.LoadDll.hFile);
        } else if (ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
            run.exit_code = (int)ev.u.ExitProcess.dwExitCode;
            run.started = true;
            ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, DBG_CONTINUE);
            break;
        }
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, status);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return run;
}

#else

DebuggedRun run_test_under_debugger(const std::string& full_test_name) {
    DebuggedRun run;
    const std::string filter = "--gtest_filter=" + full_test_name;
    fflush(stdout);
    fflush(stderr);
    const pid_t child = fork();
    if (child < 0)
        return run;
    if (child == 0) {
        ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
        char self[] = "/proc/self/exe";
        char disabled[] = "--gtest_also_run_disabled_tests";
        char* argv[] = {self, disabled, const_cast<char*>(filter.c_str()), nullptr};
        execv(self, argv);
        _exit(98);
    }
    // The first SIGTRAP is the one the kernel sends at exec; every later one is an int3.
    bool exec_trap_seen = false;
    for (;;) {
        int status = 0;
        if (waitpid(child, &status, 0) != child)
            return run;
        if (WIFEXITED(status)) {
            run.exit_code = WEXITSTATUS(status);
            run.started = true;
            return run;
        }
        if (WIFSIGNALED(status)) {
            run.exit_code = 128 + WTERMSIG(status);
            return run;
        }
        int deliver = 0;
        if (WIFSTOPPED(status)) {
            const int sig = WSTOPSIG(status);
            if (sig == SIGTRAP) {
                if (exec_trap_seen)
                    ++run.traps;
                exec_trap_seen = true;
            } else {
                deliver = sig;
            }
        }
        ptrace(PTRACE_CONT, child, nullptr, (void*)(long)deliver);
    }
}

#endif

} // namespace

} // namespace qv_test
