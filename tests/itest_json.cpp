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
