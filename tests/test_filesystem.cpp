// Paths, folders, file operations, open and mapped files and the log sink, against the platform.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"
#include "qv_sys/thread.h"
#include "qv_sys/time.h"

#include <time.h>

#include <filesystem>

#if defined(_WIN32)
#include <shlobj.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const std::string kTail = "My Games/Quillfen Studios/vesk/";

std::string slashes(std::string s) {
    std::replace(s.begin(), s.end(), '\\', '/');
    return s;
}

using Getter = sys_u32 (*)(char*, sys_u32);

std::string get(Getter getter) {
    char buffer[1024];
    memset(buffer, '#', sizeof(buffer));
    const sys_u32 n = getter(buffer, sizeof(buffer));
    EXPECT_EQ(strlen(buffer), n);
    return std::string(buffer, n);
}

#if defined(_WIN32)
std::string utf8(const wchar_t* w) {
    char out[1024];
    WideCharToMultiByte(CP_UTF8, 0, w, -1, out, sizeof(out), nullptr, nullptr);
    return out;
}
std::string platform_cwd() {
    wchar_t w[1024];
    GetCurrentDirectoryW(1024, w);
    return utf8(w);
}
constexpr char kSep = '\\';
#else
std::string platform_cwd() {
    return std::filesystem::current_path();
}
void set_env(const char* name, const char* value) {
    value ? setenv(name, value, 1) : unsetenv(name);
}
constexpr char kSep = '/';
#endif

#if QV_TEST_RECORDS_CHECKS
std::vector<std::string> failed_checks(const std::function<void()>& call) {
    qv_test::CheckRecorder recorder;
    call();
    return recorder.conditions;
}
#endif

// The executable's path keeps its separator, the other folders get slashes; NULs need room.
TEST(Paths, ExecutableCurrentAndTemporaryFolders) {
#if defined(_WIN32)
    wchar_t w[1024];
    GetModuleFileNameW(nullptr, w, 1024);
    const std::string exe = utf8(w), before = platform_cwd();
#else
    const std::string exe = std::filesystem::read_symlink("/proc/self/exe"),
                      before = platform_cwd();
#endif
    EXPECT_EQ(get(filesystem_get_exe_path), exe);
    EXPECT_EQ(get(filesystem_get_exe_dir), exe.substr(0, exe.rfind(kSep) + 1));
    std::vector<char> exact(exe.size() + 1);
    EXPECT_EQ(filesystem_get_exe_path(exact.data(), sys_u32(exact.size())), exe.size());
    QV_EXPECT_CHECK_FAILS(filesystem_get_exe_path(exact.data(), sys_u32(exe.size())));

    std::string backslashed = qv_test::fresh_folder("qv_cwd_"); // either separator, as on Windows
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    filesystem_set_current_directory(backslashed.c_str());
    const std::string now = get(filesystem_get_current_directory);
    EXPECT_EQ(now, slashes(platform_cwd()));
    filesystem_set_current_directory(before.c_str());
    QV_EXPECT_CHECK_FAILS(filesystem_set_current_directory("no such folder here/at all"));
#if defined(_WIN32)
    GetTempPathW(MAX_PATH + 2, w);
    EXPECT_EQ(get(filesystem_get_temp_path), slashes(utf8(w)));
#else
    // Unset last: the tests after this one make folders there.
    const std::pair<const char*, const char*> cases[] = {
        {"", "/tmp/"}, {"/var/tmp", "/var/tmp/"}, {"/scratch/", "/scratch/"}, {nullptr, "/tmp/"}};
    for (const auto& [tmpdir, expected] : cases) {
        set_env("TMPDIR", tmpdir);
        EXPECT_EQ(get(filesystem_get_temp_path), expected) << (tmpdir ? tmpdir : "(unset)");
    }
#endif
}

