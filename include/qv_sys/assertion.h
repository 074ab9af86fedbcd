/* qv_sys checks: the one place every failed precondition ends.
 *
 * A check site tests its condition and, only when it fails, calls sys_assert_handler with the
 * condition's source text. Without a debugger the process then ends with exit code -1 (seen
 * as 255 by a parent on Linux). Under a debugger the handler returns 1, the site stops at a
 * breakpoint, and when resumed the function carries on along its failure path (null, false,
 * 0 or -1, as each function documents). Host code uses the same macros for its own checks. */
#ifndef QV_SYS_ASSERTION_H
#define QV_SYS_ASSERTION_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Reports a failed check.
 *   condition  the condition's source text, e.g. "size > 0"
 *   file, line where the check is (__FILE__ as the compiler gives it, __LINE__)
 *   kind       1 at ordinary checks; accepted and not read
 *   format     null, or a message in the library's format grammar, then its arguments
 * The first call in the process sets a process-wide in-assertion flag that is never cleared;
 * any later call, from any thread, returns 1 at once without reporting. Without a debugger
 * attached the first call ends the process with exit code -1 and never returns. Under a
 * debugger it returns 1. Thread-safe: exactly one thread produces the report. */
QV_SYS_API sys_u32 sys_assert_handler(const char* condition, const char* file, sys_u32 line,
                                      sys_u32 kind, const char* format, ...);

QV_SYS_END_C

/* The breakpoint trap a check site executes when the handler returns. */
#if defined(_MSC_VER)
#define SYS_DEBUG_BREAK() __debugbreak()
#else
#define SYS_DEBUG_BREAK() __asm__ __volatile__("int3")
#endif

/* Kept as a function so the trap can sit inside an expression. Always inlined, so the
 * debugger stops in the function that made the check. */
#if defined(_MSC_VER)
static __forceinline int sys_check_trap_(void) {
#else
static inline __attribute__((always_inline)) int sys_check_trap_(void) {
#endif
    SYS_DEBUG_BREAK();
    return 0;
}

/* Evaluates to 1 when `cond` holds, at the cost of one test and no call. Otherwise reports
 * the condition's text, traps when the handler returns, and evaluates to 0:
 *
 *     if (!SYS_CHECK(buffer != NULL)) return 0;
 *
 * The text is taken here, not in a nested macro, so macros inside `cond` are quoted as
 * written and not expanded. */
#define SYS_CHECK(cond) SYS_CHECK_TEXT_MSG(cond, #cond, NULL)

/* As SYS_CHECK, with a message: SYS_CHECK_MSG(n < 16, "table full at %u", n). */
#define SYS_CHECK_MSG(cond, ...) SYS_CHECK_TEXT_MSG(cond, #cond, __VA_ARGS__)

/* As SYS_CHECK_MSG, quoting `text` instead of the condition's own spelling. For checks whose
 * reported text is fixed while the code that tests it reads differently. */
#define SYS_CHECK_TEXT_MSG(cond, text, ...)                                                        \
    ((cond) ? 1                                                                                    \
            : (sys_assert_handler((text), __FILE__, (sys_u32)__LINE__, 1u, __VA_ARGS__)            \
                   ? sys_check_trap_()                                                             \
                   : 0))

#endif /* QV_SYS_ASSERTION_H */
