/* qv_sys text: byte strings, UTF-8 / UTF-32 conversion and case mapping, numbers to and from
 * text.
 *
 * Every routine here is reentrant, keeps no state, consults no locale and never allocates:
 * results go into the caller's buffer or point into the caller's text. Texts are terminated
 * `char` arrays; the byte-string routines treat them as opaque bytes compared as unsigned
 * values (0 to 255). Source and destination must not overlap unless a routine says it works in
 * place. Only sys_strbegin and sys_strend accept null text pointers.
 *
 * Two conventions for counts written into buffers:
 *   - copying and conversion routines return the length WITHOUT the terminator;
 *   - the number formatters (sys_utoa, sys_itoa, sys_f32toa, sys_f64toa) return the length
 *     WITH the terminator (characters written plus one).
 *
 * A failed check ends the process; under a debugger the routine then returns the
 * failure value given below. The texts quoted after "check" are the exact condition texts
 * handed to sys_assert_handler.
 *
 * sys_strlen and sys_strcmp are internal to the library (src/cstr_internal.h); hosts use the
 * C runtime's. The Windows UTF-16 conversions are in qv_sys/platform.h. */
#ifndef QV_SYS_CSTR_H
#define QV_SYS_CSTR_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* ---- Comparing and copying ------------------------------------------------------------- */

/* Compares at most n bytes of a and b. 0 if the first n bytes are equal or both texts end
 * together before that (n = 0 gives 0); otherwise (unsigned byte of a) - (unsigned byte of b)
 * at the first difference, so a text that ends first gives minus the other's byte. */
QV_SYS_API sys_i64 sys_strncmp(const char* a, const char* b, sys_u64 n);

/* Copies src, NUL included, to dst. Returns the copied length without the NUL. dst must hold
 * it: there is no capacity. */
QV_SYS_API sys_u64 sys_strcpy(char* dst, const char* src);

/* Copies at most `capacity` bytes of src into dst and always terminates within them.
 * Returns the length now in dst: the source length if it fits (capacity > length), else
 * capacity - 1 (the copy is cut and its last byte replaced by the NUL; no other report).
 * capacity 0 writes nothing and returns 0. Never pads with further zeros. */
QV_SYS_API sys_u64 sys_strncpy(char* dst, const char* src, sys_u64 capacity);

/* Appends src to dst. Returns a pointer to the NUL that now ends dst. No capacity: dst must
 * hold the joined text. */
QV_SYS_API char* sys_strcat(char* dst, const char* src);

/* True if `text` equals (whole text) any of the first `count` entries of `texts`; count 0
 * gives false. */
QV_SYS_API sys_bool sys_strequals_any(const char* text, const char* const* texts, sys_u64 count);

/* If `text` begins with `prefix`: a pointer into text just past the prefix (text itself for
 * an empty prefix). Otherwise, or if either pointer is null: null. */
QV_SYS_API const char* sys_strbegin(const char* text, const char* prefix);

/* If `text` ends with `suffix`: a pointer into text where the suffix starts (the text's NUL
 * for an empty suffix). Otherwise, if the suffix is longer, or if either pointer is null:
 * null. */
QV_SYS_API const char* sys_strend(const char* text, const char* suffix);

/* ---- Searching --------------------------------------------------------------------------
 * Searches that walk a terminated text never find its NUL: searching for the character 0
 * gives null. Only sys_strchr_rev, which walks raw memory, can find a 0 byte. */

/* First position of c in text, or null. */
QV_SYS_API const char* sys_strchr(const char* text, char c);

/* Last position of c in text, or null. */
QV_SYS_API const char* sys_strrchr(const char* text, char c);

/* First position of c among the first n bytes of text (the NUL still ends the search), or
 * null; n = 0 gives null. */
QV_SYS_API const char* sys_strnchr(const char* text, sys_u64 n, char c);

/* Walks from `start` down to `lower_bound`, both included, and returns the first position
 * (from the top) holding c, or null; null at once if start < lower_bound. Does not stop at
 * NUL bytes, so c = 0 can be found. Every byte in [lower_bound, start] must be readable. */
QV_SYS_API const char* sys_strchr_rev(const char* lower_bound, const char* start, char c);

/* First position whose byte is a member of `set` (a terminated text; order and repetition do
 * not matter; the empty set has no members), or null. */