#if QV_TEST_RECORDS_CHECKS
// Each failure gives 0; a current directory past the 260-byte platform limit fails as on Windows.
TEST(Paths, FailuresReportTheirTextsAndReturnZero) {
    char small[4];
    const std::pair<Getter, std::vector<std::string>> cases[] = {
        {filesystem_get_exe_path, {"wctomb_ret"}},
        {filesystem_get_exe_dir, {"wctomb_ret", "res"}},
        {filesystem_get_current_directory, {"wctomb_ret"}}};
    for (const auto& [call, conditions] : cases)
        EXPECT_EQ(failed_checks([&, &call = call] { EXPECT_EQ(call(small, sizeof(small)), 0u); }),
                  conditions);
    const std::string before = platform_cwd(), d(100, 'd');
    const std::string deep = qv_test::fresh_folder("qv_deep_") + d + "/" + d + "/" + d;
    std::filesystem::create_directories(deep);
    std::filesystem::current_path(deep);
    EXPECT_EQ(failed_checks([] {
                  char buffer[1024];
                  filesystem_set_current_directory("/no/such/folder/anywhere");
                  EXPECT_EQ(filesystem_get_current_directory(buffer, sizeof(buffer)), 0u);
              }),
              qv_test::texts("result == 0", "!\"Failed getting path\""));
    std::filesystem::current_path(before);
}
#endif

// A set base loses one trailing slash, else the documents folder is used; sessions below it.
TEST(Home, BaseOrTheDocumentsFolderAndTheSessionsBelow) {
    const std::pair<const char*, const char*> cases[] = {
        {"D:\\Data\\", "D:/Data/"}, {"/srv/games", "/srv/games/"}, {"//", "//"}};
    for (const auto& [base, home] : cases) {
        filesystem_set_home_path(base);
        EXPECT_EQ(get(filesystem_get_home_path), home + kTail) << base;
    }
#if defined(_WIN32)
    wchar_t w[MAX_PATH];
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, w)));
    const std::string docs = slashes(utf8(w)) + "/";
#else
    // Nothing after this test reads HOME or the XDG settings.
    std::string home = qv_test::fresh_folder("qv_home_");
    home.pop_back();
    const std::string docs = home + "/Documents/";
    set_env("HOME", home.c_str());
    set_env("XDG_DOCUMENTS_DIR", nullptr);
    set_env("XDG_CONFIG_HOME", nullptr);
#endif
    for (const char* none : {"", "/", "\\"}) {
        filesystem_set_home_path(none);
        EXPECT_EQ(get(filesystem_get_home_path), docs + kTail) << none;
    }
#if !defined(_WIN32)
    // The user-dirs file in each config folder, then the variable, then a set base win.
    qv_test::write_file(home + "/.config/user-dirs.dirs",
                        "# written by a test\nXDG_DESKTOP_DIR=\"$HOME/Desk\"\n"
                        "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
    EXPECT_EQ(get(filesystem_get_home_path), home + "/Papers/" + kTail);
    qv_test::write_file(home + "/cfg/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/abs/docs/\"\n");
    set_env("XDG_CONFIG_HOME", (home + "/cfg").c_str());
    EXPECT_EQ(get(filesystem_get_home_path), "/abs/docs/" + kTail);
    set_env("XDG_DOCUMENTS_DIR", "/from/variable");
    EXPECT_EQ(get(filesystem_get_home_path), "/from/variable/" + kTail);
    filesystem_set_home_path("/base");
    EXPECT_EQ(get(filesystem_get_home_path), "/base/" + kTail);
#endif
    // The session folder is named by the month of the recorded start.
    sys_time_init_start_time();
    const time_t start = (time_t)sys_time_at_start();
    char month[16];
    strftime(month, sizeof(month), "%Y-%m", localtime(&start));
    filesystem_set_home_path("D:\\Data");
    const std::string sessions = "D:/Data/" + kTail + "/Sessions/" + month + "/";

    // A null name keeps the earlier one, an empty one clears it; settings keep 127 bytes.
    filesystem_set_session("run42", "uid-1");
    filesystem_set_session(nullptr, "abc");
    EXPECT_STREQ(filesystem_get_session_uid(), "abc");
    EXPECT_EQ(get(filesystem_get_session_path), sessions + "run42/");
    filesystem_set_session("", "abc");
    EXPECT_EQ(get(filesystem_get_session_path), sessions);
    const std::string long_uid(300, 'u');
    filesystem_set_session("", long_uid.c_str());
    EXPECT_EQ(std::string(filesystem_get_session_uid()), long_uid.substr(0, 127));
    filesystem_set_session("", "");
    filesystem_set_home_path("");
}

constexpr sys_u64 kEpochDelta = 116444736000000000ull;
constexpr sys_u64 kSecond = 10000000ull;

using qv_test::read_file;
using qv_test::write_file;

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
    static char entries[64][512];
    const sys_u32 n = filesystem_list_directory_files(dir, base, recursive, suffix, entries, 64);
    std::set<std::string> out;
    for (sys_u32 i = 0; i < n && i < 64; ++i)
        out.insert(entries[i]);
    return out;
}

