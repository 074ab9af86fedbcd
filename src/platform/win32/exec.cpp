// Windows: child processes with CreateProcessW and inherited pipes, the end of the process,
// the console and the last error's text.
#include "platform/os.h"

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"
#include "qv_sys/platform.h"

#include <windows.h>

namespace {

constexpr sys_u32 kFailed = 0xFFFFFFFFu;
constexpr DWORD kArgUnits = 1024;    // 1023 characters and a terminator
constexpr DWORD kCommandLine = 2048; // UTF-16 units
constexpr DWORD kPiece = 2048;

struct Pipe {
    HANDLE parent = nullptr;
    HANDLE child = nullptr;
    bool closed = false;
};

void close_handle(HANDLE* h) {
    if (*h) {
        CloseHandle(*h);
        *h = nullptr;
    }
}

// An anonymous pipe whose child end is inherited and whose parent end is not.
void make_pipe(Pipe* p, bool child_reads) {
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.bInheritHandle = TRUE;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 0)) {
        SYS_CHECK(!"Couldn't create pipe");
        return;
    }
    p->parent = child_reads ? write_end : read_end;
    p->child = child_reads ? read_end : write_end;
    const BOOL b = SetHandleInformation(p->parent, HANDLE_FLAG_INHERIT, 0);
    SYS_CHECK(b);
}

// Reads what the output pipes hold, standard output before standard error in each round, in
// pieces of at most 2048 bytes, until a round finds nothing. True when every existing output
// pipe has been seen closed.
bool drain(Pipe* out, Pipe* err, const sys_exec_input* in) {
    char piece[kPiece];
    Pipe* pipes[2] = {out, err};
    for (bool any = true; any;) {
        any = false;
        for (int s = 0; s < 2; ++s) {
            Pipe* p = pipes[s];
            if (!p->parent || p->closed)
                continue;
            DWORD available = 0;
            if (!PeekNamedPipe(p->parent, nullptr, 0, nullptr, &available, nullptr)) {
                if (GetLastError() == ERROR_BROKEN_PIPE)
                    p->closed = true;
                continue;
            }
            if (available == 0)
                continue;
            DWORD got = 0;
            const BOOL res = ReadFile(p->parent, piece, kPiece, &got, nullptr);
            SYS_CHECK(res);
            if (got > 0) {
                any = true;
                (s == 0 ? in->_stdout_callback : in->_stderr_callback)(in->_user_data, piece, got,
                                                                       s == 0);
            }
        }
    }
    return (!out->parent || out->closed) && (!err->parent || err->closed);
}

} // namespace

