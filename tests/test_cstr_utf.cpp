// UTF-8 / UTF-32 conversion and case mapping, and on Windows the UTF-16
// conversions: exact counts, terminators, truncation at the buffer, malformed and cut input.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/cstr.h"
#include "qv_sys/platform.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

constexpr sys_u32 kSentinel = 0xDEADBEEF;

// ---- Lead bytes and validity ----------------------------------------------------------------

TEST(Utf8, IsValid) {
    struct Case {
        const char* text;
        sys_bool valid;
    };
    // clang-format off
    const Case cases[] = {
        {"", 1}, {"plain ascii", 1},
        {"\xe2\x82\xac", 1}, // euro sign
        {"a\xc3\xa9z\xf0\x9f\x98\x80", 1}, // e acute and an emoji
        {"\x80", 0}, // continuation byte first
        {"ab\x80", 0},
        {"\xf8\x88\x80\x80\x80", 0}, // five-byte lead
        {"\xff", 0},
        {"\xc3" "A", 1}, // bytes stepped over are not inspected
        {"\xc3\xc3\x80", 0}, // ... so the step lands on a continuation byte
        // Cut short by the NUL: invalid, and nothing past the NUL is read.
        {"\xe2\x82", 0}, {"a\xf0\x9f\x98", 0}, {"\xc3", 0},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(sys_utf8_is_valid(c.text), c.valid) << testing::PrintToString(c.text);
}

// ---- UTF-8 to UTF-32 ------------------------------------------------------------------------

std::vector<sys_u32> decode(const char* text, sys_u64 max, sys_u64* result) {
    std::vector<sys_u32> out(max + 2, kSentinel);
    *result = sys_utf8_to_utf32(text, out.data(), max);
    return out;
}

// Room for n code points: a terminator only when one is left over. A sequence cut short by the
// NUL ends the text.
TEST(Utf8ToUtf32, CountsAndTerminator) {
    struct Case {
        const char* text;
        sys_u64 max, result;
        std::vector<sys_u32> out; // then the sentinel
    };
    // clang-format off
    const Case cases[] = {
        {"\xe2\x82\xac", 4, 1, {0x20AC, 0}}, {"a\xc3\xa9z", 2, 2, {'a', 0xE9}},
        {"a\xc3\xa9z", 3, 3, {'a', 0xE9, 'z'}}, {"a\xc3\xa9z", 4, 3, {'a', 0xE9, 'z', 0}},
        {"", 1, 0, {0}}, {"ab\xe2\x82", 8, 2, {'a', 'b', 0}}, {"ab\xe2", 8, 2, {'a', 'b', 0}},
        {"ab\xf0\x9f\x98", 8, 2, {'a', 'b', 0}}, {"ab\xc3", 8, 2, {'a', 'b', 0}},
    };
    // clang-format on
    for (const auto& c : cases) {
        sys_u64 n = 0;
        std::vector<sys_u32> out = decode(c.text, c.max, &n);
        EXPECT_EQ(n, c.result) << c.text << " in " << c.max;
        std::vector<sys_u32> expected = c.out;
        expected.push_back(kSentinel);
        out.resize(expected.size());
        EXPECT_EQ(out, expected) << c.text << " in " << c.max;
    }
}

// Each sequence length at both of its ends (so every lead-byte boundary), both ways; random
// texts round-trip in the fuzz target. Decoding does not check continuation bytes: their low six
// bits are taken as they are, so an overlong NUL decodes to 0 and surrogates pass.
TEST(Utf8Utf32, EveryLengthAtItsEndsAndUncheckedPayload) {
    struct Case {
        const char* text;
        sys_u32 cp;
        bool encodes_back;
    };
    // clang-format off
    const Case cases[] = {
        {"\x01", 0x01, true}, {"\x7f", 0x7F, true}, {"\xc2\x80", 0x80, true},
        {"\xdf\xbf", 0x7FF, true}, {"\xe0\xa0\x80", 0x800, true}, {"\xef\xbf\xbf", 0xFFFF, true},
        {"\xf0\x90\x80\x80", 0x10000, true}, {"\xf4\x8f\xbf\xbf", 0x10FFFF, true},
        {"\xc3\x28", (0x03u << 6) | 0x28u, false}, {"\xc0\x80", 0, false},
        {"\xed\xa0\x80", 0xD800, true}, {"\xf7\xbf\xbf\xbf", 0x1FFFFF, false},
    };
    // clang-format on
    for (const Case& c : cases) {
        const std::string text = testing::PrintToString(c.text);
        sys_u64 n = 0;
        std::vector<sys_u32> out = decode(c.text, 4, &n);
        EXPECT_EQ(n, 1u) << text;
        EXPECT_EQ(out[0], c.cp) << text;
        if (c.encodes_back) {
            const sys_u32 cps[] = {c.cp, 0};
            char buf[8];
            EXPECT_EQ(sys_utf32_to_utf8(cps, buf, sizeof buf), strlen(c.text)) << text;
            EXPECT_STREQ(buf, c.text);
            EXPECT_EQ(sys_utf32n_to_utf8(cps, 1, buf, sizeof buf), strlen(c.text)) << text;
        }
    }
}

// ---- UTF-32 to UTF-8 ------------------------------------------------------------------------

// Whole sequences only, then the bytes shown from a buffer pre-filled with '#'. The terminated
// form (n = kAll) keeps a byte for its NUL; the counted one writes none, takes 0 as a character
// and may fill the buffer to its last byte.
TEST(Utf32ToUtf8, WholeSequencesAndTheNul) {
    using namespace std::string_literals;
    constexpr sys_u64 kAll = ~0ull;
    const sys_u32 text[] = {0x41, 0x20AC, 0}, zero_a[] = {0, 0x41}, euros[] = {0x20AC, 0x20AC};
    struct Case {
        const sys_u32* text;
        sys_u64 n, capacity, result;
        std::string shown;
    };
    // clang-format off
    const Case cases[] = {
        {text, kAll, 4, 1, "A\0#"s}, {text, kAll, 5, 4, "A\xe2\x82\xac\0#"s},
        {text, kAll, 1, 0, "\0#"s}, {zero_a, 2, 2, 2, "\0A#"s}, {zero_a, 2, 1, 1, "\0#"s},
        {zero_a, 0, 4, 0, "#"},
        {euros, 2, 4, 3, "\xe2\x82\xac#"}, {euros, 2, 6, 6, "\xe2\x82\xac\xe2\x82\xac#"},
    };
    // clang-format on
    for (const Case& c : cases) {
        char buf[16];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(c.n == kAll ? sys_utf32_to_utf8(c.text, buf, c.capacity)
                              : sys_utf32n_to_utf8(c.text, c.n, buf, c.capacity),
                  c.result)
            << c.text[0] << " n " << c.n << " in " << c.capacity;
        EXPECT_EQ(std::string(buf, c.shown.size()), c.shown) << c.n << " in " << c.capacity;
    }
}

// Without a debugger the checks end the process; that each one fires, and the failure values
// after it, are UtfChecks' (with the exact texts) and UtfDebuggee's (by its trap count).
TEST(UtfDeathTest, ChecksEndTheProcess) {
    const char lead = (char)0xF8;
    QV_EXPECT_CHECK_FAILS(sys_utf8_character_byte_size(&lead));
    const sys_u32 big[] = {0x110000, 0};
    char buf[8];
    QV_EXPECT_CHECK_FAILS(sys_utf32n_to_utf8(big, 1, buf, 8));
}

#if QV_TEST_RECORDS_CHECKS
TEST(UtfChecks, TextsAndFailureValues) {
    qv_test::CheckRecorder recorder;
    const char bad = (char)0x80;
    EXPECT_EQ(sys_utf8_character_byte_size(&bad), 0u);

    sys_u32 out[5] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(sys_utf8_to_utf32("ab\377cd", out, 4), 4u); // the bad byte fills the rest
    EXPECT_EQ(std::vector<sys_u32>(out, out + 5),
              (std::vector<sys_u32>{'a', 'b', 0, 0, kSentinel}));
    EXPECT_EQ(sys_utf8_to_utf32("a", nullptr, 4), 0u);
    EXPECT_EQ(sys_utf8_to_utf32("a", out, 0), 0u);
    char buf[16] = "unchanged";
    const sys_u32 big[] = {0x41, 0x110000, 0xFFFFFFFF, 0};
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, 0), 0u);
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, sizeof buf), 9u);
    EXPECT_STREQ(buf, "A\xf4\x90\x80\x80\xf7\xbf\xbf\xbf"); // low 21 bits, four bytes
    EXPECT_EQ(sys_utf32n_to_utf8(big + 1, 1, buf, 4), 4u);

    const std::string invalid = "!\"Invalid UTF8\"", none = "codepoints && max_codepoints",
                      big_cp = "curr <= 0x10ffff";
    const std::vector<std::string> expected = {invalid,   invalid, none,   none,
                                               "!\"no\"", big_cp,  big_cp, big_cp};
    EXPECT_EQ(recorder.conditions, expected);
}
#endif

