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
