// Windows: the dump through the debug-help library's MiniDumpWriteDump and the process's
// unhandled-exception filter with its report box.
#include "crash_internal.h"

#include "qv_sys/assertion.h"
#include "qv_sys/filesystem.h"

#include <windows.h>

#include <dbghelp.h>
#include <stdio.h>
#include <string.h>

namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

// Thread information, process-thread data, indirectly referenced memory and handle data.
constexpr MINIDUMP_TYPE kDumpFlags = static_cast<MINIDUMP_TYPE>(kCrashDumpType);
constexpr DWORD kBreakpoint = 0x80000003;
constexpr int kModuleBytes = 2048;
constexpr int kTitleChars = 1024;

// The file name of the module holding `address`, or "<Unknown module>".
void module_name(sys_u64 address, char* out) {
    strcpy(out, "<Unknown module>");
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                                GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCWSTR>(address), &module))
        return;
    wchar_t wide[kModuleBytes];
    DWORD n = GetModuleFileNameW(module, wide, kModuleBytes);
    if (n == 0 || n >= (DWORD)kModuleBytes)
        return;
    char name[kModuleBytes];
    if (WideCharToMultiByte(CP_UTF8, 0, wide, -1, name, kModuleBytes, nullptr, nullptr) > 0)
        strcpy(out, name);
}

bool message_box_off() {
    wchar_t value[4];
    DWORD n = GetEnvironmentVariableW(L"QV_SYS_CRASH_NO_MESSAGE_BOX", value, 4);
    return n > 0 && n < 4 && value[0] == L'1';
}

void show_report(const CrashReport& report) {
    if (message_box_off()) {
        fwrite(report.text, 1, report.builder.length(), stderr);
        fputc('\n', stderr);
        fflush(stderr);
        return;
    }
    wchar_t title[kTitleChars];
    wchar_t text[kCrashReportSize];
    if (!MultiByteToWideChar(CP_UTF8, 0, "Exception caught", -1, title, kTitleChars))
        title[0] = 0;
    if (!MultiByteToWideChar(CP_UTF8, 0, report.text, -1, text, (int)kCrashReportSize))
        text[0] = 0;
    MessageBoxW(nullptr, text, title, MB_OK | MB_ICONINFORMATION | MB_TOPMOST);
}

LONG WINAPI sys_unhandled_exception_filter(EXCEPTION_POINTERS* pointers) {
    char path[kCrashPathSize];
    crash_dump_path(path);
    os_crash_write_minidump(path, pointers);
    const EXCEPTION_RECORD* first = pointers->ExceptionRecord;
    if (first->ExceptionCode == kBreakpoint)
        return EXCEPTION_EXECUTE_HANDLER;

    CrashReport report;
    crash_report_begin(&report);
    char module[kModuleBytes];
    module_name(crash_module_address(reinterpret_cast<sys_u64>(first->ExceptionAddress),
                                     pointers->ContextRecord->Rsp),
                module);
    sys_u64 index = 0;
    for (const EXCEPTION_RECORD* record = first; record; record = record->ExceptionRecord)
        crash_report_record(&report, index++, record->ExceptionCode, record->ExceptionFlags,
                            reinterpret_cast<sys_u64>(record->ExceptionAddress), module);
    report.builder.append_context_messages();
    callstack_entry frames[kCrashMaxFrames]; // on the stack: two threads may crash at once
    crash_report_callstack(&report, pointers->ContextRecord, frames);
    show_report(report);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

void os_crash_write_minidump(const char* path, void* exception) {
    wchar_t wide[kCrashPathSize];
    if (!MultiByteToWideChar(CP_UTF8, 0, path, -1, wide, kCrashPathSize))
        wide[0] = 0;
    filesystem_create_directories_in_path(path);
    HANDLE file = CreateFileW(wide, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        crash_log_unable_to_open(path);
        return;
    }
    HMODULE dbghelp = static_cast<HMODULE>(os_callstack_dbghelp_module());
    FARPROC found = dbghelp ? GetProcAddress(dbghelp, "MiniDumpWriteDump") : nullptr;
    if (found) {
        auto write_dump =
            reinterpret_cast<MiniDumpWriteDumpFn>(reinterpret_cast<void (*)()>(found));
        MINIDUMP_EXCEPTION_INFORMATION info;
        info.ThreadId = GetCurrentThreadId();
        info.ExceptionPointers = static_cast<EXCEPTION_POINTERS*>(exception);
        info.ClientPointers = TRUE;
        // A failed write leaves what it wrote; nothing more can be done from here.
        write_dump(GetCurrentProcess(), GetCurrentProcessId(), file, kDumpFlags,
                   exception ? &info : nullptr, nullptr, nullptr);
    }
    FlushFileBuffers(file);
    CloseHandle(file);
}

void os_crash_install_handler() {
    SetUnhandledExceptionFilter(sys_unhandled_exception_filter);
}