// The zone's offset in force now, which file times are shifted by whatever their own date.
time_t offset_now() {
    const time_t now = time(nullptr);
    tm local = *localtime(&now);
#if defined(_WIN32)
    return _mkgmtime(&local) - now;
#else
    return timegm(&local) - now;
#endif
}

std::string time_text(sys_u64 filetime, const char* date, const char* time) {
    char buffer[128];
    const sys_u32 n = filesystem_filetime_to_string(filetime, buffer, sizeof(buffer), date, time);
    EXPECT_EQ(strlen(buffer), n);
    return buffer;
}

TEST(FsTime, TimeSetByThePlatformReadsBackExactlyAndAsLocalText) {
    const std::string path = qv_test::fresh_folder("qv_ops_") + "timed.txt";
    write_file(path, "t");
    const time_t when = 1614834367; // 2021-03-04 05:06:07 UTC, and 0.1234567 s
    const sys_u64 filetime = kEpochDelta + when * kSecond + 1234567ull;
    set_write_time(path, filetime);
    EXPECT_EQ(filesystem_get_last_modified_time(path.c_str()), filetime);
    EXPECT_EQ(filesystem_get_modified_time_utc(path.c_str()), when);
    char expected[64], buffer[128];
    const time_t local = when + offset_now();
    strftime(expected, sizeof(expected), "%Y-%m-%d %H:%M:%S", gmtime(&local));
    EXPECT_EQ(time_text(filetime, "yyyy-MM-dd", "HH:mm:ss"), expected);
    // A text that does not fit, its terminator included, gives 0 and an empty buffer.
    const std::pair<sys_u32, const char*> short_cases[] = {
        {0, "HH:mm:ss"}, {5, "HH:mm:ss"}, {11, "HH:mm:ss"}, {19, "HH:mm:ss"}, {5, nullptr}};
    for (const auto& [size, time_picture] : short_cases) {
        memset(buffer, '#', sizeof(buffer));
        EXPECT_EQ(filesystem_filetime_to_string(filetime, buffer, size, "yyyy-MM-dd", time_picture),
                  0u);
        EXPECT_EQ(buffer[0], size ? 0 : '#') << size;
    }
}

#if !defined(_WIN32)
// The Linux build's picture language (Windows reads pictures itself).
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
    for (const auto& c : cases)
        EXPECT_EQ(time_text(c.when, c.date, c.time), c.expected);
    // With summer time, winter and summer noons read with the offset in force now.
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const sys_u64 summer = kEpochDelta + 1719835200ull * kSecond; // 2024-07-01 12:00 UTC
    const sys_u64 winter = kEpochDelta + 1733054400ull * kSecond; // 2024-12-01 12:00 UTC
    EXPECT_EQ(time_text(summer, nullptr, "HH:mm"), time_text(winter, nullptr, "HH:mm"));
    EXPECT_EQ(time_text(summer, nullptr, "HH:mm"), offset_now() == 7200 ? "14:00" : "13:00");
    unsetenv("TZ");
    tzset();
}
#endif

constexpr const char* kWide = "\xC3\xA9t\xC3\xA9_\xE6\x97\xA5.txt"; // a name outside ASCII

