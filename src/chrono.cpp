// The monotonic clock: counter ticks, microsecond differences and the global start tick.
//
// The frequency and the start tick are written once by the load-time routine, before any
// other code of the library can run, and only read afterwards, so no call here takes a lock.
// It is the library's only load-time work: everything else process-wide is constant data or
// created lazily by the family that owns it, so load order between libraries never matters.
#include "chrono_internal.h"

#include "qv_sys/assertion.h"

#include "platform/os.h"

namespace {

sys_i64 s_frequency = 0;
sys_u64 s_global_start_time = 0;

// The exported chrono_now can be interposed, so calls to it from here would not be inlined.
sys_u64 now_ticks() {
    sys_u64 ticks = 0;
    const bool b = os_clock_now(&ticks);
    SYS_CHECK(b);
    return ticks;
}

__attribute__((constructor)) void chrono_init_at_load() {
    const bool b = os_clock_frequency(&s_frequency);
    SYS_CHECK(b);
    s_global_start_time = now_ticks();
}

} // namespace

// The product is formed before the division, in unsigned arithmetic so that it wraps instead
// of being undefined; only then is it read as signed. Dividing first would lose the
// sub-tick precision at low frequencies; the price is overflow on very long differences.
sys_i64 chrono_microseconds_between(sys_u64 a, sys_u64 b, sys_i64 frequency) {
    const sys_i64 product = (sys_i64)((a - b) * 1000000u);
    return product / frequency;
}

sys_u64 chrono_ticks_after(sys_u64 t, sys_i64 microseconds, sys_i64 frequency) {
    const sys_i64 product = (sys_i64)((sys_u64)frequency * (sys_u64)microseconds);
    return t + (sys_u64)(product / 1000000);
}

sys_u64 chrono_now(void) {
    return now_ticks();
}

sys_u64 chrono_global_start_time(void) {
    return s_global_start_time;
}

sys_i64 chrono_microsecond_diff(sys_u64 a, sys_u64 b) {
    return chrono_microseconds_between(a, b, s_frequency);
}

sys_i64 chrono_now_microsecond_diff(sys_u64 t) {
    return chrono_microseconds_between(now_ticks(), t, s_frequency);
}

sys_i64 chrono_now_microsecond_diff_and_update(sys_u64* tick) {
    const sys_u64 now = now_ticks();
    const sys_i64 diff = chrono_microseconds_between(now, *tick, s_frequency);
    *tick = now;
    return diff;
}

sys_i64 chrono_now_microsecond_diff_global_start_time(void) {
    return chrono_microseconds_between(now_ticks(), s_global_start_time, s_frequency);
}

sys_u64 chrono_add_microseconds(sys_u64 t, sys_i64 microseconds) {
    return chrono_ticks_after(t, microseconds, s_frequency);
}