sys_u32 os_exec(const sys_exec_input* in) {
    // Each argument converted, expanded and wrapped in double quotes; quotes inside an
    // argument are not escaped.
    static_assert(kCommandLine > 2);
    wchar_t command_line[kCommandLine];
    DWORD used = 0;
    command_line[0] = 0;
    for (sys_u64 i = 0; in->_args[i]; ++i) {
        wchar_t arg[kArgUnits];
        wchar_t expanded[kArgUnits];
        if (!sys_windows_utf8_to_wide(arg, kArgUnits, in->_args[i]))
            arg[0] = 0;
        const DWORD n = ExpandEnvironmentStringsW(arg, expanded, kArgUnits);
        const wchar_t* text = (n == 0 || n > kArgUnits) ? arg : expanded;
        const DWORD length = (DWORD)lstrlenW(text);
        const DWORD needed = (i ? 1 : 0) + 2 + length;
        if (used + needed >= kCommandLine)
            break; // the command line is full; the rest is left out
        if (i)
            command_line[used++] = L' ';
        command_line[used++] = L'"';
        memcpy(command_line + used, text, length * sizeof(wchar_t));
        used += length;
        command_line[used++] = L'"';
        command_line[used] = 0;
    }

    wchar_t working_dir[kArgUnits];
    if (in->_working_dir) {
        if (!sys_windows_utf8_to_wide(working_dir, kArgUnits, in->_working_dir))
            working_dir[0] = 0;
        for (wchar_t* c = working_dir; *c; ++c)
            if (*c == L'/')
                *c = L'\\';
    }

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    Pipe pin, pout, perr;
    if (in->_stdin_callback)
        make_pipe(&pin, true);
    if (in->_stdout_callback)
        make_pipe(&pout, false);
    if (in->_stderr_callback)
        make_pipe(&perr, false);
    if (in->_stdin_callback || in->_stdout_callback || in->_stderr_callback) {
        si.dwFlags |= STARTF_USESTDHANDLES;
        si.hStdInput = pin.child;
        si.hStdOutput = pout.child;
        si.hStdError = perr.child;
    }

    PROCESS_INFORMATION pi = {};
    const BOOL created = CreateProcessW(nullptr, command_line, nullptr, nullptr, TRUE, 0, nullptr,
                                        in->_working_dir ? working_dir : nullptr, &si, &pi);
    // The last error is read before anything else can change it.
    const DWORD create_error = created ? 0 : GetLastError();
    // The child holds its own copies now. Closing ours of its input at once makes our writes
    // fail, rather than block, once a child has ended without reading.
    close_handle(&pin.child);
    close_handle(&pout.child);
    close_handle(&perr.child);

    if (!created) {
        close_handle(&pin.parent);
        close_handle(&pout.parent);
        close_handle(&perr.parent);
        if (in->_no_assert_on_failure == 1)
            return kFailed;
        char command_line_utf8[kCommandLine * 3];
        if (!sys_windows_wide_to_utf8(command_line_utf8, sizeof(command_line_utf8), command_line))
            command_line_utf8[0] = 0;
        SetLastError(create_error);
        if (sys_assert_handler(
                "in->_no_assert_on_failure == sys_bool(1)", __FILE__, (sys_u32)__LINE__, 3,
                "Failed to create process. \nCMD: %s \nCMDLINE: %s \nWORKING_DIR: "
                "%s \nGetLastError: %s",
                in->_args[0], command_line_utf8,
                in->_working_dir ? in->_working_dir : "<not specified>", sys_get_last_error()))
            sys_check_trap_();
        return kFailed;
    }

    if (pin.parent) {
        char buffer[kPiece];
        for (;;) {
            const sys_u64 n = in->_stdin_callback(in->_user_data, buffer, kPiece);
            if (n == 0)
                break;
            DWORD written = 0;
            const BOOL success =
                WriteFile(pin.parent, buffer, (DWORD)(n > kPiece ? kPiece : n), &written, nullptr);
            if (!SYS_CHECK(success))
                break;
        }
        close_handle(&pin.parent);
    }

    if (!pout.parent && !perr.parent) {
        WaitForSingleObject(pi.hProcess, INFINITE);
    } else {
        while (WaitForSingleObject(pi.hProcess, 10) == WAIT_TIMEOUT)
            if (drain(&pout, &perr, in))
                break;
    }

    DWORD res = 0;
    const BOOL b = GetExitCodeProcess(pi.hProcess, &res);
    SYS_CHECK(b);
    // A child that closed its output but runs on still reads as active here.
    SYS_CHECK_TEXT_MSG(res != STILL_ACTIVE, "res != ((DWORD )0x00000103L)", NULL);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    if (pout.parent || perr.parent)
        drain(&pout, &perr, in);
    close_handle(&pout.parent);
    close_handle(&perr.parent);
    return b ? res : kFailed;
}

void os_last_error_text(char* buffer, sys_u32 size) {
    const DWORD error = GetLastError();
    wchar_t wide[8192];
    wide[0] = 0;
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                   MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), wide, 8192, nullptr);
    if (!sys_windows_wide_to_utf8(buffer, size, wide))
        buffer[0] = 0;
}

bool os_attach_console() {
    return AttachConsole(ATTACH_PARENT_PROCESS) == 1;
}

void os_detach_console() {
    FreeConsole();
}

void os_exit_process(sys_u32 code) {
    ExitProcess(code);
}
