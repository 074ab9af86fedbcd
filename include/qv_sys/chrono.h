/* qv_sys chrono: the monotonic high-resolution clock.
 *
 * Times are ticks, raw values of the platform's performance counter, meaningful only as
 * differences. The counter's frequency and a global start tick are taken once when the
 * library is loaded; log time stamps are measured from that start tick.
 *
 * Windows: QueryPerformanceCounter, at QueryPerformanceFrequency ticks per second.
 * Linux: CLOCK_MONOTONIC counted in 100 ns ticks, so 10,000,000 ticks per second (the rate
 * of the usual Windows counter).
 *
 * Differences are computed as (a - b) x 1,000,000 in wrapping 64-bit arithmetic before the
 * division by the frequency, so they are exact but overflow past 2^63 / 10^6 ticks: about
 * 10 days at 10 MHz, on both platforms. Nothing guards against that. All functions are free of
 * locks and may run on any thread. */
#ifndef QV_SYS_CHRONO_H
#define QV_SYS_CHRONO_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* The current tick. A failed counter read fails the check "b" and returns whatever the
 * platform produced. */
QV_SYS_API sys_u64 chrono_now(void);

/* The tick taken when the library was loaded. */
QV_SYS_API sys_u64 chrono_global_start_time(void);

/* Microseconds from tick `b` to tick `a`: positive when `a` is later, negative when earlier,
 * truncated toward zero. */
QV_SYS_API sys_i64 chrono_microsecond_diff(sys_u64 a, sys_u64 b);

/* Microseconds from tick `t` to now. */
QV_SYS_API sys_i64 chrono_now_microsecond_diff(sys_u64 t);

/* Microseconds from `*tick` to now, and `*tick` becomes that same now: measuring successive
 * intervals this way loses no time between them. */
QV_SYS_API sys_i64 chrono_now_microsecond_diff_and_update(sys_u64* tick);

/* Microseconds since the library was loaded. */
QV_SYS_API sys_i64 chrono_now_microsecond_diff_global_start_time(void);

/* The tick `microseconds` after `t` (before it when negative): t + frequency x microseconds
 * / 1,000,000, the product in signed 64-bit arithmetic and the division truncating toward
 * zero. */
QV_SYS_API sys_u64 chrono_add_microseconds(sys_u64 t, sys_i64 microseconds);

QV_SYS_END_C

#endif /* QV_SYS_CHRONO_H */
