// Byte strings: exact results, terminator placement, truncation, the one check.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/cstr.h"

#include <tuple>

namespace {

TEST(StrncpyStrcpyStrcat, ResultTerminatorAndTruncation) {
    const char unterminated[3] = {'a', 'b', 'c'}; // read only up to the capacity
    // Source, capacity, length; the byte after the NUL is left alone, capacity 0 writes nothing.
    const std::tuple<const char*, sys_u64, sys_u64> cases[] = {
        {"abcdefg", 5, 4}, {"abcdefg", 8, 7}, {"abcdefg", 7, 6},   {"abcdefg", 1, 0},
        {"", 10, 0},       {"abc", 0, 0},     {unterminated, 3, 2}};
    char dst[32];
    for (const auto& [src, capacity, length] : cases) {
        memset(dst, '#', sizeof dst);
        EXPECT_EQ(sys_strncpy(dst, src, capacity), length) << std::string(src, length) << capacity;
        EXPECT_EQ(std::string(dst, length + 2),
                  capacity ? std::string(src, length) + '\0' + '#' : "##")
            << capacity;
    }
    // The unbounded forms give the length, and the end for strcat.
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(sys_strcpy(dst, "file"), 4u);
    EXPECT_EQ(std::string(dst, 6), std::string("file\0#", 6));
    EXPECT_EQ(sys_strcat(dst, "name"), dst + 8);
    EXPECT_STREQ(dst, "filename");
    EXPECT_EQ(sys_strcpy(dst, ""), 0u);
    EXPECT_EQ(sys_strcat(dst, "ab"), dst + 2);
}

TEST(StrbeginStrendEqualsAny, PositionsNullsAndWholeTexts) {
    const char* text = "filename";
    // Affix, offsets into text of strbegin's and strend's results, -1 for null.
    const std::tuple<const char*, long, long> cases[] = {
        {"file", 4, -1},    {"name", -1, 4},       {"", 0, 8},
        {"filename", 8, 0}, {"filenames", -1, -1}, {"nam", -1, -1}};
    for (const auto& [affix, begin, end] : cases) {
        const char *b = sys_strbegin(text, affix), *e = sys_strend(text, affix);
        EXPECT_EQ(b ? b - text : -1, begin) << affix;
        EXPECT_EQ(e ? e - text : -1, end) << affix;
    }
    for (const char* t : {(const char*)nullptr, text})
        EXPECT_TRUE(!sys_strbegin(t, t ? nullptr : "a") && !sys_strend(t, t ? nullptr : ""));
    const char* empty = "";
    EXPECT_EQ(sys_strend(empty, ""), empty); // the empty text's own NUL
    // Whole texts only among the first `count` names.
    const char* names[] = {"alpha", "beta", "gamma", ""};
    EXPECT_TRUE(sys_strequals_any("beta", names, 4) && sys_strequals_any("", names, 4));
    for (const char* other : {"bet", "betas", "gamma"}) // gamma: past the count
        EXPECT_EQ(sys_strequals_any(other, names, 2), SYS_FALSE) << other;
    EXPECT_EQ(sys_strequals_any("alpha", names, 0), SYS_FALSE);
}

// Each search as an offset into the text (-1: null) at the edges that define it; the reverse walk
// (REV, from text + n down to text, both included) reads raw memory over NULs.
TEST(Search, FirstAndLastOccurrences) {
    enum Fn { CHR, RCHR, NCHR, STR, RSTR, PBRK, RPBRK, NPBRK, REV };
    // Call, text, argument (the character is its first byte), n (NCHR, NPBRK, REV), offset found.
    using Case = std::tuple<Fn, const char*, const char*, sys_u64, long>;
    const char* path = "path/to\\file.txt";
    const char mem[] = {'x', 'a', '\0', 'b', 'a', 'c'};
    // clang-format off
    const Case cases[] = {
        {CHR, "abcabc", "a", 0, 0}, {RCHR, "abcabc", "a", 0, 3}, {CHR, "abcabc", "x", 0, -1},
        {RCHR, "abcabc", "x", 0, -1}, {CHR, "abcabc", "", 0, -1}, {RCHR, "abcabc", "", 0, -1},
        {CHR, "", "a", 0, -1}, {RCHR, "", "a", 0, -1}, {CHR, "a\xe9z", "\xe9", 0, 1},
        {NCHR, "abcdef", "c", 3, 2}, {NCHR, "abcdef", "c", 2, -1}, {NCHR, "abcdef", "a", 0, -1},
        {NCHR, "abcdef", "f", 100, 5}, {NCHR, "ab\0cd", "c", 5, -1},
        {STR, "abc", "", 0, 0}, {RSTR, "abc", "", 0, 2}, {STR, "", "", 0, 0}, {RSTR, "", "", 0, 0},
        {STR, "abcabc", "bc", 0, 1}, {RSTR, "abcabc", "bc", 0, 4}, {RSTR, "abcabc", "abcabc", 0, 0},
        {STR, "abcabc", "abcabcd", 0, -1}, {RSTR, "abcabc", "abcabcd", 0, -1},
        {STR, "aaaa", "aa", 0, 0}, {RSTR, "aaaa", "aa", 0, 2}, {STR, "xxabxab", "ab", 0, 2},
        {RSTR, "xxabxab", "ab", 0, 5}, {RSTR, "ab", "b", 0, 1}, {RSTR, "a", "a", 0, 0},
        {PBRK, path, "\\/", 0, 4}, {RPBRK, path, "\\/", 0, 7}, {RPBRK, path, "?*", 0, -1},
        {PBRK, path, "", 0, -1}, {RPBRK, path, "", 0, -1}, {PBRK, "", "a", 0, -1},
        {PBRK, "a\xff\x80", "\x80\xff", 0, 1}, {RPBRK, "a\xff\x80", "\x80\xff", 0, 2},
        {NPBRK, path, "\\/", 4, -1}, {NPBRK, path, "\\/", 5, 4}, {NPBRK, path, "p", 0, -1},
        {NPBRK, path, "t", 1000, 2}, {REV, mem, "a", 5, 4}, {REV, mem, "a", 3, 1},
        {REV, mem, "", 5, 2}, {REV, mem, "x", 5, 0}, {REV, mem, "c", 5, 5}, {REV, mem + 1, "x", 4, -1},
    };
    // clang-format on
    for (const auto& [fn, t, arg, n, at] : cases) {
        const char* found = fn == CHR     ? sys_strchr(t, arg[0])
                            : fn == RCHR  ? sys_strrchr(t, arg[0])
                            : fn == NCHR  ? sys_strnchr(t, n, arg[0])
                            : fn == STR   ? sys_strstr(t, arg)
                            : fn == RSTR  ? sys_strrstr(t, arg)
                            : fn == PBRK  ? sys_strpbrk(t, arg)
                            : fn == RPBRK ? sys_strrpbrk(t, arg)
                            : fn == NPBRK ? sys_strnpbrk(t, n, arg)
                                          : sys_strchr_rev(t, t + n, arg[0]);
        EXPECT_EQ(found ? found - t : -1, at) << fn << " " << t << " / " << arg;
    }
    EXPECT_EQ(sys_strchr_rev(mem + 2, mem + 1, 'a'), nullptr); // start below the bound
}

TEST(Strreplace, BytesSetsAndTextsThatGrowShrinkAndNeverRescan) {
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        // clang-format off
        {"aXbXc", "X", "YY", "aYYbYYc"}, {"aXbXc", "X", "", "abc"}, {"aXbXc", "X", "XX", "aXXbXXc"},
        {"abc", "", "zz", "abc"}, {"XXXX", "XX", "X", "XX"}, {"abab", "ab", "ba", "baba"},
        {"hello world", "world", "there, world", "hello there, world"},
        // clang-format on
    };
    for (const auto& [text, pattern, replacement, expected] : cases) {
        char buf[128];
        strcpy(buf, text);
        EXPECT_EQ(sys_strreplace_str(buf, pattern, replacement), strlen(expected)) << text;
        EXPECT_STREQ(buf, expected) << text << " " << pattern << " -> " << replacement;
    }
    char t[] = "a.b\\c.d:e";
    sys_strreplace(t, '.', '/');
    EXPECT_STREQ(t, "a/b\\c/d:e");
    sys_strreplace_any(t, "\\/:", '_');
    EXPECT_STREQ(t, "a_b_c_d_e");
    sys_strreplace_any(t, "", '#');
    EXPECT_STREQ(t, "a_b_c_d_e");
}

