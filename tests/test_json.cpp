// The JSON tokenizer: exact token layouts for accepted texts, the result for malformed ones,
// texts cut at every byte, the depth limit, and navigation by name and index.
#include "support/test_support.h"

#include "qv_sys/json.h"

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

struct Tok {
    sys_u32 type, start, length, depth;
    bool operator==(const Tok&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Tok& t) {
    return os << "{type " << t.type << ", start " << t.start << ", length " << t.length
              << ", depth " << t.depth << "}";
}

struct Parsed {
    sys_u32 result = 99;
    sys_u64 written = 12345;
    std::vector<json_token> tokens;
    std::vector<Tok> toks() const {
        std::vector<Tok> out;
        for (sys_u64 i = 0; i < written && i < tokens.size(); ++i)
            out.push_back({tokens[i]._type, tokens[i]._start, tokens[i]._length, tokens[i]._depth});
        return out;
    }
};

// Tokenizes from an exactly sized heap copy, so a read past the length shows under ASan.
Parsed parse(const std::string& text, sys_u64 capacity = 64) {
    std::vector<char> copy(text.begin(), text.end());
    Parsed p;
    p.tokens.resize((size_t)capacity);
    p.result = json_tokenize(copy.data(), copy.size(), p.tokens.data(), capacity, &p.written);
    return p;
}

enum : sys_u32 {
    O = JSON_TYPE_OBJECT,
    A = JSON_TYPE_ARRAY,
    S = JSON_TYPE_STRING,
    K = JSON_TYPE_STRING_KEY,
    N = JSON_TYPE_NUMBER,
    T = JSON_TYPE_TRUE,
    F = JSON_TYPE_FALSE,
    Z = JSON_TYPE_NULL,
};

TEST(Json, TokenIsThreeWordsWithTypeInTheLowBits) {
    json_token t;
    t._start = 0x11223344;
    t._length = 0x55667788;
    t._type = 5;
    t._depth = 0x1234567;
    sys_u32 words[3];
    static_assert(sizeof words == sizeof t);
    memcpy(words, &t, sizeof t);
    EXPECT_EQ(words[0], 0x11223344u);
    EXPECT_EQ(words[1], 0x55667788u);
    EXPECT_EQ(words[2], (0x1234567u << 3) | 5u);
}

struct Accepted {
    std::string text;
    std::vector<Tok> tokens;
};

TEST(Json, AcceptedTextsGiveExactTokens) {
    using namespace std::string_literals;
    const Accepted cases[] = {
        {R"({"a":1,"b":[true,null]})",
         {{O, 0, 23, 0},
          {K, 2, 1, 1},
          {N, 5, 1, 1},
          {K, 8, 1, 1},
          {A, 11, 11, 1},
          {T, 12, 4, 2},
          {Z, 17, 4, 2}}},
        // Commas are white space; several top-level values are fine.
        {"[1 2,,3]", {{A, 0, 8, 0}, {N, 1, 1, 1}, {N, 3, 1, 1}, {N, 6, 1, 1}}},
        {"1 2", {{N, 0, 1, 0}, {N, 2, 1, 0}}},
        // Without a colon the name stays a plain string.
        {R"({"a" 1})", {{O, 0, 7, 0}, {S, 2, 1, 1}, {N, 5, 1, 1}}},
        {"1.", {{N, 0, 2, 0}}},
        {"0123", {{N, 0, 1, 0}, {N, 1, 3, 0}}},
        {"-0.5e+10 1E5 -12.75e-3 7", {{N, 0, 8, 0}, {N, 9, 3, 0}, {N, 13, 9, 0}, {N, 23, 1, 0}}},
        {"123", {{N, 0, 3, 0}}},
        {"false\ttrue\r\nnull", {{F, 0, 5, 0}, {T, 6, 4, 0}, {Z, 12, 4, 0}}},
        {"truefalse", {{T, 0, 4, 0}, {F, 4, 5, 0}}},
        // Strings are raw: escapes stay as written, an escaped quote does not end them.
        {R"("a\"b\\" "\u00e9\n")", {{S, 1, 6, 0}, {S, 10, 8, 0}}},
        {R"("")", {{S, 1, 0, 0}}},
        {"\"\x01\xc3\xa9\xff\"", {{S, 1, 4, 0}}},
        {"[]{}", {{A, 0, 2, 0}, {O, 2, 2, 0}}},
        {R"({"x":{"y":[[]]}})",
         {{O, 0, 16, 0}, {K, 2, 1, 1}, {O, 5, 10, 1}, {K, 7, 1, 2}, {A, 10, 4, 2}, {A, 11, 2, 3}}},
        // The colon looks only at the last token and the innermost open container, so a string
        // closed inside an array can still become a member name.
        {R"({["a" "x"]:1})",
         {{O, 0, 13, 0}, {A, 1, 9, 1}, {S, 3, 1, 2}, {K, 7, 1, 2}, {N, 11, 1, 1}}},
        // A NUL ends the text: what follows is never looked at.
        {"[1]\0 garbage ]]]"s, {{A, 0, 3, 0}, {N, 1, 1, 1}}},
        {"7\0"s, {{N, 0, 1, 0}}},
    };
    for (const Accepted& c : cases) {
        const Parsed p = parse(c.text);
        EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_OK) << c.text;
        EXPECT_EQ(p.written, c.tokens.size()) << c.text;
        EXPECT_EQ(p.toks(), c.tokens) << c.text;
    }
}

