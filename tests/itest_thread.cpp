// The barrier's guard against wake-ups that no release caused.
#include "support/test_support.h"

#include "thread_internal.h"

namespace {

TEST(BarrierInternals, StrayWakeUpDoesNotReleaseAWaiter) {
    thread_barrier* barrier = thread_barrier_create(2);
    std::atomic<bool> released{false};
    std::thread waiter([&] {
        thread_barrier_wait(barrier);
        released = true;
    });
    // Wake the barrier's condition variable the way a spurious wake-up would, while the
    // waiter is asleep in it, without completing the phase.
    for (;;) {
        thread_mutex_lock(barrier->mutex);
        const bool asleep = barrier->arrived == 1;
        thread_mutex_unlock(barrier->mutex);
        if (asleep)
            break;
        std::this_thread::yield();
    }
    for (int i = 0; i < 5; ++i) {
        thread_mutex_lock(barrier->mutex);
        thread_cond_wake_all(barrier->cond);
        thread_mutex_unlock(barrier->mutex);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_FALSE(released.load());
    thread_barrier_wait(barrier);
    waiter.join();
    EXPECT_TRUE(released.load());
    thread_barrier_destroy(barrier);
}

} // namespace
