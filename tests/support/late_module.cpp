// A shared library the call-stack tests load only after their first walk. Its inner function
// is not exported, so only the library's debug information can name it.
#include "qv_sys/assertion.h"

namespace {

using Walk = sys_u64 (*)(callstack_entry*, sys_u64);

__attribute__((noinline)) sys_u64 late_module_inner(Walk walk, callstack_entry* frames,
                                                    sys_u64 capacity) {
    sys_u64 n = walk(frames, capacity);
    __asm__ __volatile__("" : "+r"(n) : : "memory");
    return n;
}

} // namespace

extern "C" __attribute__((visibility("default"))) sys_u64
late_module_call(Walk walk, callstack_entry* frames, sys_u64 capacity) {
    sys_u64 n = late_module_inner(walk, frames, capacity);
    __asm__ __volatile__("" : "+r"(n) : : "memory");
    return n;
}
