// The profiler queue's memory on Linux: one anonymous shared-memory file mapped twice, back
// to back, so that a message running past the end of the ring continues in the second view.
#include "platform/os.h"

#include <sys/mman.h>
#include <unistd.h>

bool os_prf_ring_map(sys_u32 size, sys_u8** ptr, void** mapping) {
    *ptr = nullptr;
    *mapping = nullptr;
    int fd = memfd_create("qv_prf_ring", MFD_CLOEXEC);
    if (fd < 0)
        return false;
    if (ftruncate(fd, (off_t)size) != 0) {
        close(fd);
        return false;
    }
    // Reserve the whole range first, then lay both views over it with MAP_FIXED. MAP_FIXED
    // replaces only our own reservation, which no other thread can take in the meantime, so
    // unlike a find-then-map scheme this cannot race and needs no retries.
    void* reserved = mmap(nullptr, (size_t)size * 2, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (reserved == MAP_FAILED) {
        close(fd);
        return false;
    }
    sys_u8* base = (sys_u8*)reserved;
    void* first = mmap(base, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd, 0);
    void* second = first == MAP_FAILED ? MAP_FAILED
                                       : mmap(base + size, size, PROT_READ | PROT_WRITE,
                                              MAP_SHARED | MAP_FIXED, fd, 0);
    // The views keep the memory alive; the descriptor is not needed any more.
    close(fd);
    if (first == MAP_FAILED || second == MAP_FAILED) {
        munmap(base, (size_t)size * 2);
        return false;
    }
    *ptr = base;
    return true;
}

void os_prf_ring_unmap(sys_u8* ptr, sys_u32 size, void*) {
    // One call takes both views, since they cover one contiguous range.
    munmap(ptr, (size_t)size * 2);
}
