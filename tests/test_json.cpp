// The JSON tokenizer: exact tokens for accepted texts, the result for malformed and cut ones,
// the limits, and navigation by name and index.
#include "support/test_support.h"

#include "qv_sys/json.h"

#include <tuple>

namespace {

struct Parsed {
    sys_u32 result = 99;
    sys_u64 written = 12345;
    std::vector<json_token> tokens;
    // Each token as <type><start>,<length>,<depth>, the types as letters in their order (O A S K N
    // T F Z); a failure as its result, with "+" if a count was written anyway.
    std::string text;
};

// Tokenizes from an exactly sized heap copy, so a read past the length shows under ASan.
Parsed parse(const std::string& text, sys_u64 capacity = 64) {
    std::vector<char> copy(text.begin(), text.end());
    Parsed p;
    p.tokens.resize((size_t)capacity);
    p.result = json_tokenize(copy.data(), copy.size(), p.tokens.data(), capacity, &p.written);
    if (p.result != JSON_RESULT_OK)
        p.text = std::string(p.result == JSON_RESULT_INVALID ? "INVALID" : "FULL") +
                 (p.written != 12345 ? "+" : "");
    for (sys_u64 i = 0; p.result == JSON_RESULT_OK && i < p.written && i < capacity; ++i) {
        const json_token& t = p.tokens[i];
        p.text += (i ? " " : "") + std::string(1, "OASKNTFZ"[t._type]) + std::to_string(t._start) +
                  "," + std::to_string(t._length) + "," + std::to_string(t._depth);
    }
    return p;
}

TEST(Json, TokenIsThreeWordsWithTypeInTheLowBits) {
    const json_token t{
        ._start = 0x11223344, ._length = 0x55667788, ._type = 5, ._depth = 0x1234567};
    const sys_u32 words[3] = {0x11223344u, 0x55667788u, (0x1234567u << 3) | 5u};
    static_assert(sizeof words == sizeof t);
    EXPECT_EQ(memcmp(words, &t, sizeof t), 0);
}

// Commas are white space; without a colon a name stays a plain string; escapes stay as written.
// The colon looks only at the last token, so a string closed inside an array can become a member
// name. A NUL ends the text.
TEST(Json, AcceptedTextsGiveExactTokens) {
    using namespace std::string_literals;
    const std::pair<std::string, const char*> cases[] = {
        // clang-format off
        {R"({"a":1,"b":[true,null]})", "O0,23,0 K2,1,1 N5,1,1 K8,1,1 A11,11,1 T12,4,2 Z17,4,2"},
        {"[1 2,,3]", "A0,8,0 N1,1,1 N3,1,1 N6,1,1"}, {R"({"a" 1})", "O0,7,0 S2,1,1 N5,1,1"},
        {"1.", "N0,2,0"}, {"0123", "N0,1,0 N1,3,0"},
        {"-0.5e+10 1E5 -12.75e-3 7", "N0,8,0 N9,3,0 N13,9,0 N23,1,0"},
        {"false\ttrue\r\nnull", "F0,5,0 T6,4,0 Z12,4,0"}, {"truefalse", "T0,4,0 F4,5,0"},
        {R"("")", "S1,0,0"}, {R"("a\"b\\" "\u00e9\n")", "S1,6,0 S10,8,0"},
        {"\"\x01\xc3\xa9\xff\"", "S1,4,0"}, {"[]{}", "A0,2,0 O2,2,0"},
        {R"({"x":{"y":[[]]}})", "O0,16,0 K2,1,1 O5,10,1 K7,1,2 A10,4,2 A11,2,3"},
        {R"({["a" "x"]:1})", "O0,13,0 A1,9,1 S3,1,2 K7,1,2 N11,1,1"},
        {"[1]\0 garbage ]]]"s, "A0,3,0 N1,1,1"}, {"7\0"s, "N0,1,0"},
        // clang-format on
    };
    for (const auto& [text, tokens] : cases)
        EXPECT_EQ(parse(text).text, tokens) << text;
}

// The closing quote and escapes at every position in and across the scan's 64-byte blocks.
TEST(Json, StringsOfEveryLengthAroundTheScanWidth) {
    for (size_t len = 0; len < 140; ++len) {
        for (size_t esc = 0; esc <= len; ++esc) {
            std::string body(len, 'x');
            if (esc + 1 < len) {
                body[esc] = '\\';
                body[esc + 1] = esc % 2 ? '"' : '\\';
            }
            const std::string text = "[\"" + body + "\",1]", n = std::to_string(len);
            EXPECT_EQ(parse(text).text, "A0," + std::to_string(len + 6) + ",0 S2," + n + ",1 N" +
                                            std::to_string(len + 4) + ",1,1");
            EXPECT_EQ(parse("\"" + body).text, "INVALID") << text;
        }
    }
}

// Malformed texts and every prefix of a document (a number at the very end is not cut) are
// invalid; a full token array gives out of tokens unless malformed text comes first.
TEST(Json, MalformedCutAndOverlongTexts) {
    using namespace std::string_literals;
    const std::string cases[] = {
        "[1:2]",    ":",       "1:",    R"({"a"::1})", R"(["a":1])",  R"({"a":1])", "[}",   "{]",
        "]",        "}",       "[",     "{",           R"({"a":[1})", "\"abc",      "\"",   "\"\\",
        "\"ab\\\"", "-",       "-x",    "--1",         "+1",          "1e",         "1e+",  "1E-",
        "1.5e",     ".5",      "12abc", "tru",         "t",           "nul",        "fals", "trUe",
        "nulL",     "x",       "[1,x]", "\x7e",        "\x80",        "[\xff]",     "'a'",  "/",
        "\\",       "[1]\x7f", "[\0]"s, "{\0}"s,
    };
    for (const std::string& text : cases)
        EXPECT_EQ(parse(text).text, "INVALID") << text;
    const std::string doc = R"({"name": "V \"I\"", "n": [-0.125e+2, {"f": [true, null]}]})";
    ASSERT_EQ(parse(doc).result, (sys_u32)JSON_RESULT_OK);
    for (size_t cut = 1; cut < doc.size(); ++cut)
        EXPECT_EQ(parse(doc.substr(0, cut)).text, "INVALID") << cut;
    EXPECT_EQ(parse("1 23").written, 2u);
    const std::pair<const char*, sys_u64> full[] = {
        {"[1,2]", 3}, {R"({"a":"b"})", 3}, {"[true,false,null]", 4}, {"[[[]]]", 3}, {"1 2 3", 3}};
    for (const auto& [text, needed] : full) {
        for (sys_u64 cap = 0; cap < needed; ++cap)
            EXPECT_EQ(parse(text, cap).text, "FULL") << text << " " << cap;
        EXPECT_EQ(parse(text, needed).written, needed) << text;
    }
    EXPECT_EQ(parse("[1,x,2]", 2).text, "INVALID");
    EXPECT_EQ(parse("]", 0).text, "INVALID");
}

