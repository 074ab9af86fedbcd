// The JSON tokenizer's two block walkers (SSE2 everywhere, AVX2 where the processor has it)
// give the same result, count and tokens on random texts of several blocks.
#include "support/test_support.h"

#include "qv_sys/json.h"

#include "cstr_internal.h"
#include "json_blocks.h"

#include <string.h>

#include <random>
#include <string>
#include <vector>

namespace {

TEST(JsonWalkers, AgreeOnRandomTexts) {
    if (!sys_cpu_has_avx2())
        GTEST_SKIP() << "one walker only on this processor";
    // Pieces that put tokens, escapes and separators at every position of a block.
    static const char* const pieces[] = {
        "{",     "}",     "[",          "]",        ":",    ",",        " ",
        "\n   ", "\"k\"", "\"a\\\"b\"", "\"\\\\\"", "\"\\", "12",       "-0.5e+3",
        "0",     "1.",    "true",       "false",    "null", "\"x\":",   "tru",
        "\\",    "\x01",  "\r\t",       "\xc3\xa9", "01",   "truefalse"};
    std::mt19937 rng(7);
    std::vector<json_token> a(512), b(512);
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        const size_t pieces_wanted = rng() % 120;
        for (size_t i = 0; i < pieces_wanted; ++i) {
            const unsigned pick = rng() % 16;
            if (pick == 0)
                text += "\"" + std::string(rng() % 150, 'w') + "\"";
            else if (pick == 1)
                text += std::to_string(rng()) + "." + std::to_string(rng() % 1000) + "e" +
                        std::to_string(rng() % 99);
            else
                text += pieces[rng() % (sizeof pieces / sizeof pieces[0])];
        }
        // A bad escape or a text without tokens would end the process through a check.
        for (size_t i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == '\\') {
                if (!strchr("\"\\/bfnrtu", text[i + 1]))
                    text[i + 1] = 'n';
                ++i;
            }
        }
        text.insert(0, "0 ");
        const sys_u64 capacity = rng() % 4 == 0 ? rng() % 40 : a.size();
        sys_u64 na = 7, nb = 7;
        const sys_u32 ra =
            qv_json::tokenize(false, text.data(), text.size(), a.data(), capacity, &na);
        const sys_u32 rb =
            qv_json::tokenize(true, text.data(), text.size(), b.data(), capacity, &nb);
        ASSERT_EQ(ra, rb) << text;
        ASSERT_EQ(na, nb) << text;
        if (ra == JSON_RESULT_OK) {
            ASSERT_EQ(memcmp(a.data(), b.data(), na * sizeof(json_token)), 0) << text;
        }
    }
}

} // namespace

// Each walker against the byte step alone, on texts built around the 64-byte blocks: strings
// that end just before, at and after a block's end or several blocks on, escapes (a quote among
// them) at every place in a string, and numbers and literals across a block's end.
TEST(JsonWalkers, AgreeWithTheByteStepAcrossBlocks) {
    std::vector<int> walkers = {qv_json::WalkerSse2};
    if (sys_cpu_has_avx2())
        walkers.push_back(qv_json::WalkerAvx2);
    if (sys_cpu_has_evex())
        walkers.push_back(qv_json::WalkerEvex);
    std::mt19937 rng(11);
    std::vector<json_token> want(256), got(256);
    for (int round = 0; round < 20000; ++round) {
        std::string text = "0 {";
        while (text.size() < 64 * 3 + rng() % 128) {
            const unsigned pick = rng() % 8;
            if (pick < 4) {
                // A string (a member name with pick 0) whose end falls anywhere in a block.
                std::string body(rng() % (pick == 3 ? 200 : 70), 'a' + (char)(rng() % 26));
                for (int escapes = (int)(rng() % 3); escapes > 0 && body.size() >= 2; --escapes) {
                    const size_t at = rng() % (body.size() - 1);
                    body[at] = '\\';
                    body[at + 1] = "\"\\n/u"[rng() % 5];
                }
                // A run of backslashes ending the string escapes its quote when it is odd.
                if (rng() % 8 == 0)
                    body += std::string(1 + rng() % 3, '\\');
                text += "\"" + body + "\"" + (pick == 0 ? ":" : " ");
            } else if (pick == 4) {
                text += std::string(rng() % 64, ' ');
            } else if (pick == 5) {
                text += "-12.5e+7 ";
            } else if (pick == 6) {
                text += rng() % 2 ? "[true false null] " : "{\"k\":[]} ";
            } else {
                text += "\"x\" ";
            }
        }
        text += rng() % 4 ? "}" : ""; // sometimes left open, or cut inside a string
        // Escapes written over each other can leave a backslash before a byte it may not escape,
        // which would end the process through a check.
        for (size_t i = 0; i + 1 < text.size(); ++i) {
            if (text[i] == '\\') {
                if (!strchr("\"\\/bfnrtu", text[i + 1]))
                    text[i + 1] = 'n';
                ++i;
            }
        }
        const sys_u64 capacity = rng() % 8 == 0 ? rng() % 40 : want.size();
        sys_u64 nwant = 7;
        const sys_u32 rwant = qv_json::tokenize(qv_json::WalkerNone, text.data(), text.size(),
                                                want.data(), capacity, &nwant);
        for (const int walker : walkers) {
            sys_u64 ngot = 7;
            const sys_u32 rgot =
                qv_json::tokenize(walker, text.data(), text.size(), got.data(), capacity, &ngot);
            ASSERT_EQ(rgot, rwant) << walker << " " << text;
            ASSERT_EQ(ngot, nwant) << walker << " " << text;
            if (rwant == JSON_RESULT_OK) {
                ASSERT_EQ(memcmp(got.data(), want.data(), nwant * sizeof(json_token)), 0)
                    << walker << " " << text;
            }
        }
    }
}
