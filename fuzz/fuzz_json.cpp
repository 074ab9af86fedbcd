// json_tokenize over arbitrary bytes, then every navigation function over the tokens it gave.
//
// Three inputs would end the process through a check by design (nesting past the limit, a
// bad escape, a text with no token); the input is adjusted so that they cannot occur and a
// process end always means a real fault.
#include "qv_sys/json.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <vector>

namespace {

bool escapable(char c) {
    return c && strchr("\"\\/bfnrtu", c) != nullptr;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A leading number guarantees at least one token. The text is exactly sized on the heap, so
    // any read past its length is caught.
    std::vector<char> text(size + 2);
    text[0] = '0';
    text[1] = ' ';
    if (size != 0)
        memcpy(text.data() + 2, data, size);
    int opened = 0;
    for (size_t i = 2; i < text.size(); ++i) {
        char& c = text[i];
        if (c == '[' || c == '{') {
            if (++opened > JSON_MAX_DEPTH)
                c = ' ';
        } else if (c == '\\' && i + 1 < text.size()) {
            // The tokenizer pairs a backslash with the next byte the same way inside a string.
            if (!escapable(text[i + 1]))
                text[i + 1] = 'n';
            ++i;
        }
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
    const char* names[] = {"a", "", "0", "id"};
    for (sys_u64 i = 0; i < count; ++i) {
        const json_token* t = &tokens[i];
        const sys_u64 left = count - i;
        if (t->_start > text.size() || t->_length > text.size() - t->_start)
            __builtin_trap();
        for (const char* name : names) {
            const json_token* found = json_token_get(name, t, left, text.data());
            if (found && (found < t || found >= t + left || found->_type != JSON_TYPE_STRING_KEY))
                __builtin_trap();
        }
        if (t->_type == JSON_TYPE_STRING_KEY) {
            const json_token* next = json_token_next_string_key(t, left);
            if (next && (next <= t || next >= t + left))
                __builtin_trap();
        }
        if (t->_type == JSON_TYPE_ARRAY || t->_type == JSON_TYPE_STRING_KEY) {
            // Walk an array's elements both ways: by index and one after the other. A member
            // name can end up inside an array ({["a" "b"]:1} makes "b" one), and stepping onto
            // it fails a check by design, so the walk stops before such an element.
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
    }
    return 0;
}