// A length of 4 GiB is refused without reading; nesting up to the limit is fine.
TEST(Json, LengthAndDepthLimits) {
    json_token tokens[4];
    sys_u64 written = 77;
    EXPECT_EQ(json_tokenize("[1]", (sys_u64)1 << 32, tokens, 4, &written),
              (sys_u32)JSON_RESULT_INVALID);
    EXPECT_EQ(written, 77u);
    std::string nested;
    for (int i = 0; i < JSON_MAX_DEPTH; ++i)
        nested += (i ? " A" : "A") + std::to_string(i) + "," +
                  std::to_string(2 * (JSON_MAX_DEPTH - i)) + "," + std::to_string(i);
    EXPECT_EQ(
        parse(std::string(JSON_MAX_DEPTH, '[') + std::string(JSON_MAX_DEPTH, ']'), JSON_MAX_DEPTH)
            .text,
        nested);
}

// Every check traps once (the count proves each fires) and the call goes on.
QV_CHECK_SCENARIO(Json, ChecksTakeTheirFailurePaths, 8, {
    // Past the depth limit: nothing beyond the stack written. White space only: no token.
    const std::string deep(JSON_MAX_DEPTH + 1, '[');
    EXPECT_EQ(parse(deep + std::string(JSON_MAX_DEPTH + 1, ']'), JSON_MAX_DEPTH + 8).text,
              "INVALID");
    EXPECT_EQ(parse(" ,\n").text, "");
    // A bad escape is still taken as escaped: the quote after it does not end the string. The
    // same searched a block at a time, brackets still matched after it (that block is read byte
    // by byte), and a bad escape in the block after its string's opening quote.
    EXPECT_EQ(parse(R"(["\q\"",1])").text, "A0,10,0 S2,4,1 N8,1,1");
    EXPECT_EQ(parse(R"(["\q\"",)" + std::string(64, ' ') + "1]").text, "A0,74,0 S2,4,1 N72,1,1");
    EXPECT_EQ(parse(R"(["\q",[1}])").text, "INVALID");
    EXPECT_EQ(parse("[\"" + std::string(70, 'a') + "\\q\\\"\",1]").text, "A0,80,0 S2,74,1 N78,1,1");
    // Walking to the next "element" of an object lands on a member name.
    const Parsed p = parse(R"({"a":1,"b":2})");
    EXPECT_EQ(json_token_next_array_index(&p.tokens[2], 3), &p.tokens[3]);
    EXPECT_EQ(json_token_next_string_key(&p.tokens[2], 3), &p.tokens[3]);
})

