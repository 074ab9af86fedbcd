// Linux: the counter is CLOCK_MONOTONIC (a vDSO call, no system call) counted in 100 ns
// ticks, a frequency of 10 MHz.
//
// Why not nanoseconds: tick differences become microseconds as (a - b) x 1,000,000 / f with
// the product formed first, in 64 bits. At 1 GHz that product wraps after about 2.5 hours,
// so every log time stamp of a long session would be garbage. At 10 MHz, the rate Windows'
// performance counter runs at on current machines, it wraps after about ten days, as it does
// there, and a tick is still ten times finer than the microseconds callers see.
#include "platform/os.h"

#include <time.h>

namespace {
constexpr sys_u64 kNanosecondsPerTick = 100;
constexpr sys_i64 kTicksPerSecond = 1000000000 / kNanosecondsPerTick;
} // namespace

// Asking for the clock's resolution confirms that the clock exists, which is all a frequency
// query can fail on.
bool os_clock_frequency(sys_i64* ticks_per_second) {
    *ticks_per_second = kTicksPerSecond;
    timespec resolution;
    return clock_getres(CLOCK_MONOTONIC, &resolution) == 0;
}

bool os_clock_now(sys_u64* ticks) {
    timespec now;
    if (clock_gettime(CLOCK_MONOTONIC, &now) != 0)
        return false;
    *ticks =
        (sys_u64)now.tv_sec * (sys_u64)kTicksPerSecond + (sys_u64)now.tv_nsec / kNanosecondsPerTick;
    return true;
}
