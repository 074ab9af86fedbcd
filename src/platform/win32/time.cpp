// Windows: the C runtime's 64-bit time functions, and the current runtime's strftime.
#include "platform/os.h"

#include <time.h>
#include <windows.h>

sys_i64 os_time_now() {
    return (sys_i64)_time64(nullptr);
}

// _localtime64 fills storage shared by the process; the caller holds the conversion lock
// until the copy is taken.
bool os_time_local(sys_i64 t, struct tm* out) {
    const __time64_t value = (__time64_t)t;
    const struct tm* local = _localtime64(&value);
    if (local == nullptr)
        return false;
    *out = *local;
    return true;
}

namespace {

using StrftimeFn = size_t(__cdecl*)(char*, size_t, const char*, const struct tm*);

// The build links the older system runtime, whose strftime treats the C99 conversions (%F,
// %T, %e, %z as an offset, ...) as invalid; the current one (ucrtbase.dll, part of every
// supported Windows) formats them, as programs built by the platform's own compiler do. Both
// share the layout of struct tm. Looked up on first use, never at load.
StrftimeFn current_strftime() {
    static const StrftimeFn fn = [] {
        const HMODULE runtime = LoadLibraryW(L"ucrtbase.dll");
        const FARPROC found = runtime ? GetProcAddress(runtime, "strftime") : nullptr;
        return found ? (StrftimeFn)(void*)found : &strftime;
    }();
    return fn;
}

} // namespace

sys_u64 os_time_format(char* buffer, sys_u64 size, const char* format, const struct tm* t) {
    return current_strftime()(buffer, (size_t)size, format, t);
}
