// Synchronisation objects, atomic integers and thread-local slots: the portable halves.
//
// Each object is one heap block holding the platform record (src/platform/*/thread.cpp owns
// what is inside); the barrier is built here from a mutex and a condition variable. Thread
// creation itself is a separate section still to come in this file.
#include "thread_internal.h"

#include "qv_sys/assertion.h"
#include "qv_sys/sysmemory.h"

#include "platform/os.h"

namespace {

void* create_block(sys_u64 size, void (*init)(void*)) {
    void* block = sys_malloc(size);
    if (block != nullptr)
        init(block);
    return block;
}

} // namespace

// ---- Mutex ----------------------------------------------------------------------------------

thread_mutex* thread_mutex_create(void) {
    return static_cast<thread_mutex*>(create_block(kOsMutexBytes, os_mutex_init));
}

void thread_mutex_destroy(thread_mutex* mutex) {
    os_mutex_destroy(mutex);
    sys_free(mutex);
}

void thread_mutex_lock(thread_mutex* mutex) {
    os_mutex_lock(mutex);
}

sys_bool thread_mutex_try_lock(thread_mutex* mutex) {
    return os_mutex_try_lock(mutex) ? SYS_TRUE : SYS_FALSE;
}

void thread_mutex_unlock(thread_mutex* mutex) {
    os_mutex_unlock(mutex);
}

// ---- Condition variable ---------------------------------------------------------------------

thread_cond* thread_cond_create(void) {
    return static_cast<thread_cond*>(create_block(kOsCondBytes, os_cond_init));
}

void thread_cond_destroy(thread_cond* cond) {
    os_cond_destroy(cond);
    sys_free(cond);
}

void thread_cond_wake(thread_cond* cond) {
    os_cond_wake(cond);
}

void thread_cond_wake_all(thread_cond* cond) {
    os_cond_wake_all(cond);
}

void thread_cond_wait(thread_cond* cond, thread_mutex* mutex) {
    const bool b = os_cond_wait(cond, mutex);
    SYS_CHECK(b);
}

void thread_cond_wait_time(thread_cond* cond, thread_mutex* mutex, sys_u32 milliseconds) {
    const OsWaitResult result = os_cond_wait_ms(cond, mutex, milliseconds);
    if (result == OsWaitResult::timed_out)
        return;
    const bool b = result == OsWaitResult::woken;
    SYS_CHECK(b);
}

// ---- Read-write lock ------------------------------------------------------------------------

thread_rwlock* thread_rwlock_create(void) {
    return static_cast<thread_rwlock*>(create_block(kOsRwlockBytes, os_rwlock_init));
}

void thread_rwlock_destroy(thread_rwlock* lock) {
    os_rwlock_destroy(lock);
    sys_free(lock);
}

void thread_rwlock_read_lock(thread_rwlock* lock) {
    os_rwlock_read_lock(lock);
}

sys_bool thread_rwlock_try_read_lock(thread_rwlock* lock) {
    return os_rwlock_try_read_lock(lock) ? SYS_TRUE : SYS_FALSE;
}

void thread_rwlock_read_unlock(thread_rwlock* lock) {
    os_rwlock_read_unlock(lock);
}

void thread_rwlock_write_lock(thread_rwlock* lock) {
    os_rwlock_write_lock(lock);
}

sys_bool thread_rwlock_try_write_lock(thread_rwlock* lock) {
    return os_rwlock_try_write_lock(lock) ? SYS_TRUE : SYS_FALSE;
}

void thread_rwlock_write_unlock(thread_rwlock* lock) {
    os_rwlock_write_unlock(lock);
}

// ---- Barrier --------------------------------------------------------------------------------

thread_barrier* thread_barrier_create(sys_u32 count) {
    thread_barrier* barrier = static_cast<thread_barrier*>(sys_malloc(sizeof(thread_barrier)));
    if (barrier == nullptr)
        return nullptr;
    barrier->mutex = thread_mutex_create();
    barrier->cond = thread_cond_create();
    if (barrier->mutex == nullptr || barrier->cond == nullptr) {
        if (barrier->mutex != nullptr)
            thread_mutex_destroy(barrier->mutex);
        if (barrier->cond != nullptr)
            thread_cond_destroy(barrier->cond);
        sys_free(barrier);
        return nullptr;
    }
    barrier->arrived = 0;
    barrier->count = count;
    barrier->phase = 0;
    return barrier;
}

// The last thread of a phase resets `arrived` before it releases the others, so a thread
// that comes straight back counts towards the next phase while the released ones are still
// waking. They must not look at `arrived` to decide whether to go: only the phase number
// tells a release from a spurious wake-up, and it cannot come round again before they leave
// (the next phase cannot complete without them).
void thread_barrier_wait(thread_barrier* barrier) {
    thread_mutex_lock(barrier->mutex);
    barrier->arrived += 1;
    if (barrier->arrived < barrier->count) {
        const sys_u32 my_phase = barrier->phase;
        do
            thread_cond_wait(barrier->cond, barrier->mutex);
        while (barrier->phase == my_phase);
    } else {
        barrier->arrived = 0;
        barrier->phase += 1;
        thread_cond_wake_all(barrier->cond);
    }
    thread_mutex_unlock(barrier->mutex);
}

