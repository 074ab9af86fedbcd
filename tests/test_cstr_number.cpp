// Number conversion: formatter counts (with the NUL), parser flags, edges and round trips.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/cstr.h"

#include <float.h>
#include <math.h>

#include <random>
#include <tuple>

namespace {

// Every radix at the edges and around every power of ten (where the digit count is computed)
// against the obvious digits; negated, the same digits after a sign, the most negative included.
TEST(UtoaItoa, EveryRadixAtTheEdges) {
    std::vector<sys_u64> values = {UINT64_MAX};
    for (sys_u64 p : {8ull, 16ull, 256ull, (unsigned long long)INT64_MAX})
        values.insert(values.end(), {p - 1, p, p + 1});
    for (sys_u64 k = 0, p = 1; k < 20; ++k, p *= 10)
        values.insert(values.end(), {p - 1, p, p + 1});
    char buf[80];
    for (unsigned radix = 2; radix <= 16; ++radix) {
        for (sys_u64 v : values) {
            std::string expected;
            for (sys_u64 rest = v; expected.empty() || rest; rest /= radix)
                expected.insert(expected.begin(), "0123456789abcdef"[rest % radix]);
            ASSERT_EQ(sys_utoa(v, buf, (sys_u8)radix), expected.size() + 1) << v << " r" << radix;
            ASSERT_EQ(std::string(buf), expected) << v << " r" << radix;
            EXPECT_TRUE(v > (sys_u64)INT64_MAX ||
                        sys_itoa((sys_i64)v, buf, (sys_u8)radix) == expected.size() + 1);
            if (v == 0 || v > (sys_u64)INT64_MAX + 1)
                continue;
            ASSERT_EQ(sys_itoa((sys_i64)(0 - v), buf, (sys_u8)radix), expected.size() + 2);
            ASSERT_EQ(std::string(buf), "-" + expected) << v << " r" << radix;
        }
    }
}

// A radix outside 2 to 16 fails the check (each call traps once) and writes an empty text.
QV_CHECK_SCENARIO_TEXTS(UtoaItoa, RadixOutside2To16FailsTheCheck, 4,
                        ("radix <= 16", "radix >= 2", "radix >= 2", "radix <= 16"), {
                            char buf[8] = "xxxxxxx";
                            EXPECT_EQ(sys_utoa(5, buf, 17), 1u);
                            EXPECT_STREQ(buf, "");
                            memcpy(buf, "xxxxxxx", 8);
                            EXPECT_EQ(sys_itoa(-5, buf, 1), 1u);
                            EXPECT_STREQ(buf, "");
                            EXPECT_EQ(sys_utoa(5, buf, 1) + sys_itoa(-5, buf, 17), 2u);
                        })

// A '|' in a table's text makes it the counted form with n the bytes before the bar.
std::pair<std::string, size_t> split_bar(std::string text) {
    const size_t n = text.find('|');
    if (n != std::string::npos)
        text.erase(n, 1);
    return {text, n};
}

// u: atou, i: atoi. Overflow wraps silently; the radix is not checked; a sign comes first, white
// space may follow it. The flag may be null.
TEST(IntegerParsers, KnownValues) {
    // Text, radix, value (atoi's as its two's complement), flag, parser.
    const std::tuple<const char*, sys_u8, sys_u64, sys_bool, char> cases[] = {
        // clang-format off
        {" \t42xyz", 10, 42, 1, 'u'}, {"   ", 10, 0, 0, 'u'}, {"ff", 10, 0, 0, 'u'},
        {"FF", 16, 255, 1, 'u'}, {"", 10, 0, 0, 'u'}, {"\n\v\f\r 7", 10, 7, 1, 'u'},
        {"0x1f", 16, 0, 1, 'u'}, {"-1", 10, 0, 0, 'u'}, {"12", 2, 1, 1, 'u'}, {"9", 9, 0, 0, 'u'},
        {"5", 0, 0, 0, 'u'}, {"000", 1, 0, 1, 'u'}, {"g", 17, 0, 0, 'u'}, {"f0", 17, 255, 1, 'u'},
        {"18446744073709551615", 10, UINT64_MAX, 1, 'u'}, {"18446744073709551616", 10, 0, 1, 'u'},
        {"-12", 10, (sys_u64)-12, 1, 'i'}, {" -12", 10, 0, 0, 'i'}, {"- 12", 10, (sys_u64)-12, 1, 'i'},
        {"+12", 10, 0, 0, 'i'}, {"12", 10, 12, 1, 'i'}, {"-", 10, 0, 0, 'i'}, {"--1", 10, 0, 0, 'i'},
        {"-ff", 16, (sys_u64)-255, 1, 'i'}, {"-9223372036854775808", 10, (sys_u64)INT64_MIN, 1, 'i'},
        {"9223372036854775807", 10, (sys_u64)INT64_MAX, 1, 'i'},
        {"9223372036854775808", 10, (sys_u64)INT64_MIN, 1, 'i'},
        {"123|45", 10, 123, 1, 'u'}, {"|12345", 10, 0, 0, 'u'}, {"  |12", 10, 0, 0, 'u'},
        {"  1|2", 10, 1, 1, 'u'}, {"-|12", 10, 0, 0, 'i'}, {"-1|2", 10, (sys_u64)-1, 1, 'i'},
        {"|-12", 10, 0, 0, 'i'},
        // clang-format on
    };
    for (const auto& [text, radix, value, flag, parser] : cases) {
        const auto [copy, n] = split_bar(text);
        const char* t = copy.c_str();
        const bool counted = n != std::string::npos;
        sys_bool ok = 7;
        const sys_u64 v =
            parser == 'u'
                ? (counted ? sys_antou(t, n, radix, &ok) : sys_atou(t, radix, &ok))
                : (sys_u64)(counted ? sys_antoi(t, n, radix, &ok) : sys_atoi(t, radix, &ok));
        EXPECT_EQ(v, value) << parser << " " << text << " r" << (int)radix;
        EXPECT_EQ(ok, flag) << parser << " " << text << " r" << (int)radix;
    }
    const char unterminated[2] = {'4', '2'};
    EXPECT_EQ(sys_antou(unterminated, 2, 10, nullptr) + sys_atou("12", 10, nullptr), 54u);
}

// 16 digits are kept, the rest only counts: the 17th significant digit is lost. Zeros and huge
// exponents keep the sign; no white space is skipped.
TEST(Atof64, KnownValues) {
    const std::tuple<const char*, double, sys_bool> cases[] = {
        // clang-format off
        {"1.5", 1.5, 1}, {".5", 0.5, 1}, {"5.", 5.0, 1}, {"-2e3", -2000.0, 1}, {"1e", 0.0, 0},
        {"-0", -0.0, 1}, {"-5e-99999999999999", -0.0, 1}, {"1e+", 0.0, 0}, {"12abc", 12.0, 1},
        {" 1", 0.0, 0}, {".", 0.0, 0}, {"", 0.0, 0}, {"-", 0.0, 0}, {"+2.25", 2.25, 1},
        {"-.5e1", -5.0, 1}, {"1E2", 100.0, 1}, {"2.5e-1", 0.25, 1}, {"1.2.3", 1.2, 1},
        {"inf", 0.0, 0}, {"0x10", 0.0, 1}, {"0.00000000000000001", 0.0, 1},
        {"12345678901234567890", 12345678901234560000.0, 1},
        {"1.2345678901234567", 1.234567890123456, 1}, {"1e309", HUGE_VAL, 1},
        {"-1e999999999999999999999999999999", -HUGE_VAL, 1},
        {"1e-999999999999999999999999999999", 0.0, 1}, {"0e999999999999999999", 0.0, 1},
        {"1.2|5", 1.2, 1}, {"|1.25", 0.0, 0}, {"-|1", 0.0, 0}, {"1e|5", 0.0, 0}, {"1|e5", 1.0, 1},
        // clang-format on
    };
    for (const auto& [text, value, flag] : cases) {
        const auto [copy, n] = split_bar(text);
        sys_bool ok = 7;
        const double v = n != std::string::npos ? sys_antof64(copy.c_str(), n, &ok)
                                                : sys_atof64(copy.c_str(), &ok);
        EXPECT_EQ(v, value) << text;
        EXPECT_EQ(ok, flag) << text;
        EXPECT_TRUE(!ok || signbit(v) == (text[0] == '-')) << text;
    }
    EXPECT_EQ(sys_atof32("0.5", nullptr), 0.5f);
    EXPECT_EQ(sys_antof32("2.75x", 4, nullptr), 2.75f);
    EXPECT_NEAR(sys_atof64("1e308", nullptr), 1e308, 1e308 * 1e-15);
    EXPECT_GT(sys_atof64("1e-320", nullptr), 0.0); // subnormal, not flushed
}

// Truncated, never rounded; exact up to 10^19, then the exponent form; past 18 decimals, zeros;
// not finite: the words, NaN's sign written as not >= 0. F: the float form.
TEST(F64toa, KnownValuesTruncate) {
    const std::tuple<double, sys_u64, const char*> cases[] = {
        // clang-format off
        {3.14159, 3, "3.141"}, {-0.5, 3, "-0.500"}, {1.05, 3, "1.050"}, {12.7, 0, "12"},
        {1.0, 2, "1.00"}, {2.675, 2, "2.67"}, {0.999999, 3, "0.999"}, {0.29, 2, "0.28"},
        {-0.0, 3, "0.000"}, {0.0, 0, "0"}, {-12.75, 1, "-12.7"}, {0.001, 3, "0.001"},
        {0.0001, 3, "0.000"}, {123456789.0, 0, "123456789"},
        {9223372036854775807.0, 0, "9223372036854775808"}, {1e18, 1, "1000000000000000000.0"},
        {9999999999999997952.0, 2, "9999999999999997952.00"}, {0.5, 18, "0.500000000000000000"},
        {0.5, 20, "0.50000000000000000000"}, {-1.0 / 3.0, 18, "-0.333333333333333312"},
        {HUGE_VAL, 3, "inf"}, {-HUGE_VAL, 3, "-inf"}, {NAN, 3, "-nan"},
        {1e19, 0, "1.0000000000000e+19"}, {-1e19, 5, "-1.0000000000000e+19"},
        {DBL_MAX, 2, "1.7976931348623e+308"}, {-DBL_MAX, 18, "-1.7976931348623e+308"},
        {123456789012345678901234567890.0, 0, "1.2345678901234e+29"}, {1.5f, 2, "F1.50"},
        {-0.25f, 1, "F-0.2"},
        // clang-format on
    };
    for (const auto& [value, decimals, text] : cases) {
        char buf[128];
        memset(buf, '#', sizeof buf);
        const bool f32 = text[0] == 'F';
        const sys_u64 n =
            f32 ? sys_f32toa((float)value, buf, decimals) : sys_f64toa(value, buf, decimals);
        EXPECT_EQ(std::string(buf, n + 1), std::string(text + f32) + '\0' + '#')
            << value << " with " << decimals;
    }
}

// Random decimals parse to within 2e-15 of strtod's reading (16 digits are kept and the scaling
// is in doubles); written back with 9 decimals, they parse to within a nano of themselves.
TEST(FloatRoundTrip, ParseAgainstStrtodThenFormatAndParse) {
    std::mt19937_64 rng(11);
    char text[64], buf[64];
    for (int i = 0; i < 20000; ++i) {
        const long long mantissa = (long long)(rng() % 1000000000000000ull);
        const int exponent = (int)(rng() % 33) - 30; // below 10^18: no exponent form
        // Drawn one by one: the order of a call's arguments differs between compilers.
        const int decimals = (int)(rng() % 100);
        const char* sign = rng() & 1 ? "-" : "";
        snprintf(text, sizeof text, "%s%lld.%de%d", sign, mantissa, decimals, exponent);
        const double expected = strtod(text, nullptr), v = sys_atof64(text, nullptr);
        ASSERT_NEAR(v, expected, fabs(expected) * 2e-15) << text;
        sys_f64toa(v, buf, 9);
        sys_bool ok = 0;
        ASSERT_NEAR(sys_atof64(buf, &ok), v, 1.1e-9 + fabs(v) * 2e-15) << buf;
        ASSERT_EQ(ok, 1);
    }
}

} // namespace