// Copies and moves (each row a call, its result and a file after it), attributes and deletes.
TEST(FsOps, CopyMoveDeleteAndAttributes) {
    const std::string r = qv_test::fresh_folder("qv_ops_");
    auto at = [&r](const char* name) { return r + name; };
    for (const auto& [name, bytes] :
         {std::pair{"src.txt", "source"}, {"old.txt", "old"}, {"b.txt", "B"}, {"d/f.txt", "x"}})
        write_file(at(name), bytes);
    set_write_time(at("src.txt"), kEpochDelta + 1000000000ull * kSecond);
    const sys_i64 before = (sys_i64)time(nullptr);
    const struct {
        sys_bool (*call)(const char*, const char*, sys_bool);
        const char *dst, *src;
        sys_bool overwrite, result;
        const char *file, *bytes; // the file after the call and its bytes ("<missing>": gone)
    } cases[] = {
        {filesystem_copy_file, kWide, "src.txt", 0, 1, kWide, "source"},
        {filesystem_copy_file, "old.txt", "src.txt", 0, 0, "old.txt", "old"},
        {filesystem_copy_file, "old.txt", "src.txt", 1, 1, "old.txt", "source"},
        {filesystem_move_file, "b.txt", "old.txt", 0, 0, "old.txt", "source"},
        {filesystem_move_file, "c.txt", "old.txt", 0, 1, "old.txt", "<missing>"},
        {filesystem_move_file, "b.txt", "c.txt", 1, 1, "b.txt", "source"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(at(c.dst).c_str(), at(c.src).c_str(), c.overwrite), c.result)
            << c.dst << " <- " << c.src;
        EXPECT_EQ(read_file(at(c.file)), c.bytes) << c.dst << " <- " << c.src;
    }
    const std::pair<const char*, sys_u32> attributes[] = {
        {"b.txt", 3}, {kWide, 3}, {"d", 5}, {"d/", 5}, {"c.txt", 0}};
    for (const auto& [name, attr] : attributes)
        EXPECT_EQ(filesystem_get_attr(at(name).c_str()), attr) << name;
#if !defined(_WIN32)
    // A dangling link is an entry, a file: a move without overwrite leaves it in place.
    ASSERT_EQ(symlink("nowhere", at("link").c_str()), 0);
    EXPECT_EQ(filesystem_get_attr(at("link").c_str()), 3u);
    EXPECT_FALSE(filesystem_move_file(at("link").c_str(), at("b.txt").c_str(), 0));
    EXPECT_EQ(read_file(at("b.txt")), "source");
#endif
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
    // The limit is 259 UTF-16 units, not bytes: 540 bytes of three-byte characters are made.
    std::string wide;
    for (int i = 0; i < 60; ++i)
        wide += "\xE4\xB8\xAD";
    const std::string deep = r + wide + "/" + wide + "/" + wide;
    filesystem_create_directories_in_path((deep + "/f.txt").c_str());
    EXPECT_EQ(filesystem_get_attr(deep.c_str()), 5u);
    const std::string too_long = r + "long/" + std::string(260, 'x') + "/f.txt";
    QV_EXPECT_CHECK_FAILS(filesystem_create_directories_in_path(too_long.c_str()));
#if QV_TEST_RECORDS_CHECKS
    // Missing sources and failed replacements fail their checks and change nothing.
    const std::string missing = at("missing.txt"), folder = at("a"), a = at("b.txt");
    const std::pair<std::function<bool()>, const char*> failures[] = {
        {[&] { return filesystem_copy_file(a.c_str(), missing.c_str(), 1); }, "false"},
        {[&] { return filesystem_move_file(a.c_str(), missing.c_str(), 0); }, "false"},
        {[&] { return filesystem_move_file(folder.c_str(), a.c_str(), 1); },
         "overwrite_existing == 0 || b"},
        {[&] { return filesystem_copy_file(folder.c_str(), a.c_str(), 1); },
         "overwrite_existing == 0 || b"},
        {[&] { return filesystem_copy_file(a.c_str(), a.c_str(), 1); }, // a file open already
         "overwrite_existing == 0 || b"},
        {[&] { return filesystem_get_last_modified_time(missing.c_str()) != ~0ull; },
         "!\"Couldn't open file '%s' for reading\""},
        {[&] { return filesystem_get_modified_time_utc(missing.c_str()) != 0; }, "file"},
        // A folder is no file to open, as on Windows.
        {[&] { return filesystem_get_modified_time_utc(folder.c_str()) != 0; }, "file"},
        {[&] { return filesystem_file_create(folder.c_str(), FS_READ, FS_LOCATION_NONE); },
         nullptr},
    };
    for (const auto& [call, condition] : failures)
        EXPECT_EQ(failed_checks([&call = call] { EXPECT_FALSE(call()); }),
                  condition ? qv_test::texts(condition) : qv_test::texts());
    EXPECT_EQ(read_file(a), "source");
#endif
}

