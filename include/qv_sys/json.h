/* qv_sys JSON: a one-pass tokenizer into a flat array of small tokens, and navigation over it.
 *
 * json_tokenize records, for every value, member name and container of a JSON text, where
 * its text lies and how deeply it is nested, in document order. Nothing is copied, decoded or
 * allocated: the tokens point into the caller's text, which must outlive them. The navigation
 * functions walk the token array forward by depth to find an object member by name, an array
 * element by index, the next array element or the next member name. All functions are
 * reentrant.
 *
 * The tokenizer is lenient about separators: commas count as white space and a colon only
 * marks the string before it as a member name ([1 2,,3] and 1 2 are accepted). Structure is
 * enforced as far as brackets, token shapes and member-name positions go. */
#ifndef QV_SYS_JSON_H
#define QV_SYS_JSON_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* Token types (the values of json_token._type) and the text a token of each type covers. */
enum {
    JSON_TYPE_OBJECT = 0,     /* from '{' through the matching '}' */
    JSON_TYPE_ARRAY = 1,      /* from '[' through the matching ']' */
    JSON_TYPE_STRING = 2,     /* the bytes between the quotes, escapes not decoded */
    JSON_TYPE_STRING_KEY = 3, /* as a string; a string followed by ':' (a member name) */
    JSON_TYPE_NUMBER = 4,     /* the number's characters, sign included */
    JSON_TYPE_TRUE = 5,       /* the four letters true */
    JSON_TYPE_FALSE = 6,      /* the five letters false */
    JSON_TYPE_NULL = 7,       /* the four letters null */
};

/* Results of json_tokenize (32-bit). */
enum {
    JSON_RESULT_OK = 0,            /* tokenized; *out_written holds the token count */
    JSON_RESULT_OUT_OF_TOKENS = 1, /* the token array was full; retry with a larger one */
    JSON_RESULT_INVALID = 2,       /* the text is malformed */
};

/* Open containers are limited to this many levels. */
#define JSON_MAX_DEPTH 1024

/* One token: three 32-bit words. The type sits in the low 3 bits of the third word and the
 * depth (the number of containers open around the token, 0 at top level) in its high 29. A
 * container's token comes before its contents, which have its depth + 1. A member name is
 * followed directly by its value's first token, at the same depth. */
typedef struct json_token {
    sys_u32 _start;    /* byte offset of the token's text from the start of the JSON text */
    sys_u32 _length;   /* length of the token's text in bytes */
    sys_u32 _type : 3; /* JSON_TYPE_* */
    sys_u32 _depth : 29;
} json_token;

#ifdef __cplusplus
static_assert(sizeof(json_token) == 12, "json_token is three 32-bit words");
#else
_Static_assert(sizeof(json_token) == 12, "json_token is three 32-bit words");
#endif

/* Tokenizes `length` bytes of `json` into `tokens` (room for `capacity` tokens).
 * Gives JSON_RESULT_OK and sets *out_written to the number of tokens; with any other result
 * *out_written is unchanged and the tokens written are not meaningful. The first problem met
 * decides the result.
 * - Nothing at or past json + length is read. A NUL byte ends the text early (anything after
 *   it is ignored); open containers at the end make the text invalid.
 * - A text of white space only (or empty) gives JSON_RESULT_OK with 0 tokens and fails the
 *   check "*out_written != 0".
 * - A backslash in a string followed by a byte other than " \ / b f n r t u fails a check
 *   (with the condition's source text); under a debugger the byte is taken as escaped.
 * - Opening a container at depth JSON_MAX_DEPTH fails the check
 *   "s._depth < (sizeof(stack)/sizeof(stack[0]))"; under a debugger the call then stops and
 *   gives JSON_RESULT_INVALID.
 * - A new token is needed for each container, string, number and literal; when the array is
 *   full at that point the result is JSON_RESULT_OUT_OF_TOKENS, even if the depth limit or
 *   malformed text would have been met at the same byte.
 * - Offsets are 32-bit: a length of 4 GiB or more gives JSON_RESULT_INVALID at once. */
QV_SYS_API sys_u32 json_tokenize(const char* json, sys_u64 length, json_token* tokens,
                                 sys_u64 capacity, sys_u64* out_written);

/* Finds the member called `name` (terminated; compared byte for byte with the member name's
 * raw text, escapes not decoded) of the object at `first`, given the `count` tokens from
 * `first` to the end of the array and the JSON text they came from. `first` is the object's
 * token, or a member name whose value is an object. Members of nested objects are not found.
 * Gives the member name's token (its value is the next token), or null: for a null token, a
 * count of 0, an empty object, anything that is not an object, or no such member. */
QV_SYS_API json_token* json_token_get(const char* name, const json_token* first, sys_u64 count,
                                      const char* json);

/* Gives element `index` (from 0) of the array at `first` (the array's token or a member name
 * whose value is an array), given the `count` tokens from `first` on; null when there is no
 * such element or `first` is no array. */
QV_SYS_API json_token* json_token_get_array_index(sys_u64 index, const json_token* first,
                                                  sys_u64 count);

/* Gives the next token at `token`'s depth after it (the next element of the same array),
 * skipping deeper tokens, given the `count` tokens from `token` on; null at the end of the
 * container or of the count, or for a count below 2. A member name found this way fails the
 * check "tok._type != JSON_TYPE_STRING_KEY" and is still the result (for objects use
 * json_token_next_string_key). */
QV_SYS_API json_token* json_token_next_array_index(const json_token* token, sys_u64 count);

/* Gives the next member name of the same object after the member name `begin`, skipping the
 * values and everything nested in them, given the `count` tokens from `begin` on; null at the
 * end of the object or of the count. A `begin` that is not a member name fails the check
 * "begin->_type == JSON_TYPE_STRING_KEY" (the walk still runs under a debugger). */
QV_SYS_API json_token* json_token_next_string_key(const json_token* begin, sys_u64 count);

QV_SYS_END_C

#endif /* QV_SYS_JSON_H */