TEST(Json, StringsOfEveryLengthAroundTheScanWidth) {
    // The closing quote and escapes at every position in and across the 64-byte blocks the
    // string scan works in.
    for (size_t len = 0; len < 140; ++len) {
        for (size_t esc = 0; esc <= len; ++esc) {
            std::string body(len, 'x');
            if (esc + 1 < len) {
                body[esc] = '\\';
                body[esc + 1] = esc % 2 ? '"' : '\\';
            }
            const std::string text = "[\"" + body + "\",1]";
            const Parsed p = parse(text);
            ASSERT_EQ(p.result, (sys_u32)JSON_RESULT_OK) << text;
            ASSERT_EQ(p.written, 3u) << text;
            EXPECT_EQ(p.toks()[1], (Tok{S, 2, (sys_u32)len, 1})) << text;
            EXPECT_EQ(p.toks()[2], (Tok{N, (sys_u32)len + 4, 1, 1})) << text;
            // Unterminated, the same string is malformed.
            EXPECT_EQ(parse("\"" + body).result, (sys_u32)JSON_RESULT_INVALID) << text;
        }
    }
}

TEST(Json, MalformedTextsAreInvalid) {
    using namespace std::string_literals;
    const std::string cases[] = {
        "[1:2]",    ":",       "1:",    R"({"a"::1})", R"(["a":1])",  R"({"a":1])", "[}",   "{]",
        "]",        "}",       "[",     "{",           R"({"a":[1})", "\"abc",      "\"",   "\"\\",
        "\"ab\\\"", "-",       "-x",    "--1",         "+1",          "1e",         "1e+",  "1E-",
        "1.5e",     ".5",      "12abc", "tru",         "t",           "nul",        "fals", "trUe",
        "nulL",     "x",       "[1,x]", "\x7e",        "\x80",        "[\xff]",     "'a'",  "/",
        "\\",       "[1]\x7f", "[\0]"s, "{\0}"s,
    };
    for (const std::string& text : cases) {
        const Parsed p = parse(text);
        EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_INVALID) << text;
        EXPECT_EQ(p.written, 12345u) << "unchanged on failure: " << text;
    }
}

TEST(Json, FullTokenArrayGivesOutOfTokens) {
    struct Case {
        const char* text;
        sys_u64 needed;
    };
    const Case cases[] = {
        {"[1,2]", 3}, {R"({"a":"b"})", 3}, {"[true,false,null]", 4}, {"[[[]]]", 3}, {"1 2 3", 3}};
    for (const Case& c : cases) {
        for (sys_u64 cap = 0; cap < c.needed; ++cap) {
            const Parsed p = parse(c.text, cap);
            EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_OUT_OF_TOKENS) << c.text << " cap " << cap;
            EXPECT_EQ(p.written, 12345u);
        }
        const Parsed p = parse(c.text, c.needed);
        EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_OK) << c.text;
        EXPECT_EQ(p.written, c.needed) << c.text;
    }
    // Malformed text met before the array runs out decides the result.
    EXPECT_EQ(parse("[1,x,2]", 2).result, (sys_u32)JSON_RESULT_INVALID);
    EXPECT_EQ(parse("]", 0).result, (sys_u32)JSON_RESULT_INVALID);
}

