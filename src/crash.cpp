// Crash dumps: the dump path, the report text, the handler's set-up and the exported assertion
// callback. The platform handlers (src/platform/*/crash.cpp) catch the crash and write the
// file.
#include "crash_internal.h"

#include "qv_sys/assertion.h"
#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"

#include "assertion_internal.h"

#include <string.h>

sys_u32 crash_dump_path(char* path) {
    char session[kCrashPathSize];
    memset(session, 0, sizeof session);
    filesystem_get_session_path(session, sizeof session);
    const sys_u32 length = (sys_u32)sys_snprintf(path, kCrashPathSize, "%s%s_crash.dmp", session,
                                                 filesystem_get_session_uid());
    // A cut field lets the literal after it take the last byte, unterminated: the path is
    // cut one byte shorter so that every later use finds its end.
    if (length >= kCrashPathSize) {
        path[kCrashPathSize - 1] = 0;
        return kCrashPathSize - 1;
    }
    return length;
}

void crash_log_unable_to_open(const char* path) {
    SYS_LOG("QV_SYS", "Unable to open minidump file '%s'\n", path);
}

void crash_report_begin(CrashReport* report) {
    report->builder = ReportBuilder(report->text, sizeof report->text);
    SYS_LOG("QV_SYS", "%s\n", "Exception caught");
}

void crash_report_record(CrashReport* report, sys_u64 index, sys_u32 code, sys_u32 flags,
                         sys_u64 address, const char* module) {
    const char* piece = report->builder.end();
    report->builder.appendf(
        "%s\n%lu:\nExceptionCode:\n0x%x\nExceptionFlags:\n0x%x\nExceptionAddress:\n0x%lx\n"
        "Module:\n%s\n",
        assert_game_version(), index, code, flags, address, module);
    SYS_LOG("QV_SYS", "%s\n", piece);
}

void crash_report_callstack(CrashReport* report, void* context, callstack_entry* frames) {
    const sys_u64 count = callstack_get(frames, kCrashMaxFrames, context);
    report->builder.append_callstack(frames, count, 0);
}

extern "C" void sys_setup_terminate(void) {
    // Symbols are set up now, while the process is healthy, not inside the handler.
    callstack_symbols_find_dbghelp();
    os_crash_install_handler();
}

extern "C" void sys_assert_callback_create_minidump(void* user_data, const char* condition,
                                                    const char* file, sys_u32 line,
                                                    const char* report) {
    (void)user_data;
    (void)condition;
    (void)file;
    (void)line;
    (void)report;
    char path[kCrashPathSize];
    crash_dump_path(path);
    os_crash_write_minidump(path, nullptr);
}
