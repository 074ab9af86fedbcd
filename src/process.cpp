// Child processes, the end of the process, the stored command line, the console and the text
// of the last system error. The platform bodies are in src/platform/*/exec.cpp.
#include "qv_sys/assertion.h"
#include "qv_sys/io.h"

#include "platform/os.h"

namespace {

sys_u32 s_argc = 0;
char** s_argv = nullptr;

// One buffer for the whole process: callers copy the text at once.
char s_last_error[8192];

} // namespace

sys_u32 sys_exec(const sys_exec_input* in) {
    if (!in || !in->_args) {
        SYS_CHECK(!"No command to run");
        return 0xFFFFFFFFu;
    }
    return os_exec(in);
}

void sys_exit(sys_u32 code, const char* format, ...) {
    va_list args;
    va_start(args, format);
    sys_vperrorf(format, args);
    va_end(args);
    sys_perrorf("\n");
    if (os_debugger_present() && code != 0)
        SYS_CHECK(!"Program failed");
    os_exit_process(code);
}

void sys_set_argc_argv(sys_u32 argc, char** argv) {
    s_argc = argc;
    s_argv = argv;
}

void sys_get_argc_argv(sys_u32* argc, char*** argv) {
    if (argc)
        *argc = s_argc;
    if (argv)
        *argv = s_argv;
}

sys_bool sys_attach_to_console(void) {
    return os_attach_console() ? 1 : 0;
}

void sys_detach_from_console(void) {
    os_detach_console();
}

const char* sys_get_last_error(void) {
    os_last_error_text(s_last_error, sizeof(s_last_error));
    return s_last_error;
}
