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
    // With one arrival seen the waiter sleeps in the condition variable: wake it as a spurious
    // wake-up would, without completing the phase.
    for (int wakes = 0; wakes < 5; std::this_thread::yield()) {
        thread_mutex_lock(barrier->mutex);
        if (barrier->arrived == 1) {
            thread_cond_wake_all(barrier->cond);
            ++wakes;
        }
        thread_mutex_unlock(barrier->mutex);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50)); // time to leave, were it free
    EXPECT_FALSE(released.load());
    thread_barrier_wait(barrier);
    waiter.join();
    thread_barrier_destroy(barrier);
}

} // namespace