// A realistic document used for the cut test and navigation.
const char kDoc[] = R"({
  "name": "Vesk \"Ironhand\"",
  "level": 42, "ratio": -0.125e+2,
  "tags": ["warrior", "north\\east", "\u00e9lite"],
  "inventory": [{"id": 1, "count": 3}, {"id": 22, "count": 0, "flags": [true, false, null]}],
  "empty": {}, "none": [],
  "last": null
})";

TEST(Json, TextCutAtEveryByteIsNeverReadPastItsEnd) {
    const std::string doc = kDoc;
    ASSERT_EQ(parse(doc).result, (sys_u32)JSON_RESULT_OK);
    for (size_t cut = 1; cut < doc.size(); ++cut) {
        const std::string part = doc.substr(0, cut);
        if (part.find_first_not_of(" \n") == std::string::npos)
            continue; // nothing but white space: that is the empty-text check
        const Parsed p = parse(part);
        // Every prefix leaves the outer object open.
        EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_INVALID) << "cut at " << cut;
    }
    // Cut inside an array of scalars: complete numbers at the very end are fine.
    EXPECT_EQ(parse("1 23").result, (sys_u32)JSON_RESULT_OK);
    EXPECT_EQ(parse("1 2").written, 2u);
}

TEST(Json, LengthOfFourGibOrMoreIsRefusedWithoutReading) {
    json_token tokens[4];
    sys_u64 written = 77;
    const char text[] = "[1]";
    EXPECT_EQ(json_tokenize(text, (sys_u64)1 << 32, tokens, 4, &written),
              (sys_u32)JSON_RESULT_INVALID);
    EXPECT_EQ(written, 77u);
}

TEST(Json, NestingUpToTheLimitIsFine) {
    const std::string deep = std::string(JSON_MAX_DEPTH, '[') + std::string(JSON_MAX_DEPTH, ']');
    const Parsed p = parse(deep, JSON_MAX_DEPTH);
    ASSERT_EQ(p.result, (sys_u32)JSON_RESULT_OK);
    ASSERT_EQ(p.written, (sys_u64)JSON_MAX_DEPTH);
    EXPECT_EQ(p.toks().back(), (Tok{A, JSON_MAX_DEPTH - 1, 2, JSON_MAX_DEPTH - 1}));
    EXPECT_EQ(p.toks().front(), (Tok{A, 0, 2 * JSON_MAX_DEPTH, 0}));
}

TEST(JsonDeathTest, ChecksEndTheProcess) {
    const std::string too_deep = std::string(JSON_MAX_DEPTH + 1, '[');
    QV_EXPECT_CHECK_FAILS(parse(too_deep, JSON_MAX_DEPTH + 8));
    QV_EXPECT_CHECK_FAILS(parse(""));
    QV_EXPECT_CHECK_FAILS(parse(" ,\n"));
    QV_EXPECT_CHECK_FAILS(parse(R"("\x")"));
}

TEST(JsonDebuggee, DISABLED_ChecksTakeTheirFailurePaths) {
    // Past the depth limit the call stops with INVALID; nothing beyond the stack is written.
    const std::string too_deep =
        std::string(JSON_MAX_DEPTH + 1, '[') + std::string(JSON_MAX_DEPTH + 1, ']');
    Parsed p = parse(too_deep, JSON_MAX_DEPTH + 8);
    EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_INVALID);
    // An empty text still gives OK with 0 tokens.
    p = parse("");
    EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_OK);
    EXPECT_EQ(p.written, 0u);
    // A bad escape is still taken as escaped: the quote after it does not end the string.
    p = parse(R"(["\q\"",1])");
    EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_OK);
    EXPECT_EQ(p.toks(), (std::vector<Tok>{{A, 0, 10, 0}, {S, 2, 4, 1}, {N, 8, 1, 1}}));
    // Walking to the next "element" of an object lands on a member name.
    p = parse(R"({"a":1,"b":2})");
    EXPECT_EQ(json_token_next_array_index(&p.tokens[2], 3), &p.tokens[3]);
    EXPECT_EQ(json_token_next_string_key(&p.tokens[2], 3), &p.tokens[3]);
    qv_test::end_debuggee();
}

TEST(JsonUnderDebugger, ChecksTrapAndTheCallGoesOn) {
    qv_test::expect_under_debugger("JsonDebuggee.DISABLED_ChecksTakeTheirFailurePaths", 5);
}

// --- navigation --------------------------------------------------------------------------

