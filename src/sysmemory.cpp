// The general-purpose allocator over the process heap, and the garbling pattern.
#include "qv_sys/sysmemory.h"

#include "platform/os.h"

void* sys_malloc(sys_u64 size) {
    if (size == 0)
        return nullptr;
    return os_heap_alloc(size);
}

void* sys_realloc(void* ptr, sys_u64 size) {
    if (ptr == nullptr)
        return sys_malloc(size);
    return os_heap_realloc(ptr, size);
}

void sys_free(void* ptr) {
    if (ptr != nullptr)
        os_heap_free(ptr);
}

// The pattern depends only on the address and the size, so a garbled block can be recognised
// again in a debugger; all arithmetic wraps in 64 bits.
void sys_memgarble(void* ptr, sys_u64 size) {
    const sys_u64 a = (sys_u64)(uintptr_t)ptr;
    sys_u8* bytes = (sys_u8*)ptr;
    sys_u64 state = a * size + 39;
    for (sys_u64 i = 0; i < size; ++i) {
        state = state * (i + 1) * a * size + 127;
        bytes[i] = (sys_u8)((state >> 32) & 0xFF);
    }
}
