// sys_snprintf against glibc snprintf, stb_sprintf and {fmt} on the formats the library
// prints most, and the cost of a log line that is filtered out or reaches one callback.
#include <benchmark/benchmark.h>

#include "qv_sys/chrono.h"
#include "qv_sys/io.h"

#include <stdio.h>
#include <string.h>
#include <time.h>

#define STB_SPRINTF_IMPLEMENTATION
#define STB_SPRINTF_STATIC
#include <stb/stb_sprintf.h>

#include <fmt/format.h>

namespace {

char g_out[4096];
int g_i = -123456;
unsigned g_u = 987654u;
unsigned g_x = 0xbeefu;
const char* g_s = "texture_atlas_03";

// Integers, a text and hex, with widths: the shape of most engine messages.
void mix_qv(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(sys_snprintf(g_out, sizeof g_out,
                                              "id %i count %u name %s mask %x [%8i|%-20s|%08x]",
                                              g_i, g_u, g_s, g_x, g_i, g_s, g_x));
        benchmark::ClobberMemory();
    }
}
void mix_glibc(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(snprintf(g_out, sizeof g_out,
                                          "id %d count %u name %s mask %x [%8d|%-20s|%08x]", g_i,
                                          g_u, g_s, g_x, g_i, g_s, g_x));
        benchmark::ClobberMemory();
    }
}
void mix_stb(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(stbsp_snprintf(g_out, sizeof g_out,
                                                "id %d count %u name %s mask %x [%8d|%-20s|%08x]",
                                                g_i, g_u, g_s, g_x, g_i, g_s, g_x));
        benchmark::ClobberMemory();
    }
}
void mix_fmt(benchmark::State& state) {
    for (auto _ : state) {
        auto r = fmt::format_to_n(g_out, sizeof g_out - 1,
                                  "id {} count {} name {} mask {:x} [{:8}|{:<20}|{:08x}]", g_i, g_u,
                                  g_s, g_x, g_i, g_s, g_x);
        *r.out = 0;
        benchmark::DoNotOptimize(r.size);
        benchmark::ClobberMemory();
    }
}

// The log line prefix with its clock read. The peers read the same clock and split it.
void logline_qv(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(sys_snprintf(g_out, sizeof g_out,
                                              SYS_LOG_PREFIX "Loaded %s in %u ms\n", "RESOURCE",
                                              412u, "resource_manager.cpp", g_s, g_u));
        benchmark::ClobberMemory();
    }
}
template <typename F> void logline_c(benchmark::State& state, F print) {
    for (auto _ : state) {
        const long long us = (long long)chrono_now_microsecond_diff_global_start_time();
        benchmark::DoNotOptimize(print(g_out, sizeof g_out,
                                       "%02lld:%02lld:%02lld.%06lld|%-15s|%4u:%-30s Loaded %s in "
                                       "%u ms\n",
                                       us / 3600000000ll, us / 60000000ll % 60, us / 1000000ll % 60,
                                       us % 1000000ll, "RESOURCE", 412u, "resource_manager.cpp",
                                       g_s, g_u));
        benchmark::ClobberMemory();
    }
}
void logline_glibc(benchmark::State& state) {
    logline_c(state, snprintf);
}
void logline_stb(benchmark::State& state) {
    logline_c(state, stbsp_snprintf);
}

// A filtered log line, and one that reaches a single callback copying into memory.
struct Sink {
    char text[4096];
    sys_u64 length;
} g_sink;

void to_memory(void* user, const char* text, sys_u64 length, sys_bool) {
    Sink* s = (Sink*)user;
    memcpy(s->text, text, length + 1);
    s->length = length;
}

void logtype_disabled_qv(benchmark::State& state) {
    sys_printf_add_callback(to_memory, &g_sink);
    sys_printf_enable_logtype("RENDER", 0);
    for (auto _ : state)
        SYS_LOG("RENDER", "%u draw calls, %u triangles\n", g_u, g_u);
    sys_printf_enable_logtype("RENDER", 1);
    sys_printf_remove_callback(to_memory);
}

// The same filtered line called directly with the prefix arguments already known: the cost
// inside the library alone, without the call site's work.
void logtype_disabled_call_qv(benchmark::State& state) {
    sys_printf_add_callback(to_memory, &g_sink);
    sys_printf_enable_logtype("RENDER", 0);
    for (auto _ : state)
        sys_printf_logtype("RENDER", SYS_LOG_PREFIX "%u draw calls, %u triangles\n", "RENDER", 106u,
                           "bench_io.cpp", g_u, g_u);
    sys_printf_enable_logtype("RENDER", 1);
    sys_printf_remove_callback(to_memory);
}

// A game that silences many subsystems: the filtered type is one of 64 disabled hashes.
void logtype_disabled_full_qv(benchmark::State& state) {
    char names[63][16];
    for (int i = 0; i < 63; ++i) {
        snprintf(names[i], sizeof names[i], "SUBSYSTEM_%02d", i);
        sys_printf_enable_logtype(names[i], 0);
    }
    sys_printf_add_callback(to_memory, &g_sink);
    sys_printf_enable_logtype("RENDER", 0);
    for (auto _ : state)
        SYS_LOG("RENDER", "%u draw calls, %u triangles\n", g_u, g_u);
    sys_printf_enable_logtype("RENDER", 1);
    sys_printf_remove_callback(to_memory);
    for (int i = 0; i < 63; ++i)
        sys_printf_enable_logtype(names[i], 1);
}

void logtype_one_callback_qv(benchmark::State& state) {
    sys_printf_add_callback(to_memory, &g_sink);
    for (auto _ : state) {
        SYS_LOG("RENDER", "%u draw calls, %u triangles\n", g_u, g_u);
        benchmark::ClobberMemory();
    }
    sys_printf_remove_callback(to_memory);
}

} // namespace

BENCHMARK(mix_qv)->Name("format_mix/qv_sys");
BENCHMARK(mix_glibc)->Name("format_mix/glibc");
BENCHMARK(mix_stb)->Name("format_mix/stb_sprintf");
BENCHMARK(mix_fmt)->Name("format_mix/fmt");
BENCHMARK(logline_qv)->Name("format_logline/qv_sys");
BENCHMARK(logline_glibc)->Name("format_logline/glibc");
BENCHMARK(logline_stb)->Name("format_logline/stb_sprintf");
BENCHMARK(logtype_disabled_qv)->Name("logtype_disabled/qv_sys");
BENCHMARK(logtype_disabled_call_qv)->Name("logtype_disabled_call/qv_sys");
BENCHMARK(logtype_disabled_full_qv)->Name("logtype_disabled_full/qv_sys");
BENCHMARK(logtype_one_callback_qv)->Name("logtype_one_callback/qv_sys");