QV_SYS_API const char* sys_strpbrk(const char* text, const char* set);

/* As sys_strpbrk among the first n bytes of text, or null. */
QV_SYS_API const char* sys_strnpbrk(const char* text, sys_u64 n, const char* set);

/* Last position whose byte is a member of `set`, or null. */
QV_SYS_API const char* sys_strrpbrk(const char* text, const char* set);

/* First position where `pattern` occurs in text, or null; an empty pattern gives text. */
QV_SYS_API const char* sys_strstr(const char* text, const char* pattern);

/* Last position where `pattern` occurs in text, or null. An empty pattern gives the position
 * of the text's last byte (text itself when the text is empty). */
QV_SYS_API const char* sys_strrstr(const char* text, const char* pattern);

/* ---- Replacing ---------------------------------------------------------------------------- */

/* In place: every byte equal to `from` becomes `to`. */
QV_SYS_API void sys_strreplace(char* text, char from, char to);

/* In place: every byte that is a member of `set` becomes `to`. */
QV_SYS_API void sys_strreplace_any(char* text, const char* set, char to);

/* In place: replaces every occurrence of `pattern`, left to right, by `replacement`; the
 * search resumes after each inserted replacement, so a replacement containing the pattern is
 * not replaced again. Returns the new length. An empty pattern, or no occurrence, changes
 * nothing and returns the length. No capacity: the buffer must hold the grown text and NUL. */
QV_SYS_API sys_u64 sys_strreplace_str(char* text, const char* pattern, const char* replacement);

/* Copies src to dst, replacing each byte equal to chars[i] (the first equal entry of the
 * first `count`) by the terminated text replacements[i] (which may be empty, deleting it).
 * Returns the result's length without the NUL. All or nothing: one byte of `capacity` is kept
 * for the NUL, so a result of capacity - 1 bytes fits and one of capacity bytes fails.
 * Failure value: 0 with dst set to the empty text, when the result does not fit, or when
 * count > 32 (check "(sizeof(lengths)/sizeof(lengths[0])) >= count"). capacity 0 returns 0 and
 * writes nothing. An empty src also gives 0 (dst empty): callers that must tell these apart
 * look at src. `chars` is not terminated; only its first `count` bytes are read. */
QV_SYS_API sys_u64 sys_strnreplacechr(char* dst, sys_u64 capacity, const char* src,
                                      const char* chars, const char* const* replacements,
                                      sys_u64 count);

/* ---- ASCII case: only A-Z and a-z are ever changed or counted (distance 32) --------------- */

/* In place: A-Z become a-z. */
QV_SYS_API void sys_strtolower_ascii(char* text);
/* In place: a-z become A-Z. */
QV_SYS_API void sys_strtoupper_ascii(char* text);
/* True if text holds no byte A-Z (an empty text, digits, punctuation count as lower case). */
QV_SYS_API sys_bool sys_strislower_ascii(const char* text);
/* True if text holds no byte a-z. */
QV_SYS_API sys_bool sys_strisupper_ascii(const char* text);
/* c moved from A-Z to a-z; any other byte unchanged. */
QV_SYS_API char sys_chartolower_ascii(char c);
/* c moved from a-z to A-Z; any other byte unchanged. */
QV_SYS_API char sys_chartoupper_ascii(char c);
/* True for A-Z and a-z. */
QV_SYS_API sys_bool sys_charisalpha_ascii(char c);
/* True for 0-9. */
QV_SYS_API sys_bool sys_charisdigit_ascii(char c);
/* True for a-z. */
QV_SYS_API sys_bool sys_charislower_ascii(char c);
/* True for A-Z. */
QV_SYS_API sys_bool sys_charisupper_ascii(char c);

/* ---- UTF-8 and UTF-32 ---------------------------------------------------------------------
 * A lead byte announces its sequence's length: 0xxxxxxx 1, 110xxxxx 2, 1110xxxx 3, 11110xxx 4;
 * any other byte (10xxxxxx, 11111xxx) cannot start a sequence. Continuation bytes, overlong
 * forms and surrogates are not checked. A sequence cut short by the text's NUL (a lead byte
 * announcing more bytes than remain before it) is never read past the NUL: it counts as
 * invalid for sys_utf8_is_valid and ends the text for sys_utf8_to_utf32 (see each
 * function). */

