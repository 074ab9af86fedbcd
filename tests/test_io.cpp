// The formatter and the print dispatch, through the exported interface.
#include "support/test_support.h"

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"

#include <stdarg.h>

#include <iterator>
#include <tuple>

namespace {

std::string fmt(const char* format, ...) {
    char buf[8192];
    va_list args;
    va_start(args, format);
    const sys_u64 n = sys_vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    EXPECT_LT(n, sizeof buf);
    EXPECT_EQ(buf[n], 0) << "unterminated result for " << format;
    return std::string(buf, n);
}

// One integer argument each, passed as a 64-bit slot: the length letters choose how much is read.
TEST(Format, IntegersWidthsFlagsSignsAndByteWidths) {
    const std::tuple<const char*, int64_t, const char*> cases[] = {
        // clang-format off
        {"%4i", -7, "  -7"}, {"%04i", -7, "00-7"}, {"%-4i|", -7, "-7  |"}, {"%+i", 5, "+5"},
        {"%-04i|", -7, "-700|"}, // '0' pads after the text too when left-justified
        {"% i", 5, " 5"}, {"%+i", -5, "-5"}, {"%+u", 5, "+5"}, {"%+x", 255, "+ff"},
        {"%+05i", 42, "00+42"}, {"%-+5i|", 42, "+42  |"}, {"%2i", 12345, "12345"},
        {"%i", INT32_MIN, "-2147483648"},
        {"%u", UINT32_MAX, "4294967295"}, {"%x", 0xdeadbeef, "deadbeef"}, {"%o", 8, "10"},
        {"%+ 0-#5i|", 1, "+1000|"}, {"%hhi", 300, "44"}, {"%hhi", 200, "-56"},
        {"%hi", 70000, "4464"}, {"%hu", 0x12345, "9029"}, {"%hhx", 0x1ff, "ff"},
        {"%i", 0x1fffffffe, "-2"}, {"%li", INT64_MIN, "-9223372036854775808"},
        {"%lu", -1, "18446744073709551615"}, {"%lx", 0x0123456789abcdef, "123456789abcdef"},
        {"%lo", -1, "1777777777777777777777"}, {"%hli", 7, "7"}, // one h and one l cancel out
        {"%hhhc|", 'a', "a|"}, {"%lllc|", 'b', "b|"}, // any width for c
        // clang-format on
    };
    for (const auto& [format, value, expected] : cases)
        EXPECT_EQ(fmt(format, value), expected) << format;
    EXPECT_EQ(fmt("%+ i % +i", 5, 5), "+5 +5");
    EXPECT_EQ(fmt("%*i|%-*i|", 4, 7, 3, 8), "   7|8  |");
    EXPECT_EQ(fmt("%*i|", -4, 7), "7   |"); // negative '*' width left-justifies
}

TEST(Format, FloatsTextsDurationsAndPositions) {
    const sys_u32 wide[] = {'h', 0xE9, 0x20AC, 0x1F600, 0};
    const std::string long_text(5000, 'x');
    const std::pair<std::string, std::string> cases[] = {
        // clang-format off
        {fmt("%f", 1.5), "1.500"}, {fmt("%.1f", 1.25), "1.2"}, {fmt("%.f", 12.7), "12"},
        {fmt("%.%f", 0.25), "25%"}, {fmt("%.%2f", 0.125), "12.50%"}, {fmt("%.%%%1f", 0.5), "50.0%"},
        {fmt("%+.2f % .2f", 1.0, 1.0), "+1.00  1.00"}, {fmt("%08.2f", -3.5), "000-3.50"},
        {fmt("%-8.1f|", 2.0), "2.0     |"}, {fmt("%.*f", 2, 3.14159), "3.14"},
        {fmt("%+f", -0.0), "+0.000"}, // negative zero counts as non-negative
        {fmt("%.3s", "abcdef"), "abc"}, {fmt("%5.2s|", "abc"), "   ab|"},
        {fmt("%05s", "ab"), "000ab"}, {fmt("%+s % s", "x", "y"), "x y"}, // texts never get a sign
        {fmt("%w %W", "AbC-9", "AbC-9"), "abc-9 ABC-9"}, {fmt("%.2W", "abc"), "AB"},
        {fmt("%s|%w|%W", (const char*)nullptr, (const char*)nullptr, nullptr),
         "(null)|(null)|(null)"},
        {fmt("%ls", wide), "h\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"},
        {fmt("%.3ls|", wide), "h\xC3\xA9|"}, // whole characters only
        {fmt("%c%c%5c|%-3c|", 'a', 0x100 + 'b', 'c', 'd'), "ab    c|d  |"},
        {fmt("%s", long_text.c_str()), std::string(4095, 'x')}, // one work area of text
        {fmt("%10000i", 1).substr(4090), "    1"},                // width clamped to the work area
        {fmt("%T", (int64_t)3723000001), "01:02:03.000001"},
        {fmt("%T", (int64_t)-5), "-00:00:00.000005"},
        {fmt("%T", (int64_t)INT64_MIN), "-2562047788:00:54.775808"},
        {fmt("%18T|", (int64_t)0), "   00:00:00.000000|"},
        {fmt("%+T", (int64_t)0), "00:00:00.000000"},
        {fmt("%#T|%i", 9).substr(2, 1) + fmt("%#T|%i", 9).substr(15), ":|9"}, // %#T took no argument
        {fmt("%3$i %1$s %2$x", "s", 255, -3), "-3 s ff"}, {fmt("%2$f %1$i", 7, 2.5), "2.500 7"},
        {fmt("%2$li %1$hhi %2$li", 300, (int64_t)-1), "-1 44 -1"},
        {fmt("%1$+5i|%1$-5i|", 3), "   +3|3    |"},
        {fmt("%#T %1$s", "x").substr(15), " x"}, // %#T is neither kind
        {fmt("%7$i %1$i %2$i %3$i %4$i %5$i %6$i", 1, 2, 3, 4, 5, 6, 7), "7 1 2 3 4 5 6"},
        {fmt("%3$s %1$T %2$c", (int64_t)1, 'q', "t"), "t 00:00:00.000001 q"},
        // clang-format on
    };
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(cases[i].first, cases[i].second) << "case " << i;
}

// A field is kept only with a byte to spare for the NUL; a literal run may fill the last byte.
TEST(Format, TruncationAndTermination) {
    using namespace std::string_literals;
    // Capacity, format, argument, result, the buffer's first bytes.
    const std::tuple<sys_u64, const char*, const char*, sys_u64, std::string> cases[] = {
        // clang-format off
        {5, "%s!", "abcdef", 5, "abcd!#"}, {0, "abc", nullptr, 0, "#"}, {0, "", nullptr, 0, "#"},
        {3, "abc", nullptr, 3, "abc#"}, {4, "abc", nullptr, 3, "abc\0#"s},
        {4, "%s%s", "abcdef", 3, "abc\0#"s}, // a conversion after a cut field adds nothing
        {4, "%s", "abc", 3, "abc\0"s}, {3, "%s", "abc", 2, "ab\0#"s}, {4, "%5s", "", 3, "   \0"s},
        {6, "a%%%sz", "bcdefg", 6, "a%bcdz#"}, {1, "%s", "5", 0, "\0#"s},
        {2, "%%%%%%", nullptr, 2, "%%#"},
        // clang-format on
    };
    for (const auto& [size, format, arg, result, shown] : cases) {
        char buf[16];
        memset(buf, '#', sizeof buf);
        EXPECT_EQ(sys_snprintf(buf, size, format, arg, arg), result) << format << " in " << size;
        EXPECT_EQ(std::string(buf, shown.size()), shown) << format << " in " << size;
    }
}

// %Opair prints "(a,b)", honouring the plus flag; the probe keeps what it was handed.
struct Pair {
    int a, b;
};
sys_print_object_context s_seen;

sys_u64 print_pair(sys_print_object_context* c) {
    const Pair* p = (const Pair*)c->object;
    return sys_snprintf(c->output, c->capacity, c->plus ? "(+%i,+%i)" : "(%i,%i)", p->a, p->b) + 1;
}
sys_u64 print_probe(sys_print_object_context* c) {
    s_seen = *c;
    memcpy(c->output, "probe", 6);
    return 6;
}

TEST(Format, CustomObjectsAndTheirModifiers) {
    const char* names[] = {"pair", "probe_2"};
    const sys_print_object_printer printers[] = {print_pair, print_probe};
    sys_register_print_custom_object(names, printers, 2);

    Pair p{3, -4};
    EXPECT_EQ(fmt("[%8Opair]", &p), "[  (3,-4)]");
    EXPECT_EQ(fmt("[%+Opair]", &p), "[(+3,+-4)]"); // the printer decides; no sign is added
    EXPECT_EQ(fmt("%OpairX", &p), "(3,-4)X");      // upper case ends the name
    EXPECT_EQ(fmt("%2$Opair %1$i", 9, &p), "(3,-4) 9");

    const char* format = "a% +0#.%7Oprobe_2!";
    EXPECT_EQ(fmt(format, &p), "aprobe!");
    EXPECT_EQ(s_seen.spec_begin, format + 1);
    EXPECT_EQ(s_seen.spec_end, format + 17);
    EXPECT_EQ(s_seen.precision, 7u);
    EXPECT_EQ(s_seen.capacity, 4096u);
    const sys_bool expected_flags[8] = {1, 1, 1, 1, 1, 0, 0, 0};
    EXPECT_EQ(memcmp(&s_seen.space, expected_flags, 8), 0);

    // Registering a name again replaces its printer; names keep 63 characters.
    const std::string kept(63, 'k'), longer = kept + "_cut";
    const char* again[] = {"probe_2", longer.c_str()};
    const sys_print_object_printer others[] = {print_pair, print_pair};
    sys_register_print_custom_object(again, others, 2);
    EXPECT_EQ(fmt("%Oprobe_2", &p), "(3,-4)");
    EXPECT_EQ(fmt(("%O" + kept).c_str(), &p), "(3,-4)");
    // A custom printer skips its modifiers up to the name, or to the NUL.
    const char* spec = " #%*+-.0123456789hlOname";
    EXPECT_EQ(sys_printf_consume_modifiers(spec), spec + 19);
    const char* all = "-0"; // up to the NUL
    EXPECT_EQ(sys_printf_consume_modifiers(all), all + 2);
}

// Each call as "<tag><' ' or '!' for errors><text>", into the list the user pointer names.
using Calls = std::vector<std::string>;

template <int Tag> void capture(void* user, const char* text, sys_u64 length, sys_bool is_error) {
    ((Calls*)user)
        ->push_back(std::to_string(Tag) + (is_error ? "!" : " ") + std::string(text, length));
}

TEST(Dispatch, CallbacksRunInOrderAndRemovalMovesTheLast) {
    sys_printf("nothing %s\n", "here"); // no callback: no effect
    Calls calls;
    sys_printf_add_callback(capture<1>, &calls);
    sys_printf_add_callback(capture<2>, &calls);
    sys_printf_add_callback(capture<3>, &calls);
    sys_printf_add_callback(capture<1>, &calls); // twice: called twice, removed once
    sys_printf("%s %i", "line", 1);
    sys_printf_remove_callback(capture<1>); // the last entry (the second 1) takes index 0
    sys_printf("two");
    sys_printf_remove_callback(capture<1>);
    sys_printf_remove_callback(capture<1>); // never added (any more): nothing changes
    sys_perrorf("err");
    EXPECT_EQ(calls, (Calls{"1 line 1", "2 line 1", "3 line 1", "1 line 1", "1 two", "2 two",
                            "3 two", "3!err", "2!err"}));
    sys_printf_remove_callback(capture<2>);
    sys_printf_remove_callback(capture<3>);
}

// A %s field keeps a byte to spare of the 4095 a line holds; a literal line fills them all.
TEST(Dispatch, LongLinesAreCutTo4095BytesLogTypesAndTheSwitch) {
    qv_test::PrintLog log;
    const std::string text(5000, 'm');
    sys_printf("%s", text.c_str());
    sys_printf(text.c_str());
    sys_printf_logtype("RENDER", "r%i", 1);
    sys_printf_enable_logtype("RENDER", 0);
    sys_printf_logtype("RENDER", "r%i", 2);
    sys_printf_logtype("AUDIO", "a%i", 1);
    sys_printf_enable_logtype("RENDER", 0); // twice disabled
    sys_printf_enable_logtype("RENDER", 1); // once enabled: still off
    sys_printf_logtype("RENDER", "r%i", 3);
    sys_printf_enable_logtype("RENDER", 1);
    sys_printf_logtype("RENDER", "r%i", 4);
    sys_printf_enable_logs(0);
    sys_printf_logtype("AUDIO", "a%i", 2);
    sys_printf("plain");
    sys_printf_enable_logs(7); // any non-zero value switches logging on
    sys_printf_logtype("AUDIO", "a%i", 3);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{text.substr(0, 4094), text.substr(0, 4095),
                                                     "r1", "a1", "r4", "plain", "a3"}));
}

