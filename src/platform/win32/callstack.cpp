// Windows: stack walking and symbols through the debug-help library, loaded at run time so
// that a copy shipped beside the game takes precedence over the system's.
#include "platform/os.h"

#include <windows.h>

#include <dbghelp.h>
#include <string.h>

#include <initializer_list>

namespace {

using SymInitializeFn = BOOL(WINAPI*)(HANDLE, PCSTR, BOOL);
using SymCleanupFn = BOOL(WINAPI*)(HANDLE);
using SymGetSymFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD64, PIMAGEHLP_SYMBOL64);
using SymGetLineFromAddr64Fn = BOOL(WINAPI*)(HANDLE, DWORD64, PDWORD, PIMAGEHLP_LINE64);
using SymSetOptionsFn = DWORD(WINAPI*)(DWORD);
using StackWalk64Fn = BOOL(WINAPI*)(DWORD, HANDLE, HANDLE, LPSTACKFRAME64, PVOID,
                                    PREAD_PROCESS_MEMORY_ROUTINE64,
                                    PFUNCTION_TABLE_ACCESS_ROUTINE64, PGET_MODULE_BASE_ROUTINE64,
                                    PTRANSLATE_ADDRESS_ROUTINE64);
using UnDecorateSymbolNameFn = DWORD(WINAPI*)(PCSTR, PSTR, DWORD, DWORD);

struct DbgHelp {
    SymInitializeFn initialize;
    SymCleanupFn cleanup; // looked up, never called: the handler stays for the process
    SymGetSymFromAddr64Fn sym_from_addr;
    SymGetLineFromAddr64Fn line_from_addr;
    SymSetOptionsFn set_options;
    StackWalk64Fn stack_walk;
    UnDecorateSymbolNameFn undecorate;
    PGET_MODULE_BASE_ROUTINE64 module_base;
    PFUNCTION_TABLE_ACCESS_ROUTINE64 function_table;
};

HMODULE s_dbghelp = nullptr;
DbgHelp s_fn{};

constexpr DWORD kPathChars = 4096;
constexpr DWORD kSymoptDebug = 0x80000000;
// Without the debug option: the library's defaults (undecorated names, symbols read when first
// needed) plus line numbers, which dbghelp otherwise does not load.
constexpr DWORD kSymoptDefault = SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES;

template <typename Fn> bool find(const char* name, Fn* out) {
    FARPROC p = GetProcAddress(s_dbghelp, name);
    // Through a generic function pointer type, which the compiler accepts as a cast target.
    *out = reinterpret_cast<Fn>(reinterpret_cast<void (*)()>(p));
    return p != nullptr;
}

// `dir` (n characters) followed by `name`, when it fits.
bool join(wchar_t* path, DWORD n, const wchar_t* name) {
    size_t len = wcslen(name);
    if (n + len + 1 > kPathChars)
        return false;
    memcpy(path + n, name, (len + 1) * sizeof(wchar_t));
    return true;
}

// Whether the variable exists at all, with any value (even an empty one).
bool env_exists(const wchar_t* name) {
    wchar_t probe[2];
    SetLastError(ERROR_SUCCESS);
    DWORD n = GetEnvironmentVariableW(name, probe, 2);
    return n > 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

void build_search_path(wchar_t* path) {
    size_t len = 0;
    path[len++] = L'.';
    path[len] = 0;
    wchar_t value[kPathChars];
    for (const wchar_t* name : {L"_NT_SYMBOL_PATH", L"_NT_ALTERNATE_SYMBOL_PATH"}) {
        DWORD n = GetEnvironmentVariableW(name, value, kPathChars);
        if (n == 0 || n >= kPathChars) // unset, empty, or larger than the buffer
            continue;
        if (len + 1 < kPathChars)
            path[len++] = L';';
        for (DWORD i = 0; i < n && len + 1 < kPathChars; ++i)
            path[len++] = value[i];
        path[len] = 0;
    }
}

// Looks up one frame's address and hands it to the visitor.
bool visit_frame(HANDLE process, DWORD64 address, OsFrameVisitor visit, void* user) {
    alignas(IMAGEHLP_SYMBOL64) unsigned char storage[sizeof(IMAGEHLP_SYMBOL64) + 1024];
    memset(storage, 0, sizeof storage);
    IMAGEHLP_SYMBOL64* symbol = reinterpret_cast<IMAGEHLP_SYMBOL64*>(storage);
    symbol->SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
    symbol->MaxNameLength = 1023;
    DWORD64 symbol_displacement = 0;
    OsFrameSymbol frame{nullptr, nullptr, 0, 0};
    if (!s_fn.sym_from_addr(process, address, &symbol_displacement, symbol))
        return visit(user, frame);

    char name[512];
    frame.function =
        s_fn.undecorate(symbol->Name, name, sizeof name, UNDNAME_COMPLETE) ? name : symbol->Name;
    IMAGEHLP_LINE64 line;
    memset(&line, 0, sizeof line);
    line.SizeOfStruct = sizeof line;
    DWORD line_displacement = 0;
    if (s_fn.line_from_addr(process, address, &line_displacement, &line)) {
        frame.file = line.FileName;
        frame.line = line.LineNumber;
        frame.displacement = line_displacement;
    }
    return visit(user, frame);
}

} // namespace

