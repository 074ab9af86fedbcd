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

TEST(Utf8, ByteSizeOfEveryValidLead) {
    for (int b = 0; b < 256; ++b) {
        const char lead = (char)b;
        int expected = b < 0x80 ? 1 : b < 0xC0 ? 0 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : b < 0xF8 ? 4 : 0;
        if (expected != 0) {
            EXPECT_EQ(sys_utf8_character_byte_size(&lead), expected) << b;
        }
    }
}

TEST(Utf8DeathTest, InvalidLeadFailsTheCheck) {
    for (const char lead : {(char)0x80, (char)0xBF, (char)0xF8, (char)0xFF}) {
        QV_EXPECT_CHECK_FAILS(sys_utf8_character_byte_size(&lead));
    }
}

TEST(Utf8, IsValid) {
    struct Case {
        const char* text;
        sys_bool valid;
    };
    const Case cases[] = {
        {"", 1},
        {"plain ascii", 1},
        {"\xe2\x82\xac", 1},               // euro sign
        {"a\xc3\xa9z\xf0\x9f\x98\x80", 1}, // e acute and an emoji
        {"\x80", 0},                       // continuation byte first
        {"ab\x80", 0},
        {"\xf8\x88\x80\x80\x80", 0}, // five-byte lead
        {"\xff", 0},
        {"\xc3"
         "A",
         1},                 // bytes stepped over are not inspected
        {"\xc3\xc3\x80", 0}, // ... so the step lands on a continuation byte
        // Cut short by the NUL: invalid, and nothing past the NUL is read.
        {"\xe2\x82", 0},
        {"a\xf0\x9f\x98", 0},
        {"\xc3", 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(sys_utf8_is_valid(c.text), c.valid) << testing::PrintToString(c.text);
}

// ---- UTF-8 to UTF-32 ------------------------------------------------------------------------

std::vector<sys_u32> decode(const char* text, sys_u64 max, sys_u64* result) {
    std::vector<sys_u32> out(max + 2, kSentinel);
    *result = sys_utf8_to_utf32(text, out.data(), max);
    return out;
}

TEST(Utf8ToUtf32, CountsAndTerminator) {
    sys_u64 n = 0;
    std::vector<sys_u32> out = decode("\xe2\x82\xac", 4, &n);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(out[0], 0x20ACu);
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(out[2], kSentinel);

    out = decode("a\xc3\xa9z", 2, &n); // three characters, room for two: no terminator
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(out[0], 'a');
    EXPECT_EQ(out[1], 0xE9u);
    EXPECT_EQ(out[2], kSentinel);

    out = decode("a\xc3\xa9z", 4, &n);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(out[2], (sys_u32)'z');
    EXPECT_EQ(out[3], 0u);
    EXPECT_EQ(out[4], kSentinel);

    out = decode("a\xc3\xa9z", 3, &n); // exactly full: still not terminated
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(out[3], kSentinel);

    out = decode("", 1, &n);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], kSentinel);
}

TEST(Utf8ToUtf32, EveryLengthAndUncheckedPayload) {
    struct Case {
        const char* text;
        sys_u32 cp;
    };
    const Case cases[] = {
        {"\x7f", 0x7F},
        {"\xc2\x80", 0x80},
        {"\xdf\xbf", 0x7FF},
        {"\xe0\xa0\x80", 0x800},
        {"\xef\xbf\xbf", 0xFFFF},
        {"\xf0\x90\x80\x80", 0x10000},
        {"\xf4\x8f\xbf\xbf", 0x10FFFF},
        // Continuation bytes are not checked: their low six bits are taken as they are.
        {"\xc3\x28", (0x03u << 6) | 0x28u},
        {"\xc0\x80", 0},          // overlong NUL decodes to 0 ...
        {"\xed\xa0\x80", 0xD800}, // and surrogates pass
        {"\xf7\xbf\xbf\xbf", 0x1FFFFF},
    };
    for (const Case& c : cases) {
        sys_u64 n = 0;
        std::vector<sys_u32> out = decode(c.text, 4, &n);
        EXPECT_EQ(n, 1u) << testing::PrintToString(c.text);
        EXPECT_EQ(out[0], c.cp) << testing::PrintToString(c.text);
    }
}

