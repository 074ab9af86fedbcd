// The profiler instance pointer, shared by the scope entry points and the profiler itself.
#pragma once

#include "qv_sys/scope.h"

struct Profiler;

// Null while no profiler instance exists. Written only by the profiler's start and shut-down
// (host start-up and shut-down); read by every scope call, on any thread.
extern Profiler* g_profiler;

// A relaxed atomic load: one plain move on x86-64, and visible as a load to the thread
// sanitizer, since start-up may publish the instance while other threads already run.
inline Profiler* profiler_instance() {
    return __atomic_load_n(&g_profiler, __ATOMIC_RELAXED);
}

// Called by the library's thread entry right after it opens the thread's "thread_entry" scope,
// with the name the thread was given. In streaming mode the viewer sees that name, and each
// scope the thread function opens at its top is sent as a tree of its own when it closes;
// otherwise nothing changes.
void scope_library_thread_started(const char* name);
