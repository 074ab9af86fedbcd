// File and folder operations, each test in a fresh folder of its own; times are set through the
// platform directly, listings compared as sets (the platform's order).
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"

#include <time.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

constexpr sys_u64 kEpochDelta = 116444736000000000ull;
constexpr sys_u64 kSecond = 10000000ull;

using qv_test::read_file;
using qv_test::write_file;

std::string fresh_root() {
    return qv_test::fresh_folder("qv_ops_");
}

void make_dir(const std::string& path) {
    filesystem_create_directories_in_path((path + "/").c_str());
}

// Sets the last write time through the platform, bypassing the library.
void set_write_time(const std::string& path, sys_u64 filetime) {
#if defined(_WIN32)
    wchar_t w[600];
    MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, w, 600);
    HANDLE h = CreateFileW(w, FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    FILETIME ft{(DWORD)filetime, (DWORD)(filetime >> 32)};
    ASSERT_TRUE(SetFileTime(h, nullptr, nullptr, &ft));
    CloseHandle(h);
#else
    const sys_u64 since_1970 = filetime - kEpochDelta;
    const timespec times[2] = {
        {0, UTIME_OMIT}, {(time_t)(since_1970 / kSecond), (long)(since_1970 % kSecond) * 100}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
#endif
}

std::set<std::string> listing(const char* dir, const char* base, bool recursive,
                              const char* suffix) {
    std::vector<filesystem_path_entry> entries(64);
    const sys_u32 n = filesystem_list_directory_files(dir, base, recursive, suffix, entries.data(),
                                                      (sys_u32)entries.size());
    std::set<std::string> out;
    for (sys_u32 i = 0; i < n && i < entries.size(); ++i)
        out.insert(entries[i].path);
    return out;
}

TEST(FsAttr, FilesFoldersAndNothing) {
    const std::string root = fresh_root();
    write_file(root + "f.txt", "x");
    make_dir(root + "d");
    const std::string wide = root + "\xC3\xA9t\xC3\xA9_\xE6\x97\xA5.txt"; // non-ASCII name
    write_file(wide, "u");
    const std::pair<std::string, sys_u32> cases[] = {
        {root + "f.txt", 3}, {wide, 3},          {root + "d", 5},
        {root + "d/", 5},    {root + "none", 0}, {root + "none/deeper", 0}};
    for (const auto& [path, attr] : cases)
        EXPECT_EQ(filesystem_get_attr(path.c_str()), attr) << path;
    EXPECT_EQ(listing(root.c_str(), nullptr, false, ".txt"),
              (std::set<std::string>{root + "f.txt", wide}));
}

TEST(FsTime, TimeSetByThePlatformReadsBackExactlyAndAsLocalText) {
    const std::string path = fresh_root() + "timed.txt";
    write_file(path, "t");
    // 2021-03-04 05:06:07.1234567 UTC
    const sys_u64 filetime = kEpochDelta + 1614834367ull * kSecond + 1234567ull;
    set_write_time(path, filetime);
    EXPECT_EQ(filesystem_get_last_modified_time(path.c_str()), filetime);
    EXPECT_EQ(filesystem_get_modified_time_utc(path.c_str()), 1614834367);

    const time_t when = 1614834367;
    tm local{};
#if defined(_WIN32)
    localtime_s(&local, &when);
#else
    localtime_r(&when, &local);
#endif
    char expected[64], buffer[128];
    strftime(expected, sizeof(expected), "%Y-%m-%d %H:%M:%S", &local);
    EXPECT_EQ(
        filesystem_filetime_to_string(filetime, buffer, sizeof(buffer), "yyyy-MM-dd", "HH:mm:ss"),
        strlen(expected));
    EXPECT_STREQ(buffer, expected);
}

#if !defined(_WIN32)
// The picture language of the Linux build (Windows reads pictures itself).
TEST(FsTime, PictureLanguage) {
    setenv("TZ", "UTC", 1);
    tzset();
    // 2009-02-03 04:05:06 UTC, a Tuesday; 15:07:08, 00:05:06 and 12:05:06 on the same day
    const sys_u64 morning = kEpochDelta + 1233633906ull * kSecond;
    const sys_u64 afternoon = kEpochDelta + 1233673628ull * kSecond;
    const sys_u64 midnight = kEpochDelta + 1233619506ull * kSecond;
    const sys_u64 noon = midnight + 12 * 3600 * kSecond;
    const struct {
        sys_u64 when;
        const char *date, *time, *expected;
    } cases[] = {
        {morning, "d dd ddd dddd M MM MMM MMMM y yy yyyy", nullptr,
         "3 03 Tue Tuesday 2 02 Feb February 9 09 2009"},
        {morning, nullptr, "h hh H HH m mm s ss t tt", "4 04 4 04 5 05 6 06 A AM"},
        {afternoon, nullptr, "h:mm tt, HH", "3:07 PM, 15"},
        {midnight, nullptr, "h hh H tt", "12 12 0 AM"},
        {noon, nullptr, "h H tt", "12 12 PM"},
        {morning, "'Day' d 'of' MMMM, ''yy", nullptr, "Day 3 of February, '09"},
        {morning, "dd.MM hh", "hh dd", "03.02 hh 04 dd"}, // letters of the other picture stay
    };
    char buffer[128];
    for (const auto& c : cases) {
        EXPECT_EQ(filesystem_filetime_to_string(c.when, buffer, sizeof(buffer), c.date, c.time),
                  strlen(c.expected));
        EXPECT_STREQ(buffer, c.expected);
    }
    unsetenv("TZ");
    tzset();
}
#endif

// Copies, moves and deletes, each row a call with its result and the files after it.
TEST(FsOps, CopyMoveAndDelete) {
    const std::string r = fresh_root();
    auto at = [&r](const char* name) { return r + name; };
    write_file(at("src.txt"), "source");
    write_file(at("old.txt"), "old");
    write_file(at("b.txt"), "B");
    write_file(at("d/f.txt"), "x");
    set_write_time(at("src.txt"), kEpochDelta + 1000000000ull * kSecond);
    const sys_i64 before = (sys_i64)time(nullptr);
    const struct {
        sys_bool (*call)(const char*, const char*, sys_bool);
        const char *dst, *src;
        sys_bool overwrite, result;
        const char *file, *bytes; // the file after the call and its bytes ("<missing>": gone)
    } cases[] = {
        {filesystem_copy_file, "new.txt", "src.txt", 0, 1, "new.txt", "source"},
        {filesystem_copy_file, "old.txt", "src.txt", 0, 0, "old.txt", "old"},
        {filesystem_copy_file, "old.txt", "src.txt", 1, 1, "old.txt", "source"},
        {filesystem_move_file, "b.txt", "old.txt", 0, 0, "old.txt", "source"},
        {filesystem_move_file, "d", "old.txt", 0, 0, "old.txt", "source"},
        {filesystem_move_file, "c.txt", "old.txt", 0, 1, "old.txt", "<missing>"},
        {filesystem_move_file, "b.txt", "c.txt", 1, 1, "b.txt", "source"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(at(c.dst).c_str(), at(c.src).c_str(), c.overwrite), c.result)
            << c.dst << " <- " << c.src;
        EXPECT_EQ(read_file(at(c.file)), c.bytes) << c.dst << " <- " << c.src;
    }
    EXPECT_EQ(filesystem_get_attr(at("c.txt").c_str()), 0u);
    // A copy carries the time of copying, not the source's.
    EXPECT_GE(filesystem_get_modified_time_utc(at("b.txt").c_str()), before - 2);

    EXPECT_FALSE(filesystem_delete_directory(at("d").c_str())); // not empty
    EXPECT_TRUE(filesystem_delete_file(at("d/f.txt").c_str()));
    EXPECT_FALSE(filesystem_delete_file(at("d/f.txt").c_str()));
    EXPECT_TRUE(filesystem_delete_directory(at("d").c_str()));
    EXPECT_EQ(filesystem_get_attr(at("d").c_str()), 0u);

    filesystem_create_directories_in_path(at("a/b/c.txt").c_str()); // up to the last separator
    EXPECT_EQ(filesystem_get_attr(at("a/b").c_str()), 5u);
    EXPECT_EQ(filesystem_get_attr(at("a/b/c.txt").c_str()), 0u);
    filesystem_create_directories_in_path(at("x\\y/").c_str());
    EXPECT_EQ(filesystem_get_attr(at("x/y").c_str()), 5u);
}

#if QV_TEST_RECORDS_CHECKS
TEST(FsOps, MissingSourcesAndFailedReplacementsFailTheirChecks) {
    const std::string r = fresh_root();
    make_dir(r + "folder");
    write_file(r + "a.txt", "A");
    const std::string missing = r + "missing.txt", folder = r + "folder", a = r + "a.txt";
    const std::pair<std::function<bool()>, const char*> cases[] = {
        {[&] { return filesystem_copy_file(a.c_str(), missing.c_str(), 1); }, "false"},
        {[&] { return filesystem_move_file(a.c_str(), missing.c_str(), 0); }, "false"},
        {[&] { return filesystem_move_file(folder.c_str(), a.c_str(), 1); },
         "overwrite_existing == 0 || b"},
        {[&] { return filesystem_copy_file(folder.c_str(), a.c_str(), 1); },
         "overwrite_existing == 0 || b"},
        {[&] { return filesystem_get_last_modified_time(missing.c_str()) != ~0ull; },
         "!\"Couldn't open file '%s' for reading\""},
        {[&] { return filesystem_get_modified_time_utc(missing.c_str()) != 0; }, "file"},
    };
    for (const auto& [call, condition] : cases) {
        qv_test::CheckRecorder recorder;
        EXPECT_FALSE(call()) << condition;
        EXPECT_EQ(recorder.conditions, std::vector<std::string>{condition});
    }
    EXPECT_EQ(read_file(a), "A");
}
#endif

TEST(FsTemp, NewEmptyFileWithPrefixAndEnding) {
    char path[512];
    const sys_u32 n = filesystem_create_temp_filepath("abcdef", path, sizeof(path));
    ASSERT_EQ(strlen(path), n);
    const std::string p(path), name = p.substr(p.rfind('/') + 1);
    EXPECT_EQ(name.substr(0, 3) + "|" + name.substr(name.size() - 4), "abc|.tmp");
    EXPECT_EQ(p.find('\\'), std::string::npos);
    EXPECT_EQ(read_file(path), "");
    EXPECT_TRUE(filesystem_delete_file(path));
}

TEST(FsList, FlatRecursiveSuffixBaseAndCapacity) {
    const std::string root = fresh_root(), data = root + "data";
    const std::string trimmed = root.substr(0, root.size() - 1);
    for (const char* file : {"/a.json", "/b.txt", "/sub/c.json", "/sub/deep/d.json"})
        write_file(data + file, "x");
    // Paths below `root` (where no base cuts them already), sorted and joined by spaces.
    auto joined = [&root](const std::set<std::string>& paths, bool cut_root) {
        std::string out;
        for (const std::string& p : paths)
            out += (out.empty() ? "" : " ") +
                   p.substr(cut_root && p.rfind(root, 0) == 0 ? root.size() : 0);
        return out;
    };
    const struct {
        std::string directory;
        const char *base, *suffix;
        bool recursive;
        const char* paths;
    } cases[] = {
        {data, nullptr, nullptr, false, "data/. data/.. data/a.json data/b.txt data/sub"},
        {data + "/", nullptr, ".json", false, "data/a.json"},
        {data, nullptr, nullptr, true,
         "data/a.json data/b.txt data/sub/c.json data/sub/deep/d.json"},
        // The base is cut away, the directory kept.
        {"data/", root.c_str(), ".json", true, "data/a.json data/sub/c.json data/sub/deep/d.json"},
        {"data/sub/", trimmed.c_str(), nullptr, true, "data/sub/c.json data/sub/deep/d.json"},
        {data, nullptr, ".JSON", true, ""}, // case matters
        {root + "nothing", nullptr, nullptr, true, ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(joined(listing(c.directory.c_str(), c.base, c.recursive, c.suffix), !c.base),
                  c.paths)
            << c.directory << " below " << (c.base ? c.base : "-");
#if QV_TEST_RECORDS_CHECKS
    { // with a base, a directory without its closing slash is refused and lists nothing
        qv_test::CheckRecorder recorder;
        EXPECT_TRUE(listing("data/sub", trimmed.c_str(), true, nullptr).empty());
        EXPECT_EQ(recorder.conditions,
                  std::vector<std::string>{"wdir_end != wdirectory && wdir_end[-1] == '\\\\'"});
    }
#endif
    // More matches than room: all are counted, only the room is filled.
    filesystem_path_entry entries[3] = {};
    EXPECT_EQ(filesystem_list_directory_files(data.c_str(), nullptr, true, ".json", entries, 2),
              3u);
    EXPECT_NE(entries[1].path[0], 0);
    EXPECT_EQ(entries[2].path[0], 0);
}

#if defined(_WIN32)
// The mirror runs the system tool: a fake one, found first because it sits in the current
// directory, records the command line it was given.
TEST(FsMirror, RunsTheSystemToolWithTheMirrorCommandLine) {
    const std::string root = fresh_root();
    char exe_dir[1024], before[1024];
    ASSERT_GT(filesystem_get_exe_dir(exe_dir, sizeof(exe_dir)), 0u);
    const std::string fake = std::string(exe_dir) + QV_TEST_FAKE_ROBOCOPY;
    ASSERT_TRUE(filesystem_copy_file((root + "robocopy.exe").c_str(), fake.c_str(), 1));
    filesystem_get_current_directory(before, sizeof(before));
    filesystem_set_current_directory(root.c_str());
    make_dir(root + "work");
    EXPECT_EQ(filesystem_mirror_directory("C:/out dir", "C:/in dir", (root + "work").c_str()), 3u);
    filesystem_set_current_directory(before);
    EXPECT_EQ(read_file(root + "work/robocopy_args.txt"),
              "\"robocopy.exe\" \"C:/in dir\" \"C:/out dir\" \"/MIR\"");
}
#else
// Every file below `root` with its bytes.
std::set<std::string> tree(const std::string& root) {
    std::set<std::string> out;
    for (const std::string& path : listing("", root.c_str(), true, nullptr))
        out.insert(path + "=" + read_file(root + path));
    return out;
}

TEST(FsMirror, NewChangedNestedEmptyAndExtraEntries) {
    const std::string root = fresh_root(), src = root + "src/", dst = root + "dst/";
    write_file(src + "same.txt", "same");
    write_file(src + "changed.txt", "new text");
    write_file(src + "new.txt", "n");
    write_file(src + "nested/deeper/n.txt", "deep");
    make_dir(src + "empty");
    write_file(dst + "same.txt", "same");
    write_file(dst + "changed.txt", "old");
    write_file(dst + "extra.txt", "x");
    write_file(dst + "extra_dir/e.txt", "e");
    write_file(dst + "nested", "a file where the source has a folder");
    set_write_time(src + "same.txt", kEpochDelta + 1500000000ull * kSecond); // unchanged: equal
    set_write_time(dst + "same.txt", kEpochDelta + 1500000000ull * kSecond); // size and time

    EXPECT_EQ(filesystem_mirror_directory("dst", "src", root.c_str()), 1u | 2u);
    EXPECT_EQ(tree(dst), tree(src));
    EXPECT_EQ(filesystem_get_attr((dst + "empty").c_str()), 5u);
    EXPECT_EQ(filesystem_get_attr((dst + "extra_dir").c_str()), 0u);
    // The copies keep the source's time, so a second run finds nothing to do.
    EXPECT_EQ(filesystem_mirror_directory(dst.c_str(), src.c_str(), nullptr), 0u);
    write_file(dst + "late.txt", "l"); // only an extra
    EXPECT_EQ(filesystem_mirror_directory(dst.c_str(), src.c_str(), nullptr), 2u);
    // A source that is not a folder is a fatal error for the run.
    EXPECT_EQ(filesystem_mirror_directory(dst.c_str(), (root + "none").c_str(), nullptr), 16u);
    EXPECT_EQ(tree(dst), tree(src));
    if (geteuid() == 0)
        return; // root writes into read-only folders
    chmod(dst.c_str(), 0555);
    write_file(src + "more.txt", "m");
    EXPECT_EQ(filesystem_mirror_directory(dst.c_str(), src.c_str(), nullptr) & 8u, 8u);
    chmod(dst.c_str(), 0755);
}
#endif

} // namespace
