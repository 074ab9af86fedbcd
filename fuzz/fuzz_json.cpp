// json_tokenize over arbitrary bytes, then every navigation function over the tokens it gave.
// Nesting past the limit, a bad escape and a text with no token end the process through a check
// by design, so the input is adjusted to avoid them: a process end is always a real fault.
#include "qv_sys/json.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A leading number makes at least one token; the exactly sized heap copy shows any read past
    // its length. The tokenizer pairs a backslash with the next byte the same way in a string.
    std::vector<char> text(size + 2, '0');
    text[1] = ' ';
    std::copy(data, data + size, text.begin() + 2);
    auto escapable = [](char c) { return c && strchr("\"\\/bfnrtu", c); };
    for (size_t i = 2, opened = 0; i < text.size(); ++i) {
        if ((text[i] == '[' || text[i] == '{') && ++opened > JSON_MAX_DEPTH)
            text[i] = ' ';
        else if (text[i] == '\\' && i + 1 < text.size() && !escapable(text[++i]))
            text[i] = 'n';
    }

    // The first two bytes also pick a token capacity, so the out-of-tokens path is exercised.
    const size_t capacity = size >= 2 ? (size_t)(data[0] | (data[1] << 8)) % 512 : 64;
    std::vector<json_token> tokens(capacity);
    sys_u64 count = 0;
    if (json_tokenize(text.data(), text.size(), tokens.data(), capacity, &count) != JSON_RESULT_OK)
        return 0;
    if (count == 0 || count > capacity)
        __builtin_trap();

    // Navigation from every token, with names taken from the text itself.
    for (const json_token* t = tokens.data(); t != tokens.data() + count; ++t) {
        const sys_u64 left = count - (sys_u64)(t - tokens.data());
        if (t->_start > text.size() || t->_length > text.size() - t->_start)
            __builtin_trap();
        for (const char* name : {"a", "", "0", "id"}) {
            const json_token* found = json_token_get(name, t, left, text.data());
            if (found && (found < t || found >= t + left || found->_type != JSON_TYPE_STRING_KEY))
                __builtin_trap();
        }
        const json_token* next =
            t->_type == JSON_TYPE_STRING_KEY ? json_token_next_string_key(t, left) : nullptr;
        if (next && (next <= t || next >= t + left))
            __builtin_trap();
        if (t->_type != JSON_TYPE_ARRAY && t->_type != JSON_TYPE_STRING_KEY)
            continue;
        // An array's elements both ways: by index and one after the other. A member name can end
        // up inside an array ({["a" "b"]:1} makes "b" one), and stepping onto it fails a check by
        // design, so the walk stops before such an element.
        const json_token* e = json_token_get_array_index(0, t, left);
        for (sys_u64 n = 1; e != nullptr; ++n) {
            const json_token* by_index = json_token_get_array_index(n, t, left);
            if (by_index != nullptr && by_index->_type == JSON_TYPE_STRING_KEY)
                break;
            e = json_token_next_array_index(e, count - (sys_u64)(e - tokens.data()));
            if (e != by_index)
                __builtin_trap();
        }
    }
    return 0;
}
