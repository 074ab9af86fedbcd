/* qv_sys threads: synchronisation objects, atomic integers and thread-local slots.
 *
 * Every object is an opaque handle made by its *_create function and released by the matching
 * *_destroy. All operations may be called from any thread on shared handles; creating and
 * destroying one object must not overlap with its use. Failed preconditions and platform
 * failures go through the check convention (qv_sys/assertion.h). */
#ifndef QV_SYS_THREAD_H
#define QV_SYS_THREAD_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

typedef struct thread_mutex thread_mutex;
typedef struct thread_cond thread_cond;
typedef struct thread_rwlock thread_rwlock;
typedef struct thread_barrier thread_barrier;
typedef struct thread_atomic thread_atomic;
typedef struct thread_atomic64 thread_atomic64;
typedef struct thread_tls thread_tls;

/* ---- Mutex ------------------------------------------------------------------------------
 * Recursive: the thread that holds it may lock it again, and it is released when it has been
 * unlocked as many times as it was locked. Only the holder unlocks it. */

/* Makes an unlocked mutex. Returns null only when the heap is exhausted. */
QV_SYS_API thread_mutex* thread_mutex_create(void);
/* Releases a mutex that no thread holds or waits for. */
QV_SYS_API void thread_mutex_destroy(thread_mutex* mutex);
/* Blocks until the calling thread holds the mutex (one more level if it already does). */
QV_SYS_API void thread_mutex_lock(thread_mutex* mutex);
/* Takes the mutex only if that is possible without blocking. Returns true (1) if the calling
 * thread now holds it, which includes a thread that already held it. */
QV_SYS_API sys_bool thread_mutex_try_lock(thread_mutex* mutex);
/* Releases one level of holding. */
QV_SYS_API void thread_mutex_unlock(thread_mutex* mutex);

/* ---- Condition variable -----------------------------------------------------------------
 * Waits on a mutex of this family. A wait may end without a wake-up call, so callers test the
 * condition they wait for again after every wait. */

/* Makes a condition variable. Returns null only when the heap is exhausted. */
QV_SYS_API thread_cond* thread_cond_create(void);
/* Releases a condition variable that no thread waits on. */
QV_SYS_API void thread_cond_destroy(thread_cond* cond);
/* Wakes one waiting thread, if any. */
QV_SYS_API void thread_cond_wake(thread_cond* cond);
/* Wakes every waiting thread. */
QV_SYS_API void thread_cond_wake_all(thread_cond* cond);
/* Releases `mutex`, sleeps until woken, and takes `mutex` again before returning. The caller
 * holds the mutex exactly once (a second level would stay held while it sleeps). A failed
 * platform wait fails the check "b". */
QV_SYS_API void thread_cond_wait(thread_cond* cond, thread_mutex* mutex);
/* As thread_cond_wait, but gives up after `milliseconds` (0: returns at once, still holding
 * the mutex). A time-out is not reported; any other platform failure fails the check "b". */
QV_SYS_API void thread_cond_wait_time(thread_cond* cond, thread_mutex* mutex, sys_u32 milliseconds);

/* ---- Read-write lock --------------------------------------------------------------------
 * Many readers or one writer. Not recursive in either mode, no upgrade from shared to
 * exclusive; release it in the mode it was taken in. */

/* Makes an unlocked read-write lock. Returns null only when the heap is exhausted. */
QV_SYS_API thread_rwlock* thread_rwlock_create(void);
/* Releases a lock that no thread holds or waits for. */
QV_SYS_API void thread_rwlock_destroy(thread_rwlock* lock);
/* Blocks until held shared. */
QV_SYS_API void thread_rwlock_read_lock(thread_rwlock* lock);
/* Takes it shared only if possible without blocking; true (1) if now held. */
QV_SYS_API sys_bool thread_rwlock_try_read_lock(thread_rwlock* lock);
QV_SYS_API void thread_rwlock_read_unlock(thread_rwlock* lock);
/* Blocks until held exclusive. */
QV_SYS_API void thread_rwlock_write_lock(thread_rwlock* lock);
/* Takes it exclusive only if possible without blocking; true (1) if now held. */
QV_SYS_API sys_bool thread_rwlock_try_write_lock(thread_rwlock* lock);
QV_SYS_API void thread_rwlock_write_unlock(thread_rwlock* lock);

