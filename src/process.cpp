// Child processes, the end of the process, the stored command line, the console and the text
// of the last system error. The platform bodies are in src/platform/*/process.cpp: they start a
// child and move bytes through its pipes; the order of it all and every check live here.
#include "qv_sys/assertion.h"
#include "qv_sys/io.h"
#include "qv_sys/sysmemory.h"

#include "cstr_internal.h"
#include "platform/os.h"

namespace {

sys_u32 s_argc = 0;
char** s_argv = nullptr;

// One buffer for the whole process: callers copy the text at once.
char s_last_error[8192];

constexpr sys_u32 kFailed = 0xFFFFFFFFu;
constexpr sys_u64 kPiece = 2048;
constexpr sys_u64 kWaitStepMs = 10;
constexpr sys_u32 kStillActive = 259;
constexpr sys_u64 kCommandLineBytes = kOsCommandLine * 3;

// An argument or working directory as the child gets it. One too long for the platform's
// 1024-unit conversion buffer fails with the text of that conversion, on both platforms, and
// goes as empty text (an empty directory then fails the start).
const char* vetted_text(const char* text) {
    const bool fits = sys_utf16_units(text) < kOsArgUnits;
    return SYS_CHECK_TEXT_MSG(fits, "mbtowc_ret", NULL) ? text : "";
}

// The arguments as the child gets them. Null when out of memory.
const char** vetted_arguments(const char* const* args) {
    sys_u64 count = 0;
    while (args[count])
        ++count;
    const char** vetted = (const char**)sys_malloc((count + 1) * sizeof(char*));
    if (!vetted)
        return nullptr;
    for (sys_u64 i = 0; i < count; ++i)
        vetted[i] = vetted_text(args[i]);
    vetted[count] = nullptr;
    return vetted;
}

void open_pipe(OsPipePair* pipe, bool child_reads) {
    const OsPipeStatus status = os_pipe_create(pipe, child_reads);
    if (status == OsPipeStatus::create_failed) {
        SYS_CHECK(!"Couldn't create pipe");
        return;
    }
    const bool b = status == OsPipeStatus::ok;
    SYS_CHECK(b);
}

struct Streams {
    OsPipePair in, out, err;
    bool out_closed = false;
    bool err_closed = false;

    bool any_output() const { return out.parent != kOsNoPipe || err.parent != kOsNoPipe; }
    void close_children() {
        os_pipe_close(&in.child);
        os_pipe_close(&out.child);
        os_pipe_close(&err.child);
    }
    void close_all() {
        close_children();
        os_pipe_close(&in.parent);
        os_pipe_close(&out.parent);
        os_pipe_close(&err.parent);
    }
};

// Feeds the child's input in pieces of at most 2048 bytes until the callback returns 0, then
// closes our end so the child sees the input end. Once the child has stopped reading (closed
// its input or ended) the rest is dropped unreported, as a pipe nobody reads would hold it,
// but the callback is still asked until it says the input is over.
void feed_input(Streams* streams, const sys_exec_input* in) {
    char buffer[kPiece];
    bool reader_gone = false;
    for (;;) {
        const sys_u64 n = in->_stdin_callback(in->_user_data, buffer, sizeof(buffer));
        if (n == 0)
            break;
        if (reader_gone)
            continue;
        const OsPipeWrite written =
            os_pipe_write(streams->in.parent, buffer, n > sizeof(buffer) ? sizeof(buffer) : n);
        reader_gone = written == OsPipeWrite::reader_gone;
        const bool success = written != OsPipeWrite::failed;
        SYS_CHECK(success);
    }
    os_pipe_close(&streams->in.parent);
}

// Reads what the output pipes hold, standard output before standard error in each round, in
// pieces of at most 2048 bytes, until a round finds nothing. True when every existing output
// pipe has been seen closed.
bool drain(Streams* streams, const sys_exec_input* in) {
    char piece[kPiece];
    struct Output {
        OsPipe pipe;
        bool* closed;
        sys_exec_output_callback callback;
    };
    const Output outputs[2] = {
        {streams->out.parent, &streams->out_closed, in->_stdout_callback},
        {streams->err.parent, &streams->err_closed, in->_stderr_callback},
    };
    for (bool any = true; any;) {
        any = false;
        for (int s = 0; s < 2; ++s) {
            const Output& o = outputs[s];
            if (o.pipe == kOsNoPipe || *o.closed)
                continue;
            sys_u64 got = 0;
            switch (os_pipe_read(o.pipe, piece, sizeof(piece), &got)) {
            case OsPipeRead::data:
                any = true;
                o.callback(in->_user_data, piece, got, s == 0);
                break;
            case OsPipeRead::closed:
                *o.closed = true;
                break;
            case OsPipeRead::failed:
                SYS_CHECK_TEXT_MSG(false, "res", NULL);
                break;
            case OsPipeRead::empty:
                break;
            }
        }
    }
    return (streams->out.parent == kOsNoPipe || streams->out_closed) &&
           (streams->err.parent == kOsNoPipe || streams->err_closed);
}

// Waits for the child; with output pipes, in steps that drain them, until the child ends or
// has closed every output.
void wait_for(OsChild* child, Streams* streams, const sys_exec_input* in) {
    if (!streams->any_output()) {
        os_child_wait(child, kOsNoLimit, nullptr, 0);
        return;
    }
    const OsPipe outputs[2] = {streams->out.parent, streams->err.parent};
    while (!os_child_wait(child, kWaitStepMs, outputs, 2))
        if (drain(streams, in))
            return;
}

} // namespace