// C++ hosts get the name's offset while compiling, C hosts at run time: the same text.
static_assert(SYS_LOG_FILE_BASE_NAME_("src/render\\mesh.cpp")[0] == 'm');
static_assert(sys_log_file_base_offset_("C:\\game\\src/io.cpp") == 12);

TEST(LogLine, MacroFillsThePrefixWithTheTextAfterTheLastSeparator) {
    qv_test::PrintLog log;
    const int line = __LINE__ + 1;
    SYS_LOG("GAME", "%s %i\n", "loaded", 3);
    SYS_LOG("GAME", "bare\n");
    const std::vector<std::string> lines = log.lines();
    ASSERT_EQ(lines.size(), 2u);
    char expected[128];
    snprintf(expected, sizeof expected, "|GAME           |%4d:%-30s loaded 3\n", line,
             "test_io.cpp");
    EXPECT_EQ(lines[0].substr(15), expected);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 6), " bare\n");
    for (const auto& [path, base] : {std::pair{"main.cpp", "main.cpp"},
                                     {"a\\b/c\\d.cpp", "d.cpp"},
                                     {"a/b\\c/d.cpp", "d.cpp"},
                                     {"dir/", ""},
                                     {"", ""}}) {
        EXPECT_STREQ(sys_log_file_base_name_(path), base) << path;
        EXPECT_STREQ(path + sys_log_file_base_offset_(path), base) << path;
    }
}

