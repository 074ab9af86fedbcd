// Windows: the performance counter.
#include "platform/os.h"

#include <windows.h>

bool os_clock_frequency(sys_i64* ticks_per_second) {
    LARGE_INTEGER frequency;
    frequency.QuadPart = 0;
    const BOOL b = QueryPerformanceFrequency(&frequency);
    *ticks_per_second = frequency.QuadPart;
    return b != 0;
}

bool os_clock_now(sys_u64* ticks) {
    LARGE_INTEGER now;
    now.QuadPart = 0;
    const BOOL b = QueryPerformanceCounter(&now);
    *ticks = (sys_u64)now.QuadPart;
    return b != 0;
}
