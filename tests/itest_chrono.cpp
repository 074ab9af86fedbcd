// The clock's tick arithmetic at chosen frequencies, and the load-time capture in a program
// that links the library's objects statically.
#include "support/test_support.h"

#include "chrono_internal.h"

namespace {

TEST(ChronoInternals, MicrosecondsBetweenMultipliesFirstAndTruncatesTowardZero) {
    struct Case {
        sys_u64 a, b;
        sys_i64 frequency;
        sys_i64 expected;
    };
    const Case cases[] = {
        {15, 0, 10000000, 1},        // 1.5 us
        {0, 15, 10000000, -1},       // -1.5 us: toward zero, not down to -2
        {1, 0, 3, 333333},           // dividing first would give 0
        {999, 0, 1000000000, 0},     // under a microsecond at 1 GHz
        {1000, 1999, 1000000000, 0}, // -0.999 us
        {1ull << 40, 0, 10000000, 109951162777},
        // Past 2^63 / 10^6 ticks the product wraps before the division.
        {1ull << 44, 0, 10000000, -85455802929},
        {5000, 1ull << 63, 1000000000, 5}, // 2^63 x 10^6 wraps to 0
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chrono_microseconds_between(c.a, c.b, c.frequency), c.expected)
            << c.a << " - " << c.b << " at " << c.frequency;
    }
}

TEST(ChronoInternals, TicksAfterScalesBySignedMicroseconds) {
    struct Case {
        sys_u64 t;
        sys_i64 microseconds;
        sys_i64 frequency;
        sys_u64 expected;
    };
    const Case cases[] = {
        {100, 0, 10000000, 100}, {100, 1000000, 10000000, 10000100},
        {100, -1, 10000000, 90}, {100, 1, 3, 100},                       // 3 / 10^6 of a tick
        {100, -1, 3, 100},                                               // toward zero: not 99
        {100, -400000, 3, 99},   {0, -1, 1000000000, ~sys_u64(0) - 999}, // before tick 0 wraps
    };
    for (const Case& c : cases) {
        EXPECT_EQ(chrono_ticks_after(c.t, c.microseconds, c.frequency), c.expected)
            << c.t << " + " << c.microseconds << " us at " << c.frequency;
    }
}

TEST(ChronoInternals, LoadTimeCaptureRunsInStaticallyLinkedPrograms) {
    EXPECT_NE(chrono_global_start_time(), 0u);
    EXPECT_GE(chrono_now_microsecond_diff_global_start_time(), 0);
}

} // namespace