void os_callstack_load_symbol_library() {
    wchar_t path[kPathChars];
    // 1. Beside the running program.
    DWORD n = GetModuleFileNameW(nullptr, path, kPathChars);
    if (n > 0 && n < kPathChars) {
        while (n > 0 && path[n - 1] != L'\\')
            --n;
        if (join(path, n, L"dbghelp.dll")) {
            s_dbghelp = LoadLibraryW(path);
            if (s_dbghelp)
                return;
        }
    }
    // 2. In the current directory.
    n = GetCurrentDirectoryW(kPathChars, path);
    if (n > 0 && n < kPathChars && join(path, n, L"\\dbghelp.dll")) {
        s_dbghelp = LoadLibraryW(path);
        if (s_dbghelp)
            return;
    }
    // 3. The system's normal search.
    s_dbghelp = LoadLibraryW(L"dbghelp.dll");
}

bool os_callstack_symbols_start() {
    os_callstack_load_symbol_library();
    if (!s_dbghelp)
        return false;
    DbgHelp fn{};
    // Every name is looked up (no short cut) so a debugger sees each missing one.
    int missing = !find("SymInitialize", &fn.initialize) + !find("SymCleanup", &fn.cleanup) +
                  !find("SymGetSymFromAddr64", &fn.sym_from_addr) +
                  !find("SymGetLineFromAddr64", &fn.line_from_addr) +
                  !find("SymSetOptions", &fn.set_options) + !find("StackWalk64", &fn.stack_walk) +
                  !find("UnDecorateSymbolName", &fn.undecorate) +
                  !find("SymGetModuleBase64", &fn.module_base) +
                  !find("SymFunctionTableAccess64", &fn.function_table);
    if (missing != 0)
        return false;
    s_fn = fn;

    s_fn.set_options(env_exists(L"QV_SYMBOL_DEBUG_OUTPUT") ? kSymoptDebug : kSymoptDefault);

    wchar_t wide_path[kPathChars];
    build_search_path(wide_path);
    // The ANSI entry point takes the path in the process's code page.
    char path[kPathChars * 2];
    if (!WideCharToMultiByte(CP_ACP, 0, wide_path, -1, path, sizeof path, nullptr, nullptr))
        path[0] = 0;
    // A second initialisation of the same process fails with ERROR_INVALID_PARAMETER: the
    // handler from the first one is still there and serves.
    if (!s_fn.initialize(GetCurrentProcess(), path, TRUE) &&
        GetLastError() != ERROR_INVALID_PARAMETER)
        return false;
    return true;
}

__attribute__((noinline)) sys_u64 os_callstack_walk(void* context, OsFrameVisitor visit,
                                                    void* user) {
    CONTEXT ctx;
    // Only the first frame of a given context stopped at its own instruction; every other
    // frame's address is a return address, looked up one byte back, inside its call.
    bool exact = context != nullptr;
    if (context) {
        memcpy(&ctx, context, sizeof ctx);
        // A call through a null pointer stops at an address without unwind information, where
        // the walk would end at once: start instead from the caller, whose return address the
        // call left on top of the stack.
        if (ctx.Rip < 256 && ctx.Rsp != 0) {
            ctx.Rip = *reinterpret_cast<const DWORD64*>(ctx.Rsp);
            ctx.Rsp += 8;
            exact = false;
        }
    } else {
        RtlCaptureContext(&ctx);
    }

    STACKFRAME64 frame;
    memset(&frame, 0, sizeof frame);
    frame.AddrPC.Offset = ctx.Rip;
    frame.AddrPC.Mode = AddrModeFlat;
    frame.AddrStack.Offset = ctx.Rsp;
    frame.AddrStack.Mode = AddrModeFlat;
    frame.AddrFrame.Offset = ctx.Rbp;
    frame.AddrFrame.Mode = AddrModeFlat;

    HANDLE process = GetCurrentProcess();
    HANDLE thread = GetCurrentThread();
    // A captured context stands in this function: its frame is not shown.
    bool skip = context == nullptr;
    sys_u64 count = 0;
    while (s_fn.stack_walk(IMAGE_FILE_MACHINE_AMD64, process, thread, &frame, &ctx, nullptr,
                           s_fn.function_table, s_fn.module_base, nullptr)) {
        if (skip) {
            skip = false;
            exact = false;
            continue;
        }
        const DWORD64 pc = frame.AddrPC.Offset;
        const DWORD64 address = exact || pc == 0 ? pc : pc - 1;
        exact = false;
        ++count;
        if (!visit_frame(process, address, visit, user))
            break;
    }
    __asm__ __volatile__("" : : : "memory");
    return count;
}

void* os_callstack_dbghelp_module() {
    return s_dbghelp;
}
