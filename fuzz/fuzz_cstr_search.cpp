// The byte-string searches and comparisons against std::string over arbitrary bytes, split at
// the first byte into a text and a pattern, each an exactly sized, terminated heap copy.
#include "qv_sys/cstr.h"

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t split = 1 + (size - 1 == 0 ? 0 : data[0] % (size - 1));
    std::string text((const char*)data + 1, split - 1);
    std::string pattern((const char*)data + split, size - split);
    text.resize(strlen(text.c_str())); // up to the first NUL, as the routines see it
    pattern.resize(strlen(pattern.c_str()));
    // The text starts at any offset in a 32-byte block, so the wide loads meet every
    // alignment, and still ends exactly at the end of its allocation.
    const size_t shift = data[0] % 32;
    char* block = new char[shift + text.size() + 1];
    char* t = block + shift;
    char* p = new char[pattern.size() + 1];
    memcpy(t, text.c_str(), text.size() + 1);
    memcpy(p, pattern.c_str(), pattern.size() + 1);
    auto at = [t](const char* found) { return found ? (size_t)(found - t) : std::string::npos; };

    const size_t last_empty = text.empty() ? 0 : text.size() - 1; // the empty pattern's last match
    const int c = text.compare(pattern);
    const sys_i64 d = sys_strncmp(t, p, ~(sys_u64)0);
    if (at(sys_strstr(t, p)) != text.find(pattern) ||
        at(sys_strrstr(t, p)) != (pattern.empty() ? last_empty : text.rfind(pattern)) ||
        (c < 0) != (d < 0) || (c > 0) != (d > 0))
        __builtin_trap();
    if (!pattern.empty() && (at(sys_strchr(t, p[0])) != text.find(p[0]) ||
                             at(sys_strrchr(t, p[0])) != text.rfind(p[0]) ||
                             at(sys_strpbrk(t, p)) != text.find_first_of(pattern) ||
                             at(sys_strrpbrk(t, p)) != text.find_last_of(pattern)))
        __builtin_trap();
    delete[] block;
    delete[] p;
    return 0;
}
