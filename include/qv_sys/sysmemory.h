/* qv_sys memory: the general-purpose allocator.
 *
 * A thin layer over the operating system's process heap: no headers, no statistics, no
 * pools. Blocks are aligned to 16 bytes on 64-bit targets. All functions may be called from
 * any thread; the heap serialises them. */
#ifndef QV_SYS_SYSMEMORY_H
#define QV_SYS_SYSMEMORY_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Allocates `size` uninitialised bytes.
 * Returns the block, or null when size is 0 (the heap is not touched) or the heap is
 * exhausted (no message, no check). Free the block with sys_free only. */
QV_SYS_API void* sys_malloc(sys_u64 size);

/* Resizes a block from sys_malloc/sys_realloc; it may move.
 * A null `ptr` behaves exactly as sys_malloc(size), so (null, 0) gives null. With a live
 * block, a size of 0 gives a valid zero-length block that must still be freed, not a free.
 * On failure returns null and the old block stays valid and owned by the caller. */
QV_SYS_API void* sys_realloc(void* ptr, sys_u64 size);

/* Returns a block to the heap. A null pointer is ignored. */
QV_SYS_API void sys_free(void* ptr);

/* Overwrites the `size` bytes at `ptr` with a pattern derived only from the block's address
 * and size: the same block always gets the same bytes, the same size elsewhere gets other
 * bytes. Useful to make use of freed or uninitialised memory show up. A size of 0 writes
 * nothing. Touches only the given bytes. */
QV_SYS_API void sys_memgarble(void* ptr, sys_u64 size);

/* ---- Guarded memory ----------------------------------------------------------------------
 * A debugging aid beside the allocator: blocks that start right behind an inaccessible page
 * and end before one, whose pages can be made read-only or inaccessible at will, so that a
 * stray access faults at once. A block of n bytes costs ceil(n / page) + 2 pages of address
 * space. The page size is the system's, fetched on the first sys_mem_access_malloc. */

#define SYS_MEM_ACCESS_READ_WRITE 0u
#define SYS_MEM_ACCESS_READ_ONLY  1u
#define SYS_MEM_ACCESS_NONE       2u

/* A page-aligned block of `size` bytes, readable and writable; the page before it and the
 * pages after its last page are inaccessible (bytes between its end and the end of its last
 * page are accessible slack). A failed reservation reports "ret" and gives null; a failed
 * protection change reports "res". size 0 gives a block with no accessible page. */
QV_SYS_API void* sys_mem_access_malloc(sys_u64 size);

/* Releases a block from sys_mem_access_malloc. Before any block was allocated it reports
 * "PAGE_SIZE" and does nothing. Any other pointer, null included, has its reservation
 * released from the page before it; one that is not a block fails that with "res". */
QV_SYS_API void sys_mem_access_free(void* ptr);

/* Sets the pages covering [ptr, ptr + size) to SYS_MEM_ACCESS_NONE, SYS_MEM_ACCESS_READ_ONLY
 * or, for any other mode, read-write. ptr must be page-aligned (else the check
 * "( reinterpret_cast<sys_u64>( access_mem ) % PAGE_SIZE ) == 0" is reported and nothing
 * changes); it needs an earlier sys_mem_access_malloc for the page size. */
QV_SYS_API void sys_mem_access_set(void* ptr, sys_u32 mode, sys_u64 size);

QV_SYS_END_C

#endif /* QV_SYS_SYSMEMORY_H */
