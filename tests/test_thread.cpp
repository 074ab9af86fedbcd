// Mutexes, condition variables, read-write locks, barriers, atomic integers and thread-local
// slots, exercised from several threads at once.
#include "support/test_support.h"

#include "qv_sys/thread.h"

#include <atomic>
#include <chrono>
#include <stdlib.h>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// Whether the mutex is free for the calling thread: takes it and gives it back at once.
sys_bool try_take_and_release(thread_mutex* m) {
    const sys_bool got = thread_mutex_try_lock(m);
    if (got == SYS_TRUE)
        thread_mutex_unlock(m);
    return got;
}

// Runs `fn` on another thread and returns its result: the probe for "from another thread".
template <typename Fn> auto on_other_thread(Fn fn) {
    decltype(fn()) result{};
    std::thread t([&] { result = fn(); });
    t.join();
    return result;
}

// ---- Atomics ------------------------------------------------------------------------------

template <typename T> struct Atomic;
template <> struct Atomic<sys_u32> {
    using H = thread_atomic;
    static H* create() { return thread_atomic_create(); }
    static void destroy(H* h) { thread_atomic_destroy(h); }
    static sys_u32 get(H* h) { return thread_atomic_get(h); }
    static sys_u32 set(H* h, sys_u32 v) { return thread_atomic_set(h, v); }
    static sys_u32 cas(H* h, sys_u32 v, sys_u32 c) {
        return thread_atomic_compare_and_swap(h, v, c);
    }
    static sys_u32 inc(H* h) { return thread_atomic_increment(h); }
    static sys_u32 dec(H* h) { return thread_atomic_decrement(h); }
    static sys_u32 add(H* h, sys_u32 v) { return thread_atomic_add(h, v); }
    static sys_u32 sub(H* h, sys_u32 v) { return thread_atomic_sub(h, v); }
};
template <> struct Atomic<sys_u64> {
    using H = thread_atomic64;
    static H* create() { return thread_atomic64_create(); }
    static void destroy(H* h) { thread_atomic64_destroy(h); }
    static sys_u64 get(H* h) { return thread_atomic64_get(h); }
    static sys_u64 set(H* h, sys_u64 v) { return thread_atomic64_set(h, v); }
    static sys_u64 cas(H* h, sys_u64 v, sys_u64 c) {
        return thread_atomic64_compare_and_swap(h, v, c);
    }
    static sys_u64 inc(H* h) { return thread_atomic64_increment(h); }
    static sys_u64 dec(H* h) { return thread_atomic64_decrement(h); }
    static sys_u64 add(H* h, sys_u64 v) { return thread_atomic64_add(h, v); }
    static sys_u64 sub(H* h, sys_u64 v) { return thread_atomic64_sub(h, v); }
};

template <typename T> class AtomicTest : public ::testing::Test {};
using AtomicWidths = ::testing::Types<sys_u32, sys_u64>;
TYPED_TEST_SUITE(AtomicTest, AtomicWidths);

TYPED_TEST(AtomicTest, ResultsAndWrapAround) {
    using A = Atomic<TypeParam>;
    const TypeParam all_ones = ~TypeParam(0);
    auto* h = A::create();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(A::get(h), 0u);
    EXPECT_EQ(A::dec(h), all_ones); // all bits set, not -1 saturated or 0
    EXPECT_EQ(A::inc(h), 0u);
    EXPECT_EQ(A::sub(h, 1), all_ones);
    EXPECT_EQ(A::add(h, 2), 1u);
    EXPECT_EQ(A::set(h, 3), 1u); // set hands back the old value
    EXPECT_EQ(A::get(h), 3u);
    // The new value comes before the comparand.
    EXPECT_EQ(A::cas(h, 5, 3), 3u);
    EXPECT_EQ(A::get(h), 5u);
    EXPECT_EQ(A::cas(h, 9, 4), 5u);
    EXPECT_EQ(A::get(h), 5u);
    EXPECT_EQ(A::add(h, all_ones), 4u);
    EXPECT_EQ(A::sub(h, all_ones), 5u);
    // Values above the signed range survive unchanged.
    const TypeParam high = TypeParam(1) << (sizeof(TypeParam) * 8 - 1);
    EXPECT_EQ(A::set(h, high), 5u);
    EXPECT_EQ(A::cas(h, 7, high), high);
    EXPECT_EQ(A::get(h), 7u);
    A::destroy(h);
}

