// The operating-system layer: every function whose body differs between Windows and Linux.
//
// Portable code (src/*.cpp) calls only these. Each family's functions are implemented twice,
// in src/platform/win32/<family>.cpp and src/platform/posix/<family>.cpp, so the two bodies
// of one function sit side by side. The build compiles exactly one of the two folders.
#pragma once

#include "qv_sys/types.h"

#if !defined(_WIN32) && !defined(__linux__)
#error "qv_sys supports 64-bit Windows and 64-bit Linux"
#endif

// --- memory (memory.cpp) -------------------------------------------------------------------
// The process heap. Sizes are never 0 here: the portable layer handles 0 itself, except that
// os_heap_realloc must turn a live block into a valid zero-length block for size 0.
void* os_heap_alloc(sys_u64 size);
void* os_heap_realloc(void* ptr, sys_u64 size);
void os_heap_free(void* ptr);

// --- process (process.cpp) -----------------------------------------------------------------
// Whether a debugger is attached right now. Allocation-free: the check handler calls it.
bool os_debugger_present();
// Ends the process the way a failed check does: exit code -1 on Windows, 255 on Linux (the
// same value truncated to 8 bits), with the C runtime's buffered output flushed.
[[noreturn]] void os_end_process_after_check();
