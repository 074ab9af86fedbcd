// The scope entry points. With no profiler instance they are one load and one branch: no
// allocation, no system call, nothing written. With one, the work is the profiler's
// (src/profiler/profiler.cpp): a sample on the calling thread's tree, and the name as a log line.
#include "profiler/profiler_internal.h"
#include "profiler/scope_internal.h"

Profiler* g_profiler = nullptr;

void scope_begin(const char* name) {
    Profiler* profiler = profiler_instance();
    if (profiler == nullptr)
        return;
    scope_begin_instance(profiler, name);
}

void scope_end(void) {
    if (profiler_instance() == nullptr)
        return;
    Sampler_End();
}
