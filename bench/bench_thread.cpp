// Uncontended locking and atomic increments against the C++ standard library's own.
#include <benchmark/benchmark.h>

#include "qv_sys/scope.h"
#include "qv_sys/thread.h"

#include <atomic>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

void mutex_qv(benchmark::State& state) {
    thread_mutex* m = thread_mutex_create();
    for (auto _ : state) {
        thread_mutex_lock(m);
        thread_mutex_unlock(m);
    }
    thread_mutex_destroy(m);
}

void mutex_std(benchmark::State& state) {
    std::mutex m;
    for (auto _ : state) {
        m.lock();
        m.unlock();
    }
}

// Our mutex must be recursive; this pair shows what the wrapper adds over the platform's own
// recursive mutex, as opposed to what recursion costs against std::mutex.
void mutex_pthread_recursive(benchmark::State& state) {
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_t m;
    pthread_mutex_init(&m, &attr);
    pthread_mutexattr_destroy(&attr);
    for (auto _ : state) {
        pthread_mutex_lock(&m);
        pthread_mutex_unlock(&m);
    }
    pthread_mutex_destroy(&m);
}

void increment_qv(benchmark::State& state) {
    thread_atomic* a = thread_atomic_create();
    for (auto _ : state)
        benchmark::DoNotOptimize(thread_atomic_increment(a));
    thread_atomic_destroy(a);
}

void increment_std(benchmark::State& state) {
    std::atomic<uint32_t> a{0};
    for (auto _ : state)
        benchmark::DoNotOptimize(a.fetch_add(1));
}

// Create + join of a thread with an empty function. No print callback is registered, so the
// two log lines cost only their early return, as in a host that logs nothing.
sys_u32 empty_function(void*) {
    return 0;
}

void create_join_qv(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(
            thread_thread_join(thread_thread_create(empty_function, nullptr, "bench", -1)));
}

void create_join_std(benchmark::State& state) {
    for (auto _ : state) {
        std::thread t([] {});
        t.join();
    }
}

// With no profiler instance a pair is two calls into the library, each a load and a branch.
void scope_pair_qv(benchmark::State& state) {
    for (auto _ : state) {
        scope_begin("bench");
        scope_end();
    }
}

// The floor: two calls to empty functions the compiler cannot see through.
__attribute__((noinline)) void empty_call(const char* name) {
    benchmark::DoNotOptimize(name);
}

void scope_pair_empty_calls(benchmark::State& state) {
    for (auto _ : state) {
        empty_call("bench");
        empty_call(nullptr);
    }
}

BENCHMARK(create_join_qv)->Name("thread_create_join/qv_sys");
BENCHMARK(create_join_std)->Name("thread_create_join/std_thread");
BENCHMARK(scope_pair_qv)->Name("scope_begin_end_no_profiler/qv_sys");
BENCHMARK(scope_pair_empty_calls)->Name("scope_begin_end_no_profiler/empty_calls");

BENCHMARK(mutex_qv)->Name("mutex_lock_unlock/qv_sys");
BENCHMARK(mutex_std)->Name("mutex_lock_unlock/std_mutex");
BENCHMARK(mutex_qv)->Name("recursive_mutex_lock_unlock/qv_sys");
BENCHMARK(mutex_pthread_recursive)->Name("recursive_mutex_lock_unlock/pthread");
BENCHMARK(increment_qv)->Name("atomic_increment/qv_sys");
BENCHMARK(increment_std)->Name("atomic_increment/std_atomic");

} // namespace