void print_va(bool error, const char* format, ...) {
    va_list args;
    va_start(args, format);
    error ? sys_vperrorf(format, args) : sys_vprintf(format, args);
    va_end(args);
}

TEST(DispatchStdout, ErrorsGoToStderrAndLinesToStdout) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    sys_printf_add_callback(sys_printf_callback_stdout, nullptr);
    sys_printf("to %s\n", "out");
    sys_perrorf("to %s\n", "err");
    print_va(false, "va %s\n", "out");
    print_va(true, "va %s\n", "err");
    sys_printf_remove_callback(sys_printf_callback_stdout);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "to err\nva err\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "to out\nva out\n");
    // Without a debugger the debugger callback has nowhere to write; it must not fail.
    sys_printf_callback_vs(nullptr, "quiet\n", 6, 0);
}

// Failed checks end the process (a full log-type table only here) or trap under a debugger.
TEST(FormatDeathTest, FailedChecksEndTheProcessOrTrapUnderADebugger) {
    char buf[64];
    QV_EXPECT_CHECK_FAILS(sys_snprintf(buf, sizeof buf, "%lli", 1));
    // %w reads its text as %s does before it looks at the width: that report comes first.
    EXPECT_EXIT(
        {
            sys_assert_add_callback(sys_assert_callback_print, nullptr);
            sys_printf_add_callback(sys_printf_callback_stdout, nullptr);
            sys_snprintf(buf, sizeof buf, "%hw", "a");
        },
        ::testing::ExitedWithCode(qv_test::kCheckExitCode), "Invalid byte specification");
    QV_EXPECT_CHECK_FAILS(for (int i = 0; i < 65; ++i) sys_printf_enable_logtype("FULL", 0));
    qv_test::expect_under_debugger("FormatDebuggee.DISABLED_CarriesOnAfterFailedChecks", 24, true);
}

