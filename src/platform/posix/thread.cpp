// Linux: recursive mutexes and condition variables on futexes, pthread read-write locks,
// __atomic builtins and pthread keys.
#include "platform/os.h"

#include <errno.h>
#include <linux/futex.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

static_assert(sizeof(pthread_rwlock_t) <= kOsRwlockBytes);
static_assert(sizeof(pthread_key_t) == sizeof(sys_u32));

namespace {

// The mutex is recursive, but recursion is bookkeeping beside an ordinary lock: an owner and a
// count. The lock itself is a futex word (0 free, 1 held, 2 held with sleepers possible), so an
// uncontended lock or unlock is one atomic instruction inside the library, with no call into
// the C library (a pthread recursive mutex costs a call and glibc's type-checking path).
// `owner` is read by threads that do not hold the lock, to learn that they are not the owner,
// so it is accessed atomically; a thread only ever finds its own identity there if it stored
// it itself. `count` is touched only by the holder.
struct OsMutex {
    sys_u32 state;
    sys_u32 count;
    uintptr_t owner; // the holder's thread pointer, 0 when free
};

// A condition variable is a sequence number: a waiter notes it before giving up the mutex and
// sleeps only while it is unchanged, so a wake between the two is never lost.
struct OsCond {
    sys_u32 sequence;
};

OsMutex* os_posix_mutex(void* p) {
    return static_cast<OsMutex*>(p);
}

OsCond* os_posix_cond(void* p) {
    return static_cast<OsCond*>(p);
}

// The calling thread's identity without a call: the thread pointer, which points at the
// thread's own control block (what pthread_self returns) for the thread's lifetime.
inline uintptr_t os_self() {
    uintptr_t self;
    __asm__("mov %%fs:0, %0" : "=r"(self));
    return self;
}

inline uintptr_t owner_of(const OsMutex* m) {
    return __atomic_load_n(&m->owner, __ATOMIC_RELAXED);
}

inline void set_owner(OsMutex* m, uintptr_t owner) {
    __atomic_store_n(&m->owner, owner, __ATOMIC_RELAXED);
}

// Sleeps while *word == expected, until woken or past `deadline` (CLOCK_MONOTONIC, absolute;
// null waits without limit). 0 or the error number.
int futex_wait(sys_u32* word, sys_u32 expected, const timespec* deadline) {
    const long r = syscall(SYS_futex, word, FUTEX_WAIT_BITSET | FUTEX_PRIVATE_FLAG, expected,
                           deadline, nullptr, FUTEX_BITSET_MATCH_ANY);
    return r == 0 ? 0 : errno;
}

void futex_wake(sys_u32* word, int count) {
    syscall(SYS_futex, word, FUTEX_WAKE | FUTEX_PRIVATE_FLAG, count);
}

bool try_acquire(OsMutex* m) {
    sys_u32 expected = 0;
    return __atomic_compare_exchange_n(&m->state, &expected, 1, false, __ATOMIC_ACQUIRE,
                                       __ATOMIC_RELAXED);
}

// Someone holds the lock: spin briefly (a short critical section on the other core ends
// sooner than a sleep), then mark the word as having sleepers and sleep until it is free.
__attribute__((noinline)) void acquire_contended(OsMutex* m) {
    for (int spin = 0; spin < 100 && __atomic_load_n(&m->state, __ATOMIC_RELAXED) == 1; ++spin)
        __builtin_ia32_pause();
    while (__atomic_exchange_n(&m->state, 2, __ATOMIC_ACQUIRE) != 0)
        futex_wait(&m->state, 2, nullptr);
}

inline void acquire(OsMutex* m) {
    if (!try_acquire(m))
        acquire_contended(m);
}

inline void release(OsMutex* m) {
    if (__atomic_exchange_n(&m->state, 0, __ATOMIC_RELEASE) == 2)
        futex_wake(&m->state, 1);
}

int sleep_on(OsCond* c, sys_u32 sequence, const timespec* deadline) {
    int err;
    do
        err = futex_wait(&c->sequence, sequence, deadline);
    while (err == EINTR);
    // The sequence moved before the sleep began: that is a wake, not a failure.
    return err == EAGAIN ? 0 : err;
}

// Waits on `c` with `m` held by the caller. One level of the hold is set aside for the sleep,
// as Windows leaves a critical section once: held once, the lock is free meanwhile; held
// deeper, it stays the caller's while it sleeps. A caller that does not hold `m` gets EPERM
// and does not wait, as pthread treats a recursive mutex held by someone else.
int cond_wait(OsCond* c, OsMutex* m, const timespec* deadline) {
    const uintptr_t self = os_self();
    if (owner_of(m) != self)
        return EPERM;
    const sys_u32 sequence = __atomic_load_n(&c->sequence, __ATOMIC_RELAXED);
    const sys_u32 count = m->count;
    if (count > 1) {
        m->count = count - 1;
        const int err = sleep_on(c, sequence, deadline);
        m->count = count;
        return err;
    }
    set_owner(m, 0);
    release(m);
    const int err = sleep_on(c, sequence, deadline);
    acquire(m);
    set_owner(m, self);
    m->count = count;
    return err;
}

pthread_rwlock_t* os_posix_rwlock(void* p) {
    return static_cast<pthread_rwlock_t*>(p);
}

} // namespace

