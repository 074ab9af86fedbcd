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

QV_SYS_END_C

#endif /* QV_SYS_SYSMEMORY_H */
