// sys_snprintf against glibc snprintf, stb_sprintf and {fmt} on the formats the library
// prints most, and the cost of a log line that is filtered out or reaches one callback.
// Every formatting case has the three peers, so one run prints all their ratios.
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

// Integers with widths and flags only.
void ints_qv(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(sys_snprintf(g_out, sizeof g_out, "%8i %-8u %+i %08x %05i %i", g_i,
                                              g_u, g_i, g_x, -g_i, g_u));
        benchmark::ClobberMemory();
    }
}
template <typename F> void ints_c(benchmark::State& state, F print) {
    // Called through a pointer the compiler cannot see through, so that it cannot
    // replace the call by its own expansion (it does, for "%s").
    benchmark::DoNotOptimize(print);
    for (auto _ : state) {
        benchmark::DoNotOptimize(
            print(g_out, sizeof g_out, "%8d %-8u %+d %08x %05d %u", g_i, g_u, g_i, g_x, -g_i, g_u));
        benchmark::ClobberMemory();
    }
}
void ints_glibc(benchmark::State& state) {
    ints_c(state, snprintf);
}
void ints_stb(benchmark::State& state) {
    ints_c(state, stbsp_snprintf);
}
void ints_fmt(benchmark::State& state) {
    for (auto _ : state) {
        auto r = fmt::format_to_n(g_out, sizeof g_out - 1, "{:8} {:<8} {:+} {:08x} {:05} {}", g_i,
                                  g_u, g_i, g_x, -g_i, g_u);
        *r.out = 0;
        benchmark::DoNotOptimize(r.size);
        benchmark::ClobberMemory();
    }
}

// A typical log line's message: integers, texts and a float.
double g_f = 16.6667;
void typical_qv(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(sys_snprintf(g_out, sizeof g_out,
                                              "frame %u: %s drew %i meshes in %.2f ms (%s)\n", g_u,
                                              g_s, g_i, g_f, "gbuffer"));
        benchmark::ClobberMemory();
    }
}
template <typename F> void typical_c(benchmark::State& state, F print) {
    benchmark::DoNotOptimize(print); // as in ints_c
    for (auto _ : state) {
        benchmark::DoNotOptimize(print(g_out, sizeof g_out,
                                       "frame %u: %s drew %d meshes in %.2f ms (%s)\n", g_u, g_s,
                                       g_i, g_f, "gbuffer"));
        benchmark::ClobberMemory();
    }
}
void typical_glibc(benchmark::State& state) {
    typical_c(state, snprintf);
}
void typical_stb(benchmark::State& state) {
    typical_c(state, stbsp_snprintf);
}
void typical_fmt(benchmark::State& state) {
    for (auto _ : state) {
        auto r = fmt::format_to_n(g_out, sizeof g_out - 1,
                                  "frame {}: {} drew {} meshes in {:.2f} ms ({})\n", g_u, g_s, g_i,
                                  g_f, "gbuffer");
        *r.out = 0;
        benchmark::DoNotOptimize(r.size);
        benchmark::ClobberMemory();
    }
}

// One text of 200 bytes: a copy once its length is known.
const char* g_text200 = "The quick brown fox jumps over the lazy dog while the renderer streams "
                        "texture_atlas_03 into the second mip chain; the audio mixer holds 48 "
                        "voices and the job system drains 12 queues each frame.......";
void text_qv(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(sys_snprintf(g_out, sizeof g_out, "%s", g_text200));
        benchmark::ClobberMemory();
    }
}
template <typename F> void text_c(benchmark::State& state, F print) {
    benchmark::DoNotOptimize(print); // as in ints_c
    for (auto _ : state) {
        benchmark::DoNotOptimize(print(g_out, sizeof g_out, "%s", g_text200));
        benchmark::ClobberMemory();
    }
}
void text_glibc(benchmark::State& state) {
    text_c(state, snprintf);
}
void text_stb(benchmark::State& state) {
    text_c(state, stbsp_snprintf);
}
void text_fmt(benchmark::State& state) {
    for (auto _ : state) {
        auto r = fmt::format_to_n(g_out, sizeof g_out - 1, "{}", g_text200);
        *r.out = 0;
        benchmark::DoNotOptimize(r.size);
        benchmark::ClobberMemory();
    }
}

// A float with three decimals (the formatter's default precision).
double g_pi = 3.14159265;
void float_qv(benchmark::State& state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(sys_snprintf(g_out, sizeof g_out, "%f", g_pi));
        benchmark::ClobberMemory();
    }
}
template <typename F> void float_c(benchmark::State& state, F print) {
    benchmark::DoNotOptimize(print); // as in ints_c
    for (auto _ : state) {
        benchmark::DoNotOptimize(print(g_out, sizeof g_out, "%.3f", g_pi));
        benchmark::ClobberMemory();
    }
}
void float_glibc(benchmark::State& state) {
    float_c(state, snprintf);
}
void float_stb(benchmark::State& state) {
    float_c(state, stbsp_snprintf);
}
void float_fmt(benchmark::State& state) {
    for (auto _ : state) {
        auto r = fmt::format_to_n(g_out, sizeof g_out - 1, "{:.3f}", g_pi);
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
    benchmark::DoNotOptimize(print); // as in ints_c
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
void logline_fmt(benchmark::State& state) {
    for (auto _ : state) {
        const long long us = (long long)chrono_now_microsecond_diff_global_start_time();
        auto r =
            fmt::format_to_n(g_out, sizeof g_out - 1,
                             "{:02}:{:02}:{:02}.{:06}|{:<15}|{:4}:{:<30} Loaded {} in {} ms\n",
                             us / 3600000000ll, us / 60000000ll % 60, us / 1000000ll % 60,
                             us % 1000000ll, "RESOURCE", 412u, "resource_manager.cpp", g_s, g_u);
        *r.out = 0;
        benchmark::DoNotOptimize(r.size);
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
BENCHMARK(logline_fmt)->Name("format_logline/fmt");
BENCHMARK(ints_qv)->Name("format_ints/qv_sys");
BENCHMARK(ints_glibc)->Name("format_ints/glibc");
BENCHMARK(ints_stb)->Name("format_ints/stb_sprintf");
BENCHMARK(ints_fmt)->Name("format_ints/fmt");
BENCHMARK(typical_qv)->Name("format_typical/qv_sys");
BENCHMARK(typical_glibc)->Name("format_typical/glibc");
BENCHMARK(typical_stb)->Name("format_typical/stb_sprintf");
BENCHMARK(typical_fmt)->Name("format_typical/fmt");
BENCHMARK(text_qv)->Name("format_text200/qv_sys");
BENCHMARK(text_glibc)->Name("format_text200/glibc");
BENCHMARK(text_stb)->Name("format_text200/stb_sprintf");
BENCHMARK(text_fmt)->Name("format_text200/fmt");
BENCHMARK(float_qv)->Name("format_float3/qv_sys");
BENCHMARK(float_glibc)->Name("format_float3/glibc");
BENCHMARK(float_stb)->Name("format_float3/stb_sprintf");
BENCHMARK(float_fmt)->Name("format_float3/fmt");
BENCHMARK(logtype_disabled_qv)->Name("logtype_disabled/qv_sys");
BENCHMARK(logtype_disabled_call_qv)->Name("logtype_disabled_call/qv_sys");
BENCHMARK(logtype_disabled_full_qv)->Name("logtype_disabled_full/qv_sys");
BENCHMARK(logtype_one_callback_qv)->Name("logtype_one_callback/qv_sys");
