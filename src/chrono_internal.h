// Internal parts of the clock: the tick arithmetic with an explicit frequency, so the
// arithmetic can be tested at any frequency.
#pragma once

#include "qv_sys/chrono.h"

// (a - b) x 1,000,000 / frequency: product first, wrapping, division truncating toward zero.
sys_i64 chrono_microseconds_between(sys_u64 a, sys_u64 b, sys_i64 frequency);

// t + frequency x microseconds / 1,000,000: signed product, division truncating toward zero.
sys_u64 chrono_ticks_after(sys_u64 t, sys_i64 microseconds, sys_i64 frequency);
