// json_tokenize against jsmn with parent links (tokens into an array, like ours) and simdjson's DOM
// parse, on a generated 1 MB game-data document and on a document of long strings.
#include <benchmark/benchmark.h>

#include "qv_sys/json.h"

#define JSMN_STATIC
#define JSMN_PARENT_LINKS
#include <jsmn.h>
#include <simdjson.h>

#include <stdint.h>

#include <string>
#include <vector>

namespace {

struct Rng {
    uint32_t x = 0x9e3779b9u;
    uint32_t next() {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    }
};

// About 1 MB of indented records: nested objects and arrays, strings with escapes, integers,
// decimals with exponents, and all three literals.
std::string realistic_document() {
    Rng rng;
    static const char* const words[] = {"iron",  "sword", "of",          "the",
                                        "north", "ember", "shield",      "quiet",
                                        "river", "stone", "\\\"old\\\"", "caf\\u00e9"};
    std::string s = "{\n  \"version\": 3,\n  \"items\": [\n";
    for (int i = 0; s.size() < 1000000; ++i) {
        if (i)
            s += ",\n";
        s += "    {\n      \"id\": " + std::to_string(100000 + i) + ",\n      \"name\": \"";
        for (int w = 0, n = 2 + (int)(rng.next() % 4); w < n; ++w)
            s += std::string(w ? " " : "") + words[rng.next() % 12];
        s += "\",\n      \"desc\": \"line one\\nline two\\tand a \\\\ backslash\",\n";
        s += "      \"weight\": " + std::to_string(rng.next() % 1000) + "." +
             std::to_string(rng.next() % 100) + ",\n";
        s += "      \"scale\": -" + std::to_string(rng.next() % 9 + 1) + ".25e-" +
             std::to_string(rng.next() % 5) + ",\n";
        s += "      \"tags\": [\"loot\", \"tier" + std::to_string(rng.next() % 5) + "\", \"" +
             words[rng.next() % 12] + "\"],\n";
        s += "      \"pos\": {\"x\": " + std::to_string((int)(rng.next() % 20000) - 10000) +
             ", \"y\": " + std::to_string(rng.next() % 500) + ", \"z\": 0.5},\n";
        s += std::string("      \"stackable\": ") + (rng.next() % 2 ? "true" : "false") +
             ",\n      \"owner\": null,\n      \"stats\": [" + std::to_string(rng.next() % 100) +
             ", " + std::to_string(rng.next() % 100) + ", " + std::to_string(rng.next() % 100) +
             "]\n    }";
    }
    s += "\n  ]\n}\n";
    return s;
}

// About 1 MB in a few hundred long strings of prose (chat logs, descriptions): a line-feed
// escape every 64 bytes or so and an escaped quote every 512.
std::string long_strings_document() {
    Rng rng;
    std::string s = "[\n";
    for (int i = 0; s.size() < 1000000; ++i) {
        s += i ? ",\n  \"" : "  \"";
        const size_t len = 1000 + rng.next() % 6000;
        for (size_t j = 0; j < len; ++j) {
            const uint32_t r = rng.next() % 512;
            if (r < 8)
                s += "\\n";
            else if (r == 8)
                s += "\\\"";
            else
                s += r < 100 ? ' ' : (char)('a' + r % 26);
        }
        s += "\"";
    }
    s += "\n]\n";
    return s;
}

const std::string& document(int which) {
    static const std::string docs[2] = {realistic_document(), long_strings_document()};
    return docs[which];
}

void tokenize_qv(benchmark::State& state) {
    const std::string& doc = document((int)state.range(0));
    std::vector<json_token> tokens(doc.size() / 2 + 16);
    for (auto _ : state) {
        sys_u64 n = 0;
        const sys_u32 r = json_tokenize(doc.data(), doc.size(), tokens.data(), tokens.size(), &n);
        if (r != JSON_RESULT_OK)
            state.SkipWithError("json_tokenize failed");
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * doc.size()));
}

void tokenize_jsmn(benchmark::State& state) {
    const std::string& doc = document((int)state.range(0));
    std::vector<jsmntok_t> tokens(doc.size() / 2 + 16);
    for (auto _ : state) {
        jsmn_parser parser;
        jsmn_init(&parser);
        const int n =
            jsmn_parse(&parser, doc.data(), doc.size(), tokens.data(), (unsigned)tokens.size());
        if (n <= 0)
            state.SkipWithError("jsmn_parse failed");
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * doc.size()));
}

void parse_simdjson(benchmark::State& state) {
    const std::string& doc = document((int)state.range(0));
    const simdjson::padded_string padded(doc);
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element root;
        if (parser.parse(padded).get(root) != simdjson::SUCCESS)
            state.SkipWithError("simdjson parse failed");
        benchmark::DoNotOptimize(root);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed((int64_t)(state.iterations() * doc.size()));
}

BENCHMARK(tokenize_qv)->Name("json_realistic_vs_jsmn/qv_sys")->Arg(0);
BENCHMARK(tokenize_jsmn)->Name("json_realistic_vs_jsmn/jsmn")->Arg(0);
BENCHMARK(tokenize_qv)->Name("json_realistic_vs_simdjson/qv_sys")->Arg(0);
BENCHMARK(parse_simdjson)->Name("json_realistic_vs_simdjson/simdjson")->Arg(0);
BENCHMARK(tokenize_qv)->Name("json_long_strings_vs_jsmn/qv_sys")->Arg(1);
BENCHMARK(tokenize_jsmn)->Name("json_long_strings_vs_jsmn/jsmn")->Arg(1);
BENCHMARK(tokenize_qv)->Name("json_long_strings_vs_simdjson/qv_sys")->Arg(1);
BENCHMARK(parse_simdjson)->Name("json_long_strings_vs_simdjson/simdjson")->Arg(1);

} // namespace