/* Length of the sequence that *lead starts: 1 to 4. Reads only that byte. Failure value: 0,
 * for a byte that cannot start a sequence (check "!\"Invalid UTF8\""). */
QV_SYS_API sys_u8 sys_utf8_character_byte_size(const char* lead);

/* True if every lead byte met while stepping through the text (by the length each announces)
 * can start a sequence; the empty text is valid. False, without a check, at the first byte
 * that cannot, and also when a sequence is cut short by the NUL. */
QV_SYS_API sys_bool sys_utf8_is_valid(const char* text);

/* Decodes UTF-8 into at most `max_codepoints` code points. Returns how many were stored. When
 * the text ends first, the slot after the last code point holds 0; when max_codepoints is
 * reached first the output is not terminated. A sequence cut short by the NUL is not stored:
 * its slot gets the terminating 0 and the result counts the code points before it.
 * A byte that cannot start a sequence fails the check "!\"Invalid UTF8\""; under a debugger
 * the conversion then stays on that byte: its slot and every remaining slot get 0 and the
 * result is max_codepoints. Failure value: 0, nothing written, when codepoints is null or
 * max_codepoints is 0 (check "codepoints && max_codepoints"). */
QV_SYS_API sys_u64 sys_utf8_to_utf32(const char* text, sys_u32* codepoints, sys_u64 max_codepoints);

/* Encodes the 0-terminated UTF-32 text into `buffer` of `capacity` bytes and terminates it.
 * Returns the bytes written without the NUL. A code point is written only when its bytes and a
 * NUL still fit; the first that does not ends the text there (sequences are never split).
 * Code points above 0x10FFFF fail the check "curr <= 0x10ffff" and, under a debugger, are
 * written as four bytes of their low 21 bits. Failure value: 0, nothing written, for
 * capacity 0 (check "!\"no\""). */
QV_SYS_API sys_u64 sys_utf32_to_utf8(const sys_u32* text, char* buffer, sys_u64 capacity);

/* Encodes exactly `count` code points (0 is an ordinary one-byte character) and writes no
 * terminator. Stops before the first sequence that does not fit; the capacity may be filled
 * to its last byte. Returns the bytes written; count 0 gives 0 at once. Capacity 0 and code
 * points above 0x10FFFF as for sys_utf32_to_utf8 (check "!\"no\"", then 0). */
QV_SYS_API sys_u64 sys_utf32n_to_utf8(const sys_u32* codepoints, sys_u64 count, char* buffer,
                                      sys_u64 capacity);

/* Case mapping through a fixed table of 666 (lower, upper) pairs covering Latin, Greek,
 * Cyrillic, Armenian, Georgian (U+10D0-U+10F5 with U+10A0-U+10C5), circled and full-width
 * letters. Nothing outside it changes case. Lookups take logarithmic time. */

/* True if cp is in the table's upper-case column (U+0049 is). */
QV_SYS_API sys_bool sys_utf32_is_upper(sys_u32 cp);
/* True if cp is in the table's lower-case column (U+0131 is). */
QV_SYS_API sys_bool sys_utf32_is_lower(sys_u32 cp);
/* In place, up to the terminating 0: lower-case code points become their partners. */
QV_SYS_API void sys_utf32_to_upper(sys_u32* text);
/* As sys_utf32_to_upper for at most n code points, stopping early at a 0. */
QV_SYS_API void sys_utf32n_to_upper(sys_u32* text, sys_u64 n);
/* In place, up to the terminating 0: upper-case code points become their partners; U+0049,
 * paired with both U+0069 and U+0131, becomes U+0069 (the first pair in table order). */
QV_SYS_API void sys_utf32_to_lower(sys_u32* text);
/* As sys_utf32_to_lower for at most n code points, stopping early at a 0. */
QV_SYS_API void sys_utf32n_to_lower(sys_u32* text, sys_u64 n);

/* ---- Numbers to text ----------------------------------------------------------------------
 * Formatters write a terminated text and return characters written PLUS ONE. Digits are
 * "0123456789abcdef". Buffers: sys_utoa needs at most 65 bytes, sys_itoa 66, sys_f64toa
 * 22 + decimals. */