TEST(Utf8ToUtf32, SequenceCutByTheNulEndsTheText) {
    for (const char* text : {"ab\xe2\x82", "ab\xe2", "ab\xf0\x9f\x98", "ab\xc3"}) {
        sys_u64 n = 0;
        std::vector<sys_u32> out = decode(text, 8, &n);
        EXPECT_EQ(n, 2u) << testing::PrintToString(text);
        EXPECT_EQ(out[1], (sys_u32)'b');
        EXPECT_EQ(out[2], 0u);
        EXPECT_EQ(out[3], kSentinel);
    }
}

TEST(Utf8ToUtf32DeathTest, ChecksEndTheProcess) {
    sys_u32 out[4];
    QV_EXPECT_CHECK_FAILS(sys_utf8_to_utf32("a\x80", out, 4));
    QV_EXPECT_CHECK_FAILS(sys_utf8_to_utf32("a", nullptr, 4));
    QV_EXPECT_CHECK_FAILS(sys_utf8_to_utf32("a", out, 0));
}

// ---- UTF-32 to UTF-8 ------------------------------------------------------------------------

TEST(Utf32ToUtf8, FitsWholeSequencesAndTheNul) {
    const sys_u32 text[] = {0x41, 0x20AC, 0};
    char buf[8];
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(sys_utf32_to_utf8(text, buf, 4), 1u);
    EXPECT_STREQ(buf, "A");
    EXPECT_EQ(buf[2], '#');
    memset(buf, '#', sizeof buf);
    EXPECT_EQ(sys_utf32_to_utf8(text, buf, 5), 4u);
    EXPECT_STREQ(buf, "A\xe2\x82\xac");
    EXPECT_EQ(buf[5], '#');
    EXPECT_EQ(sys_utf32_to_utf8(text, buf, 1), 0u);
    EXPECT_EQ(buf[0], 0);
    const sys_u32 empty[] = {0};
    EXPECT_EQ(sys_utf32_to_utf8(empty, buf, 8), 0u);
    EXPECT_EQ(buf[0], 0);
}

TEST(Utf32ToUtf8, RoundTripOfEveryCodePoint) {
    // All of U+0001..U+10FFFF through both directions, in blocks.
    constexpr sys_u32 kBlock = 4096;
    std::vector<sys_u32> cps(kBlock + 1), back(kBlock + 1);
    std::vector<char> bytes(4 * kBlock + 1);
    for (sys_u32 start = 1; start <= 0x10FFFF; start += kBlock) {
        sys_u32 count = 0;
        for (sys_u32 cp = start; cp < start + kBlock && cp <= 0x10FFFF; ++cp)
            cps[count++] = cp;
        cps[count] = 0;
        const sys_u64 written = sys_utf32_to_utf8(cps.data(), bytes.data(), bytes.size());
        sys_u64 expected_bytes = 0;
        for (sys_u32 i = 0; i < count; ++i)
            expected_bytes += cps[i] < 0x80 ? 1 : cps[i] < 0x800 ? 2 : cps[i] < 0x10000 ? 3 : 4;
        ASSERT_EQ(written, expected_bytes) << start;
        ASSERT_EQ(sys_utf32n_to_utf8(cps.data(), count, bytes.data(), bytes.size()), written);
        bytes[written] = 0;
        ASSERT_EQ(sys_utf8_is_valid(bytes.data()), 1) << start;
        ASSERT_EQ(sys_utf8_to_utf32(bytes.data(), back.data(), back.size()), count) << start;
        ASSERT_EQ(memcmp(back.data(), cps.data(), count * sizeof(sys_u32)), 0) << start;
    }
}

