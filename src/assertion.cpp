// The check handler: re-entry, the report, and how the process ends or carries on.
#include "qv_sys/assertion.h"

#include "assertion_internal.h"
#include "platform/os.h"

#include <atomic>
#include <stdarg.h>

namespace {

// Set by the first failed check and never cleared. An exchange, not a lock: exactly one
// thread wins and reports; every other failed check, on any thread and for the rest of the
// process, returns at once (and, under a debugger, only stops at its breakpoint).
std::atomic<sys_bool> s_in_assertion{0};

std::atomic<bool> s_pretend_debugger{false};

// Builds the report (message, game version, the thread's context messages, the call stack)
// and hands it to the registered assertion callbacks. Those arrive with the formatter and
// the call-stack walker; until then a failed check reports nothing and only ends the
// process or returns to the debugger.
void assert_report(const char* condition, const char* file, sys_u32 line, const char* format,
                   va_list args) {
    (void)condition;
    (void)file;
    (void)line;
    (void)format;
    (void)args;
}

} // namespace

sys_u32 sys_assert_handler(const char* condition, const char* file, sys_u32 line, sys_u32 kind,
                           const char* format, ...) {
    (void)kind;
    if (s_in_assertion.exchange(1, std::memory_order_acq_rel) != 0)
        return 1;

    va_list args;
    va_start(args, format);
    assert_report(condition, file, line, format, args);
    va_end(args);

    if (!s_pretend_debugger.load(std::memory_order_relaxed) && !os_debugger_present())
        os_end_process_after_check();
    return 1;
}

void assert_test_pretend_debugger(bool pretend) {
    s_pretend_debugger.store(pretend, std::memory_order_relaxed);
}
