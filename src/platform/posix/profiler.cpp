// The profiler's own system calls on Linux: the C runtime's assertion, the monotonic clock,
// and a pthread of its own.
#include "platform/os.h"

#include <cpuid.h>
#include <pthread.h>
#include <stdio.h>
#include <x86intrin.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

// Declared by <assert.h> only while assertions are compiled in; the profiler keeps its
// assertions in every build, so it calls the runtime's reporter itself.
extern "C" void __assert_fail(const char* assertion, const char* file, unsigned int line,
                              const char* function) noexcept __attribute__((noreturn));

void os_prf_assert_fail(const char* text, const char* file, unsigned line) {
    __assert_fail(text, file, line, "profiler");
}

// The counter is the processor's time-stamp counter when it runs at a constant rate in every
// power state (the "invariant" bit), as it does on every x86-64 machine of the last decade:
// one instruction, where the monotonic clock costs two to three times as much even through the
// vDSO, and every scope reads it twice. Its rate is measured once against the monotonic clock.
// Without an invariant counter that the kernel itself uses as its clock source, the monotonic
// clock is used, counting nanoseconds.
namespace {

sys_u64 monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (sys_u64)now.tv_sec * 1000000000u + (sys_u64)now.tv_nsec;
}

// The kernel keeps the time-stamp counter as its clock source only after checking that the
// counters of all processors agree; on a machine (or a virtual machine) where they may drift
// apart, a thread moving between processors could see time run backwards inside a scope.
bool kernel_trusts_tsc() {
    FILE* file = fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
    if (file == nullptr)
        return false;
    char source[32] = {0};
    bool tsc = fgets(source, sizeof(source), file) != nullptr && strncmp(source, "tsc\n", 4) == 0;
    fclose(file);
    return tsc;
}

bool has_invariant_tsc() {
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid(0x80000000u, &eax, &ebx, &ecx, &edx) == 0 || eax < 0x80000007u)
        return false;
    __get_cpuid(0x80000007u, &eax, &ebx, &ecx, &edx);
    return (edx & (1u << 8)) != 0;
}

// Two milliseconds against a nanosecond clock whose reads cost tens of nanoseconds: the rate
// is known to about a hundred parts per million, far below a microsecond per sample.
sys_u64 measure_tsc_frequency() {
    sys_u64 t0 = monotonic_ns();
    sys_u64 c0 = __rdtsc();
    timespec wait = {0, 2000000};
    while (nanosleep(&wait, &wait) != 0) {
    }
    sys_u64 t1 = monotonic_ns();
    sys_u64 c1 = __rdtsc();
    if (t1 <= t0 || c1 <= c0)
        return 0;
    return (sys_u64)((double)(c1 - c0) * 1e9 / (double)(t1 - t0));
}

// Decided once, before any counter read: a frequency that could not be measured falls back to
// the monotonic clock for counter and frequency alike.
struct CounterSource {
    bool use_tsc;
    sys_u64 frequency;
};

const CounterSource& counter_source() {
    static const CounterSource source = [] {
        CounterSource s = {false, 1000000000u};
        if (has_invariant_tsc() && kernel_trusts_tsc()) {
            sys_u64 frequency = measure_tsc_frequency();
            if (frequency != 0)
                s = {true, frequency};
        }
        return s;
    }();
    return source;
}

} // namespace

// Copied out of the settled source so that each read is one test, not a first-use guard.
// Atomic (a plain move on x86-64) because a thread that started before the profiler may read
// it while the start writes it; the value written is always the same.
static bool s_use_tsc = false;

sys_u64 os_prf_counter() {
    // The frequency is always asked for first (when an instance starts), so the source is
    // settled by the time any sample reads the counter.
    return __atomic_load_n(&s_use_tsc, __ATOMIC_RELAXED) ? __rdtsc() : monotonic_ns();
}

bool os_prf_counter_is_tsc() {
    return __atomic_load_n(&s_use_tsc, __ATOMIC_RELAXED);
}

sys_u64 os_prf_counter_frequency() {
    const CounterSource& source = counter_source();
    __atomic_store_n(&s_use_tsc, source.use_tsc, __ATOMIC_RELAXED);
    return source.frequency;
}

namespace {
struct PrfThreadStart {
    pthread_t thread;
    sys_u32 (*entry)(void*);
    void* param;
};

void* prf_thread_main(void* block) {
    PrfThreadStart* start = (PrfThreadStart*)block;
    return (void*)(sys_u64)start->entry(start->param);
}
} // namespace

void* os_prf_thread_start(sys_u32 (*entry)(void* param), void* param) {
    // The record outlives the start: the thread reads it, the joiner frees it.
    PrfThreadStart* start = (PrfThreadStart*)malloc(sizeof(PrfThreadStart));
    if (start == nullptr)
        return nullptr;
    start->entry = entry;
    start->param = param;
    if (pthread_create(&start->thread, nullptr, prf_thread_main, start) != 0) {
        free(start);
        return nullptr;
    }
    return start;
}

void os_prf_thread_join(void* handle) {
    PrfThreadStart* start = (PrfThreadStart*)handle;
    pthread_join(start->thread, nullptr);
    free(start);
}

sys_u64 os_prf_thread_cpu_us(void* handle) {
    PrfThreadStart* start = (PrfThreadStart*)handle;
    clockid_t clock;
    timespec used;
    if (pthread_getcpuclockid(start->thread, &clock) != 0 || clock_gettime(clock, &used) != 0)
        return 0;
    return (sys_u64)used.tv_sec * 1000000u + (sys_u64)used.tv_nsec / 1000u;
}

void os_prf_name_thread(const char* name) {
    // The system keeps 15 bytes and a NUL; a longer name would be refused whole.
    char short_name[16];
    size_t length = strnlen(name, 15);
    memcpy(short_name, name, length);
    short_name[length] = '\0';
    pthread_setname_np(pthread_self(), short_name);
}
