// Linux: child processes with posix_spawn and pipes, the end of the process, the console and
// the last error's text.
#include "platform/os.h"
#include "platform/posix/posix_write.h"

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"
#include "qv_sys/sysmemory.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

constexpr sys_u32 kFailed = 0xFFFFFFFFu;
// An argument after expansion, as on Windows: 1023 characters and a terminator.
constexpr size_t kArgBytes = 1024;
constexpr size_t kCommandLine = 2048;
constexpr size_t kPiece = 2048;

// Expands %NAME% references the way Windows does: a defined name is replaced by its value;
// an undefined one is copied as written and its closing '%' may open the next reference.
// False when the expansion does not fit `size`.
bool expand_into(const char* arg, char* out, size_t size) {
    size_t o = 0;
    bool fits = true;
    auto put = [&](const char* text, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            if (o + 1 >= size) {
                fits = false;
                return;
            }
            out[o++] = text[i];
        }
    };
    const char* p = arg;
    while (*p) {
        if (*p != '%') {
            put(p++, 1);
            continue;
        }
        const char* close = strchr(p + 1, '%');
        if (!close) {
            put(p, strlen(p));
            break;
        }
        char name[kArgBytes];
        const size_t n = (size_t)(close - p - 1);
        const char* value = nullptr;
        if (n > 0 && n < sizeof(name)) {
            memcpy(name, p + 1, n);
            name[n] = 0;
            value = getenv(name);
        }
        if (value) {
            put(value, strlen(value));
            p = close + 1;
        } else {
            put(p, n + 1); // "%NAME", the closing '%' is looked at again
            p = close;
        }
    }
    out[o] = 0;
    return fits;
}

// One argument as the Windows build takes it: at most 1023 characters (longer ones fail the
// same conversion check there and go as empty text), expanded when the expansion fits,
// otherwise as written.
void expand_environment(const char* arg, char* out, size_t size) {
    const size_t length = strlen(arg);
    const int mbtowc_ret = length < size ? 1 : 0;
    if (!SYS_CHECK(mbtowc_ret)) {
        out[0] = 0;
        return;
    }
    if (!expand_into(arg, out, size))
        memcpy(out, arg, length + 1);
}

// The command line the Windows build would run: each argument in double quotes, separated
// by single spaces. Shown in the report of a process that could not start.
void quoted_command_line(char* const* argv, char* out, size_t size) {
    size_t o = 0;
    out[0] = 0;
    for (size_t i = 0; argv[i]; ++i) {
        const int n = snprintf(out + o, size - o, "%s\"%s\"", i ? " " : "", argv[i]);
        if (n < 0 || (size_t)n >= size - o)
            break;
        o += (size_t)n;
    }
}

struct Pipe {
    int parent = -1;
    int child = -1;
    bool closed = false;
};

void close_fd(int* fd) {
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
}

bool make_pipe(Pipe* p, bool child_reads) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        SYS_CHECK(!"Couldn't create pipe");
        return false;
    }
    p->parent = child_reads ? fds[1] : fds[0];
    p->child = child_reads ? fds[0] : fds[1];
    if (!child_reads)
        fcntl(p->parent, F_SETFL, fcntl(p->parent, F_GETFL) | O_NONBLOCK);
    return true;
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
            if (p->parent < 0 || p->closed)
                continue;
            const ssize_t n = read(p->parent, piece, sizeof(piece));
            if (n > 0) {
                any = true;
                (s == 0 ? in->_stdout_callback : in->_stderr_callback)(in->_user_data, piece,
                                                                       (sys_u64)n, s == 0);
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                p->closed = true;
            } else if (errno == EINTR) {
                any = true;
            }
        }
    }
    return (out->parent < 0 || out->closed) && (err->parent < 0 || err->closed);
}

// Feeds the child's input until the callback returns 0. SIGPIPE is held back on this thread
// meanwhile, and one raised by our own write is taken off again, so a child that stops
// reading cannot end the caller.
void feed_input(Pipe* p, const sys_exec_input* in) {
    sigset_t pipe_set, old_mask, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

    char buffer[kPiece];
    bool broken = false;
    for (;;) {
        const sys_u64 n = in->_stdin_callback(in->_user_data, buffer, sizeof(buffer));
        if (n == 0)
            break;
        const bool success =
            posix_write_all(p->parent, buffer, n > sizeof(buffer) ? sizeof(buffer) : n);
        if (!SYS_CHECK(success)) {
            broken = true;
            break;
        }
    }
    close_fd(&p->parent);

    if (broken && !was_pending) {
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero = {0, 0};
            sigtimedwait(&pipe_set, nullptr, &zero);
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
}

sys_u32 exit_code_of(int status) {
    if (WIFEXITED(status))
        return (sys_u32)WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128u + (sys_u32)WTERMSIG(status);
    return kFailed;
}

bool wait_blocking(pid_t pid, int* status) {
    for (;;) {
        const pid_t r = waitpid(pid, status, 0);
        if (r == pid)
            return true;
        if (r < 0 && errno != EINTR)
            return false;
    }
}

} // namespace

