// Paths, the home folder and the session folder, each against an answer computed here from
// the platform directly.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/filesystem.h"
#include "qv_sys/time.h"

#include <time.h>

#if defined(_WIN32)
#include <shlobj.h>
#include <windows.h>
#else
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
std::string platform_exe_path() {
    wchar_t w[1024];
    GetModuleFileNameW(nullptr, w, 1024);
    return utf8(w);
}
std::string platform_cwd() {
    wchar_t w[1024];
    GetCurrentDirectoryW(1024, w);
    return utf8(w);
}
constexpr char kSep = '\\';
#else
std::string platform_exe_path() {
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path));
    return n > 0 ? std::string(path, (size_t)n) : "";
}
std::string platform_cwd() {
    char path[4096];
    return getcwd(path, sizeof(path)) ? path : "";
}
void set_env(const char* name, const char* value) {
    value ? setenv(name, value, 1) : unsetenv(name);
}
int make_dir(const std::string& path) {
    return mkdir(path.c_str(), 0700);
}
constexpr char kSep = '/';
#endif

// A fresh folder under the temporary folder, with slashes and without the last one.
std::string scratch_dir(const char* name) {
    std::string dir = qv_test::fresh_folder(name);
    dir.pop_back();
    return dir;
}

TEST(Paths, ExecutablePathAndFolderKeepThePlatformSeparator) {
    const std::string expected = platform_exe_path();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(get(filesystem_get_exe_path), expected);
    const std::string dir = get(filesystem_get_exe_dir);
    EXPECT_EQ(dir, expected.substr(0, expected.rfind(kSep) + 1));

    // The path needs room for its terminator too.
    std::vector<char> exact(expected.size() + 1);
    EXPECT_EQ(filesystem_get_exe_path(exact.data(), sys_u32(exact.size())), expected.size());
    QV_EXPECT_CHECK_FAILS(filesystem_get_exe_path(exact.data(), sys_u32(expected.size())));
    QV_EXPECT_CHECK_FAILS(filesystem_get_exe_dir(exact.data(), 4));
}

TEST(Paths, CurrentDirectoryRoundTripsWithSlashes) {
    const std::string before = platform_cwd();
    filesystem_set_current_directory(scratch_dir("qv_cwd_").c_str());
    const std::string now = get(filesystem_get_current_directory);
    EXPECT_EQ(now, slashes(platform_cwd()));
    EXPECT_EQ(now.find('\\'), std::string::npos);
    filesystem_set_current_directory(before.c_str());
    EXPECT_EQ(platform_cwd(), before);
    QV_EXPECT_CHECK_FAILS(filesystem_set_current_directory("no such folder here/at all"));
    char small[4];
    QV_EXPECT_CHECK_FAILS(filesystem_get_current_directory(small, sizeof(small)));
}

#if QV_TEST_RECORDS_CHECKS
// The conditions the failures report; each call gives 0.
TEST(Paths, FailuresReportTheirTextsAndReturnZero) {
    char small[4];
    const std::pair<Getter, std::vector<std::string>> cases[] = {
        {filesystem_get_exe_path, {"wctomb_ret"}},
        {filesystem_get_exe_dir, {"wctomb_ret", "res"}},
        {filesystem_get_current_directory, {"wctomb_ret"}}};
    for (const auto& [call, conditions] : cases) {
        qv_test::CheckRecorder recorder;
        EXPECT_EQ(call(small, sizeof(small)), 0u);
        EXPECT_EQ(recorder.conditions, conditions);
    }
    {
        qv_test::CheckRecorder recorder;
        filesystem_set_current_directory("/no/such/folder/anywhere");
        EXPECT_EQ(recorder.conditions, std::vector<std::string>{"result == 0"});
    }
    // A current directory longer than the 260-byte platform limit fails as on Windows.
    const std::string before = platform_cwd();
    std::string deep = scratch_dir("qv_deep_");
    while (deep.size() < 300) {
        deep += "/" + std::string(100, 'd');
        ASSERT_EQ(make_dir(deep), 0);
    }
    ASSERT_EQ(chdir(deep.c_str()), 0);
    {
        qv_test::CheckRecorder recorder;
        char buffer[1024];
        EXPECT_EQ(filesystem_get_current_directory(buffer, sizeof(buffer)), 0u);
        EXPECT_EQ(recorder.conditions, std::vector<std::string>{"!\"Failed getting path\""});
    }
    ASSERT_EQ(chdir(before.c_str()), 0);
}
#endif