TYPED_TEST(AtomicTest, HammeredFromSeveralThreadsCountsExactly) {
    using A = Atomic<TypeParam>;
    constexpr int kThreads = 4;
    constexpr int kRounds = 50000;
    auto* h = A::create();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([h, t] {
            for (int i = 0; i < kRounds; ++i) {
                switch (t % 4) {
                case 0:
                    A::inc(h);
                    break;
                case 1:
                    A::add(h, 3);
                    A::dec(h);
                    break;
                case 2:
                    A::sub(h, 2);
                    A::add(h, 3);
                    break;
                default: // a compare-and-swap loop must never lose an update either
                    for (TypeParam old = A::get(h);;) {
                        const TypeParam seen = A::cas(h, old + 1, old);
                        if (seen == old)
                            break;
                        old = seen;
                    }
                }
            }
        });
    }
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(A::get(h), TypeParam(kRounds) * 5);
    A::destroy(h);
}

// ---- Mutex --------------------------------------------------------------------------------

TEST(Mutex, RecursiveHoldBlocksOtherThreadsUntilFullyReleased) {
    thread_mutex* m = thread_mutex_create();
    ASSERT_NE(m, nullptr);
    auto other_takes_it = [m] { return try_take_and_release(m); };
    EXPECT_EQ(other_takes_it(), SYS_TRUE) << "a new mutex is unlocked";
    thread_mutex_lock(m);
    EXPECT_EQ(thread_mutex_try_lock(m), SYS_TRUE) << "the holder may take it again";
    thread_mutex_lock(m);
    EXPECT_EQ(on_other_thread(other_takes_it), SYS_FALSE);
    thread_mutex_unlock(m);
    thread_mutex_unlock(m);
    EXPECT_EQ(on_other_thread(other_takes_it), SYS_FALSE) << "one level is still held";
    thread_mutex_unlock(m);
    EXPECT_EQ(on_other_thread(other_takes_it), SYS_TRUE);
    thread_mutex_destroy(m);
}

TEST(Mutex, ExcludesOtherThreads) {
    thread_mutex* m = thread_mutex_create();
    long counter = 0; // plain on purpose: only the mutex keeps the increments whole
    auto work = [&] {
        for (int i = 0; i < 100000; ++i) {
            thread_mutex_lock(m);
            thread_mutex_lock(m);
            counter = counter + 1;
            thread_mutex_unlock(m);
            thread_mutex_unlock(m);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 200000);
    thread_mutex_destroy(m);
}

#if !defined(_WIN32)
// Linux only: on Windows leaving a critical section the thread does not hold corrupts it.
TEST(Mutex, UnlockByAnotherThreadChangesNothing) {
    thread_mutex* m = thread_mutex_create();
    auto other_takes_it = [m] { return try_take_and_release(m); };
    thread_mutex_lock(m);
    on_other_thread([m] {
        thread_mutex_unlock(m);
        return 0;
    });
    EXPECT_EQ(on_other_thread(other_takes_it), SYS_FALSE) << "still held by this thread";
    thread_mutex_unlock(m);
    EXPECT_EQ(on_other_thread(other_takes_it), SYS_TRUE) << "one unlock released the one hold";
    thread_mutex_destroy(m);
}
#endif

// ---- Condition variable -------------------------------------------------------------------

TEST(Cond, WakeHandsItemsAcrossThreads) {
    thread_mutex* m = thread_mutex_create();
    thread_cond* c = thread_cond_create();
    ASSERT_NE(c, nullptr);
    int slot = 0; // 0: empty
    long sum = 0;
    std::thread consumer([&] {
        thread_mutex_lock(m);
        for (int taken = 0; taken < 1000; ++taken) {
            while (slot == 0)
                thread_cond_wait(c, m);
            sum += slot;
            slot = 0;
            thread_cond_wake(c);
        }
        thread_mutex_unlock(m);
    });
    thread_mutex_lock(m);
    for (int i = 1; i <= 1000; ++i) {
        while (slot != 0)
            thread_cond_wait(c, m);
        slot = i;
        thread_cond_wake(c);
    }
    thread_mutex_unlock(m);
    consumer.join();
    EXPECT_EQ(sum, 1000L * 1001 / 2);
    thread_cond_destroy(c);
    thread_mutex_destroy(m);
}

TEST(Cond, WakeAllReleasesEveryWaiter) {
    thread_mutex* m = thread_mutex_create();
    thread_cond* c = thread_cond_create();
    bool go = false;
    int waiting = 0, released = 0;
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i) {
        waiters.emplace_back([&] {
            thread_mutex_lock(m);
            ++waiting;
            while (!go)
                thread_cond_wait(c, m);
            ++released;
            thread_mutex_unlock(m);
        });
    }
    // Wait until all three are asleep, then wake them with a single call.
    for (;;) {
        thread_mutex_lock(m);
        const bool all_in = waiting == 3;
        if (all_in) {
            go = true;
            thread_cond_wake_all(c);
        }
        thread_mutex_unlock(m);
        if (all_in)
            break;
        std::this_thread::yield();
    }
    for (std::thread& t : waiters)
        t.join();
    EXPECT_EQ(released, 3);
    thread_cond_destroy(c);
    thread_mutex_destroy(m);
}

