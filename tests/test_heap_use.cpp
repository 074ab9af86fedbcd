// Formatting and dispatch allocate nothing: every heap call made by this process is counted
// by interposed allocation functions, and a formatted, dispatched line must not move the
// count. Linux only, and not under sanitizers, which bring their own allocator.
#include <gtest/gtest.h>

#include "qv_sys/io.h"
#include "qv_sys/sysmemory.h"

#include <atomic>

#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__) &&       \
    !defined(QV_SYS_SANITIZED)
#include <dlfcn.h>
#include <stddef.h>

namespace {
std::atomic<long> s_allocations{0};
}

extern "C" {
extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);

void* malloc(size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
    s_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
}

namespace {

struct Sink {
    char text[4096];
    sys_u64 length;
};

void to_memory(void* user, const char* text, sys_u64 length, sys_bool) {
    Sink* s = (Sink*)user;
    __builtin_memcpy(s->text, text, length + 1);
    s->length = length;
}

sys_u64 print_point(sys_print_object_context* c) {
    return sys_snprintf(c->output, c->capacity, "(%i)", *(const int*)c->object) + 1;
}

TEST(NoAllocation, FormattingAndDispatchingUseTheStackOnly) {
    const char* names[] = {"point"};
    const sys_print_object_printer printers[] = {print_point};
    sys_register_print_custom_object(names, printers, 1); // registration may allocate
    static Sink sink;
    sys_printf_add_callback(to_memory, &sink);
    sys_printf_enable_logtype("OFF", 0);

    const sys_u32 wide[] = {'w', 0x20AC, 0};
    const int point = 4;
    char out[256];
    // The interposer sees the library's own heap calls.
    const long probe = s_allocations.load();
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
    const long after = s_allocations.load();
    sys_printf_remove_callback(to_memory);
    EXPECT_EQ(after - before, 0);
    EXPECT_STREQ(sink.text, "error");
}

} // namespace
#endif
