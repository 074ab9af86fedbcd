// The monotonic clock and the wall clock, against the platform's own readings.
#include "support/test_support.h"

#include "qv_sys/chrono.h"
#include "qv_sys/time.h"

#include <time.h>

#include <tuple>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace {

// The platform counter read directly, and its ticks per second.
sys_u64 raw_counter(sys_u64* frequency) {
#if defined(_WIN32)
    LARGE_INTEGER now, f;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&now);
    *frequency = (sys_u64)f.QuadPart;
    return (sys_u64)now.QuadPart;
#else
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    *frequency = 10000000; // 100 ns ticks
    return (sys_u64)now.tv_sec * 10000000u + (sys_u64)now.tv_nsec / 100;
#endif
}

// Ticks are the platform counter at its frequency; a stored reading is the one measured to.
TEST(Chrono, TicksAreThePlatformCounter) {
    sys_u64 second;
    const sys_u64 before = raw_counter(&second);
    const sys_u64 now = chrono_now();
    const sys_u64 after = raw_counter(&second);
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);
    EXPECT_LE(chrono_global_start_time(), before);
    EXPECT_NE(chrono_global_start_time(), 0u) << "the load-time capture ran";
    EXPECT_EQ(chrono_add_microseconds(now, 1000000), now + second);
    EXPECT_EQ(chrono_microsecond_diff(now, now + second), -1000000);
    sys_u64 tick = now;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const sys_i64 diff = chrono_now_microsecond_diff_and_update(&tick);
    EXPECT_EQ(diff, chrono_microsecond_diff(tick, now));
    EXPECT_GE(diff, 1000);
    EXPECT_GE(chrono_now_microsecond_diff(now), diff);
}

// Declared first, so that running the whole program still finds the start time unrecorded.
QV_CHECK_SCENARIO(Time, StartTimeBeforeItWasRecorded, 1, EXPECT_EQ(sys_time_at_start(), 0))

TEST(Time, NowAndTheStartTimeAreTheRuntimeClock) {
    const sys_i64 before = (sys_i64)time(nullptr);
    const sys_time now = sys_time_now();
    sys_time_init_start_time();
    const sys_i64 after = (sys_i64)time(nullptr);
    EXPECT_TRUE(before <= now && now <= after);
    EXPECT_TRUE(before <= sys_time_at_start() && sys_time_at_start() <= after);
}

// 2001-06-15 12:00:05 UTC. Any time zone leaves the year, month and seconds alone.
constexpr sys_time kMidJune2001 = 992606405;

TEST(Time, ToStringFormatsAndCountsOrRefuses) {
    // Format, size, text ("": refused or nothing written, result 0); an exact fit counts the NUL.
    const std::tuple<const char*, sys_u64, const char*> cases[] = {
        {"%Y-%m", 64, "2001-06"},
        {"%Y-%m", 8, "2001-06"},
        {"%Y-%m", 7, ""},
        {"[%S] %%", 64, "[05] %"},
        {"plain", 6, "plain"},
        {"", 4, ""},
        {"%F|%C|%g", 64, "2001-06-15|20|01"}};
    for (const auto& [format, size, text] : cases) {
        char buffer[64];
        memset(buffer, 'x', sizeof buffer);
        EXPECT_EQ(sys_time_tostring(buffer, size, format, kMidJune2001), strlen(text))
            << format << " in " << size;
        if (text[0]) {
            EXPECT_STREQ(buffer, text);
        }
    }
}

} // namespace
