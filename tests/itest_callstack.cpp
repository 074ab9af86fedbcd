// Call stacks, internals: the engine-marker cut and how one looked-up frame fills a record.
#include <gtest/gtest.h>

#include "callstack_internal.h"

#include <string.h>

#include <string>

namespace {

TEST(CallstackMarker, PathsAreShownFromBelowTheEngineFolder) {
    struct Case {
        const char* path;
        const char* shown;
    };
    const Case cases[] = {
        {"/home/dev/quorvale/qv_sys/io", "qv_sys/io"},
        {"C:\\build\\quorvale\\qv_sys\\io.cpp", "qv_sys\\io.cpp"},
        {"quorvale/a.cpp", "a.cpp"},
        // The first marker counts; a later one stays in the text.
        {"/x/quorvale/tools/quorvale/b.cpp", "tools/quorvale/b.cpp"},
        // Only one separator is dropped, and only a separator.
        {"/x/quorvale//c.cpp", "/c.cpp"},
        {"/x/quorvale_tools/d.cpp", "_tools/d.cpp"},
        {"/x/quorvale", ""},
        // No marker: the whole path, also for near misses.
        {"/src/qv_sys/io.cpp", "/src/qv_sys/io.cpp"},
        {"/src/Quorvale/io.cpp", "/src/Quorvale/io.cpp"},
        {"/src/quorval/io.cpp", "/src/quorval/io.cpp"},
        {"", ""},
    };
    for (const Case& c : cases)
        EXPECT_STREQ(callstack_cut_at_marker(c.path), c.shown) << c.path;
}

TEST(CallstackFill, RecordsAreClearedThenFilledFromTheLookup) {
    const std::string long_name(700, 'n');
    const std::string name_of_512(512, 'n'); // one byte more than fits with its NUL
    const std::string long_file = "/r/quorvale/" + std::string(600, 'f');
    struct Case {
        const char* what;
        OsFrameSymbol frame;
        const char* function;
        std::string file;
        sys_u32 line, displacement;
    };
    const Case cases[] = {
        {"named with a source position",
         {"ns::run", "/r/quorvale/qv_sys/io.cpp", 12, 5},
         "ns::run",
         "qv_sys/io.cpp",
         12,
         5},
        {"no symbol: nothing else is kept",
         {nullptr, "/r/a.cpp", 3, 4},
         "<failed function lookup>",
         "",
         0,
         0},
        {"no file: no line either", {"f", nullptr, 9, 1}, "f", "", 0, 0},
        {"an empty file counts as none", {"f", "", 9, 1}, "f", "", 0, 0},
        {"512 bytes cut to 511", {name_of_512.c_str(), nullptr, 0, 0}, nullptr, "", 0, 0},
        {"texts cut at 511 bytes",
         {long_name.c_str(), long_file.c_str(), 1, 0},
         nullptr,
         std::string(511, 'f'),
         1,
         0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        callstack_entry e;
        memset(&e, 0x5A, sizeof e);
        callstack_fill_entry(&e, c.frame);
        EXPECT_EQ(std::string(e.function), c.function ? c.function : std::string(511, 'n'));
        EXPECT_EQ(std::string(e.file), c.file);
        EXPECT_EQ(e.line, c.line);
        EXPECT_EQ(e.displacement, c.displacement);
        for (size_t k = strlen(e.function); k < sizeof e.function; ++k)
            ASSERT_EQ(e.function[k], 0);
        for (size_t k = strlen(e.file); k < sizeof e.file; ++k)
            ASSERT_EQ(e.file[k], 0);
    }
}

} // namespace