TEST(Cond, TimedWaitReturnsQuietlyHoldingTheMutex) {
    thread_mutex* m = thread_mutex_create();
    thread_cond* c = thread_cond_create();
    auto other_takes_it = [m] { return try_take_and_release(m); };
    thread_mutex_lock(m);
    for (sys_u32 ms : {0u, 1u, 30u}) {
        thread_cond_wait_time(c, m, ms);
        EXPECT_EQ(on_other_thread(other_takes_it), SYS_FALSE) << ms << " ms";
    }
    // Nobody wakes it: the wait lasts its whole limit (a lower bound holds on any machine).
    const auto start = std::chrono::steady_clock::now();
    thread_cond_wait_time(c, m, 700);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(690));
    thread_mutex_unlock(m);
    EXPECT_EQ(on_other_thread(other_takes_it), SYS_TRUE);
    thread_cond_destroy(c);
    thread_mutex_destroy(m);
}

#if !defined(_WIN32)
// A failure of the platform wait itself, as opposed to a time-out. On Linux waiting with a
// mutex the caller does not hold is refused (EPERM) before anything is released; Windows offers no
// failure of this kind that a test could provoke without corrupting the critical section.
TEST(CondDeathTest, FailedPlatformWaitFailsTheCheck) {
    QV_EXPECT_CHECK_FAILS({
        thread_mutex* m = thread_mutex_create();
        thread_cond* c = thread_cond_create();
        thread_cond_wait_time(c, m, 10);
    });
}
#endif

// ---- Read-write lock ----------------------------------------------------------------------

TEST(RwLock, ReadersShareAndWritersExclude) {
    thread_rwlock* l = thread_rwlock_create();
    ASSERT_NE(l, nullptr);
    auto try_read = [l] {
        const sys_bool got = thread_rwlock_try_read_lock(l);
        if (got == SYS_TRUE)
            thread_rwlock_read_unlock(l);
        return got;
    };
    auto try_write = [l] {
        const sys_bool got = thread_rwlock_try_write_lock(l);
        if (got == SYS_TRUE)
            thread_rwlock_write_unlock(l);
        return got;
    };
    thread_rwlock_read_lock(l);
    EXPECT_EQ(on_other_thread(try_read), SYS_TRUE);
    EXPECT_EQ(on_other_thread(try_write), SYS_FALSE);
    EXPECT_EQ(thread_rwlock_try_write_lock(l), SYS_FALSE) << "no upgrade from shared";
    thread_rwlock_read_unlock(l);

    thread_rwlock_write_lock(l);
    EXPECT_EQ(on_other_thread(try_read), SYS_FALSE);
    EXPECT_EQ(on_other_thread(try_write), SYS_FALSE);
    thread_rwlock_write_unlock(l);
    EXPECT_EQ(on_other_thread(try_write), SYS_TRUE);
    thread_rwlock_destroy(l);
}

TEST(RwLock, ReadersNeverSeeAHalfDoneWrite) {
    thread_rwlock* l = thread_rwlock_create();
    long a = 0, b = 0; // a writer keeps them equal; a reader must never see them differ
    std::atomic<long> torn{0};
    auto writer = [&] {
        for (int i = 0; i < 20000; ++i) {
            thread_rwlock_write_lock(l);
            a = a + 1;
            b = b + 1;
            thread_rwlock_write_unlock(l);
        }
    };
    auto reader = [&] {
        for (int i = 0; i < 20000; ++i) {
            thread_rwlock_read_lock(l);
            if (a != b)
                torn.fetch_add(1);
            thread_rwlock_read_unlock(l);
        }
    };
    std::thread w1(writer), w2(writer), r1(reader), r2(reader);
    w1.join();
    w2.join();
    r1.join();
    r2.join();
    EXPECT_EQ(a, 40000);
    EXPECT_EQ(b, 40000);
    EXPECT_EQ(torn.load(), 0);
    thread_rwlock_destroy(l);
}

