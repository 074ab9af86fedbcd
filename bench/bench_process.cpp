// sys_exec against posix_spawn + waitpid done by hand: a child that exits at once (with and
// without captured output), and 64 MiB streamed out of `cat` into a callback against a plain
// read loop on the same kind of pipe.
#include <benchmark/benchmark.h>

#include "qv_sys/io.h"

#include <fcntl.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

extern char** environ;

namespace {

constexpr size_t kStreamBytes = 64u << 20;

const std::string& stream_file() {
    static const std::string path = [] {
        std::string p = "/tmp/qv_bench_process_" + std::to_string(getpid());
        FILE* f = fopen(p.c_str(), "wb");
        std::string block(1 << 20, 'q');
        for (size_t i = 0; i < kStreamBytes / block.size(); ++i)
            fwrite(block.data(), 1, block.size(), f);
        fclose(f);
        return p;
    }();
    return path;
}

void count_bytes(void* user, const char*, sys_u64 length, sys_bool) {
    *(sys_u64*)user += length;
}

// Spawns argv with stdout on a pipe (when `piped`), reads it to its end, waits.
sys_u64 spawn_by_hand(const char* const* argv, bool piped) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    int fds[2] = {-1, -1};
    if (piped) {
        if (pipe2(fds, O_CLOEXEC) != 0)
            abort();
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    }
    pid_t pid;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, (char* const*)argv, environ) != 0)
        abort();
    posix_spawn_file_actions_destroy(&actions);
    sys_u64 total = 0;
    if (piped) {
        close(fds[1]);
        static char buffer[65536];
        ssize_t n;
        while ((n = read(fds[0], buffer, sizeof buffer)) > 0)
            total += (sys_u64)n;
        close(fds[0]);
    }
    int status;
    waitpid(pid, &status, 0);
    return total;
}

sys_u64 spawn_qv(const char* const* argv, bool piped) {
    sys_u64 total = 0;
    sys_exec_input in = {};
    in._args = (const char**)argv;
    if (piped) {
        in._stdout_callback = count_bytes;
        in._user_data = &total;
    }
    if (sys_exec(&in) != 0)
        abort();
    return total;
}

const char* const kTrue[] = {"/bin/true", nullptr};

void exit_at_once_qv(benchmark::State& state) {
    for (auto _ : state)
        spawn_qv(kTrue, state.range(0) != 0);
}
void exit_at_once_spawn(benchmark::State& state) {
    for (auto _ : state)
        spawn_by_hand(kTrue, state.range(0) != 0);
}

void stream_qv(benchmark::State& state) {
    const char* const argv[] = {"/bin/cat", stream_file().c_str(), nullptr};
    for (auto _ : state)
        if (spawn_qv(argv, true) != kStreamBytes)
            state.SkipWithError("short stream");
    state.SetBytesProcessed((int64_t)(state.iterations() * kStreamBytes));
}
void stream_spawn(benchmark::State& state) {
    const char* const argv[] = {"/bin/cat", stream_file().c_str(), nullptr};
    for (auto _ : state)
        if (spawn_by_hand(argv, true) != kStreamBytes)
            state.SkipWithError("short stream");
    state.SetBytesProcessed((int64_t)(state.iterations() * kStreamBytes));
}

} // namespace

BENCHMARK(exit_at_once_qv)->Name("exit_at_once/qv_sys")->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(exit_at_once_spawn)->Name("exit_at_once/posix_spawn")->Arg(0)->Arg(1)->UseRealTime();
BENCHMARK(stream_qv)->Name("stream_64MiB/qv_sys")->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(stream_spawn)
    ->Name("stream_64MiB/posix_spawn")
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