TEST(JsonNavigation, WalksStayInsideTheirContainerAndCount) {
    enum Op { GET, INDEX, NEXT_ELEMENT, NEXT_NAME };
    // Document, walk, name (GET) or index (INDEX), from (-1: null), count, the text found.
    using Case = std::tuple<const char*, Op, const char*, sys_i64, sys_i64, const char*>;
    const char* ab = R"({"a":1,"b":2})";
    const char* xy = R"({"x":{"a":1},"y":{"b":{"a":2}}})";
    const char* nest = "[[1,2],3]";
    const char* list = R"({"list":[10,{"k":[]},30],"n":[]})";
    const char* keys = R"({"a":{"x":1,"y":2},"b":[1,{"z":3}],"c":null} {"d":0})";
    const char* esc = R"({"a\"b":1,"a\u0041":2})";
    const char* empty = R"({"e":{},"a":1})";
    const char* null = "<null>";
    // clang-format off
    const Case cases[] = {
        {ab, GET, "a", 0, -1, "a"}, {ab, GET, "b", 0, 5, "b"}, {ab, GET, "ab", 0, -1, null},
        {ab, GET, "b", 0, 3, null}, {ab, GET, "b", 1, -1, null}, {xy, GET, "a", 0, -1, null},
        {xy, GET, "a", 1, -1, "a"}, {xy, GET, "b", 5, -1, "b"}, {xy, GET, "a", 5, -1, null},
        {xy, GET, "b", 1, -1, null}, {empty, GET, "a", 1, -1, null},
        {esc, GET, "a\\\"b", 0, -1, "a\\\"b"}, {esc, GET, "aA", 0, -1, null},
        {nest, INDEX, "0", 0, 5, "[1,2]"}, {nest, INDEX, "1", 0, 5, "3"},
        {nest, INDEX, "1", 1, 4, "2"}, {nest, INDEX, "2", 1, 4, null},
        {nest, INDEX, "1", 0, 3, null}, {nest, INDEX, "0", 2, 3, null},
        {nest, INDEX, "0", 0, 1, null}, {list, INDEX, "2", 1, -1, "30"},
        {list, INDEX, "0", 9, -1, null}, {list, INDEX, "0", 8, 1, null},
        {nest, NEXT_ELEMENT, "", 1, 4, "3"}, {nest, NEXT_ELEMENT, "", 2, 3, "2"},
        {nest, NEXT_ELEMENT, "", 3, 2, null}, {nest, NEXT_ELEMENT, "", 1, 1, null},
        {"1 [2] 3", NEXT_ELEMENT, "", 0, 4, "[2]"}, {keys, NEXT_NAME, "", 1, -1, "b"},
        {keys, NEXT_NAME, "", 7, -1, "c"}, {keys, NEXT_NAME, "", 13, -1, null},
        {keys, NEXT_NAME, "", 5, -1, null}, {keys, NEXT_NAME, "", 1, 4, null},
        {ab, GET, "a", -1, 5, null}, {ab, INDEX, "0", -1, 5, null},
        {ab, NEXT_ELEMENT, "", -1, 4, null}, {ab, NEXT_NAME, "", -1, 3, null},
    };
    // clang-format on
    for (const auto& [doc, op, arg, start, n, expected] : cases) {
        const Parsed p = parse(doc, 256);
        ASSERT_EQ(p.result, (sys_u32)JSON_RESULT_OK) << doc;
        const json_token* from = start < 0 ? nullptr : &p.tokens[start];
        const sys_u64 count = n < 0 ? p.written - start : (sys_u64)n;
        const json_token* t = op == GET ? json_token_get(arg, from, count, doc)
                              : op == INDEX
                                  ? json_token_get_array_index(std::stoull(arg), from, count)
                              : op == NEXT_ELEMENT ? json_token_next_array_index(from, count)
                                                   : json_token_next_string_key(from, count);
        EXPECT_EQ(t ? std::string(doc + t->_start, t->_length) : "<null>", expected)
            << doc << " op " << op << " " << arg << " from " << start << " count " << n;
    }
}

} // namespace