// ---- Barrier ------------------------------------------------------------------------------

TEST(Barrier, ThreeThreadsOverManyPhasesNoEarlyOrLostRelease) {
    constexpr int kThreads = 3;
    constexpr int kPhases = 2000;
    thread_barrier* barrier = thread_barrier_create(kThreads);
    ASSERT_NE(barrier, nullptr);
    std::vector<std::atomic<int>> arrived(kPhases);
    std::atomic<int> early{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&] {
            // No pause between phases: each thread comes straight back to the barrier.
            for (int p = 0; p < kPhases; ++p) {
                arrived[p].fetch_add(1);
                thread_barrier_wait(barrier);
                if (arrived[p].load() != kThreads)
                    early.fetch_add(1);
            }
        });
    }
    for (std::thread& t : threads)
        t.join(); // a lost release hangs here and the test times out
    EXPECT_EQ(early.load(), 0);
    thread_barrier_destroy(barrier);
}

TEST(Barrier, ReleasesNothingBeforeTheLastArrival) {
    thread_barrier* barrier = thread_barrier_create(3);
    std::atomic<int> released{0};
    std::thread a([&] {
        thread_barrier_wait(barrier);
        released.fetch_add(1);
    });
    std::thread b([&] {
        thread_barrier_wait(barrier);
        released.fetch_add(1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(released.load(), 0);
    thread_barrier_wait(barrier);
    a.join();
    b.join();
    EXPECT_EQ(released.load(), 2);
    thread_barrier_destroy(barrier);
}

TEST(Barrier, ForZeroOrOneThreadNeverBlocks) {
    for (sys_u32 count : {0u, 1u}) {
        thread_barrier* barrier = thread_barrier_create(count);
        for (int i = 0; i < 3; ++i)
            thread_barrier_wait(barrier);
        thread_barrier_destroy(barrier);
    }
}

// ---- Thread-local slots -------------------------------------------------------------------

TEST(Tls, EachThreadSeesOnlyItsOwnValue) {
    thread_tls* tls = thread_tls_create();
    ASSERT_NE(tls, nullptr);
    EXPECT_EQ(thread_tls_get(tls), nullptr);
    int mine = 0, theirs = 0;
    thread_tls_set(tls, &mine);
    void* seen_there = on_other_thread([&] {
        void* before = thread_tls_get(tls);
        thread_tls_set(tls, &theirs);
        return thread_tls_get(tls) == &theirs ? before : &theirs;
    });
    EXPECT_EQ(seen_there, nullptr);
    EXPECT_EQ(thread_tls_get(tls), &mine);
    thread_tls_set(tls, nullptr);
    EXPECT_EQ(thread_tls_get(tls), nullptr);
    thread_tls_destroy(tls);
}

// Creates slots until the platform runs out (1024 on Linux, 1088 on Windows). Returns the
// number made before a create returned null.
int exhaust_tls_slots() {
    for (int made = 0; made < 5000; ++made) {
        if (thread_tls_create() == nullptr)
            return made;
    }
    return -1;
}

TEST(TlsDeathTest, NoFreeSlotFailsTheCheck) {
    QV_EXPECT_CHECK_FAILS(exhaust_tls_slots());
}

TEST(TlsDeathTest, ReleasingAnInvalidSlotFailsTheCheck) {
    QV_EXPECT_CHECK_FAILS({
        // A handle is a cell made with `new` holding the platform index; this one names
        // no slot the platform ever handed out.
        thread_tls_destroy(reinterpret_cast<thread_tls*>(new sys_u32(0x7FFFFFFFu)));
    });
}

#if defined(_WIN32)
// Only Windows reports a failed slot read; on Linux a read cannot fail.
TEST(TlsDeathTest, FailedReadFailsTheCheck) {
    QV_EXPECT_CHECK_FAILS({
        sys_u32 bogus = 0x7FFFFFFFu;
        thread_tls_get(reinterpret_cast<thread_tls*>(&bogus));
    });
}
#endif

// Run only as the child of TlsUnderDebugger below.
TEST(TlsDebuggee, DISABLED_CreateReturnsNullWhenSlotsRunOut) {
    const int made = exhaust_tls_slots();
    EXPECT_GT(made, 0);
    EXPECT_LT(made, 5000);
    qv_test::end_debuggee();
}

TEST(TlsUnderDebugger, CreateTrapsOnceThenReturnsNull) {
    qv_test::expect_under_debugger("TlsDebuggee.DISABLED_CreateReturnsNullWhenSlotsRunOut", 1);
}

} // namespace
