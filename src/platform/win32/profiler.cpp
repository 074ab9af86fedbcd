// The profiler's own system calls on Windows: the C runtime's assertion, the performance
// counter and a thread of its own.
#include "platform/os.h"

#include <windows.h>

#include <process.h>
#include <stdlib.h>

extern "C" _CRTIMP void __cdecl _wassert(const wchar_t* message, const wchar_t* file,
                                         unsigned line);

// The assertion texts and file names are ASCII; widening them byte by byte is exact.
static void widen(const char* text, wchar_t* out, size_t capacity) {
    size_t i = 0;
    for (; text[i] != '\0' && i + 1 < capacity; ++i)
        out[i] = (wchar_t)(unsigned char)text[i];
    out[i] = L'\0';
}

void os_prf_assert_fail(const char* text, const char* file, unsigned line) {
    wchar_t wide_text[256];
    wchar_t wide_file[260];
    widen(text, wide_text, 256);
    widen(file, wide_file, 260);
    _wassert(wide_text, wide_file, line);
    abort(); // _wassert may return when the user chooses to ignore
}

sys_u64 os_prf_counter() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (sys_u64)now.QuadPart;
}

// The performance counter's source is the system's choice, so it is always asked for.
bool os_prf_counter_is_tsc() {
    return false;
}

sys_u64 os_prf_counter_frequency() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return (sys_u64)frequency.QuadPart;
}

void* os_prf_thread_start(sys_u32 (*entry)(void* param), void* param) {
    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, 0, entry, param, 0, &id);
    return (void*)handle;
}

void os_prf_thread_join(void* handle) {
    WaitForSingleObject((HANDLE)handle, INFINITE);
    CloseHandle((HANDLE)handle);
}

sys_u64 os_prf_thread_cpu_us(void* handle) {
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes((HANDLE)handle, &created, &exited, &kernel, &user))
        return 0;
    // 100 ns units.
    sys_u64 k = ((sys_u64)kernel.dwHighDateTime << 32) | kernel.dwLowDateTime;
    sys_u64 u = ((sys_u64)user.dwHighDateTime << 32) | user.dwLowDateTime;
    return (k + u) / 10u;
}

void os_prf_name_thread(const char* name) {
    // Thread id 0xFFFFFFFF names the calling thread.
    os_thread_announce_name(GetCurrentThread(), 0xFFFFFFFFu, name);
}
