// The scope entry points. With no profiler instance they are one load and one branch: no
// allocation, no system call, nothing written. The instance's own work (opening and closing
// sample-tree nodes on the calling thread) belongs to the profiler and hooks in below.
#include "scope_internal.h"

Profiler* g_profiler = nullptr;

void scope_begin(const char* name) {
    Profiler* profiler = profiler_instance();
    if (profiler == nullptr)
        return;
    // No profiler can exist yet: nothing here creates one.
    (void)name;
}

void scope_end(void) {
    Profiler* profiler = profiler_instance();
    if (profiler == nullptr)
        return;
}
