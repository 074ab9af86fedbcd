// The check handler (re-entry, the report, how the process ends or carries on), the
// assertion callbacks and each thread's stack of context messages.
#include "qv_sys/assertion.h"

#include "qv_sys/io.h"
#include "qv_sys/sysmemory.h"
#include "qv_sys/thread.h"

#include "assertion_internal.h"
#include "platform/os.h"

#include <atomic>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

namespace {

// Set by the first failed check and never cleared. An exchange, not a lock: exactly one
// thread wins and reports; every other failed check, on any thread and for the rest of the
// process, returns at once (and, under a debugger, only stops at its breakpoint).
std::atomic<sys_bool> s_in_assertion{0};

std::atomic<bool> s_pretend_debugger{false};

constexpr sys_u32 kMaxAssertCallbacks = 16;
sys_assert_callback s_assert_callbacks[kMaxAssertCallbacks];
void* s_assert_callback_data[kMaxAssertCallbacks];
sys_u32 s_num_assert_callbacks = 0;

const char* s_game_version = "";

// Each thread's context messages, made on its first push and never freed.
constexpr sys_u64 kMaxContextMessages = 64;
struct ContextStack {
    const char* messages[kMaxContextMessages];
    sys_u64 count;
};
thread_tls* s_assert_tls = nullptr;

ContextStack* context_stack() {
    return s_assert_tls ? (ContextStack*)thread_tls_get(s_assert_tls) : nullptr;
}

constexpr sys_u64 kReportSize = 4096;
constexpr sys_u64 kMaxFrames = 256;

// Appends the call stack. Kept in the handler's frame (always inlined) so that the frames it
// drops are exactly callstack_get's own and the handler's.
__attribute__((always_inline)) inline void append_callstack(ReportBuilder& report) {
    callstack_entry frames[kMaxFrames];
    const sys_u64 count = callstack_get(frames, kMaxFrames, nullptr);
    report.append_callstack(frames, count, 2);
}

} // namespace

extern "C" {

sys_u32 sys_assert_handler(const char* condition, const char* file, sys_u32 line, sys_u32 kind,
                           const char* format, ...) {
    (void)kind;
    if (s_in_assertion.exchange(1, std::memory_order_acq_rel) != 0)
        return 1;

    char text[kReportSize];
    ReportBuilder report(text, sizeof text);
    if (format) {
        va_list args;
        va_start(args, format);
        report.vappendf(format, args);
        va_end(args);
    }
    report.append("\n\n");
    report.append(s_game_version);
    report.append_context_messages();
    append_callstack(report);

    for (sys_u32 i = 0; i < s_num_assert_callbacks; ++i)
        s_assert_callbacks[i](s_assert_callback_data[i], condition, file, line, text);

    if (!s_pretend_debugger.load(std::memory_order_relaxed) && !os_debugger_present())
        os_end_process_after_check();
    return 1;
}

void sys_assert_add_callback(sys_assert_callback callback, void* user_data) {
    if (!s_assert_tls)
        s_assert_tls = thread_tls_create();
    // The refusal keeps the text it was first published with: hosts match on it.
    if (!SYS_CHECK_TEXT_MSG(s_num_assert_callbacks < kMaxAssertCallbacks,
                            "sys_num_assert_callbacks < sizeof( sys_assert_callbacks ) / sizeof( "
                            "sys_assert_callbacks[0] )",
                            NULL))
        return;
    s_assert_callbacks[s_num_assert_callbacks] = callback;
    s_assert_callback_data[s_num_assert_callbacks] = user_data;
    ++s_num_assert_callbacks;
}

void sys_assert_remove_callback(sys_assert_callback callback, void* user_data) {
    for (sys_u32 i = 0; i < s_num_assert_callbacks; ++i) {
        if (s_assert_callbacks[i] != callback || s_assert_callback_data[i] != user_data)
            continue;
        for (sys_u32 k = i + 1; k < s_num_assert_callbacks; ++k) {
            s_assert_callbacks[k - 1] = s_assert_callbacks[k];
            s_assert_callback_data[k - 1] = s_assert_callback_data[k];
        }
        --s_num_assert_callbacks;
        return;
    }
}

void sys_assert_callback_print(void* user_data, const char* condition, const char* file,
                               sys_u32 line, const char* report) {
    (void)user_data;
    if (report)
        sys_perrorf("[%#T|%s|%s:%i] ASSERT failed: %s [%s]\n", s_game_version, file, line,
                    condition, report);
    else
        sys_perrorf("[%#T|%s|%s:%i] ASSERT failed: %s\n", s_game_version, file, line, condition);
}

void sys_assert_message_push(const char* message) {
    if (!SYS_CHECK(s_assert_tls))
        return;
    ContextStack* context = context_stack();
    if (!context) {
        context = (ContextStack*)sys_malloc(sizeof(ContextStack));
        if (!context)
            return;
        memset(context, 0, sizeof *context);
        thread_tls_set(s_assert_tls, context);
    }
    if (!SYS_CHECK_TEXT_MSG(context->count < kMaxContextMessages, "context->count < 64", NULL))
        return;
    context->messages[context->count++] = message;
}

const char* sys_assert_message_pop(void) {
    if (!SYS_CHECK(s_assert_tls))
        return nullptr;
    ContextStack* vdata = context_stack();
    if (!SYS_CHECK(vdata))
        return nullptr;
    if (vdata->count == 0)
        return nullptr;
    --vdata->count;
    const char* ret = vdata->messages[vdata->count];
    vdata->messages[vdata->count] = nullptr;
    SYS_CHECK(ret);
    return ret;
}

const char** sys_assert_message_peek(sys_u64* count) {
    if (!SYS_CHECK(s_assert_tls)) {
        if (count)
            *count = 0;
        return nullptr;
    }
    ContextStack* context = context_stack();
    if (count)
        *count = context ? context->count : 0;
    return context ? context->messages : nullptr;
}

void sys_set_game_version(const char* version) {
    s_game_version = version ? version : "";
}

void sys_abort(void) {
    abort();
}

} // extern "C"

void assert_test_pretend_debugger(bool pretend) {
    s_pretend_debugger.store(pretend, std::memory_order_relaxed);
}

const char* assert_game_version() {
    return s_game_version;
}

ReportBuilder::ReportBuilder(char* text, sys_u64 size) : text_(text), size_(size), used_(0) {
    memset(text, 0, size);
}

void ReportBuilder::append(const char* piece) {
    while (*piece && used_ < size_ - 1)
        text_[used_++] = *piece++;
}

void ReportBuilder::appendf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vappendf(format, args);
    va_end(args);
}

void ReportBuilder::vappendf(const char* format, va_list args) {
    if (used_ < size_ - 1)
        used_ += sys_vsnprintf(text_ + used_, size_ - 1 - used_, format, args);
}

void ReportBuilder::append_context_messages() {
    const ContextStack* context = context_stack();
    if (!context || context->count == 0)
        return;
    append("\n\nAdditional assert messages:");
    for (sys_u64 i = 0; i < context->count; ++i) {
        append("\n");
        append(context->messages[i] ? context->messages[i] : "");
    }
}

void ReportBuilder::append_callstack(const callstack_entry* frames, sys_u64 count, sys_u64 first) {
    if (count == 0) {
        append("\n\nNo callstack found.");
        return;
    }
    append("\n\nCallstack:\n");
    for (sys_u64 i = first; i < count && used_ < size_ - 1; ++i) {
        appendf("%lu: %s\n", i - first, frames[i].function);
        if (frames[i].file[0])
            appendf("%s:%u:%u\n", frames[i].file, frames[i].line, frames[i].displacement);
    }
}
