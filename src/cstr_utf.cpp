// UTF-8 and UTF-32: lead bytes, conversion both ways, case mapping.
//
// The case table is generated at compile time from its code-point ranges (below,
// written once), sorted by the lower-case code point; the upper-case column, which is not in
// ascending order and holds U+0049 twice, gets a sorted index built at compile time too, with
// equal code points kept in table order so that U+0049 resolves to its first pair (U+0069).
// Both directions are binary searches.
#include "qv_sys/cstr.h"

#include "qv_sys/assertion.h"

#include "cstr_internal.h"

#include <algorithm>
#include <array>

namespace {

// ---- The case table -------------------------------------------------------------------------

struct CaseRange {
    sys_u32 first; // lower-case code points first..last
    sys_u32 last;
    sys_u32 step;  // 1, or 2 for "every second"
    sys_i32 delta; // upper = lower + delta
};

// The case table, row by row. Single points are ranges of one; the explicit pairs of the
// last row are ranges of one (or of consecutive points) with their own distance.
constexpr CaseRange kCaseRanges[] = {
    // lower - 32
    {0x0061, 0x007A, 1, -32},
    {0x00E0, 0x00F6, 1, -32},
    {0x00F8, 0x00FE, 1, -32},
    {0x03B1, 0x03C1, 1, -32},
    {0x03C3, 0x03CB, 1, -32},
    {0x0430, 0x044F, 1, -32},
    {0xFF41, 0xFF5A, 1, -32},
    // lower - 80
    {0x0451, 0x045C, 1, -80},
    {0x045E, 0x045F, 1, -80},
    // lower - 48
    {0x0561, 0x0586, 1, -48},
    {0x10D0, 0x10F5, 1, -48},
    // lower - 26
    {0x24D0, 0x24E9, 1, -26},
    // lower + 8
    {0x1F00, 0x1F07, 1, 8},
    {0x1F10, 0x1F15, 1, 8},
    {0x1F20, 0x1F27, 1, 8},
    {0x1F30, 0x1F37, 1, 8},
    {0x1F40, 0x1F45, 1, 8},
    {0x1F60, 0x1F67, 1, 8},
    {0x1F80, 0x1F87, 1, 8},
    {0x1F90, 0x1F97, 1, 8},
    {0x1FA0, 0x1FA7, 1, 8},
    {0x1FB0, 0x1FB1, 1, 8},
    {0x1FD0, 0x1FD1, 1, 8},
    {0x1FE0, 0x1FE1, 1, 8},
    {0x1F51, 0x1F57, 2, 8},
    // lower - 1, every second
    {0x0101, 0x012F, 2, -1},
    {0x0133, 0x0137, 2, -1},
    {0x013A, 0x0148, 2, -1},
    {0x014B, 0x0177, 2, -1},
    {0x017A, 0x017E, 2, -1},
    {0x0183, 0x0185, 2, -1},
    {0x01A1, 0x01A5, 2, -1},
    {0x01B4, 0x01B6, 2, -1},
    {0x01CE, 0x01DC, 2, -1},
    {0x01DF, 0x01EF, 2, -1},
    {0x01FB, 0x0217, 2, -1},
    {0x03E3, 0x03EF, 2, -1},
    {0x0461, 0x0481, 2, -1},
    {0x0491, 0x04BF, 2, -1},
    {0x04C2, 0x04C4, 2, -1},
    {0x04D1, 0x04EB, 2, -1},
    {0x04EF, 0x04F5, 2, -1},
    {0x1E01, 0x1E95, 2, -1},
    {0x1EA1, 0x1EF9, 2, -1},
    // lower - 1, single points
    {0x0188, 0x0188, 1, -1},
    {0x018C, 0x018C, 1, -1},
    {0x0192, 0x0192, 1, -1},
    {0x0199, 0x0199, 1, -1},
    {0x01A8, 0x01A8, 1, -1},
    {0x01AD, 0x01AD, 1, -1},
    {0x01B0, 0x01B0, 1, -1},
    {0x01B9, 0x01B9, 1, -1},
    {0x01BD, 0x01BD, 1, -1},
    {0x01F5, 0x01F5, 1, -1},
    {0x04C8, 0x04C8, 1, -1},
    {0x04CC, 0x04CC, 1, -1},
    {0x04F9, 0x04F9, 1, -1},
    // lower - 2
    {0x01C6, 0x01C6, 1, -2},
    {0x01C9, 0x01C9, 1, -2},
    {0x01CC, 0x01CC, 1, -2},
    {0x01F3, 0x01F3, 1, -2},
    // as listed
    {0x00FF, 0x00FF, 1, 0x0178 - 0x00FF},
    {0x0131, 0x0131, 1, 0x0049 - 0x0131},
    {0x0253, 0x0253, 1, 0x0181 - 0x0253},
    {0x0254, 0x0254, 1, 0x0186 - 0x0254},
    {0x0257, 0x0257, 1, 0x018A - 0x0257},
    {0x0258, 0x0258, 1, 0x018E - 0x0258},
    {0x0259, 0x0259, 1, 0x018F - 0x0259},
    {0x025B, 0x025B, 1, 0x0190 - 0x025B},
    {0x0260, 0x0260, 1, 0x0193 - 0x0260},
    {0x0263, 0x0263, 1, 0x0194 - 0x0263},
    {0x0268, 0x0268, 1, 0x0197 - 0x0268},
    {0x0269, 0x0269, 1, 0x0196 - 0x0269},
    {0x026F, 0x026F, 1, 0x019C - 0x026F},
    {0x0272, 0x0272, 1, 0x019D - 0x0272},
    {0x0275, 0x0275, 1, 0x019F - 0x0275},
    {0x0283, 0x0283, 1, 0x01A9 - 0x0283},
    {0x0288, 0x0288, 1, 0x01AE - 0x0288},
    {0x028A, 0x028A, 1, 0x01B1 - 0x028A},
    {0x028B, 0x028B, 1, 0x01B2 - 0x028B},
    {0x0292, 0x0292, 1, 0x01B7 - 0x0292},
    {0x03AC, 0x03AC, 1, 0x0386 - 0x03AC},
    {0x03AD, 0x03AF, 1, 0x0388 - 0x03AD},
    {0x03CC, 0x03CC, 1, 0x038C - 0x03CC},
    {0x03CD, 0x03CE, 1, 0x038E - 0x03CD},
};

constexpr sys_u64 kPairs = kCaseTablePairs;

struct CaseTable {
    std::array<sys_u32, kPairs> lower{};
    std::array<sys_u32, kPairs> upper{};
    // The upper-case column's index: code points in ascending order (equal ones in table
    // order) and, for each, its position in the columns.
    std::array<sys_u32, kPairs> upper_sorted{};
    std::array<sys_u16, kPairs> upper_position{};
};

struct Pair {
    sys_u32 lower;
    sys_u32 upper;
};

constexpr sys_u64 count_pairs() {
    sys_u64 n = 0;
    for (const CaseRange& r : kCaseRanges)
        n += (r.last - r.first) / r.step + 1;
    return n;
}
static_assert(count_pairs() == kPairs, "the case ranges give 666 pairs");

constexpr CaseTable build_case_table() {
    std::array<Pair, kPairs> pairs{};
    sys_u64 n = 0;
    for (const CaseRange& r : kCaseRanges) {
        for (sys_u32 cp = r.first; cp <= r.last; cp += r.step)
            pairs[n++] = Pair{cp, (sys_u32)((sys_i32)cp + r.delta)};
    }
    std::sort(pairs.begin(), pairs.end(),
              [](const Pair& a, const Pair& b) { return a.lower < b.lower; });
    CaseTable t;
    std::array<sys_u16, kPairs> order{};
    for (sys_u64 i = 0; i < kPairs; ++i) {
        t.lower[i] = pairs[i].lower;
        t.upper[i] = pairs[i].upper;
        order[i] = (sys_u16)i;
    }
    std::sort(order.begin(), order.end(), [&](sys_u16 a, sys_u16 b) {
        return t.upper[a] != t.upper[b] ? t.upper[a] < t.upper[b] : a < b;
    });
    for (sys_u64 i = 0; i < kPairs; ++i) {
        t.upper_sorted[i] = t.upper[order[i]];
        t.upper_position[i] = order[i];
    }
    return t;
}

constexpr CaseTable kCase = build_case_table();

constexpr bool lower_strictly_ascending() {
    for (sys_u64 i = 1; i < kPairs; ++i) {
        if (kCase.lower[i - 1] >= kCase.lower[i])
            return false;
    }
    return true;
}
static_assert(lower_strictly_ascending(), "the lower-case column is strictly ascending");
static_assert(kCase.lower[0] == 0x61 && kCase.upper[0] == 0x41);

// Position of the first entry of `sorted` (ascending) that equals cp, or kPairs.
inline sys_u64 find_sorted(const sys_u32* sorted, sys_u32 cp) {
    if (cp < sorted[0] || cp > sorted[kPairs - 1])
        return kPairs;
    // Lower bound: the first entry not below cp.
    const sys_u32* base = sorted;
    sys_u64 n = kPairs;
    while (n > 1) {
        const sys_u64 half = n / 2;
        base = base[half - 1] < cp ? base + half : base;
        n -= half;
    }
    return *base == cp ? (sys_u64)(base - sorted) : kPairs;
}

// Position of cp in the lower-case column, or kPairs.
inline sys_u64 find_lower(sys_u32 cp) {
    return find_sorted(kCase.lower.data(), cp);
}

// Position of the first pair (in table order) whose upper-case code point is cp, or kPairs.
inline sys_u64 find_upper(sys_u32 cp) {
    const sys_u64 i = find_sorted(kCase.upper_sorted.data(), cp);
    return i == kPairs ? kPairs : kCase.upper_position[i];
}

// ---- UTF-8 --------------------------------------------------------------------------------

// Sequence length announced by a lead byte, 0 for a byte that cannot start one.
inline sys_u8 lead_size(unsigned char b) {
    if (b < 0x80)
        return 1;
    if ((b & 0xE0) == 0xC0)
        return 2;
    if ((b & 0xF0) == 0xE0)
        return 3;
    if ((b & 0xF8) == 0xF0)
        return 4;
    return 0;
}

constexpr unsigned char kPayloadMask[5] = {0, 0x7F, 0x1F, 0x0F, 0x07};

// Encoded length of cp (cp <= 0x1FFFFF), and the encoding itself.
inline sys_u64 utf8_size(sys_u32 cp) {
    return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

inline void utf8_put(char* out, sys_u32 cp, sys_u64 size) {
    switch (size) {
    case 1:
        out[0] = (char)cp;
        break;
    case 2:
        out[0] = (char)(0xC0 | (cp >> 6));
        out[1] = (char)(0x80 | (cp & 0x3F));
        break;
    case 3:
        out[0] = (char)(0xE0 | ((cp >> 12) & 0x0F));
        out[1] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[2] = (char)(0x80 | (cp & 0x3F));
        break;
    default:
        out[0] = (char)(0xF0 | ((cp >> 18) & 0x07));
        out[1] = (char)(0x80 | ((cp >> 12) & 0x3F));
        out[2] = (char)(0x80 | ((cp >> 6) & 0x3F));
        out[3] = (char)(0x80 | (cp & 0x3F));
        break;
    }
}

// The code point to encode and its length; a code point above 0x10FFFF fails the check and is
// then encoded as four bytes of its low 21 bits.
inline sys_u64 checked_size(sys_u32& cp) {
    const sys_u32 curr = cp;
    if (!SYS_CHECK(curr <= 0x10ffff)) {
        cp = curr & 0x1FFFFF;
        return 4;
    }
    return utf8_size(curr);
}

} // namespace

// ---- Internal: the table for its own tests -------------------------------------------------

const sys_u32* sys_case_table_lower() {
    return kCase.lower.data();
}
const sys_u32* sys_case_table_upper() {
    return kCase.upper.data();
}
const sys_u16* sys_case_table_upper_index() {
    return kCase.upper_position.data();
}

// ---- UTF-8 and UTF-32 -----------------------------------------------------------------------

sys_u64 sys_utf16_units(const char* text) {
    sys_u64 units = 0;
    for (const unsigned char* c = (const unsigned char*)text; *c; ++c) {
        if ((*c & 0xC0) != 0x80)
            ++units;
        if (*c >= 0xF0)
            ++units;
    }
    return units;
}

sys_u8 sys_utf8_character_byte_size(const char* lead) {
    const sys_u8 size = lead_size((unsigned char)*lead);
    if (size == 0) {
        SYS_CHECK(!"Invalid UTF8");
        return 0;
    }
    return size;
}

sys_bool sys_utf8_is_valid(const char* text) {
    const unsigned char* p = (const unsigned char*)text;
    while (*p) {
        const sys_u8 size = lead_size(*p);
        if (size == 0)
            return SYS_FALSE;
        // A sequence cut short by the NUL is invalid; nothing past the NUL is read.
        for (sys_u8 k = 1; k < size; ++k) {
            if (p[k] == 0)
                return SYS_FALSE;
        }
        p += size;
    }
    return SYS_TRUE;
}

sys_u64 sys_utf8_to_utf32(const char* text, sys_u32* codepoints, sys_u64 max_codepoints) {
    if (!SYS_CHECK(codepoints && max_codepoints))
        return 0;
    const unsigned char* p = (const unsigned char*)text;
    for (sys_u64 i = 0; i < max_codepoints; ++i) {
        codepoints[i] = 0;
        const unsigned char lead = *p;
        if (lead == 0)
            return i;
        // Plain ASCII needs no more than this.
        if (lead < 0x80) {
            codepoints[i] = lead;
            ++p;
            continue;
        }
        const sys_u8 size = sys_utf8_character_byte_size((const char*)p);
        if (size == 0) {
            // Under a debugger: the conversion stays on the byte, so every remaining slot
            // gets 0 and the result is max_codepoints.
            for (sys_u64 k = i + 1; k < max_codepoints; ++k)
                codepoints[k] = 0;
            return max_codepoints;
        }
        sys_u32 value = lead & kPayloadMask[size];
        for (sys_u8 k = 1; k < size; ++k) {
            const unsigned char c = p[k];
            if (c == 0)
                return i; // cut short by the NUL: not stored, the 0 in this slot ends the text
            value = (value << 6) + (c & 0x3F);
        }
        codepoints[i] = value;
        p += size;
    }
    return max_codepoints;
}

sys_u64 sys_utf32_to_utf8(const sys_u32* text, char* buffer, sys_u64 capacity) {
    if (capacity == 0) {
        SYS_CHECK(!"no");
        return 0;
    }
    sys_u64 written = 0;
    for (;; ++text) {
        sys_u32 cp = *text;
        if (cp == 0)
            break;
        const sys_u64 size = cp < 0x80 ? 1 : checked_size(cp);
        // written + 1 <= capacity holds throughout, so the NUL below always fits.
        if (size + 1 > capacity - written)
            break;
        utf8_put(buffer + written, cp, size);
        written += size;
    }
    buffer[written] = 0;
    return written;
}

sys_u64 sys_utf32n_to_utf8(const sys_u32* codepoints, sys_u64 count, char* buffer,
                           sys_u64 capacity) {
    // Nothing to convert comes first; then the same refusal of an empty buffer as above.
    if (count == 0)
        return 0;
    if (capacity == 0) {
        SYS_CHECK(!"no");
        return 0;
    }
    sys_u64 written = 0;
    for (sys_u64 i = 0; i < count; ++i) {
        sys_u32 cp = codepoints[i];
        const sys_u64 size = cp < 0x80 ? 1 : checked_size(cp);
        if (size > capacity - written)
            break;
        utf8_put(buffer + written, cp, size);
        written += size;
    }
    return written;
}

// ---- Case -----------------------------------------------------------------------------------

sys_bool sys_utf32_is_upper(sys_u32 cp) {
    return (sys_bool)(find_upper(cp) != kPairs);
}

sys_bool sys_utf32_is_lower(sys_u32 cp) {
    return (sys_bool)(find_lower(cp) != kPairs);
}

void sys_utf32n_to_upper(sys_u32* text, sys_u64 n) {
    for (sys_u64 i = 0; i < n && text[i] != 0; ++i) {
        const sys_u64 at = find_lower(text[i]);
        if (at != kPairs)
            text[i] = kCase.upper[at];
    }
}

void sys_utf32_to_upper(sys_u32* text) {
    sys_utf32n_to_upper(text, ~(sys_u64)0);
}

void sys_utf32n_to_lower(sys_u32* text, sys_u64 n) {
    for (sys_u64 i = 0; i < n && text[i] != 0; ++i) {
        const sys_u64 at = find_upper(text[i]);
        if (at != kPairs)
            text[i] = kCase.lower[at];
    }
}

void sys_utf32_to_lower(sys_u32* text) {
    sys_utf32n_to_lower(text, ~(sys_u64)0);
}