TEST(Utf32nToUtf8, NoTerminatorAndZeroIsACharacter) {
    const sys_u32 text[] = {0, 0x41};
    char buf[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(sys_utf32n_to_utf8(text, 2, buf, 2), 2u);
    EXPECT_EQ(memcmp(buf, "\0A##", 4), 0);
    memset(buf, '#', 4);
    EXPECT_EQ(sys_utf32n_to_utf8(text, 2, buf, 1), 1u);
    EXPECT_EQ(memcmp(buf, "\0###", 4), 0);
    EXPECT_EQ(sys_utf32n_to_utf8(text, 0, buf, 4), 0u);
    const sys_u32 euros[] = {0x20AC, 0x20AC};
    memset(buf, '#', 4);
    EXPECT_EQ(sys_utf32n_to_utf8(euros, 2, buf, 4), 3u); // the second does not fit
    EXPECT_EQ(buf[3], '#');
    char exact[6];
    EXPECT_EQ(sys_utf32n_to_utf8(euros, 2, exact, 6), 6u); // filled to the last byte
    EXPECT_EQ(memcmp(exact, "\xe2\x82\xac\xe2\x82\xac", 6), 0);
}

TEST(Utf32ToUtf8DeathTest, ChecksEndTheProcess) {
    const sys_u32 big[] = {0x110000, 0};
    char buf[8];
    QV_EXPECT_CHECK_FAILS(sys_utf32_to_utf8(big, buf, 8));
    QV_EXPECT_CHECK_FAILS(sys_utf32n_to_utf8(big, 1, buf, 8));
    QV_EXPECT_CHECK_FAILS(sys_utf32_to_utf8(big + 1, buf, 0));
}

#if QV_TEST_RECORDS_CHECKS
TEST(UtfChecks, TextsAndFailureValues) {
    qv_test::CheckRecorder recorder;
    const char bad = (char)0x80;
    EXPECT_EQ(sys_utf8_character_byte_size(&bad), 0u);

    sys_u32 out[5] = {kSentinel, kSentinel, kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(sys_utf8_to_utf32("ab\xff"
                                "cd",
                                out, 4),
              4u);
    EXPECT_EQ(out[0], (sys_u32)'a');
    EXPECT_EQ(out[1], (sys_u32)'b');
    EXPECT_EQ(out[2], 0u);
    EXPECT_EQ(out[3], 0u);
    EXPECT_EQ(out[4], kSentinel);

    EXPECT_EQ(sys_utf8_to_utf32("a", nullptr, 4), 0u);
    out[0] = kSentinel;
    EXPECT_EQ(sys_utf8_to_utf32("a", out, 0), 0u);
    EXPECT_EQ(out[0], kSentinel);

    char buf[16] = "unchanged";
    const sys_u32 big[] = {0x41, 0x110000, 0xFFFFFFFF, 0};
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, 0), 0u);
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, sizeof buf), 9u);
    EXPECT_STREQ(buf, "A\xf4\x90\x80\x80\xf7\xbf\xbf\xbf"); // low 21 bits, four bytes
    EXPECT_EQ(sys_utf32n_to_utf8(big + 1, 1, buf, 4), 4u);

    const std::vector<std::string> expected = {"!\"Invalid UTF8\"",
                                               "!\"Invalid UTF8\"",
                                               "codepoints && max_codepoints",
                                               "codepoints && max_codepoints",
                                               "!\"no\"",
                                               "curr <= 0x10ffff",
                                               "curr <= 0x10ffff",
                                               "curr <= 0x10ffff"};
    EXPECT_EQ(recorder.conditions, expected);
}
#endif

// ---- Case mapping ---------------------------------------------------------------------------

TEST(Utf32Case, MappedAndUnmappedPairs) {
    sys_u32 text[] = {0xE9, 0xFF, 0x131, 0xDF, 0x4E2D, 'a', 0};
    sys_utf32_to_upper(text);
    const sys_u32 upper[] = {0xC9, 0x178, 0x49, 0xDF, 0x4E2D, 'A', 0};
    EXPECT_EQ(memcmp(text, upper, sizeof upper), 0);
    sys_u32 lower[] = {0x178, 0x42F, 0x49, 0x10A0, 0x24B6, 0xFF21, 0};
    sys_utf32_to_lower(lower);
    const sys_u32 expected[] = {0xFF, 0x44F, 0x69, 0x10D0, 0x24D0, 0xFF41, 0};
    EXPECT_EQ(memcmp(lower, expected, sizeof expected), 0);

    EXPECT_EQ(sys_utf32_is_upper(0x178), 1);
    EXPECT_EQ(sys_utf32_is_upper(0x410), 1);
    EXPECT_EQ(sys_utf32_is_upper(0x49), 1);
    EXPECT_EQ(sys_utf32_is_upper(0x61), 0);
    EXPECT_EQ(sys_utf32_is_lower(0x131), 1);
    EXPECT_EQ(sys_utf32_is_lower(0x61), 1);
    EXPECT_EQ(sys_utf32_is_lower(0x41), 0);
    EXPECT_EQ(sys_utf32_is_lower(0), 0);
    EXPECT_EQ(sys_utf32_is_upper(0), 0);
    EXPECT_EQ(sys_utf32_is_upper(0xFFFFFFFF), 0);
}

