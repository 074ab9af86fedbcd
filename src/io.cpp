// The print dispatch: every message of the library and of its host is formatted once (by
// sys_vsnprintf, format.cpp) and handed to the registered print callbacks.
#include "qv_sys/io.h"

#include "qv_sys/assertion.h"
#include "qv_sys/hash.h"

#include "platform/os.h"

#include <algorithm>
#include <stdio.h>
#include <string.h>

// ---- print dispatch --------------------------------------------------------------------------

namespace {

// A line is formatted into a local buffer of this size.
constexpr sys_u64 kWorkArea = 4096;
constexpr sys_u32 kMaxCallbacks = 16;
constexpr sys_u64 kMaxDisabledTypes = 64;

sys_printf_callback s_printf_callbacks[kMaxCallbacks];
void* s_printf_callback_data[kMaxCallbacks];
sys_u32 s_num_printf_callbacks = 0;

sys_u64 s_disabled_types[kMaxDisabledTypes];
sys_u64 s_disabled_count = 0;
sys_bool s_logs_enabled = 1;

bool type_disabled(sys_u64 hash, sys_u64* index) {
    sys_u64* const end = s_disabled_types + s_disabled_count;
    sys_u64* const at = std::lower_bound(s_disabled_types, end, hash);
    *index = (sys_u64)(at - s_disabled_types);
    return at != end && *at == hash;
}

void dispatch(const char* format, va_list args, sys_bool is_error) {
    const sys_u32 count = s_num_printf_callbacks;
    if (count == 0)
        return;
    char line[kWorkArea];
    const sys_u64 len = sys_vsnprintf(line, kWorkArea - 1, format, args);
    line[len] = 0;
    for (sys_u32 i = 0; i < count; ++i)
        s_printf_callbacks[i](s_printf_callback_data[i], line, len, is_error);
}

} // namespace

extern "C" {

void sys_vprintf(const char* format, va_list args) {
    dispatch(format, args, 0);
}

void sys_vperrorf(const char* format, va_list args) {
    dispatch(format, args, 1);
}

void sys_printf(const char* format, ...) {
    if (s_num_printf_callbacks == 0)
        return;
    va_list args;
    va_start(args, format);
    dispatch(format, args, 0);
    va_end(args);
}

void sys_perrorf(const char* format, ...) {
    if (s_num_printf_callbacks == 0)
        return;
    va_list args;
    va_start(args, format);
    dispatch(format, args, 1);
    va_end(args);
}

void sys_printf_logtype(const char* type, const char* format, ...) {
    if (!s_logs_enabled || s_num_printf_callbacks == 0)
        return;
    if (s_disabled_count != 0) {
        sys_u64 index;
        if (type_disabled(qv_hash(type, strlen(type)), &index))
            return;
    }
    va_list args;
    va_start(args, format);
    dispatch(format, args, 0);
    va_end(args);
}

void sys_printf_enable_logtype(const char* type, sys_bool enable) {
    const sys_u64 hash = qv_hash(type, strlen(type));
    if (!enable) {
        if (!SYS_CHECK_TEXT_MSG(s_disabled_count < kMaxDisabledTypes,
                                "!\"Increase log type count\"", NULL))
            return;
        s_disabled_types[s_disabled_count++] = hash;
        std::sort(s_disabled_types, s_disabled_types + s_disabled_count);
        return;
    }
    sys_u64 index;
    const bool res = type_disabled(hash, &index);
    if (!SYS_CHECK(res))
        return;
    s_disabled_types[index] = s_disabled_types[--s_disabled_count];
    std::sort(s_disabled_types, s_disabled_types + s_disabled_count);
}

void sys_printf_enable_logs(sys_bool enable) {
    s_logs_enabled = enable != 0 ? 1 : 0;
}

void sys_printf_add_callback(sys_printf_callback callback, void* user_data) {
    // The refusal keeps the text it was first published with: hosts match on it.
    if (!SYS_CHECK_TEXT_MSG(s_num_printf_callbacks < kMaxCallbacks,
                            "io_num_printf_callbacks < sizeof( io_printf_callbacks ) / sizeof( "
                            "io_printf_callbacks[0] )",
                            NULL))
        return;
    s_printf_callbacks[s_num_printf_callbacks] = callback;
    s_printf_callback_data[s_num_printf_callbacks] = user_data;
    ++s_num_printf_callbacks;
}

void sys_printf_remove_callback(sys_printf_callback callback) {
    for (sys_u32 i = 0; i < s_num_printf_callbacks; ++i) {
        if (s_printf_callbacks[i] != callback)
            continue;
        const sys_u32 last = --s_num_printf_callbacks;
        s_printf_callbacks[i] = s_printf_callbacks[last];
        s_printf_callback_data[i] = s_printf_callback_data[last];
        return;
    }
}

void sys_printf_callback_stdout(void* user_data, const char* text, sys_u64 length,
                                sys_bool is_error) {
    (void)user_data;
    (void)length;
    FILE* stream = is_error ? stderr : stdout;
    fprintf(stream, "%s", text);
    fflush(stream);
}

void sys_printf_callback_vs(void* user_data, const char* text, sys_u64 length, sys_bool is_error) {
    (void)user_data;
    (void)is_error;
    os_debug_output(text, length);
}

} // extern "C"
