// Byte strings: exact results, terminator placement, truncation, the one check.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/cstr.h"

#include <string.h>

namespace {

// ---- Comparing and copying ----------------------------------------------------------------

TEST(Strncpy, ResultTerminatorAndTruncation) {
    struct Case {
        const char* src;
        sys_u64 capacity;
        const char* expected;
        sys_u64 result;
    };
    // clang-format off
    const Case cases[] = {
        {"abcdefg", 5, "abcd", 4}, {"abcdefg", 8, "abcdefg", 7}, {"abcdefg", 7, "abcdef", 6},
        {"abcdefg", 1, "", 0}, {"", 1, "", 0}, {"", 10, "", 0}, {"ab", 3, "ab", 2},
        {"ab", 100, "ab", 2},
    };
    // clang-format on
    for (const Case& c : cases) {
        char dst[128];
        memset(dst, '#', sizeof dst);
        EXPECT_EQ(sys_strncpy(dst, c.src, c.capacity), c.result) << c.src << " in " << c.capacity;
        EXPECT_STREQ(dst, c.expected);
        // Never padded: the byte after the NUL keeps its old value.
        EXPECT_EQ(dst[c.result + 1], '#') << c.src << " in " << c.capacity;
    }
    char dst[4] = {'x', 'y', 'z', 'w'};
    EXPECT_EQ(sys_strncpy(dst, "abc", 0), 0u);
    EXPECT_EQ(memcmp(dst, "xyzw", 4), 0);
    const char unterminated[3] = {'a', 'b', 'c'}; // read only up to the capacity
    EXPECT_EQ(sys_strncpy(dst, unterminated, 3), 2u);
    EXPECT_STREQ(dst, "ab");
}

TEST(StrcpyStrcat, LengthAndTheNewNul) {
    char dst[32];
    memset(dst, '#', sizeof dst);
    EXPECT_EQ(sys_strcpy(dst, "file"), 4u);
    EXPECT_EQ(dst[5], '#');
    char* end = sys_strcat(dst, "name");
    EXPECT_STREQ(dst, "filename");
    EXPECT_EQ(end, dst + 8);
    EXPECT_EQ(sys_strcat(dst, ""), dst + 8);
    EXPECT_EQ(sys_strcpy(dst, ""), 0u);
    EXPECT_EQ(sys_strcat(dst, "ab"), dst + 2);
}

TEST(Strncmp, DifferenceOfUnsignedBytes) {
    struct Case {
        const char* a;
        const char* b;
        sys_u64 n;
        sys_i64 expected;
    };
    // clang-format off
    const Case cases[] = {
        {"abc", "abd", 2, 0}, {"abc", "abd", 3, 'c' - 'd'}, {"ab", "abc", 5, -'c'},
        {"abc", "ab", 5, 'c'}, {"abc", "abc", 100, 0}, {"abc", "xyz", 0, 0}, {"", "", 5, 0},
        {"", "a", 1, -'a'}, {"\xff", "a", 1, 255 - 'a'}, {"a", "\xff", 1, 'a' - 255},
        {"\x80x", "\x7fx", 2, 1}, {"same text", "same text", ~(sys_u64)0, 0},
    };
    // clang-format on
    for (const Case& c : cases)
        EXPECT_EQ(sys_strncmp(c.a, c.b, c.n), c.expected) << c.a << " / " << c.b << " n " << c.n;
}

TEST(StrequalsAny, WholeTextsOnly) {
    const char* names[] = {"alpha", "beta", "gamma", ""};
    EXPECT_EQ(sys_strequals_any("beta", names, 4), SYS_TRUE);
    EXPECT_EQ(sys_strequals_any("", names, 4), SYS_TRUE);
    EXPECT_EQ(sys_strequals_any("", names, 3), SYS_FALSE);
    EXPECT_EQ(sys_strequals_any("bet", names, 4), SYS_FALSE);
    EXPECT_EQ(sys_strequals_any("betas", names, 4), SYS_FALSE);
    EXPECT_EQ(sys_strequals_any("gamma", names, 2), SYS_FALSE);
    EXPECT_EQ(sys_strequals_any("alpha", names, 0), SYS_FALSE);
}

TEST(StrbeginStrend, PositionsAndNulls) {
    const char* text = "filename";
    struct Case {
        const char* affix;
        long begin, end; // offsets into text, -1 for null
    };
    // clang-format off
    const Case cases[] = {
        {"file", 4, -1}, {"name", -1, 4}, {"", 0, 8}, {"filename", 8, 0}, {"filenames", -1, -1},
        {"nam", -1, -1},
    };
    // clang-format on
    for (const Case& c : cases) {
        const char* b = sys_strbegin(text, c.affix);
        const char* e = sys_strend(text, c.affix);
        EXPECT_EQ(b ? b - text : -1, c.begin) << c.affix;
        EXPECT_EQ(e ? e - text : -1, c.end) << c.affix;
    }
    EXPECT_EQ(sys_strend("name", "filename"), nullptr);
    EXPECT_EQ(sys_strbegin(nullptr, "a"), nullptr);
    EXPECT_EQ(sys_strbegin(text, nullptr), nullptr);
    EXPECT_EQ(sys_strend(nullptr, ""), nullptr);
    EXPECT_EQ(sys_strend(text, nullptr), nullptr);
    const char* empty = "";
    EXPECT_EQ(sys_strend(empty, ""), empty); // the empty text's own NUL
}

// ---- Searching ----------------------------------------------------------------------------

TEST(Strchr, TableOfPositions) {
    const char* t = "abcabc";
    struct Case {
        char c;
        long first, last; // -1 for null
    };
    // clang-format off
    const Case cases[] = {
        {'a', 0, 3}, {'c', 2, 5}, {'x', -1, -1}, {'\0', -1, -1},
    };
    // clang-format on
    for (const Case& c : cases) {
        const char* f = sys_strchr(t, c.c);
        const char* l = sys_strrchr(t, c.c);
        EXPECT_EQ(f ? f - t : -1, c.first) << c.c;
        EXPECT_EQ(l ? l - t : -1, c.last) << c.c;
    }
    EXPECT_EQ(sys_strchr("", 'a'), nullptr);
    EXPECT_EQ(sys_strrchr("", 'a'), nullptr);
    const char* high = "a\xe9z";
    EXPECT_EQ(sys_strchr(high, (char)0xe9), high + 1);
}

TEST(Strnchr, CountedAndStoppedByNul) {
    const char* t = "abcdef";
    EXPECT_EQ(sys_strnchr(t, 3, 'c'), t + 2);
    EXPECT_EQ(sys_strnchr(t, 2, 'c'), nullptr);
    EXPECT_EQ(sys_strnchr(t, 0, 'a'), nullptr);
    EXPECT_EQ(sys_strnchr(t, 100, 'f'), t + 5);
    EXPECT_EQ(sys_strnchr("ab\0cd", 5, 'c'), nullptr);
}

TEST(StrchrRev, WalksRawMemoryDownToTheBound) {
    const char mem[] = {'x', 'a', '\0', 'b', 'a', 'c'};
    EXPECT_EQ(sys_strchr_rev(mem, mem + 5, 'a'), mem + 4);
    EXPECT_EQ(sys_strchr_rev(mem, mem + 3, 'a'), mem + 1); // walks over the 0 byte
    EXPECT_EQ(sys_strchr_rev(mem, mem + 5, '\0'), mem + 2);
    EXPECT_EQ(sys_strchr_rev(mem, mem + 5, 'x'), mem);     // the bound is included
    EXPECT_EQ(sys_strchr_rev(mem, mem + 5, 'c'), mem + 5); // the start is included
    EXPECT_EQ(sys_strchr_rev(mem + 1, mem + 5, 'x'), nullptr);
    EXPECT_EQ(sys_strchr_rev(mem + 2, mem + 1, 'a'), nullptr); // start below the bound
    EXPECT_EQ(sys_strchr_rev(mem + 3, mem + 3, 'b'), mem + 3);
}

TEST(Strpbrk, SetsFirstAndLast) {
    const char* t = "path/to\\file.txt";
    EXPECT_EQ(sys_strpbrk(t, "\\/"), t + 4);
    EXPECT_EQ(sys_strrpbrk(t, "\\/"), t + 7);
    EXPECT_EQ(sys_strrpbrk(t, "?*"), nullptr);
    EXPECT_EQ(sys_strpbrk(t, ""), nullptr);
    EXPECT_EQ(sys_strrpbrk(t, ""), nullptr);
    EXPECT_EQ(sys_strpbrk("", "a"), nullptr);
    EXPECT_EQ(sys_strnpbrk(t, 4, "\\/"), nullptr);
    EXPECT_EQ(sys_strnpbrk(t, 5, "\\/"), t + 4);
    EXPECT_EQ(sys_strnpbrk(t, 0, "p"), nullptr);
    EXPECT_EQ(sys_strnpbrk(t, 1000, "t"), t + 2);
    const char* high = "a\xff\x80";
    EXPECT_EQ(sys_strpbrk(high, "\x80\xff"), high + 1);
    EXPECT_EQ(sys_strrpbrk(high, "\x80\xff"), high + 2);
}

TEST(Strstr, FirstAndLastOccurrence) {
    struct Case {
        const char* text;
        const char* pattern;
        long first, last;
    };
    // clang-format off
    const Case cases[] = {
        {"abc", "", 0, 2}, {"", "", 0, 0}, {"abcabc", "bc", 1, 4}, {"abcabc", "abc", 0, 3},
        {"abcabc", "abcabc", 0, 0}, {"abcabc", "abcabcd", -1, -1}, {"abcabc", "x", -1, -1},
        {"abcabc", "c", 2, 5}, {"", "a", -1, -1}, {"aaaa", "aa", 0, 2}, {"ab", "b", 1, 1},
        {"ab", "abc", -1, -1}, {"xxabxab", "ab", 2, 5}, {"a", "a", 0, 0},
    };
    // clang-format on
    for (const Case& c : cases) {
        const char* f = sys_strstr(c.text, c.pattern);
        const char* l = sys_strrstr(c.text, c.pattern);
        EXPECT_EQ(f ? f - c.text : -1, c.first) << c.text << " / " << c.pattern;
        EXPECT_EQ(l ? l - c.text : -1, c.last) << c.text << " / " << c.pattern;
    }
}

// ---- Replacing ----------------------------------------------------------------------------

TEST(Strreplace, BytesAndSets) {
    char t[] = "a.b.c";
    sys_strreplace(t, '.', '/');
    EXPECT_STREQ(t, "a/b/c");
    sys_strreplace(t, 'x', 'y');
    EXPECT_STREQ(t, "a/b/c");
    char u[] = "a\\b/c:d";
    sys_strreplace_any(u, "\\/:", '_');
    EXPECT_STREQ(u, "a_b_c_d");
    sys_strreplace_any(u, "", '#');
    EXPECT_STREQ(u, "a_b_c_d");
}

TEST(StrreplaceStr, GrowsShrinksAndNeverRescans) {
    struct Case {
        const char* text;
        const char* pattern;
        const char* replacement;
        const char* expected;
    };
    // clang-format off
    const Case cases[] = {
        {"aXbXc", "X", "YY", "aYYbYYc"}, {"aXbXc", "X", "", "abc"}, {"aXbXc", "X", "XX", "aXXbXXc"},
        {"aXbXc", "X", "Z", "aZbZc"}, {"abc", "", "zz", "abc"}, {"abc", "x", "zz", "abc"},
        {"XXXX", "XX", "X", "XX"}, {"abab", "ab", "ba", "baba"}, {"", "a", "b", ""},
        {"hello world", "world", "there, world", "hello there, world"},
    };
    // clang-format on
    for (const Case& c : cases) {
        char buf[128];
        memset(buf, '#', sizeof buf);
        strcpy(buf, c.text);
        EXPECT_EQ(sys_strreplace_str(buf, c.pattern, c.replacement), strlen(c.expected))
            << c.text << " " << c.pattern << " -> " << c.replacement;
        EXPECT_STREQ(buf, c.expected);
    }
}

TEST(Strnreplacechr, WholeResultOrNothing) {
    const char chars[] = {'/', '%'};
    const char* const replacements[] = {"::", "%%"};
    for (sys_u64 capacity = 1; capacity < 12; ++capacity) {
        char dst[16];
        memset(dst, '#', sizeof dst);
        const sys_u64 n = sys_strnreplacechr(dst, capacity, "a/b%", chars, replacements, 2);
        if (capacity >= 7) {
            EXPECT_EQ(n, 6u) << capacity;
            EXPECT_STREQ(dst, "a::b%%");
        } else {
            EXPECT_EQ(n, 0u) << capacity;
            EXPECT_EQ(dst[0], 0) << capacity;
        }
    }
    char dst[8] = "xyz";
    EXPECT_EQ(sys_strnreplacechr(dst, 0, "a/b", chars, replacements, 2), 0u);
    EXPECT_STREQ(dst, "xyz"); // capacity 0 writes nothing
    EXPECT_EQ(sys_strnreplacechr(dst, 8, "", chars, replacements, 2), 0u);
    EXPECT_STREQ(dst, "");
    EXPECT_EQ(sys_strnreplacechr(dst, 8, "a/b", chars, replacements, 0), 3u);
    EXPECT_STREQ(dst, "a/b");
}

TEST(Strnreplacechr, FirstEntryWinsAndEmptyReplacementDeletes) {
    const char chars[] = {'a', 'a', 'b'};
    const char* const replacements[] = {"1", "2", ""};
    char dst[16];
    EXPECT_EQ(sys_strnreplacechr(dst, sizeof dst, "abcab", chars, replacements, 3), 3u);
    EXPECT_STREQ(dst, "1c1");
    // Exactly 32 entries are allowed.
    char many[32];
    const char* reps[32];
    for (int i = 0; i < 32; ++i) {
        many[i] = (char)('A' + i);
        reps[i] = "-";
    }
    EXPECT_EQ(sys_strnreplacechr(dst, sizeof dst, "xAy`", many, reps, 32), 4u);
    EXPECT_STREQ(dst, "x-y-");
}

// 33 entries, one more than the routine takes.
struct TooMany {
    char chars[33];
    const char* reps[33];
    TooMany() {
        for (int i = 0; i < 33; ++i) {
            chars[i] = (char)('A' + i);
            reps[i] = "";
        }
    }
};

TEST(StrnreplacechrDeathTest, MoreThan32EntriesFailTheCheck) {
    TooMany t;
    char dst[16];
    QV_EXPECT_CHECK_FAILS(sys_strnreplacechr(dst, sizeof dst, "abc", t.chars, t.reps, 33));
}

#if QV_TEST_RECORDS_CHECKS
TEST(StrnreplacechrChecks, TextAndFailureValue) {
    TooMany t;
    char dst[16] = "old";
    qv_test::CheckRecorder recorder;
    EXPECT_EQ(sys_strnreplacechr(dst, sizeof dst, "abc", t.chars, t.reps, 33), 0u);
    EXPECT_STREQ(dst, "");
    ASSERT_EQ(recorder.conditions.size(), 1u);
    EXPECT_EQ(recorder.conditions[0], "(sizeof(lengths)/sizeof(lengths[0])) >= count");
    // A result too long is no check.
    const char slash[] = {'/'};
    const char* colons[] = {"::"};
    EXPECT_EQ(sys_strnreplacechr(dst, 3, "a/", slash, colons, 1), 0u);
    EXPECT_EQ(recorder.conditions.size(), 1u);
}
#endif

// ---- ASCII case ---------------------------------------------------------------------------

TEST(AsciiCase, EveryByte) {
    for (int i = 0; i < 256; ++i) {
        const char c = (char)i;
        const bool upper = i >= 'A' && i <= 'Z';
        const bool lower = i >= 'a' && i <= 'z';
        EXPECT_EQ(sys_charisupper_ascii(c), upper ? 1 : 0) << i;
        EXPECT_EQ(sys_charislower_ascii(c), lower ? 1 : 0) << i;
        EXPECT_EQ(sys_charisalpha_ascii(c), upper || lower ? 1 : 0) << i;
        EXPECT_EQ(sys_charisdigit_ascii(c), i >= '0' && i <= '9' ? 1 : 0) << i;
        EXPECT_EQ(sys_chartolower_ascii(c), upper ? (char)(i + 32) : c) << i;
        EXPECT_EQ(sys_chartoupper_ascii(c), lower ? (char)(i - 32) : c) << i;
    }
}

TEST(AsciiCase, Texts) {
    char t[] = "Hello, World! \xc3\x89t\xc3\xa9 123";
    sys_strtolower_ascii(t);
    EXPECT_STREQ(t, "hello, world! \xc3\x89t\xc3\xa9 123");
    sys_strtoupper_ascii(t);
    EXPECT_STREQ(t, "HELLO, WORLD! \xc3\x89T\xc3\xa9 123");
    for (const char* either : {"", "123", "_[]{}"}) {
        EXPECT_EQ(sys_strislower_ascii(either), 1) << either;
        EXPECT_EQ(sys_strisupper_ascii(either), 1) << either;
    }
    EXPECT_EQ(sys_strislower_ascii("aB"), 0);
    EXPECT_EQ(sys_strisupper_ascii("aB"), 0);
    EXPECT_EQ(sys_strisupper_ascii("AB_"), 1);
}

} // namespace