// A new empty file named by three letters of the prefix (the fourth, a dot, is left out).
TEST(FsTemp, NewEmptyFileAndNamesInTheTemporaryFolder) {
    char path[512];
    const sys_u32 n = filesystem_create_temp_filepath("abc.ef", path, sizeof(path));
    ASSERT_EQ(strlen(path), n);
    const std::string p(path), name = p.substr(p.rfind('/') + 1);
    EXPECT_EQ(name.substr(0, 3) + "|" + name.substr(name.find('.')), "abc|.tmp");
    EXPECT_EQ(p.find('\\'), std::string::npos);
    EXPECT_EQ(read_file(path), "");
    EXPECT_TRUE(filesystem_delete_file(path));
    // FS_LOCATION_TEMP names below the temporary folder; an unknown seek origin does nothing.
    char temp[512];
    filesystem_get_temp_path(temp, sizeof(temp));
    const std::string folder = qv_test::fresh_folder("qv_loc_");
    const std::string below = folder.substr(strlen(temp)) + "deeper/ten.bin";
    filesystem_file* f = filesystem_file_create(below.c_str(), FS_WRITE, FS_LOCATION_TEMP);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(filesystem_file_write(f, "0123456789", 10), 10u);
    const sys_i32 seeks[][3] = {
        {4, FS_SEEK_SET, 4}, {-3, FS_SEEK_END, 7}, {-2, FS_SEEK_CUR, 5}, {1, 7, 5}};
    for (const auto& [offset, origin, at] : seeks) {
        filesystem_file_seek(f, offset, origin);
        EXPECT_EQ(filesystem_file_tell(f), at) << offset << " from " << origin;
    }
    filesystem_file_destroy(f);
    filesystem_file_destroy(nullptr);
    EXPECT_EQ(read_file(folder + "deeper/ten.bin"), "0123456789");
}

TEST(FsList, FlatRecursiveSuffixBaseAndCapacity) {
    const std::string root = qv_test::fresh_folder("qv_ops_"), data = root + "data";
    const std::string trimmed = root.substr(0, root.size() - 1);
    for (const char* file : {"/a.json", "/\xC3\xA9.txt", "/sub/c.json", "/sub/deep/d.json"})
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
        {data, nullptr, nullptr, false, "data/. data/.. data/a.json data/sub data/\xC3\xA9.txt"},
        {data + "/", nullptr, ".json", false, "data/a.json"},
        {"data/", root.c_str(), ".json", true, "data/a.json data/sub/c.json data/sub/deep/d.json"},
        {"data/sub/", trimmed.c_str(), nullptr, true, "data/sub/c.json data/sub/deep/d.json"},
        {data, nullptr, ".JSON", true, ""}, // case matters
        // Suffixes see the path with backslashes, on both platforms.
        {data, nullptr, "sub\\c.json", true, "data/sub/c.json"},
        {data, nullptr, "sub/c.json", true, ""},
        {root + "nothing", nullptr, nullptr, true, ""},
    };
    // A sub-folder whose path passes 511 bytes (but not 259 units) is cut and adds nothing.
    std::string long_name;
    for (int i = 0; i < 80; ++i) // 240 bytes, within a Linux name's 255
        long_name += "\xE4\xB8\xAD";
    const std::string outer = root + "a-folder-long-enough-for-the-cut/" + long_name + "/";
    write_file(outer + "x.txt", "x");
    // Made directly: the library's own calls cut a path at 511 bytes as well.
    const std::string inner = outer + long_name;
    std::filesystem::create_directories(std::u8string(inner.begin(), inner.end()));
    EXPECT_EQ(filesystem_get_attr(inner.c_str()), 5u);
    EXPECT_EQ(listing(outer.c_str(), nullptr, true, nullptr),
              std::set<std::string>{outer + "x.txt"});
    for (const auto& c : cases)
        EXPECT_EQ(joined(listing(c.directory.c_str(), c.base, c.recursive, c.suffix), !c.base),
                  c.paths)
            << c.directory << " below " << (c.base ? c.base : "-");
#if QV_TEST_RECORDS_CHECKS
    // With a base, a directory without its closing slash is refused and lists nothing.
    EXPECT_EQ(failed_checks([&] {
                  EXPECT_TRUE(listing("data/sub", trimmed.c_str(), true, nullptr).empty());
              }),
              qv_test::texts("wdir_end != wdirectory && wdir_end[-1] == '\\\\'"));
#endif
    // All matches are counted, the room filled in Windows' order ("_" after letters).
    write_file(data + "/_b.json", "x");
    write_file(data + "/B.json", "x");
    char entries[4][512] = {};
    EXPECT_EQ(filesystem_list_directory_files("data/", trimmed.c_str(), true, ".json", entries, 3),
              5u);
    EXPECT_EQ(std::string(entries[0]) + " " + entries[1] + " " + entries[2],
              "data/a.json data/B.json data/sub/c.json");
    EXPECT_EQ(entries[3][0], 0);
}

