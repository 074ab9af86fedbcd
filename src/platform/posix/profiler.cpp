// The profiler's own system calls on Linux: the C runtime's assertion, the monotonic clock,
// a pthread key and a pthread of its own.
#include "platform/os.h"

#include <cpuid.h>
#include <pthread.h>
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

sys_u64 os_prf_counter() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (sys_u64)now.tv_sec * 1000000000u + (sys_u64)now.tv_nsec;
}

sys_u64 os_prf_counter_frequency() {
    return 1000000000u;
}

// pthread keys are small integers; the slot number is the key itself.
bool os_prf_tls_alloc(sys_u32* slot) {
    pthread_key_t key;
    if (pthread_key_create(&key, nullptr) != 0)
        return false;
    *slot = (sys_u32)key;
    return true;
}

void os_prf_tls_free(sys_u32 slot) {
    pthread_key_delete((pthread_key_t)slot);
}

void* os_prf_tls_get(sys_u32 slot) {
    return pthread_getspecific((pthread_key_t)slot);
}

void os_prf_tls_set(sys_u32 slot, void* value) {
    pthread_setspecific((pthread_key_t)slot, value);
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

void os_prf_sleep_ms(sys_u32 milliseconds) {
    timespec wait = {(time_t)(milliseconds / 1000), (long)(milliseconds % 1000) * 1000000L};
    while (nanosleep(&wait, &wait) != 0) {
    }
}

void os_prf_name_thread(const char* name) {
    // The system keeps 15 bytes and a NUL; a longer name would be refused whole.
    char short_name[16];
    size_t length = strnlen(name, 15);
    memcpy(short_name, name, length);
    short_name[length] = '\0';
    pthread_setname_np(pthread_self(), short_name);
}
