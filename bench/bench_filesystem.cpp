// Files and folders against the tools and library a developer would reach for otherwise:
// copying a 256 MiB file (cp), a recursive listing of 10,000 files
// (std::filesystem::recursive_directory_iterator), a mirror of 10,000 unchanged files
// (rsync -a --delete), and the cost of one line through the log-file sink.
// cp and rsync run as child processes whose CPU time the program cannot see: for those cases
// compare the real_time column, not the printed CPU ratio.
#include <benchmark/benchmark.h>

#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"
#include "qv_sys/thread.h"

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

const std::string& root() {
    static const std::string path = [] {
        char temp[512];
        filesystem_get_temp_path(temp, sizeof(temp));
        return std::string(temp) + "qv_bench_fs_" + std::to_string(getpid()) + "/";
    }();
    return path;
}

// The trees and the 256 MiB file go when the program ends.
struct Cleanup {
    ~Cleanup() {
        std::error_code ignored;
        std::filesystem::remove_all(root(), ignored);
    }
} g_cleanup;

void make_file(const std::string& path, size_t size) {
    filesystem_file* f = filesystem_file_create(path.c_str(), FS_WRITE, FS_LOCATION_NONE);
    std::vector<char> block(1 << 20, 'q');
    while (size) {
        const size_t n = size < block.size() ? size : block.size();
        filesystem_file_write(f, block.data(), n);
        size -= n;
    }
    filesystem_file_destroy(f);
}

const std::string& big_file() {
    static const std::string path = [] {
        const std::string p = root() + "big.bin";
        make_file(p, 256u << 20);
        return p;
    }();
    return path;
}

// 10,000 files in 100 folders of 100.
const std::string& tree() {
    static const std::string path = [] {
        const std::string t = root() + "tree/";
        for (int d = 0; d < 100; ++d)
            for (int f = 0; f < 100; ++f)
                make_file(t + "d" + std::to_string(d) + "/f" + std::to_string(f) + ".dat", 16);
        return t;
    }();
    return path;
}

void run(const std::string& command) {
    if (system(command.c_str()) != 0)
        fprintf(stderr, "failed: %s\n", command.c_str());
}

void copy_qv(benchmark::State& state) {
    const std::string dst = root() + "copy_qv.bin";
    big_file(); // made once, outside the timing
    for (auto _ : state)
        benchmark::DoNotOptimize(filesystem_copy_file(dst.c_str(), big_file().c_str(), 1));
}
void copy_cp(benchmark::State& state) {
    const std::string command = "cp -f '" + big_file() + "' '" + root() + "copy_cp.bin'";
    for (auto _ : state)
        run(command);
}

char g_entries[10000][512];

void list_qv(benchmark::State& state) {
    tree(); // made once, outside the timing
    for (auto _ : state)
        benchmark::DoNotOptimize(
            filesystem_list_directory_files(tree().c_str(), nullptr, 1, nullptr, g_entries, 10000));
}
void list_std(benchmark::State& state) {
    for (auto _ : state) {
        size_t n = 0;
        for (const auto& e : std::filesystem::recursive_directory_iterator(tree()))
            n += e.is_regular_file() ? 1 : 0;
        benchmark::DoNotOptimize(n);
    }
}

void mirror_qv(benchmark::State& state) {
    const std::string dst = root() + "mirror_qv";
    filesystem_mirror_directory(dst.c_str(), tree().c_str(), nullptr);
    for (auto _ : state)
        benchmark::DoNotOptimize(filesystem_mirror_directory(dst.c_str(), tree().c_str(), nullptr));
}
void mirror_rsync(benchmark::State& state) {
    const std::string command = "rsync -a --delete '" + tree() + "' '" + root() + "mirror_rsync/'";
    run(command);
    for (auto _ : state)
        run(command);
}

void log_line_qv(benchmark::State& state) {
    thread_mutex* mutex = thread_mutex_create();
    filesystem_file* file =
        filesystem_file_create((root() + "sink.log").c_str(), FS_WRITE, FS_LOCATION_NONE);
    sys_printf_log_context context{mutex, file};
    static const char line[] = "00:00:01.234|RENDER         | 120:renderer.cpp                   "
                               "1024 draw calls, 2048 triangles\n";
    for (auto _ : state)
        sys_printf_callback_log(&context, line, sizeof(line) - 1, 0);
    filesystem_file_destroy(file);
    thread_mutex_destroy(mutex);
}

} // namespace

BENCHMARK(copy_qv)->Name("copy_256MiB/qv_sys")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(copy_cp)->Name("copy_256MiB/cp")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(list_qv)->Name("list_10000/qv_sys")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(list_std)
    ->Name("list_10000/std_filesystem")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(mirror_qv)
    ->Name("mirror_10000_unchanged/qv_sys")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(mirror_rsync)
    ->Name("mirror_10000_unchanged/rsync")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(log_line_qv)->Name("log_sink_line/qv_sys")->UseRealTime();
