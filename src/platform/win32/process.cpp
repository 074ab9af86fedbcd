// Windows: child processes with CreateProcessW and inherited pipes, the end of the process,
// the console and the last error's text.
#include "platform/os.h"

#include "qv_sys/platform.h"

#include <windows.h>

namespace {

struct Child {
    HANDLE process;
    HANDLE thread;
};
static_assert(sizeof(Child) <= sizeof(OsChild) && alignof(Child) <= alignof(OsChild));

Child* child_of(OsChild* child) {
    return reinterpret_cast<Child*>(child->storage);
}

HANDLE handle_of(OsPipe pipe) {
    return pipe == kOsNoPipe ? nullptr : reinterpret_cast<HANDLE>(pipe);
}

// Each argument converted, expanded and wrapped in double quotes, separated by single
// spaces; quotes inside an argument are not escaped. What does not fit is left out.
void build_command_line(const char* const* args, wchar_t* command_line) {
    static_assert(kOsCommandLine > 2);
    DWORD used = 0;
    command_line[0] = 0;
    for (sys_u64 i = 0; args[i]; ++i) {
        wchar_t arg[kOsArgUnits];
        // An expansion may outgrow the argument (a PATH often does): up to the command line.
        wchar_t expanded[kOsCommandLine];
        if (!sys_windows_utf8_to_wide(arg, kOsArgUnits, args[i]))
            arg[0] = 0;
        const DWORD n = ExpandEnvironmentStringsW(arg, expanded, kOsCommandLine);
        const wchar_t* text = (n == 0 || n > kOsCommandLine) ? arg : expanded;
        const DWORD length = (DWORD)lstrlenW(text);
        const DWORD needed = (i ? 1 : 0) + 2 + length;
        if (used + needed >= kOsCommandLine)
            break;
        if (i)
            command_line[used++] = L' ';
        command_line[used++] = L'"';
        memcpy(command_line + used, text, length * sizeof(wchar_t));
        used += length;
        command_line[used++] = L'"';
        command_line[used] = 0;
    }
}

} // namespace

OsPipeStatus os_pipe_create(OsPipePair* pipe, bool child_reads) {
    SECURITY_ATTRIBUTES sa = {};
    sa.nLength = sizeof(sa);
    sa.bInheritHandle = TRUE;
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &sa, 0))
        return OsPipeStatus::create_failed;
    HANDLE parent = child_reads ? write_end : read_end;
    pipe->parent = reinterpret_cast<OsPipe>(parent);
    pipe->child = reinterpret_cast<OsPipe>(child_reads ? read_end : write_end);
    return SetHandleInformation(parent, HANDLE_FLAG_INHERIT, 0) ? OsPipeStatus::ok
                                                                : OsPipeStatus::inherit_failed;
}

void os_pipe_close(OsPipe* pipe) {
    if (*pipe != kOsNoPipe) {
        CloseHandle(handle_of(*pipe));
        *pipe = kOsNoPipe;
    }
}

OsPipeWrite os_pipe_write(OsPipe pipe, const char* data, sys_u64 size) {
    DWORD written = 0;
    if (WriteFile(handle_of(pipe), data, (DWORD)size, &written, nullptr))
        return OsPipeWrite::ok;
    const DWORD error = GetLastError();
    return error == ERROR_NO_DATA || error == ERROR_BROKEN_PIPE ? OsPipeWrite::reader_gone
                                                                : OsPipeWrite::failed;
}

// An anonymous pipe cannot be read without blocking: ask first how much is waiting.
OsPipeRead os_pipe_read(OsPipe pipe, char* buffer, sys_u64 size, sys_u64* got) {
    DWORD available = 0;
    if (!PeekNamedPipe(handle_of(pipe), nullptr, 0, nullptr, &available, nullptr))
        return GetLastError() == ERROR_BROKEN_PIPE ? OsPipeRead::closed : OsPipeRead::empty;
    if (available == 0)
        return OsPipeRead::empty;
    DWORD read = 0;
    if (!ReadFile(handle_of(pipe), buffer, (DWORD)size, &read, nullptr))
        return OsPipeRead::failed;
    *got = read;
    return read > 0 ? OsPipeRead::data : OsPipeRead::empty;
}

bool os_child_start(const char* const* args, const char* working_dir, bool redirect,
                    const OsPipe streams[3], OsChild* child, char* command_line, sys_u64 size) {
    wchar_t wide_command_line[kOsCommandLine];
    build_command_line(args, wide_command_line);

    wchar_t wide_dir[kOsArgUnits];
    if (working_dir) {
        if (!sys_windows_utf8_to_wide(wide_dir, kOsArgUnits, working_dir))
            wide_dir[0] = 0;
        for (wchar_t* c = wide_dir; *c; ++c)
            if (*c == L'/')
                *c = L'\\';
    }

    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    if (redirect) {
        si.dwFlags |= STARTF_USESTDHANDLES;
        si.hStdInput = handle_of(streams[0]);
        si.hStdOutput = handle_of(streams[1]);
        si.hStdError = handle_of(streams[2]);
    }

    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, wide_command_line, nullptr, nullptr, TRUE, 0, nullptr,
                        working_dir ? wide_dir : nullptr, &si, &pi)) {
        // The last error is kept for the caller's report across the conversion.
        const DWORD error = GetLastError();
        if (!sys_windows_wide_to_utf8(command_line, size, wide_command_line))
            command_line[0] = 0;
        SetLastError(error);
        return false;
    }
    *child_of(child) = Child{pi.hProcess, pi.hThread};
    return true;
}

bool os_child_wait(OsChild* child, sys_u32 limit_ms, const OsPipe* outputs, int count) {
    (void)outputs;
    (void)count;
    const DWORD limit = limit_ms == kOsNoLimit ? INFINITE : limit_ms;
    return WaitForSingleObject(child_of(child)->process, limit) != WAIT_TIMEOUT;
}

bool os_child_exit_code(OsChild* child, sys_u32* code) {
    DWORD res = 0;
    const bool read = GetExitCodeProcess(child_of(child)->process, &res) != 0;
    *code = res;
    return read;
}

void os_child_close(OsChild* child) {
    CloseHandle(child_of(child)->process);
    CloseHandle(child_of(child)->thread);
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
