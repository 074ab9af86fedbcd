// The profiler's fixed settings, its allocation functions and its assertion.
#include "profiler/profiler_internal.h"
#include "platform/os.h"

#include <stdlib.h>

namespace {

// Constant data: filled by the compiler, so there is no first-use race to guard.
const ProfilerSettings g_settings = {
    17815,  // port
    10,     // update_interval_ms
    131072, // queue_bytes
    10,     // messages_per_pass
};
} // namespace

const ProfilerSettings* prf_settings() {
    return &g_settings;
}

void* prf_malloc(prf_u32 size) {
    return malloc(size);
}

void* prf_realloc(void* ptr, prf_u32 size) {
    return realloc(ptr, size);
}

void prf_free(void* ptr) {
    free(ptr);
}

void prf_assert_fail(const char* text, const char* file, unsigned line) {
    os_prf_assert_fail(text, file, line);
}
