// Open files, mapped files and the log-file sink, each in a fresh folder of its own.
#include "support/check_recorder.h"
#include "support/test_support.h"

#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"
#include "qv_sys/thread.h"

#if defined(_WIN32)
#include <process.h>
#include <windows.h>
#define getpid _getpid
#else
#include <signal.h>
#include <unistd.h>
#endif

namespace {

using qv_test::read_file;
using qv_test::write_file;

std::string fresh_root() {
    return qv_test::fresh_folder("qv_file_");
}

// What each mode does to an existing file holding "hello" and to a missing one: whether it
// opens, what a read from the start gives, and the file after writing "XY" (at the start
// after a seek, except that append modes always write at the end).
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
        const std::string root = fresh_root(), existing = root + "existing.bin";
        write_file(existing, "hello");
        filesystem_file* f = filesystem_file_create(existing.c_str(), c.mode, FS_LOCATION_NONE);
        ASSERT_NE(f, nullptr);
        if (c.read_existing) {
            char buffer[16] = {};
            const sys_u64 n = filesystem_file_read(f, buffer, sizeof(buffer));
            EXPECT_EQ(std::string(buffer, n), c.read_existing);
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
    const std::string path = fresh_root() + "never.bin";
    for (sys_i32 mode : {-1, 6, 100}) // modes outside the table open nothing
        EXPECT_EQ(filesystem_file_create(path.c_str(), mode, FS_LOCATION_NONE), nullptr);
    EXPECT_EQ(filesystem_get_attr(path.c_str()), 0u);
}

// A name with FS_LOCATION_TEMP is taken under the temporary folder; an unknown seek origin
// leaves the position alone.
TEST(FileStream, SeekTellAndSizeFromEachOriginInTheTemporaryFolder) {
    char name[128], temp[512];
    snprintf(name, sizeof(name), "qv_loc_%d/deeper/ten.bin", (int)getpid());
    filesystem_file* f = filesystem_file_create(name, FS_WRITE_UPDATE, FS_LOCATION_TEMP);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(filesystem_file_write(f, "0123456789", 10), 10u);
    const struct {
        sys_i32 offset, origin;
        sys_i64 expected;
    } steps[] = {{4, FS_SEEK_SET, 4},
                 {3, FS_SEEK_CUR, 7},
                 {-2, FS_SEEK_CUR, 5},
                 {-1, FS_SEEK_END, 9},
                 {2, FS_SEEK_SET, 2},
                 {5, 7, 2},
                 {5, -1, 2}};
    for (const auto& s : steps) {
        filesystem_file_seek(f, s.offset, s.origin);
        EXPECT_EQ(filesystem_file_tell(f), s.expected) << s.offset << " from " << s.origin;
    }
    EXPECT_EQ(filesystem_file_size(f), 10);
    EXPECT_EQ(filesystem_file_tell(f), 2);
    char c = 0;
    EXPECT_EQ(filesystem_file_read(f, &c, 1), 1u);
    EXPECT_EQ(c, '2');
    filesystem_file_destroy(f);
    filesystem_file_destroy(nullptr);
    filesystem_get_temp_path(temp, sizeof(temp));
    EXPECT_EQ(read_file(std::string(temp) + name), "0123456789");
}

TEST(FileStream, BackslashInNameFailsTheCheck) {
    const std::string name = fresh_root() + "a\\b.txt";
    QV_EXPECT_CHECK_FAILS(filesystem_file_create(name.c_str(), FS_WRITE, FS_LOCATION_NONE));
#if QV_TEST_RECORDS_CHECKS
    qv_test::CheckRecorder recorder;
    filesystem_file* f = filesystem_file_create(name.c_str(), FS_WRITE, FS_LOCATION_NONE);
    EXPECT_EQ(recorder.conditions,
              std::vector<std::string>{"sys_strchr( filename, '\\\\' ) == nullptr"});
    EXPECT_NE(f, nullptr); // the open goes on with the name as given
    filesystem_file_destroy(f);
#endif
}

TEST(MappedFile, BytesEqualTheFileAndMissingOrEmptyFilesFail) {
    const std::string root = fresh_root();
    std::string bytes(200000, 0);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = (char)(i * 131 + 7);
    write_file(root + "mapped.bin", bytes);
    filesystem_mapped_file* m = filesystem_mapped_file_create((root + "mapped.bin").c_str());
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(memcmp(filesystem_mapped_file_get_memory(m), bytes.data(), bytes.size()), 0);
    filesystem_mapped_file_destroy(m);
    filesystem_mapped_file_destroy(nullptr);

    write_file(root + "empty.bin", "");
    const std::pair<std::string, const char*> cases[] = {
        {root + "missing.bin", "file != ((HANDLE)(LONG_PTR)-1)"}, {root + "empty.bin", "map"}};
    for (const auto& [path, condition] : cases) {
        QV_EXPECT_CHECK_FAILS(filesystem_mapped_file_create(path.c_str()));
#if QV_TEST_RECORDS_CHECKS
        qv_test::CheckRecorder recorder;
        EXPECT_EQ(filesystem_mapped_file_create(path.c_str()), nullptr);
        EXPECT_EQ(recorder.conditions, std::vector<std::string>{condition});
#endif
    }
}

constexpr int kThreads = 4, kLinesPerThread = 3000;
const char* const kFiller = "abcdefghijklmnopqrstuvwxyz0123456789abcdefghijklmnopqrstuvwxyz";

// Runs in a child process started by the test below, in its own folder: logs from several
// threads through the sink, then dies at once without any clean-up.
TEST(LogSinkKill, DISABLED_Child) {
    filesystem_file* file = filesystem_file_create("sink.log", FS_WRITE, FS_LOCATION_NONE);
    ASSERT_NE(file, nullptr);
    sys_printf_log_context context{thread_mutex_create(), file};
    sys_printf_add_callback(sys_printf_callback_log, &context);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < kLinesPerThread; ++i)
                sys_printf("thread %i line %i %s end\n", t, i, kFiller);
        });
    for (std::thread& t : threads)
        t.join();
#if defined(_WIN32)
    TerminateProcess(GetCurrentProcess(), 77);
#else
    raise(SIGKILL);
#endif
}

TEST(LogSink, EveryLineSurvivesAnAbruptKill) {
    const std::string root = fresh_root();
    char exe[1024];
    ASSERT_GT(filesystem_get_exe_path(exe, sizeof(exe)), 0u);
    const char* args[] = {exe, "--gtest_also_run_disabled_tests",
                          "--gtest_filter=LogSinkKill.DISABLED_Child", nullptr};
    sys_exec_input in{};
    in._args = args;
    in._working_dir = root.c_str();
    EXPECT_NE(sys_exec(&in), 0u);
    // Every line once and whole, none cut, none twice.
    std::multiset<std::string> expected, seen;
    char line[256];
    for (int t = 0; t < kThreads; ++t)
        for (int i = 0; i < kLinesPerThread; ++i) {
            snprintf(line, sizeof(line), "thread %i line %i %s end\n", t, i, kFiller);
            expected.insert(line);
        }
    const std::string log = read_file(root + "sink.log");
    for (size_t start = 0, end; start < log.size(); start = end + 1) {
        end = log.find('\n', start);
        seen.insert(log.substr(start, end == std::string::npos ? end : end - start + 1));
    }
    EXPECT_TRUE(seen == expected) << seen.size() << " lines of " << expected.size();
}

} // namespace
