// Windows process heap behind sys_malloc / sys_realloc / sys_free.
#include "platform/os.h"

#include <windows.h>

void* os_heap_alloc(sys_u64 size) {
    return HeapAlloc(GetProcessHeap(), 0, (SIZE_T)size);
}

// HeapReAlloc keeps a zero-length block alive for size 0, which is what sys_realloc promises.
void* os_heap_realloc(void* ptr, sys_u64 size) {
    return HeapReAlloc(GetProcessHeap(), 0, ptr, (SIZE_T)size);
}

void os_heap_free(void* ptr) {
    HeapFree(GetProcessHeap(), 0, ptr);
}

// Guarded pages: VirtualAlloc / VirtualProtect / VirtualFree.
sys_u64 os_page_size() {
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return info.dwPageSize;
}

void* os_pages_allocate(sys_u64 size) {
    return VirtualAlloc(nullptr, (SIZE_T)size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

bool os_pages_protect(void* base, sys_u64 size, sys_u32 mode) {
    const DWORD prot = mode == 2 ? PAGE_NOACCESS : mode == 1 ? PAGE_READONLY : PAGE_READWRITE;
    DWORD old;
    return VirtualProtect(base, (SIZE_T)size, prot, &old) != 0;
}

bool os_pages_release(void* base, sys_u64 size) {
    (void)size; // a whole reservation is released by its base alone
    return VirtualFree(base, 0, MEM_RELEASE) != 0;
}