// ---- Case mapping ---------------------------------------------------------------------------

// Every code point through the case mapping is the case table's test (itest_cstr); here the
// counted forms.
TEST(Utf32Case, CountedFormsStopAtNOrZero) {
    sys_u32 text[] = {'a', 'b', 'c', 0, 'd'};
    sys_utf32n_to_upper(text, 2);
    EXPECT_EQ(text[2], (sys_u32)'c');
    sys_utf32n_to_upper(text, 100);
    sys_utf32n_to_lower(text, 1);
    sys_utf32n_to_lower(text + 1, 0);
    EXPECT_EQ(std::vector<sys_u32>(text, text + 5), (std::vector<sys_u32>{'a', 'B', 'C', 0, 'd'}));
    sys_u32 empty[] = {0, 'a'};
    sys_utf32_to_upper(empty);
    sys_utf32n_to_upper(empty, 2);
    EXPECT_EQ(empty[1], (sys_u32)'a');
}

// ---- UTF-16 (Windows only) ------------------------------------------------------------------

#if defined(_WIN32)
TEST(WindowsWide, RoundTripWithCountsIncludingTerminator) {
    const char* utf8 = "A\xe2\x82\xac\xf0\x9f\x98\x80"; // A, euro, an emoji (a surrogate pair)
    wchar_t wide[16];
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 16, utf8), 5u);
    const wchar_t expected[] = {L'A', 0x20AC, 0xD83D, 0xDE00, 0};
    EXPECT_EQ(memcmp(wide, expected, sizeof expected), 0);
    char back[16];
    EXPECT_EQ(sys_windows_wide_to_utf8(back, 16, wide), 9u);
    EXPECT_STREQ(back, utf8);
    // Exactly enough room.
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 5, utf8), 5u);
    EXPECT_EQ(sys_windows_wide_to_utf8(back, 9, wide), 9u);
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 1, ""), 1u);
    EXPECT_EQ(wide[0], 0);
    EXPECT_EQ(sys_windows_wide_to_utf8(back, 1, L""), 1u);
    EXPECT_EQ(back[0], 0);
}