/* `value` in `radix` (2 to 16). Radix above 16 fails the check "radix <= 16", radix 0 or 1
 * the check "radix >= 2"; failure value (under a debugger): the empty text, result 1. */
QV_SYS_API sys_u64 sys_utoa(sys_u64 value, char* buffer, sys_u8 radix);

/* As sys_utoa, with '-' before the magnitude of a negative value in every radix
 * (-255 in radix 16 is "-ff"; INT64_MIN prints correctly). Same checks and failure value. */
QV_SYS_API sys_u64 sys_itoa(sys_i64 value, char* buffer, sys_u8 radix);

/* `value` with exactly `decimals` fraction digits, TRUNCATED, not rounded (2.675 with 2
 * decimals is "2.67"; 0.29 with 2 may give "0.28" as the scaled fraction falls below 29 in
 * double arithmetic). decimals 0 writes no point. A value that is not >= 0 (negative, NaN)
 * gets a leading '-'; -0.0 prints without one. Choices for the cases the plain algorithm
 * cannot cover, all within the 22 + decimals bytes:
 *   - magnitudes from 2^63 below 10^19: the integer part is written exactly (19 digits);
 *   - finite magnitudes of 10^19 and above: scientific form with 14 significant digits,
 *     truncated, and no decimals, e.g. "1.7976931348623e+308" (the value has no fraction);
 *   - infinity: "inf" / "-inf"; NaN: "-nan" (the sign rule above), no decimals;
 *   - decimals above 18: the first 18 fraction digits are computed, the rest written as '0'
 *     (a double carries no more than 17 significant digits). */
QV_SYS_API sys_u64 sys_f64toa(sys_f64 value, char* buffer, sys_u64 decimals);

/* sys_f64toa of the value widened to double. */
QV_SYS_API sys_u64 sys_f32toa(sys_f32 value, char* buffer, sys_u64 decimals);

/* ---- Text to numbers ----------------------------------------------------------------------
 * `ok` may be null; when it is not, every call writes it: true if at least one digit was
 * read. Text after the number is ignored; nothing is reported loudly. Counted (n) forms read
 * at most n bytes and also stop at a NUL. */

/* Skips white space (bytes 9-13 and space), then reads digits 0-9, a-f, A-F whose value is
 * below `radix`; overflow wraps modulo 2^64; no sign, no 0x prefix. Nothing read: 0, ok false.
 * No check on the radix: radix 0 reads no digit, 1 reads only '0' (value 0), above 16 reads
 * the 16 hex digits with that radix's place value. */
QV_SYS_API sys_u64 sys_atou(const char* text, sys_u8 radix, sys_bool* ok);
QV_SYS_API sys_u64 sys_antou(const char* text, sys_u64 n, sys_u8 radix, sys_bool* ok);

/* An optional '-' as the very first byte (no white space before it; white space after it is
 * allowed), then as sys_antou, negated. '+' is not accepted (0, ok false). */
QV_SYS_API sys_i64 sys_atoi(const char* text, sys_u8 radix, sys_bool* ok);
QV_SYS_API sys_i64 sys_antoi(const char* text, sys_u64 n, sys_u8 radix, sys_bool* ok);

/* Reads [+|-] digits [. digits] [(e|E) [+|-] digits] with no leading white space. Keeps the
 * first 16 digits (leading zeros count) in an integer mantissa and scales it by powers of ten
 * in double arithmetic, at most 16 orders per step, so results may differ from the correctly
 * rounded value in the last bits. '1e', '1e+', '1ex' fail as a whole. No inf, nan, hex or
 * separators. Failure value: 0.0 with ok false. Exponents of any size finish in bounded
 * time: exponent digits saturate instead of wrapping, and scaling stops once the value is 0 or
 * infinite (so the result is 0 or infinity, with the sign). */
QV_SYS_API sys_f64 sys_atof64(const char* text, sys_bool* ok);
QV_SYS_API sys_f64 sys_antof64(const char* text, sys_u64 n, sys_bool* ok);

/* sys_antof64 converted to single precision. */
QV_SYS_API sys_f32 sys_atof32(const char* text, sys_bool* ok);
QV_SYS_API sys_f32 sys_antof32(const char* text, sys_u64 n, sys_bool* ok);

QV_SYS_END_C

#endif /* QV_SYS_CSTR_H */
