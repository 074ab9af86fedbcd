// Internal records of the thread family that tests of internals look into.
#pragma once

#include "qv_sys/thread.h"

// The barrier's fields are only read and written while its mutex is held.
struct thread_barrier {
    thread_mutex* mutex;
    thread_cond* cond;
    sys_u32 arrived; // threads waiting in the current phase
    sys_u32 count;   // threads that make up a phase
    // Bumped by the thread that completes a phase. A waiter leaves once the phase it arrived
    // in is over, which tells a real release from a wake-up that nobody caused.
    sys_u32 phase;
};