#if defined(_WIN32)
// The mirror runs the system tool: a fake one in the current folder records its command line.
TEST(FsMirror, RunsTheSystemToolWithTheMirrorCommandLine) {
    const std::string root = qv_test::fresh_folder("qv_ops_");
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

// New, changed, nested and empty entries are copied, extra ones removed: 1 copied, 2 removed,
// 16 fatal. Without a working folder, relative paths start at the executable's.
TEST(FsMirror, NewChangedNestedEmptyAndExtraEntries) {
    const std::string root = qv_test::fresh_folder("qv_ops_"), src = root + "src/",
                      dst = root + "dst/";
    const std::pair<const char*, const char*> files[] = {
        {"src/same.txt", "same"},      {"src/changed.txt", "new text"},
        {"src/new.txt", "n"},          {"src/nested/deeper/n.txt", "deep"},
        {"dst/same.txt", "same"},      {"dst/changed.txt", "old"},
        {"dst/extra.txt", "x"},        {"dst/extra_dir/e.txt", "e"},
        {"dst/nested", "not a folder"}};
    for (const auto& [name, bytes] : files)
        write_file(root + name, bytes);
    make_dir(src + "empty");
    for (const std::string& same : {src + "same.txt", dst + "same.txt"}) // equal size and time
        set_write_time(same, kEpochDelta + 1500000000ull * kSecond);

    EXPECT_EQ(filesystem_mirror_directory("dst", "src", root.c_str()), 1u | 2u);
    EXPECT_EQ(tree(dst), tree(src));
    EXPECT_EQ(filesystem_get_attr((dst + "empty").c_str()), 5u);
    EXPECT_EQ(filesystem_get_attr((dst + "extra_dir").c_str()), 0u);
    // The copies keep the source's time, so a second run finds nothing to do.
    EXPECT_EQ(filesystem_mirror_directory(dst.c_str(), src.c_str(), nullptr), 0u);
    write_file(dst + "late.txt", "l"); // only an extra
    EXPECT_EQ(filesystem_mirror_directory(dst.c_str(), src.c_str(), nullptr), 2u);
    EXPECT_EQ(filesystem_mirror_directory(dst.c_str(), (root + "none").c_str(), nullptr), 16u);
    EXPECT_EQ(tree(dst), tree(src));

    char exe_dir[1024], before[1024];
    const std::string name = "qv_mirror_" + std::to_string(getpid());
    const std::string at_exe = std::string(exe_dir, filesystem_get_exe_dir(exe_dir, 1024)) + name;
    write_file(at_exe + "/src/f.txt", "f");
    filesystem_get_current_directory(before, sizeof(before));
    ASSERT_EQ(chdir(root.c_str()), 0);
    EXPECT_EQ(
        filesystem_mirror_directory((name + "/dst").c_str(), (name + "/src").c_str(), nullptr), 1u);
    ASSERT_EQ(chdir(before), 0);
    EXPECT_EQ(read_file(at_exe + "/dst/f.txt"), "f");
    std::filesystem::remove_all(at_exe);
}
#endif

// Each mode on a file holding "hello" and on a missing one: opening, reading, writing "XY".
TEST(FileModes, EachModeAgainstExistingAndMissingFiles) {
    const struct {
        sys_i32 mode;
        bool opens_missing;
        const char* read_existing; // nullptr: reading is not allowed
        const char* after_write;   // nullptr: writing is not allowed
    } cases[] = {
        {FS_READ, false, "hello", nullptr},    {FS_WRITE, true, nullptr, "XY"},
        {FS_APPEND, true, nullptr, "helloXY"}, {FS_READ_UPDATE, false, "hello", "XYllo"},
        {FS_WRITE_UPDATE, true, "", "XY"},     {FS_APPEND_UPDATE, true, "hello", "helloXY"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        const std::string root = qv_test::fresh_folder("qv_file_"),
                          existing = root + "existing.bin";
        write_file(existing, "hello");
        filesystem_file* f = filesystem_file_create(existing.c_str(), c.mode, FS_LOCATION_NONE);
        ASSERT_NE(f, nullptr);
        if (c.read_existing) {
            char buffer[16] = {};
            const sys_u64 n = filesystem_file_read(f, buffer, sizeof(buffer));
            EXPECT_EQ(std::string(buffer, n), c.read_existing);
            EXPECT_EQ(filesystem_file_tell(f), filesystem_file_size(f));
        }
        if (c.after_write) {
            filesystem_file_seek(f, 0, FS_SEEK_SET);
            EXPECT_EQ(filesystem_file_write(f, "XY", 2), 2u);
        }
        filesystem_file_destroy(f);
        EXPECT_EQ(read_file(existing), c.after_write ? c.after_write : "hello");

        f = filesystem_file_create((root + "sub/dir/missing.bin").c_str(), c.mode,
                                   FS_LOCATION_NONE);
        EXPECT_EQ(f != nullptr, c.opens_missing);
        filesystem_file_destroy(f);
        // Readers never create the folders along the path.
        EXPECT_EQ(filesystem_get_attr((root + "sub").c_str()), c.opens_missing ? 5u : 0u);
    }
    const std::string path = qv_test::fresh_folder("qv_file_") + "never.bin";
    for (sys_i32 mode : {-1, 6, 100}) // modes outside the table open nothing
        EXPECT_EQ(filesystem_file_create(path.c_str(), mode, FS_LOCATION_NONE), nullptr);
    EXPECT_EQ(filesystem_get_attr(path.c_str()), 0u);
}

// A backslash in a stream's name fails a check, then is a separator; a mapping takes either.
TEST(FileStream, BackslashesAndMappedFiles) {
    const std::string root = qv_test::fresh_folder("qv_file_"), name = root + "a\\b.txt";
    QV_EXPECT_CHECK_FAILS(filesystem_file_create(name.c_str(), FS_WRITE, FS_LOCATION_NONE));
#if QV_TEST_RECORDS_CHECKS
    EXPECT_EQ(failed_checks([&] {
                  filesystem_file_destroy(
                      filesystem_file_create(name.c_str(), FS_WRITE, FS_LOCATION_NONE));
              }),
              qv_test::texts("sys_strchr( filename, '\\\\' ) == nullptr"));
    EXPECT_EQ(filesystem_get_attr(slashes(name).c_str()), 3u);
#endif
    std::string bytes(200000, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (char)(i * 131 + 7);
    write_file(root + "mapped.bin", bytes);
    std::string backslashed = root + "mapped.bin";
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    filesystem_mapped_file* m = filesystem_mapped_file_create(backslashed.c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(memcmp(filesystem_mapped_file_get_memory(m), bytes.data(), bytes.size()), 0);
    filesystem_mapped_file_destroy(m);
    filesystem_mapped_file_destroy(nullptr);

    write_file(root + "empty.bin", "");
    const std::pair<std::string, const char*> cases[] = {
        {root + "missing.bin", "file != ((HANDLE)(LONG_PTR)-1)"},
        {root, "file != ((HANDLE)(LONG_PTR)-1)"},
        {root + "empty.bin", "map"}};
    for (const auto& [path, condition] : cases) {
        QV_EXPECT_CHECK_FAILS(filesystem_mapped_file_create(path.c_str()));
#if QV_TEST_RECORDS_CHECKS
        EXPECT_EQ(failed_checks([&path = path] {
                      EXPECT_EQ(filesystem_mapped_file_create(path.c_str()), nullptr);
                  }),
                  qv_test::texts(condition));
#endif
    }
}

// Lines from several threads are each once and whole in the file as soon as the calls return.
TEST(LogSink, EveryLineIsWholeInTheFileWhenTheCallReturns) {
    const std::string path = qv_test::fresh_folder("qv_file_") + "sink.log";
    filesystem_file* file = filesystem_file_create(path.c_str(), FS_WRITE, FS_LOCATION_NONE);
    sys_printf_log_context context{thread_mutex_create(), file};
    sys_printf_add_callback(sys_printf_callback_log, &context);
    std::multiset<std::string> expected, seen;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        for (int i = 0; i < 2000; ++i)
            expected.insert("thread " + std::to_string(t) + " line " + std::to_string(i) + "\n");
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i)
                sys_printf("thread %i line %i\n", t, i);
        });
    }
    for (std::thread& t : threads)
        t.join();
    sys_printf_remove_callback(sys_printf_callback_log);
    const std::string log = read_file(path);
    for (size_t start = 0, end; start < log.size(); start = end + 1) {
        end = std::min(log.find('\n', start), log.size() - 1); // a cut last line too
        seen.insert(log.substr(start, end - start + 1));
    }
    EXPECT_TRUE(seen == expected) << seen.size() << " lines of " << expected.size();
    filesystem_file_destroy(file);
    thread_mutex_destroy(context._mutex);
}

} // namespace