struct Doc {
    std::string text;
    Parsed p;
    explicit Doc(const std::string& t) : text(t), p(parse(t, 256)) {
        EXPECT_EQ(p.result, (sys_u32)JSON_RESULT_OK) << t;
    }
    const json_token* at(sys_u64 i) const { return &p.tokens[i]; }
    sys_u64 left(sys_u64 i) const { return p.written - i; }
    sys_u64 index_of(const json_token* t) const { return t ? (sys_u64)(t - at(0)) : ~0ull; }
    std::string text_of(const json_token* t) const {
        return t ? text.substr(t->_start, t->_length) : "<null>";
    }
    std::string get(const char* name, sys_u64 from, sys_u64 count) const {
        return text_of(json_token_get(name, at(from), count, text.c_str()));
    }
    std::string get(const char* name, sys_u64 from) const { return get(name, from, left(from)); }
};

TEST(JsonNavigation, MembersByName) {
    const Doc d(R"({"a":1,"b":2})");
    const json_token* b = json_token_get("b", d.at(0), 5, d.text.c_str());
    ASSERT_EQ(d.index_of(b), 3u);
    EXPECT_EQ(b[1]._type, (sys_u32)N);
    EXPECT_EQ(d.get("a", 0), "a");
    EXPECT_EQ(d.get("c", 0), "<null>");
    EXPECT_EQ(d.get("ab", 0), "<null>");
    EXPECT_EQ(d.get("", 0), "<null>");
    EXPECT_EQ(d.get("b", 0, 3), "<null>") << "the count ends the walk";
    EXPECT_EQ(json_token_get("a", nullptr, 5, d.text.c_str()), nullptr);
    EXPECT_EQ(json_token_get("a", d.at(0), 0, d.text.c_str()), nullptr);
    // Starting at a member name whose value is no object finds nothing.
    EXPECT_EQ(d.get("b", 1), "<null>");

    const Doc nested(R"({"x":{"a":1},"y":{"b":{"a":2}}})");
    EXPECT_EQ(nested.get("a", 0), "<null>") << "one level deeper";
    EXPECT_EQ(
        nested.index_of(json_token_get("a", nested.at(1), nested.left(1), nested.text.c_str())),
        3u);
    EXPECT_EQ(nested.get("y", 0), "y");
    EXPECT_EQ(nested.get("b", 5), "b");
    EXPECT_EQ(nested.get("a", 5), "<null>") << "does not leave y's object for a deeper one";
    EXPECT_EQ(nested.get("x", 5), "<null>") << "never walks back";
    EXPECT_EQ(nested.get("b", 1), "<null>") << "x's object ends before y's b";

    const Doc empty(R"({"e":{},"a":1})");
    EXPECT_EQ(empty.get("a", 1), "<null>") << "e's object is empty";
    EXPECT_EQ(empty.get("a", 0), "a");
    const Doc only_empty("{}");
    EXPECT_EQ(only_empty.get("a", 0), "<null>");

    // Names are raw text.
    const Doc escaped(R"({"a\"b":1,"a\u0041":2})");
    EXPECT_EQ(escaped.get("a\\\"b", 0), "a\\\"b");
    EXPECT_EQ(escaped.get("aA", 0), "<null>");
    EXPECT_EQ(escaped.get("a\\u0041", 0), "a\\u0041");
}

