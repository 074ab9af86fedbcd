// Linux threads: pthreads with a stack of at least 1 MiB, affinity through
// pthread_setaffinity_np, names through pthread_setname_np, and a forced end by asynchronous
// cancellation. The exit code travels as the pthread's return value.
#include "platform/os.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

namespace {

// The assertion report's frame alone is about 270 KB.
constexpr size_t kMinStackBytes = size_t(1) << 20;

// The handle. `entry` and `block` are written before the thread starts and read by it once;
// the rest belongs to the thread that joins or destroys.
struct PosixThread {
    pthread_t thread;
    OsThreadEntry entry;
    void* block;
    void* result;
    bool reaped;
};

PosixThread* posix_thread(void* handle) {
    return static_cast<PosixThread*>(handle);
}

void* posix_thread_main(void* p) {
    const PosixThread* self = static_cast<const PosixThread*>(p);
    return reinterpret_cast<void*>(uintptr_t(self->entry(self->block)));
}

} // namespace

void* os_thread_start(OsThreadEntry entry, void* block, sys_u32* id) {
    PosixThread* t = static_cast<PosixThread*>(malloc(sizeof(PosixThread)));
    if (t == nullptr)
        return nullptr;
    t->entry = entry;
    t->block = block;
    t->result = nullptr;
    t->reaped = false;

    // The default size comes from RLIMIT_STACK (8 MiB on most systems) and is kept when it
    // is larger; an unusually small limit is raised to the minimum.
    pthread_attr_t attr;
    size_t stack = 0;
    if (pthread_getattr_default_np(&attr) == 0) {
        pthread_attr_getstacksize(&attr, &stack);
        pthread_attr_destroy(&attr);
    }
    pthread_attr_init(&attr);
    if (stack < kMinStackBytes)
        stack = kMinStackBytes;
    pthread_attr_setstacksize(&attr, stack);
    const int err = pthread_create(&t->thread, &attr, posix_thread_main, t);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        free(t);
        return nullptr;
    }
    // Linux has no separate thread id in the pthread API; the id only matters to the
    // Windows debugger protocol.
    *id = 0;
    return t;
}

void os_thread_set_affinity(void* handle, sys_u64 mask) {
    cpu_set_t set;
    CPU_ZERO(&set);
    for (int cpu = 0; cpu < 64; ++cpu)
        if (mask & (sys_u64(1) << cpu))
            CPU_SET(cpu, &set);
    pthread_setaffinity_np(posix_thread(handle)->thread, sizeof(set), &set);
}

// Debuggers and `ps -L` read the name the kernel keeps (at most 15 bytes, as here). The new
// thread sets it itself, before its function runs (one prctl): naming it from here would
// write /proc/self/task/<tid>/comm, three system calls that made create + join a third
// slower.
void os_thread_announce_name(void*, sys_u32, const char*) {}

void os_thread_function_enter(const char* name) {
    pthread_setname_np(pthread_self(), name);
    // From here on a forced end acts at once, not only at the next cancellation point, so a
    // busy loop can be ended. A cancel that arrived earlier acts here.
    int old;
    pthread_setcanceltype(PTHREAD_CANCEL_ASYNCHRONOUS, &old);
}

void os_thread_function_leave() {
    // The function has returned: the thread finishes its own bookkeeping (the log line, the
    // scope) and ends normally; a forced end asked for now only waits for that.
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, &old);
}

OsThreadState os_thread_wait(void* handle, bool wait) {
    PosixThread* t = posix_thread(handle);
    if (t->reaped)
        return OsThreadState::ended;
    const int err =
        wait ? pthread_join(t->thread, &t->result) : pthread_tryjoin_np(t->thread, &t->result);
    if (err == 0) {
        t->reaped = true;
        return OsThreadState::ended;
    }
    return err == EBUSY ? OsThreadState::running : OsThreadState::failed;
}

bool os_thread_exit_code(void* handle, sys_u32* code) {
    const PosixThread* t = posix_thread(handle);
    if (!t->reaped)
        return false;
    *code = t->result == PTHREAD_CANCELED ? 0u : sys_u32(uintptr_t(t->result));
    return true;
}

bool os_thread_terminate(void* handle) {
    PosixThread* t = posix_thread(handle);
    if (pthread_cancel(t->thread) != 0)
        return false;
    if (pthread_join(t->thread, &t->result) != 0)
        return false;
    t->reaped = true;
    return true;
}

// A thread that was never reaped (only after a failed terminate) is detached so that its
// resources go back to the system when it ends.
bool os_thread_close(void* handle) {
    PosixThread* t = posix_thread(handle);
    const bool ok = t->reaped || pthread_detach(t->thread) == 0;
    free(t);
    return ok;
}

void os_thread_sleep(sys_u32 milliseconds) {
    timespec left;
    left.tv_sec = time_t(milliseconds / 1000);
    left.tv_nsec = long(milliseconds % 1000) * 1000000L;
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void os_thread_yield() {
    sched_yield();
}

void os_thread_exit(sys_u32 exit_code) {
    pthread_exit(reinterpret_cast<void*>(uintptr_t(exit_code)));
}

sys_u32 os_processor_count() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? sys_u32(n) : 1u;
}