sys_u32 sys_exec(const sys_exec_input* in) {
    if (!in || !in->_args) {
        SYS_CHECK(!"No command to run");
        return kFailed;
    }
    const char** args = vetted_arguments(in->_args);
    if (!args)
        return kFailed;
    const char* working_dir = in->_working_dir ? vetted_text(in->_working_dir) : nullptr;

    Streams streams;
    if (in->_stdin_callback)
        open_pipe(&streams.in, true);
    if (in->_stdout_callback)
        open_pipe(&streams.out, false);
    if (in->_stderr_callback)
        open_pipe(&streams.err, false);
    const OsPipe child_ends[3] = {streams.in.child, streams.out.child, streams.err.child};

    OsChild child;
    char command_line[kCommandLineBytes];
    const bool redirect = in->_stdin_callback || in->_stdout_callback || in->_stderr_callback;
    const bool started = os_child_start(args, working_dir, redirect, child_ends, &child,
                                        command_line, sizeof(command_line));
    sys_free(args);
    if (!started) {
        // Reported before anything else runs, so the last error still says why.
        if (in->_no_assert_on_failure != 1 &&
            sys_assert_handler(
                "in->_no_assert_on_failure == sys_bool(1)", __FILE__, (sys_u32)__LINE__, 3,
                "Failed to create process. \nCMD: %s \nCMDLINE: %s "
                "\nWORKING_DIR: %s \nGetLastError: %s",
                in->_args[0], command_line, in->_working_dir ? in->_working_dir : "<not specified>",
                sys_get_last_error()))
            sys_check_trap_();
        streams.close_all();
        return kFailed;
    }
    // The child holds its own copies now. Closing ours at once lets a write find out that a
    // child has ended without reading, rather than block on a pipe nobody will empty.
    streams.close_children();

    if (streams.in.parent != kOsNoPipe)
        feed_input(&streams, in);
    wait_for(&child, &streams, in);

    sys_u32 res = 0;
    const bool b = os_child_exit_code(&child, &res);
    SYS_CHECK(b);
    // A child that closed its output but runs on still reads as active on Windows.
    SYS_CHECK_TEXT_MSG(res != kStillActive, "res != ((DWORD )0x00000103L)", NULL);
    os_child_close(&child);
    if (streams.any_output())
        drain(&streams, in);
    streams.close_all();
    return b ? res : kFailed;
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
