// Linux: there is no debugger output channel, so the nearest is the debugger's console.
// While a tracer is attached the line goes to stderr in one unbuffered write, so lines from
// several threads do not interleave; without one it goes nowhere, as on Windows.
#include "platform/os.h"

#include <unistd.h>

void os_debug_output(const char* text, sys_u64 length) {
    if (!os_debugger_present())
        return;
    while (length > 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n <= 0)
            return;
        text += n;
        length -= (sys_u64)n;
    }
}