TEST(WindowsWide, MalformedInputBecomesReplacementCharacters) {
    wchar_t wide[16];
    // A continuation byte alone.
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 16, "a\x80z"), 4u);
    EXPECT_EQ(wide[1], (wchar_t)0xFFFD);
    EXPECT_EQ(wide[2], L'z');
    // A lone surrogate becomes U+FFFD's three bytes.
    const wchar_t lone[] = {L'a', (wchar_t)0xD800, L'b', 0};
    char out[16];
    EXPECT_EQ(sys_windows_wide_to_utf8(out, 16, lone), 6u);
    EXPECT_STREQ(out, "a\xef\xbf\xbd"
                      "b");
}

TEST(WindowsWideDeathTest, BufferTooSmallFailsTheCheck) {
    wchar_t wide[4];
    char out[4];
    QV_EXPECT_CHECK_FAILS(sys_windows_utf8_to_wide(wide, 4, "abcd"));
    QV_EXPECT_CHECK_FAILS(sys_windows_wide_to_utf8(out, 4, L"abcd"));
    QV_EXPECT_CHECK_FAILS(sys_windows_wide_to_utf8(out, 0, L""));
}

#endif

// Failure values after each check, resumed under a real debugger (on Windows also the wide
// conversions', which give 0).
TEST(UtfDebuggee, DISABLED_FailureValues) {
    const char bad = (char)0xF8;
    EXPECT_EQ(sys_utf8_character_byte_size(&bad), 0u);
    sys_u32 out[3] = {kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(sys_utf8_to_utf32("\x80", out, 2), 2u);
    EXPECT_EQ(std::vector<sys_u32>(out, out + 3), (std::vector<sys_u32>{0, 0, kSentinel}));
    EXPECT_EQ(sys_utf8_to_utf32("a", nullptr, 1), 0u);
    char buf[8] = "keep";
    const sys_u32 big[] = {0x110000, 0};
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, 0), 0u);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, 8), 4u);
#if defined(_WIN32)
    wchar_t wide[4];
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 4, "abcd"), 0u);
    EXPECT_EQ(sys_windows_wide_to_utf8(buf, 4, L"abcd"), 0u);
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 0, "a"), 0u);
#endif
    qv_test::end_debuggee();
}

TEST(UtfUnderDebugger, ChecksTrapAndTakeTheFailurePath) {
#if defined(_WIN32)
    qv_test::expect_under_debugger("UtfDebuggee.DISABLED_FailureValues", 8);
#else
    qv_test::expect_under_debugger("UtfDebuggee.DISABLED_FailureValues", 5);
#endif
}

} // namespace
