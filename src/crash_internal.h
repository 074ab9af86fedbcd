// Crash dumps and the last-chance report: the portable pieces (the dump path, the report's
// text and its log lines) shared by both platforms' handlers.
#pragma once

#include "qv_sys/assertion.h"
#include "qv_sys/types.h"

#include "assertion_internal.h"
#include "platform/os.h"

// The dump type both platforms record: thread information, process thread data, indirectly
// referenced memory and handles (Windows' minidump type flags).
inline constexpr sys_u32 kCrashDumpType = 0x1144;
inline constexpr sys_u32 kCrashPathSize = 512;
inline constexpr sys_u64 kCrashReportSize = 16384;
inline constexpr sys_u64 kCrashMaxFrames = 256;

// "<session path><session uid>_crash.dmp" into `path` (kCrashPathSize bytes); its length.
sys_u32 crash_dump_path(char* path);

// Logs "Unable to open minidump file '<path>'" with the library's log type.
void crash_log_unable_to_open(const char* path);

// The crash report: its text and the builder that fills it (set up by crash_report_begin).
struct CrashReport {
    char text[kCrashReportSize];
    ReportBuilder builder;
};

// Starts the report over and logs "Exception caught".
void crash_report_begin(CrashReport* report);
// Appends one record of the exception chain and logs that piece.
void crash_report_record(CrashReport* report, sys_u64 index, sys_u32 code, sys_u32 flags,
                         sys_u64 address, const char* module);
// Appends the call stack walked from `context` (CONTEXT* / ucontext_t*), every frame shown,
// using `frames` (kCrashMaxFrames records) for the walk.
void crash_report_callstack(CrashReport* report, void* context, callstack_entry* frames);

// Where a module lookup starts: the faulting instruction, or, for a call through a null
// pointer (an address below 255), the return address the call left on top of the stack.
inline sys_u64 crash_module_address(sys_u64 address, sys_u64 stack_pointer) {
    if (address < 255 && stack_pointer != 0)
        return *reinterpret_cast<const sys_u64*>(stack_pointer);
    return address;
}