static_assert(sizeof(OsMutex) <= kOsMutexBytes);
static_assert(sizeof(OsCond) <= kOsCondBytes);

void os_mutex_init(void* mutex) {
    OsMutex* m = os_posix_mutex(mutex);
    m->state = 0;
    m->count = 0;
    m->owner = 0;
}

void os_mutex_destroy(void*) {}

void os_mutex_lock(void* mutex) {
    OsMutex* m = os_posix_mutex(mutex);
    const uintptr_t self = os_self();
    if (owner_of(m) == self) {
        ++m->count;
        return;
    }
    acquire(m);
    set_owner(m, self);
    m->count = 1;
}

bool os_mutex_try_lock(void* mutex) {
    OsMutex* m = os_posix_mutex(mutex);
    const uintptr_t self = os_self();
    if (owner_of(m) == self) {
        ++m->count;
        return true;
    }
    if (!try_acquire(m))
        return false;
    set_owner(m, self);
    m->count = 1;
    return true;
}

// An unlock by a thread that does not hold the mutex changes nothing, as a recursive pthread
// mutex refuses it.
void os_mutex_unlock(void* mutex) {
    OsMutex* m = os_posix_mutex(mutex);
    if (owner_of(m) != os_self())
        return;
    if (--m->count != 0)
        return;
    set_owner(m, 0);
    release(m);
}

void os_cond_init(void* cond) {
    os_posix_cond(cond)->sequence = 0;
}

void os_cond_destroy(void*) {}

void os_cond_wake(void* cond) {
    OsCond* c = os_posix_cond(cond);
    __atomic_fetch_add(&c->sequence, 1, __ATOMIC_RELAXED);
    futex_wake(&c->sequence, 1);
}

void os_cond_wake_all(void* cond) {
    OsCond* c = os_posix_cond(cond);
    __atomic_fetch_add(&c->sequence, 1, __ATOMIC_RELAXED);
    futex_wake(&c->sequence, INT32_MAX);
}

bool os_cond_wait(void* cond, void* mutex) {
    return cond_wait(os_posix_cond(cond), os_posix_mutex(mutex), nullptr) == 0;
}

// Timed waits measure against CLOCK_MONOTONIC, so setting the wall clock neither shortens
// nor stretches them.
OsWaitResult os_cond_wait_ms(void* cond, void* mutex, sys_u32 milliseconds) {
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += (long)(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    const int err = cond_wait(os_posix_cond(cond), os_posix_mutex(mutex), &deadline);
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