TEST(JsonNavigation, ArrayElementsByIndex) {
    const Doc d("[[1,2],3]");
    EXPECT_EQ(d.text_of(json_token_get_array_index(1, d.at(0), 5)), "3");
    EXPECT_EQ(json_token_get_array_index(2, d.at(0), 5), nullptr);
    EXPECT_EQ(d.text_of(json_token_get_array_index(0, d.at(0), 5)), "[1,2]");
    EXPECT_EQ(d.text_of(json_token_get_array_index(1, d.at(1), 4)), "2");
    EXPECT_EQ(json_token_get_array_index(2, d.at(1), 4), nullptr) << "the inner array ends";
    EXPECT_EQ(json_token_get_array_index(1, d.at(0), 3), nullptr) << "the count ends the walk";
    EXPECT_EQ(json_token_get_array_index(0, d.at(2), 3), nullptr) << "not an array";
    EXPECT_EQ(json_token_get_array_index(0, nullptr, 5), nullptr);
    EXPECT_EQ(json_token_get_array_index(0, d.at(0), 0), nullptr);
    EXPECT_EQ(json_token_get_array_index(0, d.at(0), 1), nullptr) << "nothing follows";

    const Doc member(R"({"list":[10,{"k":[]},30],"n":[]})");
    EXPECT_EQ(member.text_of(json_token_get_array_index(2, member.at(1), member.left(1))), "30");
    EXPECT_EQ(json_token_get_array_index(3, member.at(1), member.left(1)), nullptr);
    EXPECT_EQ(json_token_get_array_index(0, member.at(9), member.left(9)), nullptr)
        << "an empty array has no element 0, even with tokens after it";
    EXPECT_EQ(json_token_get_array_index(0, member.at(8), 1), nullptr) << "no value left";

    const Doc d2("[[1,2],3]");
    EXPECT_EQ(d2.text_of(json_token_next_array_index(d2.at(1), 4)), "3");
    EXPECT_EQ(d2.text_of(json_token_next_array_index(d2.at(2), 3)), "2");
    EXPECT_EQ(json_token_next_array_index(d2.at(3), 2), nullptr) << "the inner array ends";
    EXPECT_EQ(json_token_next_array_index(d2.at(4), 1), nullptr);
    EXPECT_EQ(json_token_next_array_index(d2.at(1), 1), nullptr);
    EXPECT_EQ(json_token_next_array_index(nullptr, 4), nullptr);
    const Doc top("1 [2] 3");
    EXPECT_EQ(top.text_of(json_token_next_array_index(top.at(0), 4)), "[2]");
    EXPECT_EQ(top.text_of(json_token_next_array_index(top.at(1), 3)), "3");
}

TEST(JsonNavigation, NextMemberNames) {
    const Doc d(R"({"a":{"x":1,"y":2},"b":[1,{"z":3}],"c":null} {"d":0})");
    const json_token* k = d.at(1);
    std::vector<std::string> names;
    for (sys_u64 i = 1; k != nullptr; k = json_token_next_string_key(k, d.left(i = d.index_of(k))))
        names.push_back(d.text_of(k));
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b", "c"}));
    EXPECT_EQ(d.text_of(json_token_next_string_key(d.at(3), d.left(3))), "y");
    EXPECT_EQ(json_token_next_string_key(d.at(5), d.left(5)), nullptr) << "x's object ends";
    EXPECT_EQ(json_token_next_string_key(d.at(1), 1), nullptr);
    EXPECT_EQ(json_token_next_string_key(d.at(1), 4), nullptr) << "the count ends the walk";
    EXPECT_EQ(json_token_next_string_key(nullptr, 3), nullptr);
    EXPECT_EQ(json_token_next_string_key(d.at(1), 0), nullptr);
}

TEST(JsonNavigation, WalkingARealisticDocument) {
    const Doc d(kDoc);
    const char* text = d.text.c_str();
    const json_token* inv = json_token_get("inventory", d.at(0), d.left(0), text);
    ASSERT_NE(inv, nullptr);
    const sys_u64 inv_left = d.left(d.index_of(inv));
    const json_token* second = json_token_get_array_index(1, inv, inv_left);
    ASSERT_NE(second, nullptr);
    const json_token* flags = json_token_get("flags", second, d.left(d.index_of(second)), text);
    ASSERT_NE(flags, nullptr);
    const json_token* f = json_token_get_array_index(1, flags, d.left(d.index_of(flags)));
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->_type, (sys_u32)F);
    EXPECT_EQ(f->_depth, 4u);
    const json_token* count = json_token_get("count", second, d.left(d.index_of(second)), text);
    ASSERT_NE(count, nullptr);
    EXPECT_EQ(d.text_of(count + 1), "0");
    EXPECT_EQ(d.text_of(json_token_get("name", d.at(0), d.left(0), text) + 1),
              "Vesk \\\"Ironhand\\\"");
    EXPECT_EQ(d.text_of(json_token_get("ratio", d.at(0), d.left(0), text) + 1), "-0.125e+2");
    EXPECT_EQ(d.get("id", 0), "<null>");
    EXPECT_EQ(d.get("last", 0), "last");
}

TEST(JsonDeathTest, NavigationChecks) {
    const Doc d(R"({"a":1,"b":2})");
    QV_EXPECT_CHECK_FAILS(json_token_next_array_index(d.at(2), 3));
    QV_EXPECT_CHECK_FAILS(json_token_next_string_key(d.at(0), 5));
}

} // namespace