// The whole result or nothing; the first entry for a byte wins; an empty replacement deletes it.
TEST(Strnreplacechr, WholeResultOrNothing) {
    const char chars[] = {'/', '%', '/'};
    const char* const replacements[] = {"::", "%%", "x"};
    char dst[16];
    for (sys_u64 capacity = 0; capacity < 12; ++capacity) {
        strcpy(dst, "xyz");
        const sys_u64 n = sys_strnreplacechr(dst, capacity, "a/b%", chars, replacements, 3);
        EXPECT_EQ(n, capacity >= 7 ? 6u : 0u) << capacity;
        EXPECT_STREQ(dst, capacity >= 7 ? "a::b%%" : capacity ? "" : "xyz") << capacity;
    }
    EXPECT_EQ(sys_strnreplacechr(dst, 8, "a/b", chars, replacements, 0), 3u);
    EXPECT_STREQ(dst, "a/b");
    const char* const deleting[] = {"", "", ""};
    EXPECT_EQ(sys_strnreplacechr(dst, sizeof dst, "a/b%c", chars, deleting, 3), 3u);
    EXPECT_STREQ(dst, "abc");
}

// 32 entries are allowed and a result too long is no check; 33 entries fail it.
void more_than_32_entries() {
    char chars[33], dst[16];
    const char* reps[33];
    for (int i = 0; i < 33; ++i) {
        chars[i] = (char)('A' + i);
        reps[i] = "";
    }
    EXPECT_EQ(sys_strnreplacechr(dst, sizeof dst, "xAy`a", chars, reps, 32), 3u);
    EXPECT_STREQ(dst, "xya");
    EXPECT_EQ(sys_strnreplacechr(dst, 3, "xAy`a", chars, reps, 32), 0u);
    EXPECT_EQ(sys_strnreplacechr(dst, sizeof dst, "abc", chars, reps, 33), 0u);
    EXPECT_STREQ(dst, "");
}
QV_CHECK_SCENARIO_TEXTS(Strnreplacechr, MoreThan32EntriesFailTheCheck, 1,
                        ("(sizeof(lengths)/sizeof(lengths[0])) >= count"),
                        { more_than_32_entries(); })

