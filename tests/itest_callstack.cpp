// Call stacks, internals: the engine-marker cut and how one looked-up frame fills a record.
#include "support/test_support.h"

#include "callstack_internal.h"

#include <utility>

namespace {

TEST(CallstackMarker, PathsAreShownFromBelowTheEngineFolder) {
    const std::pair<const char*, const char*> cases[] = {
        {"/home/dev/quorvale/qv_sys/io", "qv_sys/io"},
        {"C:\\build\\quorvale\\qv_sys\\io.cpp", "qv_sys\\io.cpp"},
        {"quorvale/a.cpp", "a.cpp"},
        {"/x/quorvale/tools/quorvale/b.cpp", "tools/quorvale/b.cpp"}, // the first marker counts
        {"/x/quorvale//c.cpp", "/c.cpp"}, // only one separator is dropped, and only a separator
        {"/x/quorvale_tools/d.cpp", "_tools/d.cpp"},
        {"/x/quorvale", ""},
        {"/src/Quorvale/quorval/io.cpp", "/src/Quorvale/quorval/io.cpp"}, // no marker: all of it
        {"", ""},
    };
    for (const auto& [path, shown] : cases)
        EXPECT_STREQ(callstack_cut_at_marker(path), shown) << path;
}

TEST(CallstackFill, RecordsAreClearedThenFilledFromTheLookup) {
    const std::string cut(511, 'n'), name_of_512(512, 'n'), long_name(700, 'n');
    const std::string long_file = "/r/quorvale/" + std::string(600, 'f');
    const struct {
        OsFrameSymbol frame;
        std::string function, file;
        sys_u32 line, displacement;
    } cases[] = {
        {{"ns::run", "/r/quorvale/qv_sys/io.cpp", 12, 5}, "ns::run", "qv_sys/io.cpp", 12, 5},
        {{nullptr, "/r/a.cpp", 3, 4}, "<failed function lookup>", "", 0, 0}, // nothing else kept
        {{"f", nullptr, 9, 1}, "f", "", 0, 0},                               // no file, no line
        {{"f", "", 9, 1}, "f", "", 0, 0},                                    // empty: no file
        {{name_of_512.c_str(), nullptr, 0, 0}, cut, "", 0, 0}, // one byte more than fits
        {{long_name.c_str(), long_file.c_str(), 1, 0}, cut, std::string(511, 'f'), 1, 0},
    };
    for (const auto& c : cases) {
        callstack_entry e;
        memset(&e, 0x5A, sizeof e);
        callstack_fill_entry(&e, c.frame);
        EXPECT_EQ(e.function, c.function);
        EXPECT_EQ(e.file, c.file);
        EXPECT_EQ(e.line, c.line) << c.function;
        EXPECT_EQ(e.displacement, c.displacement) << c.function;
        // Cleared first: nothing but zeros behind either terminator.
        for (const char* text : {e.function, e.file})
            EXPECT_TRUE(std::all_of(text + strlen(text), text + sizeof e.file,
                                    [](char b) { return b == 0; }));
    }
}

} // namespace
