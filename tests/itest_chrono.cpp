// Tick arithmetic at chosen frequencies, and the load-time capture in a static link.
#include "support/test_support.h"

#include "chrono_internal.h"

namespace {

// d: microseconds between ticks a and b; t: the tick b microseconds after a (two's complement).
TEST(ChronoInternals, MicrosecondsBetweenAndTicksAfterTruncateTowardZero) {
    const sys_u64 minus1 = ~sys_u64(0);
    const struct {
        char op;
        sys_u64 a, b;
        sys_i64 frequency;
        sys_u64 expected;
    } cases[] = {
        {'d', 15, 0, 10000000, 1},        // 1.5 us
        {'d', 0, 15, 10000000, minus1},   // -1.5 us: toward zero, not down to -2
        {'d', 1, 0, 3, 333333},           // dividing first would give 0
        {'d', 999, 0, 1000000000, 0},     // under a microsecond at 1 GHz
        {'d', 1000, 1999, 1000000000, 0}, // -0.999 us
        // Past 2^63 / 10^6 ticks the product wraps before the division.
        {'d', 1ull << 44, 0, 10000000, (sys_u64)-85455802929},
        {'d', 5000, 1ull << 63, 1000000000, 5}, // 2^63 x 10^6 wraps to 0
        {'t', 100, 1000000, 10000000, 10000100},
        {'t', 100, minus1, 10000000, 90},
        {'t', 100, 1, 3, 100},      // 3 / 10^6 of a tick
        {'t', 100, minus1, 3, 100}, // toward zero: not 99
        {'t', 100, (sys_u64)-400000, 3, 99},
        {'t', 0, minus1, 1000000000, minus1 - 999}, // before tick 0 wraps
    };
    for (const auto& c : cases) {
        const sys_u64 got = c.op == 'd'
                                ? (sys_u64)chrono_microseconds_between(c.a, c.b, c.frequency)
                                : chrono_ticks_after(c.a, (sys_i64)c.b, c.frequency);
        EXPECT_EQ(got, c.expected) << c.op << " " << c.a << " " << c.b << " at " << c.frequency;
    }
    // The load-time capture runs in a statically linked program too.
    EXPECT_NE(chrono_global_start_time(), 0u);
    EXPECT_GE(chrono_now_microsecond_diff_global_start_time(), 0);
}

} // namespace
