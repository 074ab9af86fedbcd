// Every block walker the processor has against the byte step alone, on random texts of several
// 64-byte blocks: the same result, count and tokens.
#include "support/test_support.h"

#include "qv_sys/json.h"

#include "cstr_internal.h"
#include "json_blocks.h"

#include <random>

namespace {

// Tokens, escapes and separators at random positions of a block, malformed texts among them.
std::string piece_text(std::mt19937& rng) {
    static const char* const pieces[] = {
        "{",     "}",     "[",          "]",        ":",    ",",        " ",
        "\n   ", "\"k\"", "\"a\\\"b\"", "\"\\\\\"", "\"\\", "12",       "-0.5e+3",
        "0",     "1.",    "true",       "false",    "null", "\"x\":",   "tru",
        "\\",    "\x01",  "\r\t",       "\xc3\xa9", "01",   "truefalse"};
    std::string text = "0 ";
    for (size_t i = rng() % 120; i > 0; --i) {
        const unsigned pick = rng() % 16;
        if (pick == 0)
            text += "\"" + std::string(rng() % 150, 'w') + "\"";
        else if (pick == 1)
            text += std::to_string(rng()) + "." + std::to_string(rng() % 1000) + "e" +
                    std::to_string(rng() % 99);
        else
            text += pieces[rng() % std::size(pieces)];
    }
    return text;
}

// Strings that end just before, at and after a block's end or several blocks on, escapes (a
// quote among them) anywhere in them, numbers and literals across a block's end.
std::string block_text(std::mt19937& rng) {
    static const char* const others[] = {"-12.5e+7 ", "[true false null] ", "{\"k\":[]} ",
                                         "\"x\" "};
    std::string text = "0 {";
    while (text.size() < 64 * 3 + rng() % 128) {
        const unsigned pick = rng() % 9;
        if (pick < 4) { // a member name with pick 0
            std::string body(rng() % (pick == 3 ? 200 : 70), 'a' + (char)(rng() % 26));
            for (int escapes = (int)(rng() % 3); escapes > 0 && body.size() >= 2; --escapes) {
                const size_t at = rng() % (body.size() - 1);
                body[at] = '\\';
                body[at + 1] = "\"\\n/u"[rng() % 5];
            }
            if (rng() % 8 == 0) // an odd run of backslashes escapes the closing quote
                body += std::string(1 + rng() % 3, '\\');
            text += "\"" + body + "\"" + (pick == 0 ? ":" : " ");
        } else {
            text += pick == 4 ? std::string(rng() % 64, ' ') : others[pick - 5];
        }
    }
    return text + (rng() % 4 ? "}" : ""); // sometimes left open, or cut inside a string
}

TEST(JsonWalkers, AgreeWithTheByteStep) {
    std::vector<int> walkers = {qv_json::WalkerSse2};
    if (sys_cpu_has_avx2())
        walkers.push_back(qv_json::WalkerAvx2);
    if (sys_cpu_has_evex())
        walkers.push_back(qv_json::WalkerEvex);
    std::mt19937 rng(11);
    std::vector<json_token> want(512), got(512);
    for (int round = 0; round < 40000; ++round) {
        std::string text = round % 2 ? piece_text(rng) : block_text(rng);
        // A bad escape would end the process through a check.
        for (size_t i = 0; i + 1 < text.size(); ++i)
            if (text[i] == '\\' && !strchr("\"\\/bfnrtu", text[++i]))
                text[i] = 'n';
        const sys_u64 capacity = rng() % 8 == 0 ? rng() % 40 : want.size();
        sys_u64 nwant = 7;
        const sys_u32 rwant = qv_json::tokenize(qv_json::WalkerNone, text.data(), text.size(),
                                                want.data(), capacity, &nwant);
        for (const int walker : walkers) {
            sys_u64 ngot = 7;
            const sys_u32 rgot =
                qv_json::tokenize(walker, text.data(), text.size(), got.data(), capacity, &ngot);
            ASSERT_TRUE(rgot == rwant && ngot == nwant &&
                        (rwant != JSON_RESULT_OK ||
                         memcmp(got.data(), want.data(), nwant * sizeof(json_token)) == 0))
                << "walker " << walker << ": " << rgot << " " << ngot << " for " << rwant << " "
                << nwant << ", " << text;
        }
    }
}

} // namespace
