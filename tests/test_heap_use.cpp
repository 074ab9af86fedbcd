// Heap use, counted by interposing the allocation functions: Linux only, and not under
// sanitizers, which bring their own allocator.
#include "support/test_support.h"

#include "qv_sys/io.h"
#include "qv_sys/scope.h"
#include "qv_sys/sysmemory.h"
#include "qv_sys/thread.h"

#if defined(__linux__) && !QV_TEST_ASAN && !QV_TEST_TSAN && !defined(QV_SYS_SANITIZED)
#include <stddef.h>

static std::atomic<long> s_allocations{0};
// The first 48-byte block (a thread's start block) the watching thread asks for, and whether
// any thread has freed it since.
static thread_local bool t_watching = false;
static std::atomic<void*> s_watched{nullptr};
static std::atomic<bool> s_watched_freed{false};

extern "C" {
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void __libc_free(void*);

void* malloc(size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = __libc_malloc(size);
    if (t_watching && size == 48 && s_watched.load() == nullptr)
        s_watched = p;
    return p;
}
void* calloc(size_t n, size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
void free(void* p) {
    if (p != nullptr && p == s_watched.load())
        s_watched_freed = true;
    __libc_free(p);
}
}

namespace {

void to_memory(void* user, const char* text, sys_u64 length, sys_bool) {
    __builtin_memcpy(user, text, length + 1);
}

sys_u64 print_point(sys_print_object_context* c) {
    return sys_snprintf(c->output, c->capacity, "(%i)", *(const int*)c->object) + 1;
}

TEST(NoAllocation, FormattingDispatchingAndScopesUseTheStackOnly) {
    const char* names[] = {"point"};
    const sys_print_object_printer printers[] = {print_point};
    sys_register_print_custom_object(names, printers, 1); // registration may allocate
    static char sink[4096];
    sys_printf_add_callback(to_memory, sink);
    sys_printf_enable_logtype("OFF", 0);

    const sys_u32 wide[] = {'w', 0x20AC, 0};
    const int point = 4;
    char out[256];
    const long probe = s_allocations.load(); // the interposer sees the library's heap calls
    sys_free(sys_malloc(16));
    ASSERT_GT(s_allocations.load(), probe);
    const long before = s_allocations.load();
    sys_snprintf(out, sizeof out, "%i %5u %x %o %.2f %.%f %s %w %W %ls %T %#T %c %Opoint", -1, 2u,
                 3u, 4u, 5.5, 0.5, "s", "W", "w", wide, (sys_i64)7, 'c', &point);
    sys_snprintf(out, sizeof out, "%2$s %1$i", 1, "two");
    sys_printf(SYS_LOG_PREFIX "%s\n", "GAME", 1u, "file.cpp", "line");
    sys_printf_logtype("OFF", "%s", "filtered");
    sys_printf_logtype("ON", "%s", "logged");
    sys_perrorf("%s", "error");
    for (int i = 0; i < 1000; ++i) { // scopes, without a profiler
        scope_begin("loop");
        scope_end();
    }
    const long after = s_allocations.load();
    sys_printf_remove_callback(to_memory);
    EXPECT_EQ(after - before, 0);
    EXPECT_STREQ(sink, "error");
}

TEST(ThreadHeap, StartBlockIsFreedBeforeTheFunctionRuns) {
    t_watching = true;
    void* h = thread_thread_create([](void*) { return s_watched_freed.load() ? 1u : 0u; }, nullptr,
                                   "freer", -1);
    t_watching = false;
    ASSERT_NE(h, nullptr);
    ASSERT_NE(s_watched.load(), nullptr);
    EXPECT_EQ(thread_thread_join(h), 1u);
}

} // namespace
#endif
