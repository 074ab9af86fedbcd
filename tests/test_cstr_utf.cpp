// UTF-8 / UTF-32 conversion and case mapping, and on Windows the UTF-16 conversions: exact
// counts, terminators, truncation at the buffer, malformed and cut input.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/cstr.h"
#include "qv_sys/platform.h"

#include <tuple>

namespace {

constexpr sys_u32 kSentinel = 0xDEADBEEF;
constexpr sys_u32 kTooBig[] = {0x41, 0x110000, 0xFFFFFFFF, 0};

TEST(Utf8, IsValid) {
    const std::pair<const char*, sys_bool> cases[] = {
        // clang-format off
        {"", 1}, {"plain ascii", 1}, {"\xe2\x82\xac", 1}, {"a\xc3\xa9z\xf0\x9f\x98\x80", 1},
        {"\x80", 0}, {"ab\x80", 0}, {"\xf8\x88\x80\x80\x80", 0}, {"\xff", 0},
        {"\xc3" "A", 1}, // bytes stepped over are not inspected,
        {"\xc3\xc3\x80", 0}, // so the step lands on a continuation byte
        {"\xe2\x82", 0}, {"a\xf0\x9f\x98", 0}, {"\xc3", 0}, // cut short by the NUL
        // clang-format on
    };
    for (const auto& [text, valid] : cases)
        EXPECT_EQ(sys_utf8_is_valid(text), valid) << testing::PrintToString(text);
}

// A terminator only when room is left over; a cut sequence ends the text; each length at both
// ends; continuation bytes unchecked (an overlong NUL decodes to 0, surrogates pass).
TEST(Utf8ToUtf32, CountsTerminatorAndEveryLengthAtItsEnds) {
    // Text, room, result, the code points written (then the sentinel).
    const std::tuple<const char*, sys_u64, sys_u64, std::vector<sys_u32>> cases[] = {
        // clang-format off
        {"\xe2\x82\xac", 4, 1, {0x20AC, 0}}, {"a\xc3\xa9z", 2, 2, {'a', 0xE9}},
        {"a\xc3\xa9z", 3, 3, {'a', 0xE9, 'z'}}, {"a\xc3\xa9z", 4, 3, {'a', 0xE9, 'z', 0}},
        {"", 1, 0, {0}}, {"ab\xe2\x82", 8, 2, {'a', 'b', 0}}, {"ab\xe2", 8, 2, {'a', 'b', 0}},
        {"ab\xf0\x9f\x98", 8, 2, {'a', 'b', 0}}, {"ab\xc3", 8, 2, {'a', 'b', 0}},
        {"\x01", 2, 1, {1, 0}}, {"\x7f", 2, 1, {0x7F, 0}}, {"\xc2\x80", 2, 1, {0x80, 0}},
        {"\xdf\xbf", 2, 1, {0x7FF, 0}}, {"\xe0\xa0\x80", 2, 1, {0x800, 0}},
        {"\xef\xbf\xbf", 2, 1, {0xFFFF, 0}}, {"\xf0\x90\x80\x80", 2, 1, {0x10000, 0}},
        {"\xf4\x8f\xbf\xbf", 2, 1, {0x10FFFF, 0}}, {"\xc3\x28", 2, 1, {(0x03u << 6) | 0x28u, 0}},
        {"\xc0\x80", 2, 1, {0, 0}}, {"\xed\xa0\x80", 2, 1, {0xD800, 0}},
        {"\xf7\xbf\xbf\xbf", 2, 1, {0x1FFFFF, 0}},
        // clang-format on
    };
    for (const auto& [text, max, result, written] : cases) {
        std::vector<sys_u32> out(max + 2, kSentinel);
        EXPECT_EQ(sys_utf8_to_utf32(text, out.data(), max), result) << text << " in " << max;
        std::vector<sys_u32> expected = written;
        expected.push_back(kSentinel);
        out.resize(expected.size());
        EXPECT_EQ(out, expected) << testing::PrintToString(text) << " in " << max;
    }
    // Back again: the code points of each length at its ends, and a surrogate.
    for (const char* text : {"\x01", "\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xef\xbf\xbf",
                             "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xed\xa0\x80"}) {
        sys_u32 cps[2] = {0, 0};
        sys_utf8_to_utf32(text, cps, 1);
        char buf[8];
        EXPECT_EQ(sys_utf32n_to_utf8(cps, 1, buf, sizeof buf), strlen(text)) << cps[0];
        EXPECT_EQ(sys_utf32_to_utf8(cps, buf, sizeof buf), strlen(text)) << cps[0];
        EXPECT_STREQ(buf, text);
    }
}

// Whole sequences only, into a buffer pre-filled with '#'. The terminated form (n = kAll) keeps a
// byte for its NUL; the counted one writes none, takes 0 as a character and may fill the buffer.
TEST(Utf32ToUtf8, WholeSequencesAndTheNul) {
    using namespace std::string_literals;
    constexpr sys_u64 kAll = ~0ull;
    const sys_u32 text[] = {0x41, 0x20AC, 0}, zero_a[] = {0, 0x41}, euros[] = {0x20AC, 0x20AC};
    // Text, n, capacity, result, the buffer's first bytes.
    const std::tuple<const sys_u32*, sys_u64, sys_u64, sys_u64, std::string> cases[] = {
        // clang-format off
        {text, kAll, 4, 1, "A\0#"s}, {text, kAll, 5, 4, "A\xe2\x82\xac\0#"s},
        {text, kAll, 1, 0, "\0#"s}, {zero_a, 2, 2, 2, "\0A#"s}, {zero_a, 2, 1, 1, "\0#"s},
        {zero_a, 0, 4, 0, "#"},
        {euros, 2, 4, 3, "\xe2\x82\xac#"}, {euros, 2, 6, 6, "\xe2\x82\xac\xe2\x82\xac#"},
        // clang-format on
    };
    for (const auto& [text, n, capacity, result, shown] : cases) {
        char buf[16];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(n == kAll ? sys_utf32_to_utf8(text, buf, capacity)
                            : sys_utf32n_to_utf8(text, n, buf, capacity),
                  result)
            << text[0] << " n " << n << " in " << capacity;
        EXPECT_EQ(std::string(buf, shown.size()), shown) << n << " in " << capacity;
    }
}

// Each check fires (the trap count) and the call gives its failure value.
QV_CHECK_SCENARIO_TEXTS(
    Utf8, ChecksFailAndGiveTheirFailureValues, 9,
    ("!\"Invalid UTF8\"", "!\"Invalid UTF8\"", "codepoints && max_codepoints",
     "codepoints && max_codepoints", "!\"no\"", "!\"no\"", "curr <= 0x10ffff", "curr <= 0x10ffff",
     "curr <= 0x10ffff"),
    {
        EXPECT_EQ(sys_utf8_character_byte_size("\xf8"), 0u);
        std::vector<sys_u32> out(5, kSentinel);
        EXPECT_EQ(sys_utf8_to_utf32("ab\377cd", out.data(), 4), 4u); // the bad byte fills the rest
        EXPECT_EQ(out, (std::vector<sys_u32>{'a', 'b', 0, 0, kSentinel}));
        EXPECT_EQ(sys_utf8_to_utf32("a", nullptr, 4), 0u);
        EXPECT_EQ(sys_utf8_to_utf32("a", out.data(), 0), 0u);
        char buf[16] = "unchanged";
        EXPECT_EQ(sys_utf32_to_utf8(kTooBig, buf, 0), 0u);
        EXPECT_EQ(sys_utf32n_to_utf8(kTooBig, 0, buf, 0), 0u); // count 0 first: no report
        EXPECT_EQ(sys_utf32n_to_utf8(kTooBig, 1, buf, 0), 0u);
        EXPECT_STREQ(buf, "unchanged");
        EXPECT_EQ(sys_utf32_to_utf8(kTooBig, buf, sizeof buf), 9u);
        EXPECT_STREQ(buf, "A\xf4\x90\x80\x80\xf7\xbf\xbf\xbf"); // low 21 bits, four bytes
        EXPECT_EQ(sys_utf32n_to_utf8(kTooBig + 1, 1, buf, 4), 4u);
    })

// The counted forms stop at n or at a 0 (every code point through the mapping is itest_cstr's).
TEST(Utf32Case, CountedFormsStopAtNOrZero) {
    sys_u32 text[] = {'a', 'b', 'c', 0, 'd'}, empty[] = {0, 'a'};
    sys_utf32n_to_upper(text, 2);
    EXPECT_EQ(text[2], (sys_u32)'c');
    sys_utf32n_to_upper(text, 100);
    sys_utf32n_to_lower(text, 1);
    sys_utf32n_to_lower(text + 1, 0);
    sys_utf32_to_upper(empty);
    EXPECT_EQ(std::vector<sys_u32>(text, text + 5), (std::vector<sys_u32>{'a', 'B', 'C', 0, 'd'}));
    EXPECT_EQ(empty[1], (sys_u32)'a');
}

#if defined(_WIN32)
// Counts include the terminator; no room at all asks for the size the text needs; malformed input
// becomes replacement characters (a lone continuation byte, a lone surrogate).
TEST(WindowsWide, RoundTripCountsAndMalformedInput) {
    const char* utf8 = "A\xe2\x82\xac\xf0\x9f\x98\x80"; // A, euro, an emoji (a surrogate pair)
    const wchar_t expected[] = {L'A', 0x20AC, 0xD83D, 0xDE00, 0};
    const wchar_t lone[] = {L'a', (wchar_t)0xD800, L'b', 0};
    wchar_t wide[16];
    char back[16];
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 16, utf8), 5u);
    EXPECT_EQ(memcmp(wide, expected, sizeof expected), 0);
    EXPECT_EQ(sys_windows_wide_to_utf8(back, 16, wide), 9u);
    EXPECT_STREQ(back, utf8);
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 5, utf8), 5u); // exactly enough room
    EXPECT_EQ(sys_windows_wide_to_utf8(back, 9, wide), 9u);
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 1, ""), 1u);
    EXPECT_EQ(sys_windows_wide_to_utf8(back, 1, L""), 1u);
    EXPECT_EQ(wide[0] + back[0], 0);
    EXPECT_EQ(sys_windows_utf8_to_wide(nullptr, 0, utf8), 5u);
    EXPECT_EQ(sys_windows_wide_to_utf8(nullptr, 0, expected), 9u);
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 16, "a\x80z"), 4u);
    EXPECT_EQ(std::wstring(wide), L"a\xFFFDz");
    EXPECT_EQ(sys_windows_wide_to_utf8(back, 16, lone), 6u);
    EXPECT_STREQ(back, "a\xef\xbf\xbd"
                       "b");
}

// A buffer too small: nothing is converted.
QV_CHECK_SCENARIO(WindowsWide, BufferTooSmallFailsTheCheck, 2, {
    wchar_t wide[4];
    char out[4];
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 4, "abcd") + sys_windows_wide_to_utf8(out, 4, L"abcd"),
              0u);
})
#endif

} // namespace