sys_u32 os_exec(const sys_exec_input* in) {
    // The arguments, expanded, in one block: the pointer array, then 1024 bytes each.
    size_t count = 0;
    while (in->_args[count])
        ++count;
    char** argv = (char**)sys_malloc((count + 1) * sizeof(char*) + (count + 1) * kArgBytes);
    if (!argv)
        return kFailed;
    char* text = (char*)(argv + count + 1);
    for (size_t i = 0; i < count; ++i) {
        argv[i] = text + i * kArgBytes;
        expand_environment(in->_args[i], argv[i], kArgBytes);
    }
    argv[count] = nullptr;

    // A relative program path names a file from the caller's folder, whatever the child's
    // working directory: posix_spawn would look for it after changing folders.
    char program[4096];
    const char* file = count ? argv[0] : "";
    if (in->_working_dir && count && argv[0][0] != '/' && strchr(argv[0], '/')) {
        char cwd[2048];
        if (getcwd(cwd, sizeof(cwd))) {
            snprintf(program, sizeof(program), "%s/%s", cwd, argv[0]);
            file = program;
        }
    }

    Pipe pin, pout, perr;
    const bool any_pipe = in->_stdin_callback || in->_stdout_callback || in->_stderr_callback;
    if (in->_stdin_callback)
        make_pipe(&pin, true);
    if (in->_stdout_callback)
        make_pipe(&pout, false);
    if (in->_stderr_callback)
        make_pipe(&perr, false);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const Pipe* streams[3] = {&pin, &pout, &perr};
    for (int target = 0; target < 3; ++target) {
        if (streams[target]->child >= 0)
            posix_spawn_file_actions_adddup2(&actions, streams[target]->child, target);
        else if (any_pipe) // the streams that have no callback get no handle
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                             target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (in->_working_dir)
        posix_spawn_file_actions_addchdir_np(&actions, in->_working_dir);

    // The child starts with default SIGPIPE handling and no blocked signal, whatever the
    // calling thread has set up.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = -1;
    const int spawn_error =
        count ? posix_spawnp(&pid, file, &actions, &attr, argv, environ) : ENOENT;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    // The parent's copies of the child's ends go at once: a child that ends without reading
    // then makes our writes fail instead of filling a pipe nobody reads.
    close_fd(&pin.child);
    close_fd(&pout.child);
    close_fd(&perr.child);

    if (spawn_error != 0) {
        close_fd(&pin.parent);
        close_fd(&pout.parent);
        close_fd(&perr.parent);
        if (in->_no_assert_on_failure != 1) {
            errno = spawn_error;
            char command_line[kCommandLine];
            quoted_command_line(argv, command_line, sizeof(command_line));
            if (sys_assert_handler(
                    "in->_no_assert_on_failure == sys_bool(1)", __FILE__, (sys_u32)__LINE__, 3,
                    "Failed to create process. \nCMD: %s \nCMDLINE: %s "
                    "\nWORKING_DIR: %s \nGetLastError: %s",
                    in->_args[0], command_line,
                    in->_working_dir ? in->_working_dir : "<not specified>", sys_get_last_error()))
                sys_check_trap_();
        }
        sys_free(argv);
        return kFailed;
    }
    sys_free(argv);

    if (pin.parent >= 0)
        feed_input(&pin, in);

    int status = 0;
    bool reaped = false;
    if (pout.parent < 0 && perr.parent < 0) {
        reaped = wait_blocking(pid, &status);
    } else {
        // Sleep until the child ends or writes: its pidfd turns readable when it ends. Kernels
        // without pidfds get the 10 ms steps instead.
        const int pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
        for (;;) {
            pollfd fds[3];
            nfds_t n = 0;
            if (pidfd >= 0)
                fds[n++] = {pidfd, POLLIN, 0};
            if (pout.parent >= 0 && !pout.closed)
                fds[n++] = {pout.parent, POLLIN, 0};
            if (perr.parent >= 0 && !perr.closed)
                fds[n++] = {perr.parent, POLLIN, 0};
            poll(fds, n, pidfd >= 0 ? -1 : 10);
            if (pidfd < 0 || fds[0].revents != 0) {
                const pid_t r = waitpid(pid, &status, WNOHANG);
                if (r == pid) {
                    reaped = true;
                    break;
                }
            }
            if (drain(&pout, &perr, in))
                break;
        }
        if (pidfd >= 0)
            close(pidfd);
        if (!reaped)
            reaped = wait_blocking(pid, &status);
        drain(&pout, &perr, in);
    }
    close_fd(&pout.parent);
    close_fd(&perr.parent);
    const bool b = reaped;
    SYS_CHECK(b);
    return b ? exit_code_of(status) : kFailed;
}

void os_last_error_text(char* buffer, sys_u32 size) {
    const int error = errno;
    char local[1024];
    const char* text = strerror_r(error, local, sizeof(local));
    snprintf(buffer, size, "%s", text ? text : "");
}

bool os_attach_console() {
    return false;
}

void os_detach_console() {}

void os_exit_process(sys_u32 code) {
    fflush(nullptr);
    _exit((int)code);
}
