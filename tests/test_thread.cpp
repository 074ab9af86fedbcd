// Mutexes, condition variables, read-write locks, barriers, atomics and thread-local slots.
#include "support/test_support.h"

#include "qv_sys/thread.h"

namespace {

// Whether another thread could take the lock now with `take` (it gives it back with `give`).
template <typename Take, typename Give> sys_bool free_for_others(Take take, Give give) {
    sys_bool got = SYS_FALSE;
    std::thread([&] {
        got = take();
        if (got == SYS_TRUE)
            give();
    }).join();
    return got;
}
sys_bool free_for_others(thread_mutex* m) {
    return free_for_others([m] { return thread_mutex_try_lock(m); },
                           [m] { thread_mutex_unlock(m); });
}

// Both widths wrap; set and compare-and-swap (new value, then comparand) give the old value.
#define EXPECT_ATOMIC_RESULTS(prefix, T)                                                           \
    do {                                                                                           \
        const T ones = ~T(0), high = T(1) << (sizeof(T) * 8 - 1);                                  \
        auto* h = prefix##_create();                                                               \
        ASSERT_NE(h, nullptr);                                                                     \
        EXPECT_EQ(prefix##_decrement(h), ones);                                                    \
        EXPECT_EQ(prefix##_increment(h), 0u);                                                      \
        EXPECT_EQ(prefix##_sub(h, 1), ones);                                                       \
        EXPECT_EQ(prefix##_add(h, 2), 1u);                                                         \
        EXPECT_EQ(prefix##_set(h, 3), 1u);                                                         \
        EXPECT_EQ(prefix##_compare_and_swap(h, 5, 3), 3u);                                         \
        EXPECT_EQ(prefix##_compare_and_swap(h, 9, 4), 5u);                                         \
        EXPECT_EQ(prefix##_add(h, ones), 4u);                                                      \
        EXPECT_EQ(prefix##_sub(h, ones), 5u);                                                      \
        EXPECT_EQ(prefix##_set(h, high), 5u);                                                      \
        EXPECT_EQ(prefix##_compare_and_swap(h, 7, high), high);                                    \
        EXPECT_EQ(prefix##_get(h), 7u);                                                            \
        prefix##_destroy(h);                                                                       \
    } while (0)

TEST(Atomic, ResultsAndWrapAround) {
    EXPECT_ATOMIC_RESULTS(thread_atomic, sys_u32);
    EXPECT_ATOMIC_RESULTS(thread_atomic64, sys_u64);
}

// A recursive mutex is free only once fully released; a reader cannot upgrade.
TEST(Locks, MutexIsRecursiveAndReadersShareWhileWritersExclude) {
    thread_mutex* m = thread_mutex_create();
    ASSERT_NE(m, nullptr);
    thread_mutex_lock(m);
    EXPECT_EQ(thread_mutex_try_lock(m), SYS_TRUE);
    EXPECT_EQ(free_for_others(m), SYS_FALSE);
    thread_mutex_unlock(m);
    EXPECT_EQ(free_for_others(m), SYS_FALSE) << "one level is still held";
    thread_mutex_unlock(m);
    EXPECT_EQ(free_for_others(m), SYS_TRUE);
    thread_mutex_destroy(m);

    thread_rwlock* l = thread_rwlock_create();
    ASSERT_NE(l, nullptr);
    // Whether others could take a read lock and a write lock now: 2 for read, 1 for write.
    auto for_others = [l] {
        return 2 * free_for_others([l] { return thread_rwlock_try_read_lock(l); },
                                   [l] { thread_rwlock_read_unlock(l); }) +
               free_for_others([l] { return thread_rwlock_try_write_lock(l); },
                               [l] { thread_rwlock_write_unlock(l); });
    };
    thread_rwlock_read_lock(l);
    EXPECT_EQ(for_others(), 2);
    EXPECT_EQ(thread_rwlock_try_write_lock(l), SYS_FALSE) << "no upgrade from shared";
    thread_rwlock_read_unlock(l);
    thread_rwlock_write_lock(l);
    EXPECT_EQ(for_others(), 0);
    thread_rwlock_write_unlock(l);
    EXPECT_EQ(for_others(), 3);
    thread_rwlock_destroy(l);
}

// 1000 items to three consumers through a one-item slot, the last one by a single wake-all.
// A failed wait fails the check (only Linux can be made to fail one: without the mutex).
TEST(Cond, WakesHandItemsAcrossThreadsAndTimedWaitsHoldTheMutex) {
    thread_mutex* m = thread_mutex_create();
    thread_cond* c = thread_cond_create();
    ASSERT_NE(c, nullptr);
    int slot = 0; // 0: empty, -1: done
    long sum = 0;
    std::vector<std::thread> consumers;
    for (int i = 0; i < 3; ++i)
        consumers.emplace_back([&] {
            thread_mutex_lock(m);
            for (;;) {
                while (slot == 0)
                    thread_cond_wait(c, m);
                if (slot < 0)
                    break;
                sum += slot;
                slot = 0;
                thread_cond_wake_all(c); // the producer may sleep behind other consumers
            }
            thread_mutex_unlock(m);
        });
    thread_mutex_lock(m);
    for (int i = 1; i <= 1001; ++i) {
        while (slot != 0)
            thread_cond_wait(c, m);
        slot = i <= 1000 ? i : -1;
        i <= 1000 ? thread_cond_wake(c) : thread_cond_wake_all(c);
    }
    thread_mutex_unlock(m);
    for (std::thread& t : consumers)
        t.join();
    EXPECT_EQ(sum, 1000L * 1001 / 2);
#if !defined(_WIN32)
    QV_EXPECT_CHECK_FAILS(thread_cond_wait_time(c, m, 10));
#endif
    thread_mutex_lock(m);
    thread_cond_wait_time(c, m, 0);
    const auto start = std::chrono::steady_clock::now();
    thread_cond_wait_time(c, m, 700);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(690));
    EXPECT_EQ(free_for_others(m), SYS_FALSE);
    // Held twice, the wait sets one level aside: the mutex stays the waiter's while it sleeps.
    thread_mutex_lock(m);
    sys_bool taken = SYS_FALSE;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        taken = free_for_others(m);
    });
    thread_cond_wait_time(c, m, 300);
    other.join();
    EXPECT_EQ(taken, SYS_FALSE);
    thread_mutex_unlock(m);
    thread_mutex_unlock(m);
    thread_cond_destroy(c);
    thread_mutex_destroy(m);
}

// Threads come straight back to the barrier, with no pause between phases.
TEST(Barrier, ThreeThreadsOverManyPhasesNoEarlyOrLostRelease) {
    constexpr int kThreads = 3, kPhases = 2000;
    thread_barrier* barrier = thread_barrier_create(kThreads);
    ASSERT_NE(barrier, nullptr);
    std::vector<std::atomic<int>> arrived(kPhases);
    std::atomic<int> early{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&] {
            for (int p = 0; p < kPhases; ++p) {
                arrived[p].fetch_add(1);
                thread_barrier_wait(barrier);
                early += arrived[p].load() != kThreads;
            }
        });
    for (std::thread& t : threads)
        t.join(); // a lost release hangs here and the test times out
    EXPECT_EQ(early.load(), 0);
    thread_barrier_destroy(barrier);
}

// The bogus handle names no slot the platform handed out; only Windows reports a failed read.
TEST(Tls, EachThreadSeesOnlyItsOwnValueAndAnInvalidSlotFailsTheCheck) {
    thread_tls* tls = thread_tls_create();
    ASSERT_NE(tls, nullptr);
    EXPECT_EQ(thread_tls_get(tls), nullptr);
    int mine = 0, theirs = 0;
    thread_tls_set(tls, &mine);
    std::thread([&] {
        EXPECT_EQ(thread_tls_get(tls), nullptr);
        thread_tls_set(tls, &theirs);
        EXPECT_EQ(thread_tls_get(tls), &theirs);
    }).join();
    EXPECT_EQ(thread_tls_get(tls), &mine);
    thread_tls_destroy(tls);

    sys_u32 bogus = 0x7FFFFFFFu;
    QV_EXPECT_CHECK_FAILS(thread_tls_destroy(reinterpret_cast<thread_tls*>(new sys_u32(bogus))));
#if defined(_WIN32)
    QV_EXPECT_CHECK_FAILS(thread_tls_get(reinterpret_cast<thread_tls*>(&bogus)));
#endif
}

// The create that finds no free slot (1024 on Linux, 1088 on Windows) fails its check.
QV_CHECK_SCENARIO(Tls, NoFreeSlotFailsTheCheckAndGivesNull, 1, {
    int made = 0;
    while (made < 5000 && thread_tls_create() != nullptr)
        ++made;
    EXPECT_GT(made, 0);
    EXPECT_LT(made, 5000);
})

} // namespace