TEST(AsciiCase, EveryByteAndTexts) {
    for (int i = 0; i < 256; ++i) {
        const char c = (char)i;
        const bool upper = i >= 'A' && i <= 'Z', lower = i >= 'a' && i <= 'z';
        EXPECT_EQ(sys_charisupper_ascii(c), upper ? 1 : 0) << i;
        EXPECT_EQ(sys_charislower_ascii(c), lower ? 1 : 0) << i;
        EXPECT_EQ(sys_charisalpha_ascii(c), upper || lower ? 1 : 0) << i;
        EXPECT_EQ(sys_charisdigit_ascii(c), i >= '0' && i <= '9' ? 1 : 0) << i;
        EXPECT_EQ(sys_chartolower_ascii(c), upper ? (char)(i + 32) : c) << i;
        EXPECT_EQ(sys_chartoupper_ascii(c), lower ? (char)(i - 32) : c) << i;
    }
    char t[] = "Hello, World! \xc3\x89t\xc3\xa9 123";
    sys_strtolower_ascii(t);
    EXPECT_STREQ(t, "hello, world! \xc3\x89t\xc3\xa9 123");
    sys_strtoupper_ascii(t);
    EXPECT_STREQ(t, "HELLO, WORLD! \xc3\x89T\xc3\xa9 123");
    EXPECT_EQ(sys_strislower_ascii("_[]{}1"), 1);
    EXPECT_EQ(sys_strislower_ascii("aB") + sys_strisupper_ascii("aB"), 0);
}

} // namespace
