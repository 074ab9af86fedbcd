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

// Guarded pages: mmap / mprotect / munmap.
#include <sys/mman.h>
#include <unistd.h>

sys_u64 os_page_size() {
    return (sys_u64)sysconf(_SC_PAGESIZE);
}

void* os_pages_allocate(sys_u64 size) {
    void* p =
        mmap(nullptr, (size_t)size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
}

bool os_pages_protect(void* base, sys_u64 size, sys_u32 mode) {
    const int prot = mode == 2 ? PROT_NONE : mode == 1 ? PROT_READ : PROT_READ | PROT_WRITE;
    return mprotect(base, (size_t)size, prot) == 0;
}

bool os_pages_release(void* base, sys_u64 size) {
    return munmap(base, (size_t)size) == 0;
}
