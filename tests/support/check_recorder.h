// Records failed checks instead of ending the process. Linux only: it interposes
// sys_assert_handler, so include it from one source per program. While a CheckRecorder lives,
// a failed check records its condition and returns 0, as under a resumed debugger.
#pragma once

#if !defined(_WIN32)
#define QV_TEST_RECORDS_CHECKS 1

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"

#include <stdarg.h>

#include <dlfcn.h>

#include <string>
#include <vector>

namespace qv_test {

struct CheckRecorder {
    static inline bool active = false;
    static inline std::vector<std::string> conditions;
    CheckRecorder() {
        conditions.clear();
        active = true;
    }
    ~CheckRecorder() { active = false; }
    CheckRecorder(const CheckRecorder&) = delete;
    CheckRecorder& operator=(const CheckRecorder&) = delete;
};

template <class... T> std::vector<std::string> texts(T... t) {
    return {t...};
}

} // namespace qv_test

extern "C" sys_u32 sys_assert_handler(const char* condition, const char* file, sys_u32 line,
                                      sys_u32 kind, const char* format, ...) {
    if (qv_test::CheckRecorder::active) {
        qv_test::CheckRecorder::conditions.emplace_back(condition ? condition : "(null)");
        return 0;
    }
    using Handler = sys_u32 (*)(const char*, const char*, sys_u32, sys_u32, const char*, ...);
    static const Handler library = (Handler)dlsym(RTLD_NEXT, "sys_assert_handler");
    // The message is formatted here and forwarded whole, so death tests can match reports.
    if (!format)
        return library(condition, file, line, kind, nullptr);
    char message[4096];
    va_list args;
    va_start(args, format);
    sys_vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    message[sizeof(message) - 1] = 0;
    return library(condition, file, line, kind, "%s", message);
}

// QV_CHECK_SCENARIO, plus where checks are recorded the failed conditions in order: ("a", "b").
#define QV_CHECK_SCENARIO_TEXTS(suite, name, traps, reported, ...)                                 \
    QV_CHECK_SCENARIO(suite, name, traps, __VA_ARGS__)                                             \
    TEST(suite, name##_Conditions) {                                                               \
        qv_test::CheckRecorder recorder;                                                           \
        __VA_ARGS__;                                                                               \
        EXPECT_EQ(recorder.conditions, qv_test::texts reported);                                   \
    }

#else
#define QV_TEST_RECORDS_CHECKS 0
#define QV_CHECK_SCENARIO_TEXTS(suite, name, traps, reported, ...)                                 \
    QV_CHECK_SCENARIO(suite, name, traps, __VA_ARGS__)
#endif