TEST(Utf32Case, CountedFormsStopAtNOrZero) {
    sys_u32 text[] = {'a', 'b', 'c', 0, 'd'};
    sys_utf32n_to_upper(text, 2);
    EXPECT_EQ(text[1], (sys_u32)'B');
    EXPECT_EQ(text[2], (sys_u32)'c');
    sys_utf32n_to_upper(text, 100);
    EXPECT_EQ(text[2], (sys_u32)'C');
    EXPECT_EQ(text[4], (sys_u32)'d'); // past the 0
    sys_utf32n_to_lower(text, 1);
    EXPECT_EQ(text[0], (sys_u32)'a');
    EXPECT_EQ(text[1], (sys_u32)'B');
    sys_utf32n_to_lower(text, 0);
    EXPECT_EQ(text[1], (sys_u32)'B');
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
    EXPECT_EQ(wide[0], L'A');
    EXPECT_EQ(wide[1], (wchar_t)0x20AC);
    EXPECT_EQ(wide[2], (wchar_t)0xD83D);
    EXPECT_EQ(wide[3], (wchar_t)0xDE00);
    EXPECT_EQ(wide[4], 0);
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
    // A continuation byte alone, and a sequence cut short by the NUL.
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 16, "a\x80z"), 4u);
    EXPECT_EQ(wide[1], (wchar_t)0xFFFD);
    EXPECT_EQ(wide[2], L'z');
    const sys_u64 n = sys_windows_utf8_to_wide(wide, 16, "a\xe2\x82");
    ASSERT_GE(n, 3u);
    EXPECT_EQ(wide[1], (wchar_t)0xFFFD);
    EXPECT_EQ(wide[n - 1], 0);
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

// Run only under the debugger of the test below: each failed check traps, is resumed, and the
// conversion gives 0.
TEST(WindowsWideDebuggee, DISABLED_FailureValues) {
    wchar_t wide[4];
    char out[4];
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 4, "abcd"), 0u);
    EXPECT_EQ(sys_windows_wide_to_utf8(out, 4, L"abcd"), 0u);
    EXPECT_EQ(sys_windows_utf8_to_wide(wide, 0, "a"), 0u);
    qv_test::end_debuggee();
}

TEST(WindowsWideUnderDebugger, ChecksTrapAndGiveZero) {
    qv_test::expect_under_debugger("WindowsWideDebuggee.DISABLED_FailureValues", 3);
}
#endif

// Failure values of the portable checks under a real debugger, on both platforms.
TEST(UtfDebuggee, DISABLED_FailureValues) {
    const char bad = (char)0xF8;
    EXPECT_EQ(sys_utf8_character_byte_size(&bad), 0u);
    sys_u32 out[3] = {kSentinel, kSentinel, kSentinel};
    EXPECT_EQ(sys_utf8_to_utf32("\x80", out, 2), 2u);
    EXPECT_EQ(out[0], 0u);
    EXPECT_EQ(out[1], 0u);
    EXPECT_EQ(out[2], kSentinel);
    EXPECT_EQ(sys_utf8_to_utf32("a", nullptr, 1), 0u);
    char buf[8] = "keep";
    const sys_u32 big[] = {0x110000, 0};
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, 0), 0u);
    EXPECT_STREQ(buf, "keep");
    EXPECT_EQ(sys_utf32_to_utf8(big, buf, 8), 4u);
    qv_test::end_debuggee();
}

TEST(UtfUnderDebugger, ChecksTrapAndTakeTheFailurePath) {
    qv_test::expect_under_debugger("UtfDebuggee.DISABLED_FailureValues", 5);
}

} // namespace