void thread_barrier_destroy(thread_barrier* barrier) {
    thread_mutex_destroy(barrier->mutex);
    thread_cond_destroy(barrier->cond);
    sys_free(barrier);
}

// ---- Atomic integers ------------------------------------------------------------------------
// The handle is the integer itself.

namespace {

sys_u32* u32(thread_atomic* atomic) {
    return reinterpret_cast<sys_u32*>(atomic);
}

sys_u64* u64(thread_atomic64* atomic) {
    return reinterpret_cast<sys_u64*>(atomic);
}

} // namespace

thread_atomic* thread_atomic_create(void) {
    sys_u32* value = static_cast<sys_u32*>(sys_malloc(sizeof(sys_u32)));
    if (value != nullptr)
        *value = 0;
    return reinterpret_cast<thread_atomic*>(value);
}

void thread_atomic_destroy(thread_atomic* atomic) {
    sys_free(atomic);
}

sys_u32 thread_atomic_get(thread_atomic* atomic) {
    return os_atomic32_load(u32(atomic));
}

sys_u32 thread_atomic_set(thread_atomic* atomic, sys_u32 value) {
    return os_atomic32_exchange(u32(atomic), value);
}

sys_u32 thread_atomic_compare_and_swap(thread_atomic* atomic, sys_u32 value, sys_u32 comparand) {
    return os_atomic32_compare_exchange(u32(atomic), value, comparand);
}

sys_u32 thread_atomic_increment(thread_atomic* atomic) {
    return os_atomic32_add(u32(atomic), 1);
}

sys_u32 thread_atomic_decrement(thread_atomic* atomic) {
    return os_atomic32_add(u32(atomic), ~sys_u32(0));
}

sys_u32 thread_atomic_add(thread_atomic* atomic, sys_u32 amount) {
    return os_atomic32_add(u32(atomic), amount);
}

sys_u32 thread_atomic_sub(thread_atomic* atomic, sys_u32 amount) {
    return os_atomic32_add(u32(atomic), sys_u32(0) - amount);
}

thread_atomic64* thread_atomic64_create(void) {
    sys_u64* value = static_cast<sys_u64*>(sys_malloc(sizeof(sys_u64)));
    if (value != nullptr)
        *value = 0;
    return reinterpret_cast<thread_atomic64*>(value);
}

void thread_atomic64_destroy(thread_atomic64* atomic) {
    sys_free(atomic);
}

sys_u64 thread_atomic64_get(thread_atomic64* atomic) {
    return os_atomic64_load(u64(atomic));
}

sys_u64 thread_atomic64_set(thread_atomic64* atomic, sys_u64 value) {
    return os_atomic64_exchange(u64(atomic), value);
}

sys_u64 thread_atomic64_compare_and_swap(thread_atomic64* atomic, sys_u64 value,
                                         sys_u64 comparand) {
    return os_atomic64_compare_exchange(u64(atomic), value, comparand);
}

sys_u64 thread_atomic64_increment(thread_atomic64* atomic) {
    return os_atomic64_add(u64(atomic), 1);
}

sys_u64 thread_atomic64_decrement(thread_atomic64* atomic) {
    return os_atomic64_add(u64(atomic), ~sys_u64(0));
}

sys_u64 thread_atomic64_add(thread_atomic64* atomic, sys_u64 amount) {
    return os_atomic64_add(u64(atomic), amount);
}

sys_u64 thread_atomic64_sub(thread_atomic64* atomic, sys_u64 amount) {
    return os_atomic64_add(u64(atomic), sys_u64(0) - amount);
}

// ---- Thread-local slots ---------------------------------------------------------------------
// The handle is a cell made with `new`, holding the platform's 32-bit slot index. The check
// texts name the Windows calls; Linux reports the same conditions under the same texts.

thread_tls* thread_tls_create(void) {
    sys_u32 slot = 0;
    if (!SYS_CHECK_TEXT_MSG(os_tls_alloc(&slot), "res != ((DWORD)0xFFFFFFFF)", NULL))
        return nullptr;
    return reinterpret_cast<thread_tls*>(new sys_u32(slot));
}

void thread_tls_destroy(thread_tls* tls) {
    sys_u32* cell = reinterpret_cast<sys_u32*>(tls);
    const bool res = os_tls_free(*cell);
    SYS_CHECK(res);
    delete cell;
}

void* thread_tls_get(thread_tls* tls) {
    bool ok = true;
    void* ret = os_tls_get(*reinterpret_cast<sys_u32*>(tls), &ok);
    SYS_CHECK_TEXT_MSG(ok, "ret != 0 || GetLastError() == 0L", NULL);
    return ret;
}

void thread_tls_set(thread_tls* tls, void* value) {
    const bool res = os_tls_set(*reinterpret_cast<sys_u32*>(tls), value);
    SYS_CHECK(res);
}