/* ---- Barrier ----------------------------------------------------------------------------
 * Holds threads until `count` of them have arrived, then releases them all; reusable at
 * once: a thread that comes back for the next phase while others of the last phase are still
 * waking counts towards the next phase. A barrier for 0 or 1 threads never blocks.
 *
 * A platform condition variable may wake a waiter that nobody woke. The barrier therefore
 * numbers its phases: a waiter sleeps until the phase it arrived in has been completed, not
 * merely until its first wake-up, so such a wake-up never releases a thread early. */

/* Makes a barrier for `count` threads per phase, with its own mutex and condition variable.
 * Returns null only when the heap is exhausted. */
QV_SYS_API thread_barrier* thread_barrier_create(sys_u32 count);
/* Arrives at the barrier and blocks until the current phase is full. The thread that fills
 * the phase returns at once and releases the others. */
QV_SYS_API void thread_barrier_wait(thread_barrier* barrier);
/* Destroys the barrier's mutex, then its condition variable, then the barrier. No thread may
 * wait on it. */
QV_SYS_API void thread_barrier_destroy(thread_barrier* barrier);

/* ---- Atomic integers --------------------------------------------------------------------
 * A 32-bit and a 64-bit family with the same operations. Values wrap around (modulo 2^32 or
 * 2^64). Every operation other than get is one locked read-modify-write and a full fence;
 * get is one atomic load. None takes a lock. */

/* A new integer holding 0. Returns null only when the heap is exhausted. */
QV_SYS_API thread_atomic* thread_atomic_create(void);
QV_SYS_API void thread_atomic_destroy(thread_atomic* atomic);
/* The current value. */
QV_SYS_API sys_u32 thread_atomic_get(thread_atomic* atomic);
/* Stores `value`; returns the value held before. */
QV_SYS_API sys_u32 thread_atomic_set(thread_atomic* atomic, sys_u32 value);
/* Stores `value` only if the integer equals `comparand`. Note the order: the new value comes
 * before the comparand. Returns the value held before, which equals `comparand` exactly when
 * the store happened. */
QV_SYS_API sys_u32 thread_atomic_compare_and_swap(thread_atomic* atomic, sys_u32 value,
                                                  sys_u32 comparand);
/* Adds 1; returns the new value (0 after 0xFFFFFFFF). */
QV_SYS_API sys_u32 thread_atomic_increment(thread_atomic* atomic);
/* Subtracts 1; returns the new value (0xFFFFFFFF after 0). */
QV_SYS_API sys_u32 thread_atomic_decrement(thread_atomic* atomic);
/* Adds `amount`; returns the new value. */
QV_SYS_API sys_u32 thread_atomic_add(thread_atomic* atomic, sys_u32 amount);
/* Subtracts `amount` (adds its two's complement negation); returns the new value. */
QV_SYS_API sys_u32 thread_atomic_sub(thread_atomic* atomic, sys_u32 amount);

/* The same on 64 bits. */
QV_SYS_API thread_atomic64* thread_atomic64_create(void);
QV_SYS_API void thread_atomic64_destroy(thread_atomic64* atomic);
QV_SYS_API sys_u64 thread_atomic64_get(thread_atomic64* atomic);
QV_SYS_API sys_u64 thread_atomic64_set(thread_atomic64* atomic, sys_u64 value);
QV_SYS_API sys_u64 thread_atomic64_compare_and_swap(thread_atomic64* atomic, sys_u64 value,
                                                    sys_u64 comparand);
QV_SYS_API sys_u64 thread_atomic64_increment(thread_atomic64* atomic);
QV_SYS_API sys_u64 thread_atomic64_decrement(thread_atomic64* atomic);
QV_SYS_API sys_u64 thread_atomic64_add(thread_atomic64* atomic, sys_u64 amount);
QV_SYS_API sys_u64 thread_atomic64_sub(thread_atomic64* atomic, sys_u64 amount);

/* ---- Thread-local slots -----------------------------------------------------------------
 * One pointer per thread; a thread that never set a slot reads null. The values are the
 * threads' own: destroying a slot does not free them. */

/* Makes a slot. When the platform has no free slot, fails the check
 * "res != ((DWORD)0xFFFFFFFF)" and returns null (under a debugger, once resumed). */
QV_SYS_API thread_tls* thread_tls_create(void);
/* Releases the slot; a platform failure fails the check "res". The handle is released in
 * either case. */
QV_SYS_API void thread_tls_destroy(thread_tls* tls);
/* The calling thread's pointer in the slot, null if it never set one. On Windows a read that
 * the platform reports as failed fails the check "ret != 0 || GetLastError() == 0L"; the
 * value read is returned in every case. On Linux a slot read cannot fail. */
