// Linux: child processes with posix_spawn, pipes and a pidfd, the end of the process, the
// console and the last error's text.
#include "platform/os.h"
#include "platform/posix/posix_write.h"

#include "qv_sys/sysmemory.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

bool is_program(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

// `name` in the executable's folder, when a program of that name is there.
bool find_beside_executable(const char* name, char* out, size_t capacity) {
    const ssize_t n = readlink("/proc/self/exe", out, capacity);
    if (n <= 0 || (size_t)n >= capacity)
        return false;
    size_t dir = (size_t)n;
    while (dir > 0 && out[dir - 1] != '/')
        --dir;
    const size_t length = strlen(name);
    if (dir + length >= capacity)
        return false;
    memcpy(out + dir, name, length + 1);
    return is_program(out);
}

// `name` in the caller's current folder.
bool in_current_folder(const char* name, char* out, size_t capacity) {
    char cwd[2048];
    return getcwd(cwd, sizeof(cwd)) &&
           (size_t)snprintf(out, capacity, "%s/%s", cwd, name) < capacity;
}

// What posix_spawnp is given for the program `name`. A bare name is looked for where Windows
// looks first, the executable's folder and then the caller's, and only then on PATH, so a
// tool shipped beside the game is found on both platforms. A relative path names a file from
// the caller's folder whatever the child's working directory (posix_spawn would look for it
// after changing folders).
const char* locate_program(const char* name, bool working_dir, char* out, size_t capacity) {
    if (name[0] == '/' || name[0] == 0)
        return name;
    if (strchr(name, '/') == nullptr) {
        if (find_beside_executable(name, out, capacity) ||
            (in_current_folder(name, out, capacity) && is_program(out)))
            return out;
        return name;
    }
    return working_dir && in_current_folder(name, out, capacity) ? out : name;
}

// An expansion, as on Windows: up to what a command line holds, and a terminator.
constexpr size_t kExpandedBytes = kOsCommandLine;
// An argument as given (kOsArgUnits UTF-16 units take at most three bytes each) or expanded.
constexpr size_t kArgBytes = kOsArgUnits * 3 > kExpandedBytes ? kOsArgUnits * 3 : kExpandedBytes;

struct Child {
    pid_t pid;
    int pidfd; // -1 on kernels without pidfds
    int status;
    bool reaped;
};
static_assert(sizeof(Child) <= sizeof(OsChild) && alignof(Child) <= alignof(OsChild));

Child* child_of(OsChild* child) {
    return reinterpret_cast<Child*>(child->storage);
}

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
        char name[kExpandedBytes];
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

// One argument, expanded when the expansion fits a command line, otherwise as written.
void expand_argument(const char* arg, char* out) {
    if (!expand_into(arg, out, kExpandedBytes))
        memcpy(out, arg, strlen(arg) + 1);
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

sys_u32 exit_code_of(int status) {
    if (WIFEXITED(status))
        return (sys_u32)WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128u + (sys_u32)WTERMSIG(status);
    return 0xFFFFFFFFu;
}

bool reap(Child* c, int flags) {
    for (;;) {
        const pid_t r = waitpid(c->pid, &c->status, flags);
        if (r == c->pid) {
            c->reaped = true;
            return true;
        }
        if (r == 0 || errno != EINTR)
            return false;
    }
}

} // namespace

OsPipeStatus os_pipe_create(OsPipePair* pipe, bool child_reads) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return OsPipeStatus::create_failed;
    pipe->parent = child_reads ? fds[1] : fds[0];
    pipe->child = child_reads ? fds[0] : fds[1];
    if (!child_reads)
        fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    return OsPipeStatus::ok;
}

void os_pipe_close(OsPipe* pipe) {
    if (*pipe != kOsNoPipe) {
        close((int)*pipe);
        *pipe = kOsNoPipe;
    }
}

