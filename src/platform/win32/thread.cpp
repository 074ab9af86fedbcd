// Windows: critical sections, condition variables, slim reader-writer locks, interlocked
// instructions and TLS slots.
#include "platform/os.h"

#include <windows.h>

static_assert(sizeof(CRITICAL_SECTION) <= kOsMutexBytes);
static_assert(sizeof(CONDITION_VARIABLE) <= kOsCondBytes);
static_assert(sizeof(SRWLOCK) <= kOsRwlockBytes);
static_assert(sizeof(LONG) == sizeof(sys_u32) && sizeof(LONG64) == sizeof(sys_u64));
static_assert(sizeof(DWORD) == sizeof(sys_u32));

namespace {

CRITICAL_SECTION* os_win32_cs(void* p) {
    return static_cast<CRITICAL_SECTION*>(p);
}

CONDITION_VARIABLE* os_win32_cv(void* p) {
    return static_cast<CONDITION_VARIABLE*>(p);
}

SRWLOCK* os_win32_srw(void* p) {
    return static_cast<SRWLOCK*>(p);
}

LONG volatile* os_win32_long(sys_u32* p) {
    return reinterpret_cast<LONG volatile*>(p);
}

LONG64 volatile* os_win32_long64(sys_u64* p) {
    return reinterpret_cast<LONG64 volatile*>(p);
}

} // namespace

// Critical sections are recursive by design.
void os_mutex_init(void* mutex) {
    InitializeCriticalSection(os_win32_cs(mutex));
}

void os_mutex_destroy(void* mutex) {
    DeleteCriticalSection(os_win32_cs(mutex));
}

void os_mutex_lock(void* mutex) {
    EnterCriticalSection(os_win32_cs(mutex));
}

bool os_mutex_try_lock(void* mutex) {
    return TryEnterCriticalSection(os_win32_cs(mutex)) != 0;
}

void os_mutex_unlock(void* mutex) {
    LeaveCriticalSection(os_win32_cs(mutex));
}

void os_cond_init(void* cond) {
    InitializeConditionVariable(os_win32_cv(cond));
}

// A condition variable owns no kernel object; there is nothing to release.
void os_cond_destroy(void* cond) {
    (void)cond;
}

void os_cond_wake(void* cond) {
    WakeConditionVariable(os_win32_cv(cond));
}

void os_cond_wake_all(void* cond) {
    WakeAllConditionVariable(os_win32_cv(cond));
}

bool os_cond_wait(void* cond, void* mutex) {
    return SleepConditionVariableCS(os_win32_cv(cond), os_win32_cs(mutex), INFINITE) != 0;
}

OsWaitResult os_cond_wait_ms(void* cond, void* mutex, sys_u32 milliseconds) {
    if (SleepConditionVariableCS(os_win32_cv(cond), os_win32_cs(mutex), milliseconds))
        return OsWaitResult::woken;
    return GetLastError() == ERROR_TIMEOUT ? OsWaitResult::timed_out : OsWaitResult::failed;
}

void os_rwlock_init(void* lock) {
    InitializeSRWLock(os_win32_srw(lock));
}

void os_rwlock_destroy(void* lock) {
    (void)lock;
}

void os_rwlock_read_lock(void* lock) {
    AcquireSRWLockShared(os_win32_srw(lock));
}

bool os_rwlock_try_read_lock(void* lock) {
    return TryAcquireSRWLockShared(os_win32_srw(lock)) != 0;
}

void os_rwlock_read_unlock(void* lock) {
    ReleaseSRWLockShared(os_win32_srw(lock));
}

void os_rwlock_write_lock(void* lock) {
    AcquireSRWLockExclusive(os_win32_srw(lock));
}

bool os_rwlock_try_write_lock(void* lock) {
    return TryAcquireSRWLockExclusive(os_win32_srw(lock)) != 0;
}

void os_rwlock_write_unlock(void* lock) {
    ReleaseSRWLockExclusive(os_win32_srw(lock));
}

// An aligned load is atomic on x86-64 and, as a load, already sequentially consistent there
// (only stores need the fence); the builtin keeps the compiler from caching or tearing it.
sys_u32 os_atomic32_load(const sys_u32* value) {
    return __atomic_load_n(value, __ATOMIC_SEQ_CST);
}

sys_u32 os_atomic32_exchange(sys_u32* value, sys_u32 desired) {
    return (sys_u32)InterlockedExchange(os_win32_long(value), (LONG)desired);
}

sys_u32 os_atomic32_compare_exchange(sys_u32* value, sys_u32 desired, sys_u32 expected) {
    return (sys_u32)InterlockedCompareExchange(os_win32_long(value), (LONG)desired, (LONG)expected);
}

// InterlockedExchangeAdd returns the old value; the sum is done unsigned so it wraps.
sys_u32 os_atomic32_add(sys_u32* value, sys_u32 amount) {
    return (sys_u32)InterlockedExchangeAdd(os_win32_long(value), (LONG)amount) + amount;
}

sys_u64 os_atomic64_load(const sys_u64* value) {
    return __atomic_load_n(value, __ATOMIC_SEQ_CST);
}

sys_u64 os_atomic64_exchange(sys_u64* value, sys_u64 desired) {
    return (sys_u64)InterlockedExchange64(os_win32_long64(value), (LONG64)desired);
}

sys_u64 os_atomic64_compare_exchange(sys_u64* value, sys_u64 desired, sys_u64 expected) {
    return (sys_u64)InterlockedCompareExchange64(os_win32_long64(value), (LONG64)desired,
                                                 (LONG64)expected);
}

sys_u64 os_atomic64_add(sys_u64* value, sys_u64 amount) {
    return (sys_u64)InterlockedExchangeAdd64(os_win32_long64(value), (LONG64)amount) + amount;
}

bool os_tls_alloc(sys_u32* slot) {
    const DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES)
        return false;
    *slot = index;
    return true;
}

bool os_tls_free(sys_u32 slot) {
    return TlsFree(slot) != 0;
}

// TlsGetValue clears the last error on success, so a null value with an error left is a
// failed read, not an unset slot.
void* os_tls_get(sys_u32 slot, bool* ok) {
    void* ret = TlsGetValue(slot);
    *ok = ret != nullptr || GetLastError() == ERROR_SUCCESS;
    return ret;
}

bool os_tls_set(sys_u32 slot, void* value) {
    return TlsSetValue(slot, value) != 0;
}
