// The general-purpose allocator over the process heap, the garbling pattern, and guarded
// blocks in pages of their own.
#include "qv_sys/sysmemory.h"

#include "qv_sys/assertion.h"

#include "platform/os.h"

#include <atomic>

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

// ---- guarded blocks --------------------------------------------------------------------------

namespace {

// 0 until the first guarded block; two threads racing on it store the same value.
std::atomic<sys_u64> s_page_size{0};

} // namespace

void* sys_mem_access_malloc(sys_u64 size) {
    sys_u64 page = s_page_size.load(std::memory_order_relaxed);
    if (page == 0) {
        page = os_page_size();
        s_page_size.store(page, std::memory_order_relaxed);
    }
    // The header page, the block's pages, and one inaccessible page after them.
    const sys_u64 block_pages = size / page + (size % page != 0 ? 1 : 0);
    if (block_pages > (~0ull / page) - 2) {
        SYS_CHECK_TEXT_MSG(false, "ret", NULL);
        return nullptr;
    }
    const sys_u64 total = (block_pages + 2) * page;
    sys_u8* ret = (sys_u8*)os_pages_allocate(total);
    if (!SYS_CHECK(ret))
        return nullptr;
    *(sys_u64*)ret = size;
    bool res = os_pages_protect(ret, total, SYS_MEM_ACCESS_NONE);
    SYS_CHECK(res);
    if (block_pages != 0) {
        res = os_pages_protect(ret + page, block_pages * page, SYS_MEM_ACCESS_READ_WRITE);
        SYS_CHECK(res);
    }
    return ret + page;
}

void sys_mem_access_free(void* ptr) {
    const sys_u64 page = s_page_size.load(std::memory_order_relaxed);
    if (!SYS_CHECK_TEXT_MSG(page != 0, "PAGE_SIZE", NULL))
        return;
    // In integers: a null pointer has no page before it to point at.
    sys_u8* base = (sys_u8*)((uintptr_t)ptr - page);
    // The size lives in the inaccessible header page: open it for reading first.
    bool res = os_pages_protect(base, page, SYS_MEM_ACCESS_READ_ONLY);
    if (!SYS_CHECK(res))
        return;
    const sys_u64 size = *(const sys_u64*)base;
    const sys_u64 block_pages = size / page + (size % page != 0 ? 1 : 0);
    res = os_pages_release(base, (block_pages + 2) * page);
    SYS_CHECK(res);
}

void sys_mem_access_set(void* ptr, sys_u32 mode, sys_u64 size) {
    const sys_u64 page = s_page_size.load(std::memory_order_relaxed);
    const sys_u64 address = (sys_u64)(uintptr_t)ptr;
    if (!SYS_CHECK_TEXT_MSG(page != 0 && address % page == 0,
                            "( reinterpret_cast<sys_u64>( access_mem ) % PAGE_SIZE ) == 0", NULL))
        return;
    if (size == 0)
        return;
    const sys_u64 pages = size / page + (size % page != 0 ? 1 : 0);
    const sys_u32 os_mode = mode == SYS_MEM_ACCESS_NONE        ? SYS_MEM_ACCESS_NONE
                            : mode == SYS_MEM_ACCESS_READ_ONLY ? SYS_MEM_ACCESS_READ_ONLY
                                                               : SYS_MEM_ACCESS_READ_WRITE;
    const bool res = os_pages_protect(ptr, pages * page, os_mode);
    SYS_CHECK(res);
}
