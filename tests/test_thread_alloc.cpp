// What thread creation and the scope calls do with the heap: the start block is freed by the
// new thread before its function runs, and scope calls without a profiler allocate nothing.
// Allocation functions are interposed for the whole process (the library's own calls
// included). Linux only, and not under sanitizers, which bring their own allocator.
#include <gtest/gtest.h>

#include "qv_sys/scope.h"
#include "qv_sys/thread.h"

#include <atomic>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) &&       \
    !defined(QV_SYS_SANITIZED)
#include <stddef.h>

namespace {
std::atomic<long> s_allocations{0};
// The first 48-byte block (the start block's size) asked for by the watching thread, and
// whether it has been freed since, by any thread.
thread_local bool t_watching = false;
std::atomic<void*> s_watched{nullptr};
std::atomic<bool> s_watched_freed{false};
} // namespace

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

sys_u32 was_start_block_freed(void*) {
    return s_watched_freed.load() ? 1 : 0;
}

TEST(ThreadHeap, StartBlockIsFreedBeforeTheFunctionRuns) {
    t_watching = true;
    void* h = thread_thread_create(was_start_block_freed, nullptr, "freer", -1);
    t_watching = false;
    ASSERT_NE(h, nullptr);
    ASSERT_NE(s_watched.load(), nullptr);
    EXPECT_EQ(thread_thread_join(h), 1u);
}

TEST(ThreadHeap, ScopesWithoutAProfilerAllocateNothing) {
    const long before = s_allocations.load();
    for (int i = 0; i < 1000; ++i) {
        scope_begin("loop");
        scope_end();
    }
    EXPECT_EQ(s_allocations.load(), before);
}

} // namespace

#else
TEST(ThreadHeap, NeedsTheSystemAllocator) {
    GTEST_SKIP() << "the interposed allocator runs on Linux without sanitizers only";
}
#endif
