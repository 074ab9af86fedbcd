// The C heap behind sys_malloc / sys_realloc / sys_free (16-byte aligned on x86-64 glibc).
#include "platform/os.h"

#include <stdlib.h>

void* os_heap_alloc(sys_u64 size) {
    return malloc((size_t)size);
}

// glibc's realloc(p, 0) frees p and returns null; sys_realloc must instead hand back a live
// zero-length block, so ask for one byte.
void* os_heap_realloc(void* ptr, sys_u64 size) {
    return realloc(ptr, size ? (size_t)size : 1);
}

void os_heap_free(void* ptr) {
    free(ptr);
}
