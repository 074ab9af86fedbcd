// The profiler queue's memory on Windows: one page-file-backed mapping viewed twice, back to
// back, so that a message running past the end of the ring continues in the second view.
#include "platform/os.h"

#include <windows.h>

bool os_prf_ring_map(sys_u32 size, sys_u8** ptr, void** mapping) {
    *ptr = nullptr;
    *mapping = nullptr;
    for (int attempt = 0; attempt < 10; ++attempt) {
        HANDLE section =
            CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size, nullptr);
        if (section == nullptr)
            return false;
        // Find 2 * size bytes of free address space by reserving and releasing them. Another
        // thread may take part of the range before both views are in place; then start over.
        void* found = VirtualAlloc(nullptr, (SIZE_T)size * 2, MEM_RESERVE, PAGE_NOACCESS);
        if (found == nullptr) {
            CloseHandle(section);
            return false;
        }
        VirtualFree(found, 0, MEM_RELEASE);
        sys_u8* base = (sys_u8*)found;
        void* first = MapViewOfFileEx(section, FILE_MAP_ALL_ACCESS, 0, 0, size, base);
        void* second = first == base
                           ? MapViewOfFileEx(section, FILE_MAP_ALL_ACCESS, 0, 0, size, base + size)
                           : nullptr;
        if (first == base && second == base + size) {
            *ptr = base;
            *mapping = section;
            return true;
        }
        if (second != nullptr)
            UnmapViewOfFile(second);
        if (first != nullptr)
            UnmapViewOfFile(first);
        CloseHandle(section);
    }
    return false;
}

void os_prf_ring_unmap(sys_u8* ptr, sys_u32 size, void* mapping) {
    UnmapViewOfFile(ptr);
    UnmapViewOfFile(ptr + size);
    CloseHandle((HANDLE)mapping);
}