TEST(Paths, TemporaryFolderEndsWithASlash) {
#if defined(_WIN32)
    wchar_t w[MAX_PATH + 2];
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

TEST(Home, BaseIsNormalisedAndTheTailAppended) {
    // Only one trailing slash is dropped.
    const std::pair<const char*, const char*> cases[] = {
        {"D:\\Data\\", "D:/Data/"},
        {"D:/Data", "D:/Data/"},
        {"/srv/games/", "/srv/games/"},
        {"C:\\Users\\Player\\Saved Games", "C:/Users/Player/Saved Games/"},
        {"//", "//"}};
    for (const auto& [base, home] : cases) {
        filesystem_set_home_path(base);
        EXPECT_EQ(get(filesystem_get_home_path), home + kTail) << base;
    }
    filesystem_set_home_path("");
}

#if defined(_WIN32)
TEST(Home, WithoutABaseTheDocumentsFolderIsUsed) {
    wchar_t w[MAX_PATH];
    ASSERT_TRUE(SUCCEEDED(SHGetFolderPathW(nullptr, CSIDL_PERSONAL, nullptr, 0, w)));
    const std::string docs = slashes(utf8(w));
    for (const char* none : {"", "/", "\\"}) {
        filesystem_set_home_path(none);
        EXPECT_EQ(get(filesystem_get_home_path), docs + "/" + kTail) << none;
    }
}
#else
// HOME and the XDG settings are left pointing at the scratch folder: nothing after this test
// reads them.
TEST(Home, WithoutABaseTheXdgDocumentsFolderIsUsed) {
    const std::string home = scratch_dir("qv_home_");
    set_env("HOME", home.c_str());
    set_env("XDG_DOCUMENTS_DIR", nullptr);
    set_env("XDG_CONFIG_HOME", nullptr);
    for (const char* none : {"", "/", "\\"}) {
        filesystem_set_home_path(none);
        EXPECT_EQ(get(filesystem_get_home_path), home + "/Documents/" + kTail) << none;
    }

    // The user-dirs file, in the default config folder and then in XDG_CONFIG_HOME.
    qv_test::write_file(home + "/.config/user-dirs.dirs",
                        "# written by a test\nXDG_DESKTOP_DIR=\"$HOME/Desk\"\n"
                        "XDG_DOCUMENTS_DIR=\"$HOME/Papers\"\n");
    EXPECT_EQ(get(filesystem_get_home_path), home + "/Papers/" + kTail);
    qv_test::write_file(home + "/cfg/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"/abs/docs/\"\n");
    set_env("XDG_CONFIG_HOME", (home + "/cfg").c_str());
    EXPECT_EQ(get(filesystem_get_home_path), "/abs/docs/" + kTail);

    // The variable itself wins over the file; a set base wins over both.
    set_env("XDG_DOCUMENTS_DIR", "/from/variable");
    EXPECT_EQ(get(filesystem_get_home_path), "/from/variable/" + kTail);
    filesystem_set_home_path("/base");
    EXPECT_EQ(get(filesystem_get_home_path), "/base/" + kTail);
    filesystem_set_home_path("");
}
#endif

TEST(Session, PathUsesTheMonthOfTheRecordedStart) {
    sys_time_init_start_time();
    const time_t start = (time_t)sys_time_at_start();
    char month[16];
#if defined(_WIN32)
    strftime(month, sizeof(month), "%Y-%m", localtime(&start));
#else
    tm storage;
    strftime(month, sizeof(month), "%Y-%m", localtime_r(&start, &storage));
#endif
    filesystem_set_home_path("D:\\Data");
    const std::string sessions = "D:/Data/" + kTail + "/Sessions/" + month + "/";

    // A null name keeps the earlier one; an empty one clears it.
    filesystem_set_session("run42", "uid-1");
    filesystem_set_session(nullptr, "abc");
    EXPECT_STREQ(filesystem_get_session_uid(), "abc");
    EXPECT_EQ(get(filesystem_get_session_path), sessions + "run42/");
    filesystem_set_session("", "abc");
    EXPECT_EQ(get(filesystem_get_session_path), sessions);
    // Settings are cut to their 128-byte buffers.
    const std::string long_uid(300, 'u');
    filesystem_set_session("", long_uid.c_str());
    EXPECT_EQ(std::string(filesystem_get_session_uid()), long_uid.substr(0, 127));
    // The formatter's rule: no terminator when the text fills the buffer, and the literal
    // after a cut field still lands in the last byte.
    filesystem_set_home_path("/b");
    filesystem_set_session("name", "");
    char buffer[16];
    memset(buffer, '#', sizeof(buffer));
    EXPECT_EQ(filesystem_get_session_path(buffer, 10), 10u);
    EXPECT_EQ(std::string(buffer, 11), "/b/My Gam/#");
    filesystem_set_session("", "");
    filesystem_set_home_path("");
}

} // namespace