// SIGPIPE is held back on this thread meanwhile, and one raised by our own write is taken
// off again, so a child that stops reading cannot end the caller.
OsPipeWrite os_pipe_write(OsPipe pipe, const char* data, sys_u64 size) {
    sigset_t pipe_set, old_mask, pending;
    sigemptyset(&pipe_set);
    sigaddset(&pipe_set, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_set, &old_mask);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;

    const bool written = posix_write_all((int)pipe, data, size);
    const int error = errno;
    if (!written && !was_pending) {
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) == 1) {
            const timespec zero = {0, 0};
            sigtimedwait(&pipe_set, nullptr, &zero);
        }
    }
    pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
    if (written)
        return OsPipeWrite::ok;
    return error == EPIPE ? OsPipeWrite::reader_gone : OsPipeWrite::failed;
}

OsPipeRead os_pipe_read(OsPipe pipe, char* buffer, sys_u64 size, sys_u64* got) {
    for (;;) {
        const ssize_t n = read((int)pipe, buffer, size);
        if (n > 0) {
            *got = (sys_u64)n;
            return OsPipeRead::data;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && errno == EAGAIN ? OsPipeRead::empty : OsPipeRead::closed;
    }
}

bool os_child_start(const char* const* args, const char* working_dir, bool redirect,
                    const OsPipe streams[3], OsChild* child, char* command_line, sys_u64 size) {
    // The arguments, expanded, in one block: the pointer array, then kArgBytes each.
    size_t count = 0;
    while (args[count])
        ++count;
    char** argv = (char**)sys_malloc((count + 1) * sizeof(char*) + (count + 1) * kArgBytes);
    if (!argv) {
        command_line[0] = 0;
        return false;
    }
    char* text = (char*)(argv + count + 1);
    for (size_t i = 0; i < count; ++i) {
        argv[i] = text + i * kArgBytes;
        expand_argument(args[i], argv[i]);
    }
    argv[count] = nullptr;

    char program[4096];
    const char* file =
        count ? locate_program(argv[0], working_dir != nullptr, program, sizeof(program)) : "";

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int target = 0; target < 3; ++target) {
        if (streams[target] != kOsNoPipe)
            posix_spawn_file_actions_adddup2(&actions, (int)streams[target], target);
        else if (redirect)
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                             target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (working_dir)
        posix_spawn_file_actions_addchdir_np(&actions, working_dir);

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
    if (spawn_error != 0)
        quoted_command_line(argv, command_line, size);
    sys_free(argv);
    if (spawn_error != 0) {
        errno = spawn_error;
        return false;
    }
    Child* c = child_of(child);
    c->pid = pid;
    // Readable once the child has ended, so a wait can sleep on it beside the pipes.
    c->pidfd = (int)syscall(SYS_pidfd_open, pid, 0);
    c->status = 0;
    c->reaped = false;
    return true;
}

bool os_child_wait(OsChild* child, sys_u32 limit_ms, const OsPipe* outputs, int count) {
    Child* c = child_of(child);
    if (c->reaped)
        return true;
    if (limit_ms == kOsNoLimit)
        return reap(c, 0);
    pollfd fds[3];
    nfds_t n = 0;
    if (c->pidfd >= 0)
        fds[n++] = {c->pidfd, POLLIN, 0};
    for (int i = 0; i < count && n < 3; ++i)
        if (outputs[i] != kOsNoPipe)
            fds[n++] = {(int)outputs[i], POLLIN, 0};
    poll(fds, n, (int)limit_ms);
    // Without a pidfd, only asking tells whether the child has ended.
    if (c->pidfd < 0 || fds[0].revents != 0)
        return reap(c, WNOHANG);
    return false;
}

bool os_child_exit_code(OsChild* child, sys_u32* code) {
    Child* c = child_of(child);
    if (!c->reaped && !reap(c, 0))
        return false;
    *code = exit_code_of(c->status);
    return true;
}

void os_child_close(OsChild* child) {
    Child* c = child_of(child);
    if (c->pidfd >= 0)
        close(c->pidfd);
    c->pidfd = -1;
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