// Every failed check traps (the count proves each fires) and the formatter carries on.
TEST(FormatDebuggee, DISABLED_CarriesOnAfterFailedChecks) {
    EXPECT_EQ(fmt("%lli|%i", 1, 2), "0|1");           // invalid width: 0, argument not taken
    EXPECT_EQ(fmt("%hf", 1.5), "1.500");              // reported, still read and printed
    EXPECT_EQ(fmt("%hs|%s", "a", "b"), "|a");         // empty text, argument not taken
    EXPECT_EQ(fmt("%lw|%s", U"AB", "c"), "ab|c");     // read as UTF-32, reported, case changed
    EXPECT_EQ(fmt("%hW|%s", "a", "b"), "|a");         // two reports, no text, argument not taken
    EXPECT_EQ(fmt("%.2i", 7), "7");                   // precision ignored
    EXPECT_EQ(fmt("a%dz", 1), "az");                  // unknown letter prints nothing
    EXPECT_EQ(fmt("abc%"), "abc");                    // a lone '%' ends the text
    EXPECT_EQ(fmt("%c|%3c|%-3c|", 0, 0, 0), "|  ||"); // NUL byte: field cut at the terminator
    EXPECT_EQ(fmt("%Onope|%i", nullptr, 4), "|4");    // unknown object: nothing, slot taken
    EXPECT_EQ(fmt("%O|%i", nullptr, 5), "|5");        // no name
    EXPECT_EQ(fmt("%9$i|%1$s", "x"), "|x");           // position 9: nothing, nothing taken
    EXPECT_EQ(fmt("%1$s %s", "a", "b"), "a b");       // mixed: one cursor, goes on after N
    EXPECT_EQ(fmt("%1$i %i", 4, 5), "4 5");           // and for an integer
    EXPECT_EQ(fmt("%2$s", "a", "b"), "a");            // position 1 missing: not skipped
    EXPECT_EQ(fmt("%1$w %2$s", "a", "b"), "a a");     // no skip rule for w: not skipped
    EXPECT_EQ(fmt("%.*i", -1, 3), "3");               // negative '*' precision
    EXPECT_EQ(fmt("%1$*i", 6, 3), "     6");          // '*' with positions: still taken
    EXPECT_EQ(fmt("%1$i %1$x", 255), "255 ff");       // one position, two letters: reported
    sys_printf_enable_logtype("NEVER_DISABLED", 1);   // reported; the set is unchanged
    for (int i = 0; i < 17; ++i)
        sys_printf_add_callback(capture<1>, nullptr); // the 17th is refused
    for (int i = 0; i < 16; ++i)
        sys_printf_remove_callback(capture<1>);
    Calls calls;
    sys_printf_add_callback(capture<2>, &calls);
    sys_printf("alone");
    EXPECT_EQ(calls, Calls{"2 alone"});
    qv_test::end_debuggee();
}

} // namespace