QV_SYS_API void* thread_tls_get(thread_tls* tls);
/* Sets the calling thread's pointer in the slot; a platform failure fails the check "res". */
QV_SYS_API void thread_tls_set(thread_tls* tls, void* value);

/* ---- Threads ----------------------------------------------------------------------------
 * Threads the library starts, the calling thread's own sleep, yield and exit, and the number
 * of logical processors.
 *
 * A thread handle is the platform's own thread handle (a Windows HANDLE; on Linux a small
 * heap record around the pthread), passed around as a plain `void*` so that it fits any
 * pointer-sized slot of the host. Null is "no thread". Exactly one of thread_thread_join and
 * thread_thread_destroy releases each handle; it must not be used afterwards.
 *
 * Every thread started here runs its function inside the profiler scope "thread_entry"
 * (qv_sys/scope.h) and writes two log lines of log type "QV_SYS": "Thread <name> being
 * created" from the creating thread, "Thread <name> about to exit" from the thread itself
 * once its function has returned.
 *
 * Stacks: the assertion report is built in a frame of about 270 KB, so a thread that fails a
 * check needs far more than a small default stack. Threads started here get at least 1 MiB
 * of stack on both platforms (more when the platform default is larger: Linux's default
 * comes from RLIMIT_STACK, usually 8 MiB; Windows uses the program's reserve size from its
 * header when that is 1 MiB or more, and reserves 1 MiB otherwise). */

/* A thread function: receives the argument given to thread_thread_create; what it returns
 * becomes the thread's exit code. */
typedef sys_u32 (*thread_function)(void* argument);

/* Number of logical processors of the machine. */
QV_SYS_API sys_u32 thread_util_hardware_concurrency(void);

/* The calling thread sleeps `milliseconds` (0 only gives up the time slice). */
QV_SYS_API void threadlocal_sleep(sys_u32 milliseconds);

/* Offers the rest of the calling thread's time slice to another ready thread. */
QV_SYS_API void threadlocal_yield(void);

/* Ends the calling thread with `exit_code` at once. On a thread started by
 * thread_thread_create no "about to exit" line is written and its "thread_entry" scope stays
 * open. Linux: the thread is ended by unwinding its stack (as pthread_exit does); frames of
 * code built without exceptions run no destructors on the way. */
#if defined(__cplusplus)
[[noreturn]]
#elif __STDC_VERSION__ >= 201112L
_Noreturn
#endif
QV_SYS_API void
threadlocal_exit(sys_u32 exit_code);

/* Starts `function(argument)` on a new thread named `name` (at most 15 bytes: longer fails
 * the check "sys_strlen( name ) <= 15" after the "being created" line has been written).
 * `processor` pins the thread to logical processor `processor` modulo 64; -1 leaves the
 * affinity alone, and an index the machine lacks is ignored without a report. The name is
 * shown by debuggers and by the system's thread lists; the caller's string only has to live
 * until this returns. The thread runs at once, possibly before it is pinned and named.
 * Returns the handle, or null when the thread could not be started (check "h"). */
QV_SYS_API void* thread_thread_create(thread_function function, void* argument, const char* name,
                                      sys_i64 processor);

/* Waits for the thread to end, releases the handle and returns its exit code: what its
 * function returned, or what it gave threadlocal_exit. */
QV_SYS_API sys_u32 thread_thread_join(void* thread);

/* Releases the handle without waiting. A thread that has already ended is only released; a
 * running one is ended by force first (exit code 0).
 *
 * Ending a running thread by force is a last resort, as on every platform: the thread gets
 * no chance to release what it holds. If it was inside the heap, the C runtime, a lock of
 * this library (a log file's mutex, the clock's conversion lock) or a lock of the host, that
 * lock stays taken for good and the next thread that wants it hangs. Only end by force a
 * thread that is known to be in code of its own that holds nothing (a compute loop, a wait
 * on something only it uses).
 * Linux: the thread's function runs with asynchronous cancellation enabled, and the forced
 * end is a pthread_cancel followed by a join, so this call returns once the thread is gone.
 * The cost: an ended thread's stack is unwound without destructors in library code, and
 * the thread must not have switched cancellation off itself (it would then not end, and
 * this call would wait for it). */
QV_SYS_API void thread_thread_destroy(void* thread);

QV_SYS_END_C

#endif /* QV_SYS_THREAD_H */
