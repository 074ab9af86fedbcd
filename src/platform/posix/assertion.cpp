// Linux: debugger detection and the end of the process after a failed check.
#include "platform/os.h"

#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

// A tracer (gdb, strace, a ptrace parent) shows as a non-zero "TracerPid:" in
// /proc/self/status. Read with plain system calls into a stack buffer: this runs inside the
// check handler, where nothing may allocate.
bool os_debugger_present() {
    int fd = open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[4096];
    size_t len = 0;
    for (;;) {
        ssize_t n = read(fd, buf + len, sizeof(buf) - 1 - len);
        if (n <= 0)
            break;
        len += (size_t)n;
        if (len == sizeof(buf) - 1)
            break;
    }
    close(fd);
    buf[len] = 0;

    static const char kKey[] = "\nTracerPid:";
    for (size_t i = 0; i + sizeof(kKey) - 1 <= len; ++i) {
        size_t k = 0;
        while (k < sizeof(kKey) - 1 && buf[i + k] == kKey[k])
            ++k;
        if (k != sizeof(kKey) - 1)
            continue;
        const char* p = buf + i + k;
        while (*p == ' ' || *p == '\t')
            ++p;
        return *p >= '1' && *p <= '9';
    }
    return false;
}

// Windows' ExitProcess flushes the C runtime's streams; do the same, then leave without
// running atexit handlers or static destructors, which may depend on the state that just
// failed a check.
void os_end_process_after_check() {
    fflush(nullptr);
    _exit(255);
}
