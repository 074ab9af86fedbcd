// The text family against glibc's string functions and the C++ library's number conversions.
// Pairs are named "<case>/qv_sys" and "<case>/<peer>"; bench_ratio.cpp prints qv_sys / peer.
//
// sys_strlen and sys_strcmp are internal: this program declares them itself and links the
// library's static archive (see bench/CMakeLists.txt) so they are reached as the library
// reaches them. Every function is called through a pointer held in a volatile, so neither side
// is inlined or folded into the loop and both pay one indirect call.
#include <benchmark/benchmark.h>

#include "qv_sys/cstr.h"

#include "cstr_internal.h"

#include <charconv>
#include <stdlib.h>
#include <string.h>

#include <random>
#include <string>
#include <vector>

namespace {

template <class F> F opaque(F f) {
    static F volatile held;
    held = f;
    return held;
}

// A text of `size` bytes of varied letters, without the characters searched for below.
std::string letters(size_t size) {
    std::string s(size, 'a');
    for (size_t i = 0; i < size; ++i)
        s[i] = (char)('a' + (i * 7 + i / 13) % 20);
    return s;
}

// ---- strlen -------------------------------------------------------------------------------

template <class F> void run_strlen(benchmark::State& state, F fn) {
    const std::string text = letters((size_t)state.range(0));
    auto f = opaque(fn);
    for (auto _ : state)
        benchmark::DoNotOptimize(f(text.c_str()));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
void strlen_qv(benchmark::State& s) {
    run_strlen(
        s, +[](const char* t) -> sys_u64 { return sys_strlen(t); });
}
void strlen_glibc(benchmark::State& s) {
    run_strlen(
        s, +[](const char* t) -> sys_u64 { return strlen(t); });
}

// ---- strchr (the character is the last byte) -----------------------------------------------

template <class F> void run_strchr(benchmark::State& state, F fn) {
    std::string text = letters((size_t)state.range(0));
    text.back() = '#';
    auto f = opaque(fn);
    for (auto _ : state)
        benchmark::DoNotOptimize(f(text.c_str(), '#'));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
void strchr_qv(benchmark::State& s) {
    run_strchr(
        s, +[](const char* t, char c) { return sys_strchr(t, c); });
}
void strchr_glibc(benchmark::State& s) {
    run_strchr(
        s, +[](const char* t, char c) -> const char* { return strchr(t, c); });
}

// ---- strstr (an 8-byte pattern at the end; its first two bytes are frequent) ---------------

template <class F> void run_strstr(benchmark::State& state, F fn) {
    std::string text = letters((size_t)state.range(0));
    const std::string pattern = text.substr(0, 6) + "#!";
    text.replace(text.size() - pattern.size(), pattern.size(), pattern);
    auto f = opaque(fn);
    for (auto _ : state)
        benchmark::DoNotOptimize(f(text.c_str(), pattern.c_str()));
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
void strstr_qv(benchmark::State& s) {
    run_strstr(
        s, +[](const char* t, const char* p) { return sys_strstr(t, p); });
}
void strstr_glibc(benchmark::State& s) {
    run_strstr(
        s, +[](const char* t, const char* p) -> const char* { return strstr(t, p); });
}

// ---- comparison (equal texts, the difference in the last byte) ------------------------------

// How fast a comparison runs depends on where its texts lie: the alignment of one against the
// other and how near each starts to its page's end. Both peers therefore take turns over the
// same pairs, at 16-byte-aligned places (as an allocator gives them) spread over their pages
// by a fixed sequence; the longest texts take one pair, as more would not stay in the cache.
struct ComparePairs {
    static constexpr unsigned kCount = 8;
    std::vector<char> arena;
    const char* a[kCount];
    const char* b[kCount];

    explicit ComparePairs(size_t len) {
        const unsigned count = len > 4096 ? 1 : kCount;
        const size_t slot = (len + 1 + 4096 + 4095) / 4096 * 4096; // a text and a page of room
        arena.assign((2 * count + 1) * slot, 0);
        char* base = (char*)(((uintptr_t)arena.data() + 4095) & ~(uintptr_t)4095);
        const std::string text = letters(len);
        uint32_t r = 12345;
        for (unsigned i = 0; i < kCount; ++i) {
            if (i >= count) { // the same pair again: a copy at another place would overwrite it
                a[i] = a[i % count];
                b[i] = b[i % count];
                continue;
            }
            char* t[2];
            for (unsigned k = 0; k < 2; ++k) {
                r = r * 1103515245u + 12345u;
                t[k] = base + (2 * i + k) * slot + (r >> 8) % 4096 / 16 * 16;
                memcpy(t[k], text.c_str(), len + 1);
            }
            t[1][len - 1] = 'z';
            a[i] = t[0];
            b[i] = t[1];
        }
    }
};

template <class F> void run_compare(benchmark::State& state, F fn) {
    const ComparePairs pairs((size_t)state.range(0));
    auto f = opaque(fn);
    unsigned i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(f(pairs.a[i], pairs.b[i]));
        i = (i + 1) % ComparePairs::kCount;
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
void strcmp_qv(benchmark::State& s) {
    run_compare(
        s, +[](const char* a, const char* b) -> sys_i64 { return sys_strcmp(a, b); });
}
void strcmp_glibc(benchmark::State& s) {
    run_compare(
        s, +[](const char* a, const char* b) -> sys_i64 { return strcmp(a, b); });
}
void strncmp_qv(benchmark::State& s) {
    run_compare(
        s, +[](const char* a, const char* b) { return sys_strncmp(a, b, 1ull << 40); });
}
void strncmp_glibc(benchmark::State& s) {
    run_compare(
        s, +[](const char* a, const char* b) -> sys_i64 { return strncmp(a, b, 1ull << 40); });
}

// One case per length ("strlen_1024/qv_sys" beside "strlen_1024/glibc"), so each length gets
// its own ratio.
#define TEXT_PAIR_AT(name, qv, peer, label, size)                                                  \
    BENCHMARK(qv)->Name(name "_" #size "/qv_sys")->Arg(size);                                      \
    BENCHMARK(peer)->Name(name "_" #size "/" label)->Arg(size)
#define TEXT_PAIR(name, qv, peer, label)                                                           \
    TEXT_PAIR_AT(name, qv, peer, label, 16);                                                       \
    TEXT_PAIR_AT(name, qv, peer, label, 64);                                                       \
    TEXT_PAIR_AT(name, qv, peer, label, 1024);                                                     \
    TEXT_PAIR_AT(name, qv, peer, label, 65536)

TEXT_PAIR("strlen", strlen_qv, strlen_glibc, "glibc");
TEXT_PAIR("strchr", strchr_qv, strchr_glibc, "glibc");
TEXT_PAIR("strstr", strstr_qv, strstr_glibc, "glibc");
TEXT_PAIR("strcmp", strcmp_qv, strcmp_glibc, "glibc");
TEXT_PAIR("strncmp", strncmp_qv, strncmp_glibc, "glibc");
// The comparison between 64 bytes and 1 KiB: past the entry's single blocks, a group or two.
TEXT_PAIR_AT("strcmp", strcmp_qv, strcmp_glibc, "glibc", 256);
TEXT_PAIR_AT("strncmp", strncmp_qv, strncmp_glibc, "glibc", 256);

// ---- integers to text ----------------------------------------------------------------------

// 1024 values with uniformly spread digit counts (the hard case for digit loops).
std::vector<sys_u64> spread_values() {
    std::mt19937_64 rng(1);
    std::vector<sys_u64> v(1024);
    for (sys_u64& x : v)
        x = rng() >> (rng() % 64);
    return v;
}

template <class F> void run_format_int(benchmark::State& state, F fn) {
    const std::vector<sys_u64> values = spread_values();
    char buf[80];
    auto f = opaque(fn);
    for (auto _ : state) {
        for (sys_u64 v : values)
            benchmark::DoNotOptimize(f(v, buf));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
void utoa10_qv(benchmark::State& s) {
    run_format_int(
        s, +[](sys_u64 v, char* b) { return sys_utoa(v, b, 10); });
}
void utoa10_std(benchmark::State& s) {
    run_format_int(
        s, +[](sys_u64 v, char* b) -> sys_u64 {
            char* e = std::to_chars(b, b + 80, v).ptr;
            *e = 0;
            return (sys_u64)(e - b) + 1;
        });
}
void utoa16_qv(benchmark::State& s) {
    run_format_int(
        s, +[](sys_u64 v, char* b) { return sys_utoa(v, b, 16); });
}
void utoa16_std(benchmark::State& s) {
    run_format_int(
        s, +[](sys_u64 v, char* b) -> sys_u64 {
            char* e = std::to_chars(b, b + 80, v, 16).ptr;
            *e = 0;
            return (sys_u64)(e - b) + 1;
        });
}
void itoa10_qv(benchmark::State& s) {
    run_format_int(
        s, +[](sys_u64 v, char* b) { return sys_itoa((sys_i64)v, b, 10); });
}
void itoa10_std(benchmark::State& s) {
    run_format_int(
        s, +[](sys_u64 v, char* b) -> sys_u64 {
            char* e = std::to_chars(b, b + 80, (sys_i64)v).ptr;
            *e = 0;
            return (sys_u64)(e - b) + 1;
        });
}
BENCHMARK(utoa10_qv)->Name("utoa_radix10/qv_sys");
BENCHMARK(utoa10_std)->Name("utoa_radix10/to_chars");
BENCHMARK(utoa16_qv)->Name("utoa_radix16/qv_sys");
BENCHMARK(utoa16_std)->Name("utoa_radix16/to_chars");
BENCHMARK(itoa10_qv)->Name("itoa_radix10/qv_sys");
BENCHMARK(itoa10_std)->Name("itoa_radix10/to_chars");

// ---- text to integers ----------------------------------------------------------------------

std::vector<std::string> value_texts() {
    std::vector<std::string> texts;
    char buf[32];
    for (sys_u64 v : spread_values()) {
        *std::to_chars(buf, buf + 32, v).ptr = 0;
        texts.emplace_back(buf);
    }
    return texts;
}

void atou_qv(benchmark::State& state) {
    const std::vector<std::string> texts = value_texts();
    auto f = opaque(+[](const char* t) { return sys_atou(t, 10, nullptr); });
    for (auto _ : state) {
        for (const std::string& t : texts)
            benchmark::DoNotOptimize(f(t.c_str()));
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
void atou_std(benchmark::State& state) {
    const std::vector<std::string> texts = value_texts();
    auto f = opaque(+[](const char* t) {
        sys_u64 v = 0;
        std::from_chars(t, t + strlen(t), v);
        return v;
    });
    for (auto _ : state) {
        for (const std::string& t : texts)
            benchmark::DoNotOptimize(f(t.c_str()));
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
BENCHMARK(atou_qv)->Name("atou_radix10/qv_sys");
BENCHMARK(atou_std)->Name("atou_radix10/from_chars");

// ---- floating point ------------------------------------------------------------------------

std::vector<double> doubles() {
    std::mt19937_64 rng(2);
    std::vector<double> v(1024);
    for (double& x : v)
        x = ((double)(rng() % 2000000000) - 1e9) / (double)(1 + rng() % 1000);
    return v;
}

void f64toa_qv(benchmark::State& state) {
    const std::vector<double> values = doubles();
    char buf[64];
    auto f = opaque(+[](double v, char* b) { return sys_f64toa(v, b, 6); });
    for (auto _ : state) {
        for (double v : values)
            benchmark::DoNotOptimize(f(v, buf));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
void f64toa_std(benchmark::State& state) {
    const std::vector<double> values = doubles();
    char buf[64];
    auto f = opaque(+[](double v, char* b) -> sys_u64 {
        char* e = std::to_chars(b, b + 64, v, std::chars_format::fixed, 6).ptr;
        *e = 0;
        return (sys_u64)(e - b) + 1;
    });
    for (auto _ : state) {
        for (double v : values)
            benchmark::DoNotOptimize(f(v, buf));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
BENCHMARK(f64toa_qv)->Name("f64toa_6_decimals/qv_sys");
BENCHMARK(f64toa_std)->Name("f64toa_6_decimals/to_chars");

std::vector<std::string> double_texts() {
    std::vector<std::string> texts;
    char buf[64];
    for (double v : doubles()) {
        *std::to_chars(buf, buf + 64, v, std::chars_format::fixed, 6).ptr = 0;
        texts.emplace_back(buf);
    }
    return texts;
}

void atof_qv(benchmark::State& state) {
    const std::vector<std::string> texts = double_texts();
    auto f = opaque(+[](const char* t) { return sys_atof64(t, nullptr); });
    for (auto _ : state) {
        for (const std::string& t : texts)
            benchmark::DoNotOptimize(f(t.c_str()));
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
void atof_strtod(benchmark::State& state) {
    const std::vector<std::string> texts = double_texts();
    auto f = opaque(+[](const char* t) { return strtod(t, nullptr); });
    for (auto _ : state) {
        for (const std::string& t : texts)
            benchmark::DoNotOptimize(f(t.c_str()));
    }
    state.SetItemsProcessed((int64_t)state.iterations() * 1024);
}
BENCHMARK(atof_qv)->Name("atof64/qv_sys");
BENCHMARK(atof_strtod)->Name("atof64/strtod");

} // namespace
