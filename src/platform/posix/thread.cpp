// Linux: recursive pthread mutexes, pthread condition variables timed on CLOCK_MONOTONIC,
// pthread read-write locks, __atomic builtins and pthread keys.
#include "platform/os.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

static_assert(sizeof(pthread_mutex_t) <= kOsMutexBytes);
static_assert(sizeof(pthread_cond_t) <= kOsCondBytes);
static_assert(sizeof(pthread_rwlock_t) <= kOsRwlockBytes);
static_assert(sizeof(pthread_key_t) == sizeof(sys_u32));

namespace {

pthread_mutex_t* os_posix_mutex(void* p) {
    return static_cast<pthread_mutex_t*>(p);
}

pthread_cond_t* os_posix_cond(void* p) {
    return static_cast<pthread_cond_t*>(p);
}

pthread_rwlock_t* os_posix_rwlock(void* p) {
    return static_cast<pthread_rwlock_t*>(p);
}

} // namespace

void os_mutex_init(void* mutex) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(os_posix_mutex(mutex), &attr);
    pthread_mutexattr_destroy(&attr);
}

void os_mutex_destroy(void* mutex) {
    pthread_mutex_destroy(os_posix_mutex(mutex));
}

void os_mutex_lock(void* mutex) {
    pthread_mutex_lock(os_posix_mutex(mutex));
}

bool os_mutex_try_lock(void* mutex) {
    return pthread_mutex_trylock(os_posix_mutex(mutex)) == 0;
}

void os_mutex_unlock(void* mutex) {
    pthread_mutex_unlock(os_posix_mutex(mutex));
}

// Timed waits measure against CLOCK_MONOTONIC, so setting the wall clock neither shortens
// nor stretches them.
void os_cond_init(void* cond) {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(os_posix_cond(cond), &attr);
    pthread_condattr_destroy(&attr);
}

void os_cond_destroy(void* cond) {
    pthread_cond_destroy(os_posix_cond(cond));
}

void os_cond_wake(void* cond) {
    pthread_cond_signal(os_posix_cond(cond));
}

void os_cond_wake_all(void* cond) {
    pthread_cond_broadcast(os_posix_cond(cond));
}

// pthread reports failure as an error number, never -1.
bool os_cond_wait(void* cond, void* mutex) {
    return pthread_cond_wait(os_posix_cond(cond), os_posix_mutex(mutex)) == 0;
}

OsWaitResult os_cond_wait_ms(void* cond, void* mutex, sys_u32 milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    const int err = pthread_cond_timedwait(os_posix_cond(cond), os_posix_mutex(mutex), &deadline);
    if (err == 0)
        return OsWaitResult::woken;
    return err == ETIMEDOUT ? OsWaitResult::timed_out : OsWaitResult::failed;
}

void os_rwlock_init(void* lock) {
    pthread_rwlock_init(os_posix_rwlock(lock), nullptr);
}

void os_rwlock_destroy(void* lock) {
    pthread_rwlock_destroy(os_posix_rwlock(lock));
}

void os_rwlock_read_lock(void* lock) {
    pthread_rwlock_rdlock(os_posix_rwlock(lock));
}

bool os_rwlock_try_read_lock(void* lock) {
    return pthread_rwlock_tryrdlock(os_posix_rwlock(lock)) == 0;
}

void os_rwlock_read_unlock(void* lock) {
    pthread_rwlock_unlock(os_posix_rwlock(lock));
}

void os_rwlock_write_lock(void* lock) {
    pthread_rwlock_wrlock(os_posix_rwlock(lock));
}

bool os_rwlock_try_write_lock(void* lock) {
    return pthread_rwlock_trywrlock(os_posix_rwlock(lock)) == 0;
}

void os_rwlock_write_unlock(void* lock) {
    pthread_rwlock_unlock(os_posix_rwlock(lock));
}

sys_u32 os_atomic32_load(const sys_u32* value) {
    return __atomic_load_n(value, __ATOMIC_SEQ_CST);
}

sys_u32 os_atomic32_exchange(sys_u32* value, sys_u32 desired) {
    return __atomic_exchange_n(value, desired, __ATOMIC_SEQ_CST);
}

sys_u32 os_atomic32_compare_exchange(sys_u32* value, sys_u32 desired, sys_u32 expected) {
    __atomic_compare_exchange_n(value, &expected, desired, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}

sys_u32 os_atomic32_add(sys_u32* value, sys_u32 amount) {
    return __atomic_add_fetch(value, amount, __ATOMIC_SEQ_CST);
}

sys_u64 os_atomic64_load(const sys_u64* value) {
    return __atomic_load_n(value, __ATOMIC_SEQ_CST);
}

sys_u64 os_atomic64_exchange(sys_u64* value, sys_u64 desired) {
    return __atomic_exchange_n(value, desired, __ATOMIC_SEQ_CST);
}

sys_u64 os_atomic64_compare_exchange(sys_u64* value, sys_u64 desired, sys_u64 expected) {
    __atomic_compare_exchange_n(value, &expected, desired, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}

sys_u64 os_atomic64_add(sys_u64* value, sys_u64 amount) {
    return __atomic_add_fetch(value, amount, __ATOMIC_SEQ_CST);
}

// pthread keys are unsigned ints; a process has PTHREAD_KEYS_MAX (1024) of them.
bool os_tls_alloc(sys_u32* slot) {
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0)
        return false;
    *slot = (sys_u32)key;
    return true;
}

bool os_tls_free(sys_u32 slot) {
    return pthread_key_delete((pthread_key_t)slot) == 0;
}

// pthread_getspecific has no failure report: null is only ever "not set".
void* os_tls_get(sys_u32 slot, bool* ok) {
    *ok = true;
    return pthread_getspecific((pthread_key_t)slot);
}

bool os_tls_set(sys_u32 slot, void* value) {
    return pthread_setspecific((pthread_key_t)slot, value) == 0;
}
