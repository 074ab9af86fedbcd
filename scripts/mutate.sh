#!/usr/bin/env bash
# Plants known faults in the library one at a time and checks that the tests notice.
#
#   bash scripts/mutate.sh                 every Linux fault, on the Linux build
#   bash scripts/mutate.sh --win64         the faults in the Windows folder, under Wine
#   bash scripts/mutate.sh NAME...         only the named faults (either lane)
#   bash scripts/mutate.sh --rev REV       against the tests (and sources) of a commit
#
# A fault is an exact text substitution (file, old text, new text) applied alone to a scratch
# copy of the tree under build/mutate/<lane>/tree; the test programs of that family are
# rebuilt (ninja rebuilds only what the fault touched) and their tests run through CTest.
# A fault whose old text is no longer in the file is reported stale and not counted; one
# that no longer compiles is reported as such and not counted either. Not part of the
# regular lanes: run it by hand or nightly (a run takes a while on two cores).
set -uo pipefail
# The whole script is one compound command, read before it runs: editing this file while a
# run is under way cannot change what that run does.
{
cd "$(dirname "$0")/.."
root=$PWD

lane=linux
rev=""
only=()
while [ $# -gt 0 ]; do
  arg=$1; shift
  case $arg in
    --win64) lane=win64 ;;
    --rev) rev=$1; shift ;;
    -*) echo "unknown option $arg" >&2; exit 2 ;;
    *) only+=("$arg") ;;
  esac
done

names=() files=() programs=() olds=() news=()
# fault NAME FILE "PROGRAM..." OLD NEW
fault() {
  names+=("$1") files+=("$2") programs+=("$3") olds+=("$4") news+=("$5")
}

# ---- memory ----------------------------------------------------------------------------------
fault malloc-zero-not-null src/sysmemory.cpp test_sysmemory \
  $'    if (size == 0)\n        return nullptr;\n    return os_heap_alloc' $'    return os_heap_alloc'
fault realloc-zero-frees src/platform/posix/sysmemory.cpp test_sysmemory \
  'realloc(ptr, size ? (size_t)size : 1)' 'realloc(ptr, (size_t)size)'
fault guard-page-missing src/sysmemory.cpp test_guarded_memory \
  'const sys_u64 total = (block_pages + 2) * page;' 'const sys_u64 total = (block_pages + 1) * page;'
fault guard-block-rounds-down src/sysmemory.cpp test_guarded_memory \
  $'const sys_u64 block_pages = size / page + (size % page != 0 ? 1 : 0);\n    if (block_pages' \
  $'const sys_u64 block_pages = size / page;\n    if (block_pages'
fault guard-tail-open src/sysmemory.cpp test_guarded_memory \
  'bool res = os_pages_protect(ret, total, SYS_MEM_ACCESS_NONE);' \
  'bool res = os_pages_protect(ret, page, SYS_MEM_ACCESS_NONE);'
fault guard-free-null-ignored src/sysmemory.cpp test_guarded_memory \
  '    sys_u8* base = (sys_u8*)((uintptr_t)ptr - page);' '    sys_u8* base = ptr ? (sys_u8*)ptr - page : nullptr; if (!base) return;'
fault win-heap-realloc-zero src/platform/win32/sysmemory.cpp test_sysmemory \
  'return HeapReAlloc(GetProcessHeap(), 0, ptr, (SIZE_T)size);' \
  'return size == 0 ? (HeapFree(GetProcessHeap(), 0, ptr), nullptr) : HeapReAlloc(GetProcessHeap(), 0, ptr, (SIZE_T)size);'
fault garble-step-from-zero src/sysmemory.cpp test_sysmemory \
  'state = state * (i + 1) * a * size + 127;' 'state = state * i * a * size + 127;'

# ---- checks and reports ----------------------------------------------------------------------
fault check-reports-twice src/assertion.cpp test_assertion \
  's_in_assertion.exchange(1, std::memory_order_acq_rel) != 0' 's_in_assertion.load() != 0'
fault callback-removal-keeps-count src/assertion.cpp test_assertion \
  $'        --s_num_assert_callbacks;' ''
fault context-pop-off-by-one src/assertion.cpp test_assertion \
  'const char* ret = vdata->messages[vdata->count];' 'const char* ret = vdata->messages[vdata->count - 1];'
fault abort-exits-quietly src/assertion.cpp test_assertion \
  $'void sys_abort(void) {\n    abort();' $'void sys_abort(void) {\n    exit(3);'
fault win-check-exit-code src/platform/win32/assertion.cpp test_assertion \
  'ExitProcess((UINT)-1);' 'ExitProcess(1);'
fault context-without-callback-allowed src/assertion.cpp test_assertion \
  $'void sys_assert_message_push(const char* message) {\n    if (!SYS_CHECK(s_assert_tls))' $'void sys_assert_message_push(const char* message) {\n    if (!s_assert_tls)'
fault check-without-callbacks-continues src/assertion.cpp test_assertion \
  'if (!s_pretend_debugger.load(std::memory_order_relaxed) && !os_debugger_present())' 'if (s_num_assert_callbacks > 0 && !s_pretend_debugger.load(std::memory_order_relaxed) && !os_debugger_present())'

fault assert-callback-removal-keeps-data src/assertion.cpp test_assertion \
  $'            s_assert_callback_data[k - 1] = s_assert_callback_data[k];\n' ''

# ---- formatting and printing -----------------------------------------------------------------
fault vprintf-to-error-stream src/io.cpp test_io \
  $'void sys_vprintf(const char* format, va_list args) {\n    dispatch(format, args, 0);' \
  $'void sys_vprintf(const char* format, va_list args) {\n    dispatch(format, args, 1);'
fault vperrorf-to-output-stream src/io.cpp test_io \
  $'void sys_vperrorf(const char* format, va_list args) {\n    dispatch(format, args, 1);' \
  $'void sys_vperrorf(const char* format, va_list args) {\n    dispatch(format, args, 0);'
fault logs-switch-ignored src/io.cpp test_io \
  'if (!s_logs_enabled || s_num_printf_callbacks == 0)' 'if (s_num_printf_callbacks == 0)'
fault float-default-decimals src/format.cpp test_io \
  'sys_u64 decimals = s.precision == kNoPrecision ? 3 : s.precision;' \
  'sys_u64 decimals = s.precision == kNoPrecision ? 6 : s.precision;'
fault width-unclamped src/format.cpp test_io \
  $'    if (s.width > kMaxWidth)\n        s.width = kMaxWidth;' ''
fault format-field-no-room-for-nul src/format.cpp test_io \
  'sys_u64 room() const { return (sys_u64)(end - pos) - 1; }' \
  'sys_u64 room() const { return (sys_u64)(end - pos); }'
fault format-literal-stops-short src/format.cpp test_io \
  '        sys_u64 all = (sys_u64)(end - pos);' '        sys_u64 all = (sys_u64)(end - pos) - 1;'
fault integer-pad-ignores-plus src/format.cpp test_io \
  'const sys_u64 len = digits + (sign != 0);' 'const sys_u64 len = digits + (sign == '"'-'"');'
fault octal-digit-count src/format.cpp test_io \
  ": s.letter == 'o' ? (bits + 2) / 3" ": s.letter == 'o' ? (bits + 1) / 3"
fault format-plus-read-as-space src/format.cpp test_io \
  "bit[(unsigned char)'+'] = kPlus;" "bit[(unsigned char)'+'] = kSpace;"
fault direct-integer-skips-position-rule src/format.cpp test_io \
  'pos.using_positions != 1 && integer_width(s.bytes)' 'pos.using_positions != 2 && integer_width(s.bytes)'
fault positional-leaves-cursor src/format.cpp test_io \
  $'    va_end(*seq);\n    va_copy(*seq, positional);\n' $'    (void)seq;\n'
fault invalid-width-takes-argument src/format.cpp test_io \
  $'    if (integer_width(s.bytes))\n        raw = take_slot(c.src);\n    else\n' \
  $'    raw = take_slot(c.src);\n    if (!integer_width(s.bytes))\n'
fault log-base-name-ignores-backslash include/qv_sys/io.h test_io \
  $'        if (*p == \'/\' || *p == \'\\\\\')' $'        if (*p == \'/\')'
fault exit-message-to-output src/process.cpp test_process \
  '    sys_vperrorf(format, args);' '    sys_vprintf(format, args);'
fault callback-removal-takes-past-last src/io.cpp test_io \
  'const sys_u32 last = --s_num_printf_callbacks;' 'const sys_u32 last = s_num_printf_callbacks--;'

fault case-letter-checks-width-first src/format.cpp test_io \
  $'    const sys_u64 bytes = s.bytes;\n    const sys_u64 limit = text_limit(s);' \
  $'    const sys_u64 bytes = s.letter == \'s\' || SYS_CHECK_TEXT_MSG(s.bytes == 4, "bytes == 4", NULL) ? s.bytes : 4;\n    const sys_u64 limit = text_limit(s);'
fault nul-char-field-padded src/format.cpp test_io \
  'cut && s.has(kMinus) ? 0 : pad' 'cut && false ? 0 : pad'

fault float-bad-width-drops-argument src/format.cpp test_io \
  $'    if (s.bytes != 4 && s.bytes != 8)\n        SYS_CHECK_TEXT_MSG(false, "!\\"Invalid byte specification\\"", NULL);\n    sys_f64 v' \
  $'    if (s.bytes != 4 && s.bytes != 8 &&\n        !SYS_CHECK_TEXT_MSG(false, "!\\"Invalid byte specification\\"", NULL))\n        return false;\n    sys_f64 v'

# ---- clocks --------------------------------------------------------------------------------
fault microseconds-as-milliseconds src/chrono.cpp "test_chrono itest_chrono" \
  '(sys_i64)((a - b) * 1000000u)' '(sys_i64)((a - b) * 1000u)'
fault ticks-after-wrong-scale src/chrono.cpp "test_chrono itest_chrono" \
  'return t + (sys_u64)(product / 1000000);' 'return t + (sys_u64)(product / 1000);'
fault posix-stream-backslash-literal src/platform/posix/filesystem_file.cpp test_filesystem \
  'fopen(posix_native_path(path).c_str(), mode)' 'fopen(path, mode)'
fault posix-map-backslash-literal src/platform/posix/filesystem_file.cpp test_filesystem \
  'posix_open_file_to_read(posix_native_path(path).c_str())' 'posix_open_file_to_read(path)'
fault posix-chdir-backslash-literal src/platform/posix/filesystem.cpp test_filesystem \
  'chdir(posix_native_path(path).c_str())' 'chdir(path)'
fault posix-copy-onto-itself src/platform/posix/filesystem_ops.cpp test_filesystem \
  'ds.st_dev == st.st_dev && ds.st_ino == st.st_ino' 'ds.st_dev != st.st_dev && ds.st_ino == st.st_ino'
fault win-strftime-old-runtime src/platform/win32/time.cpp test_chrono \
  'return found ? (StrftimeFn)(void*)found : &strftime;' 'return found ? &strftime : &strftime;'
fault win-filetime-text-unchecked src/platform/win32/filesystem_ops.cpp test_filesystem \
  $'        if (!GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, date_format, at, left))\n            return nothing();' \
  $'        GetDateFormatA(LOCALE_USER_DEFAULT, 0, &st, date_format, at, left);'
fault list-subfolder-separator-lost src/filesystem_ops.cpp test_filesystem \
  'sys_snprintf(path, kPathBytes - 1, kOsPathSeparator' 'sys_snprintf(path, kPathBytes, kOsPathSeparator'
fault posix-dangling-link-missing src/platform/posix/filesystem_ops.cpp test_filesystem \
  'if (stat(native.c_str(), &st) != 0 && lstat(native.c_str(), &st) != 0)' 'if (stat(native.c_str(), &st) != 0)'
fault posix-filetime-offset-of-its-date src/platform/posix/filesystem_ops.cpp test_filesystem \
  '    gmtime_r(&seconds, &t);' '    seconds -= t.tm_gmtoff; localtime_r(&seconds, &t);'
fault twelve-hour-clock-zero src/platform/posix/filesystem_ops.cpp test_filesystem \
  'const int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;' 'const int hour12 = t.tm_hour % 12;'
fault noon-is-morning src/platform/posix/filesystem_ops.cpp test_filesystem \
  't.tm_hour < 12 ? "AM" : "PM"' 't.tm_hour <= 12 ? "AM" : "PM"'
fault time-text-size-without-nul src/platform/posix/time.cpp test_chrono \
  'return strftime(buffer, (size_t)size, format, t);' 'return strftime(buffer, (size_t)size + 1, format, t);'

fault wall-clock-monotonic src/platform/posix/time.cpp test_chrono \
  '    return (sys_i64)time(nullptr);' \
  $'    struct timespec now;\n    clock_gettime(CLOCK_MONOTONIC, &now);\n    return (sys_i64)now.tv_sec;'
fault start-time-recorded-at-load src/time.cpp test_chrono \
  'sys_time s_start_time = 0;' 'sys_time s_start_time = os_time_now();'

# ---- text ----------------------------------------------------------------------------------
fault strncpy-drops-terminator src/cstr.cpp test_cstr \
  $'    dst[capacity - 1] = 0;\n    return capacity - 1;' $'    return capacity - 1;'
fault strcat-returns-start src/cstr.cpp test_cstr \
  $'    memcpy(end, src, length + 1);\n    return end + length;' $'    memcpy(end, src, length + 1);\n    return dst;'
fault f64toa-rounds src/cstr_number.cpp test_cstr_number \
  'sys_u64 fraction = (sys_u64)scaled;' 'sys_u64 fraction = (sys_u64)(scaled + 0.5);'
fault decimal-halves-boundary src/cstr_internal.h "test_cstr_number test_io" \
  'if (w >= 10000) {' 'if (w > 10000) {'
fault decimal-quotient-shift src/cstr_internal.h "test_cstr_number test_io" \
  'const sys_u32 high = (w * 5243) >> 19;' 'const sys_u32 high = (w * 5243) >> 20;'
fault itoa-negative-length src/cstr_number.cpp test_cstr_number \
  'return put_unsigned(0 - (sys_u64)value, buffer + 1, radix) + 2;' \
  'return put_unsigned(0 - (sys_u64)value, buffer + 1, radix) + 1;'
fault utf32-no-room-for-nul src/cstr_utf.cpp test_cstr_utf \
  'if (size + 1 > capacity - written)' 'if (size > capacity - written)'
fault utf32n-overruns src/cstr_utf.cpp test_cstr_utf \
  $'        if (size > capacity - written)\n            break;\n        utf8_put(buffer + written, cp, size);\n        written += size;\n    }\n    return written;' \
  $'        if (size > capacity - written + 1)\n            break;\n        utf8_put(buffer + written, cp, size);\n        written += size;\n    }\n    return written;'
fault upper-ascii-range src/cstr.cpp "test_cstr itest_cstr" \
  "return (unsigned char)(c - 'A') < 26;" "return (unsigned char)(c - 'A') < 25;"
fault strnreplacechr-fills-last-byte src/cstr.cpp test_cstr \
  'if (left <= n) {' 'if (left < n) {'
fault atou-digit-equal-to-radix src/cstr_number.cpp test_cstr_number \
  'if (d >= radix)' 'if (d > radix)'
fault utf8-size-bound src/cstr_utf.cpp test_cstr_utf \
  'cp < 0x10000 ? 3 : 4' 'cp < 0xFFFF ? 3 : 4'
fault compare-step-back-frame src/cstr_simd.h itest_cstr \
  'return (sys_u64)(at + ctz32(m));' 'return (sys_u64)(at > 0 ? at : 0) + ctz32(m);'
fault compare-page-end-block-overruns src/cstr_simd.h itest_cstr \
  'at = at + 2 * W <= end ? at + W : end - W;' 'at += W;'
fault compare-page-end-short-block src/cstr_simd.h itest_cstr \
  'for (sys_i64 at = end > W ? 0 : end - W;;)' 'for (sys_i64 at = 0;;)'
fault compare-page-not-proven src/cstr_simd.h itest_cstr \
  'if (back != G) {' 'if (back != G && x - start < 4096) {'
fault compare-page-of-groups src/cstr_simd.h itest_cstr \
  'count = 4096 / G;' 'count = 4096 / G - 1;'
fault compare-limit-skips-last-group src/cstr_simd.h itest_cstr \
  'n != 0 ? group_first_stop<V>(x, y) : G;' 'G;'
fault compare-limit-before-page-end src/cstr_simd.h itest_cstr \
  'limit_first = count > n / G;' 'limit_first = count > n / G + 1;'
fault compare-skips-fourth-block src/cstr_simd.h "test_cstr itest_cstr" \
  'm = pair_stops<V>(x + 2 * W, y + 2 * W);' 'm = pair_stops<V>(x + W, y + W);'
fault compare-limit-in-second-pair src/cstr_simd.h "test_cstr itest_cstr" \
  'm &= (1ull << (n - 2 * W)) - 1;' 'm &= (1ull << (n - W)) - 1;'
fault compare-entry-past-page src/cstr_simd.h itest_cstr \
  'if (((uintptr_t)x & 4095) > 4096 - G || ((uintptr_t)y & 4095) > 4096 - G)' \
  'if (((uintptr_t)x & 4095) > 4096 - 2 * W || ((uintptr_t)y & 4095) > 4096 - 2 * W)'
fault compare-group-test-drops-block src/cstr_evex.cpp itest_cstr \
  '_mm256_ternarylogic_epi32(x3, d0, loadu(y + 3 * W), 0xDE)' \
  '_mm256_ternarylogic_epi32(x3, d0, loadu(y + 3 * W), 0xCC)'
fault compare-group-exit-third-block src/cstr_evex.cpp itest_cstr \
  'block_stops(x2, d2)' 'block_stops(x2, d1)'
fault compare-group-exit-second-block src/cstr_evex.cpp itest_cstr \
  'return W + ctz32(m1);' 'return ctz32(m1);'
fault compare-page-end-pair-position src/cstr_simd.h itest_cstr \
  'return byte_difference(x, y, at + (unsigned)__builtin_ctzll(m));' \
  'return byte_difference(x, y, (unsigned)__builtin_ctzll(m));'
fault compare-page-end-pair-limit src/cstr_simd.h itest_cstr \
  'm &= (1ull << (n - at)) - 1;' 'm &= (1ull << (n - at + 1)) - 1;'
fault compare-second-group-of-turn src/cstr_simd.h "test_cstr itest_cstr" \
  'return byte_difference(x, y, G + i);' 'return byte_difference(x, y, i);'
fault compare-second-block-position src/cstr_simd.h "test_cstr itest_cstr" \
  'return byte_difference(x, y, W + (unsigned)__builtin_ctzll(m));' \
  'return byte_difference(x, y, (unsigned)__builtin_ctzll(m));'
fault compare-short-limit-mask src/cstr_simd.h "test_cstr itest_cstr" \
  'm &= n >= 64 ? ~0ull : (1ull << n) - 1;' 'm &= n >= 32 ? ~0ull : (1ull << n) - 1;'
fault compare-page-end-reaches-back src/cstr_simd.h itest_cstr \
  'x_off >= back && y_off >= back) {' 'x_off >= back) {'
fault compare-page-end-limit src/cstr_simd.h itest_cstr \
  $'        if (Bounded && n < left)\n            m &= (uint32_t)((1ull << n) - 1);' \
  $'        if (Bounded && n < left)\n            m &= (uint32_t)((1ull << (n + 1)) - 1);'
fault compare-page-end-forward-limit src/cstr_simd.h itest_cstr \
  $'if (i != left)\n            return !Bounded || i < n ?' $'if (i != left)\n            return true ?'
fault compare-page-end-group-limit src/cstr_simd.h itest_cstr \
  $'if (i != G - back)\n                return !Bounded || i < n ?' $'if (i != G - back)\n                return true ?'
fault compare-unaligned-group-limit src/cstr_simd.h itest_cstr \
  'return !Bounded || G + i < n ? byte_difference(x, y, G + i) : 0;' \
  'return !Bounded || G + i <= n ? byte_difference(x, y, G + i) : 0;'
fault compare-unaligned-group-page src/cstr_simd.h itest_cstr \
  '<= 4096 - 2 * G) {' '<= 4096 - G) {'
fault compare-unaligned-group-ends-limit src/cstr_simd.h itest_cstr \
  $'        if (Bounded && n <= 2 * G)\n            return 0;\n' ''
fault check-text-code-point src/cstr_utf.cpp test_cstr_utf \
  'SYS_CHECK(curr <= 0x10ffff)' 'SYS_CHECK(curr < 0x110000)'
fault utf32n-empty-buffer-unchecked src/cstr_utf.cpp test_cstr_utf \
  $'        return 0;\n    if (capacity == 0) {\n        SYS_CHECK(!"no");' $'        return 0;\n    if (capacity == 0) {\n        (void)"no";'
fault win-wide-to-utf8-capacity-zero-fails src/platform/win32/platform.cpp test_cstr_utf \
  'const int wctomb_ret = WideCharToMultiByte(' 'const int wctomb_ret = capacity == 0 ? 0 : WideCharToMultiByte('
fault atof-negative-zero-lost src/cstr_number.cpp test_cstr_number \
  'return negative ? -value : value;' 'return negative ? 0.0 - value : value;'
fault case-lookup-misses-last-entry src/cstr_utf.cpp itest_cstr \
  'if (cp < sorted[0] || cp > sorted[kPairs - 1])' 'if (cp < sorted[0] || cp >= sorted[kPairs - 1])'
fault case-upper-ties-reversed src/cstr_utf.cpp itest_cstr \
  't.upper[a] != t.upper[b] ? t.upper[a] < t.upper[b] : a < b;' 't.upper[a] != t.upper[b] ? t.upper[a] < t.upper[b] : a > b;'
fault strnpbrk-one-past-n src/cstr.cpp test_cstr \
  $'    for (sys_u64 i = 0; i < n && text[i]; ++i) {\n        if (members.has' $'    for (sys_u64 i = 0; i <= n && text[i]; ++i) {\n        if (members.has'
fault strend-whole-text-refused src/cstr.cpp test_cstr \
  'if (suffix_length > length)' 'if (suffix_length >= length)'
fault strreplace-resumes-after-pattern src/cstr.cpp test_cstr \
  'found = sys_strstr(text + at + q, pattern);' 'found = sys_strstr(text + at + p, pattern);'
fault compare-bytes-signed src/cstr_simd.h "test_cstr itest_cstr" \
  'return (sys_i64)x[i] - (sys_i64)y[i];' 'return (sys_i64)(signed char)x[i] - (sys_i64)(signed char)y[i];'
fault strlen-signed-minimum src/cstr_avx2.h itest_cstr \
  'static reg min(reg a, reg b) { return _mm256_min_epu8(a, b); }' 'static reg min(reg a, reg b) { return _mm256_min_epi8(a, b); }'
fault strnreplacechr-limit-off-by-one src/cstr.cpp test_cstr \
  'SYS_CHECK_TEXT_MSG((sizeof(lengths) / sizeof(lengths[0])) >= count,' 'SYS_CHECK_TEXT_MSG((sizeof(lengths) / sizeof(lengths[0])) > count,'
fault utf8-two-byte-lead-mask src/cstr_utf.cpp test_cstr_utf \
  'if ((b & 0xE0) == 0xC0)' 'if ((b & 0xC0) == 0xC0)'
fault utf32n-lower-one-past-n src/cstr_utf.cpp test_cstr_utf \
  $'    for (sys_u64 i = 0; i < n && text[i] != 0; ++i) {\n        const sys_u64 at = find_upper' \
  $'    for (sys_u64 i = 0; i <= n && text[i] != 0; ++i) {\n        const sys_u64 at = find_upper'
fault radix-failure-keeps-buffer src/cstr_number.cpp test_cstr_number \
  $'        buffer[0] = 0;\n        return false;' $'        (void)buffer;\n        return false;'

fault utf8-bad-byte-leaves-rest src/cstr_utf.cpp test_cstr_utf \
  $'            for (sys_u64 k = i + 1; k < max_codepoints; ++k)\n                codepoints[k] = 0;\n' ''

# ---- data ----------------------------------------------------------------------------------
fault stream-hash-boundary src/hash.cpp test_hash \
  'if (state->bytes >= 32)' 'if (state->bytes > 32)'
fault stream-hash-remainder-lost src/hash.cpp test_hash \
  $'    if (size > 0)\n        memcpy(state->input, p, (size_t)size);' ''
fault stream-hash-seed-dropped src/hash.cpp test_hash \
  'state->v[0] = seeded(state->seed) + fold(state->v);' 'state->v[0] = seeded(0) + fold(state->v);'
fault hash-tail-pair-constant src/hash.cpp test_hash \
  't[1] ^= rotate_right(t[1] * k3, 21) + t[0];' 't[1] ^= rotate_right(t[1] * k0, 21) + t[0];'
fault json-get-leaves-object src/json.cpp test_json \
  'for (; t != end && t->_depth >= depth; ++t) {' 'for (; t != end; ++t) {'
fault json-index-off-by-one src/json.cpp test_json \
  'if (t->_depth == elements_depth && number++ == index)' 'if (t->_depth == elements_depth && ++number == index)'
fault json-close-mismatch src/json_blocks.h "test_json itest_json" \
  'if (in_object != (c == '"'"'}'"'"'))' 'if (false)'
fault json-byte-step-close-mismatch src/json.cpp "test_json itest_json" \
  $'        if (t->_type != (c == \'}\' ? JSON_TYPE_OBJECT : JSON_TYPE_ARRAY))\n            return JSON_RESULT_INVALID;\n' ''
fault json-escaped-quote-ends-string src/json_blocks.h "test_json itest_json" \
  'const uint64_t quotes = m.quote & ~escaped;' 'const uint64_t quotes = m.quote;'
fault json-escape-carry-lost src/json_blocks.h "test_json itest_json" \
  'return (after_even_starts & ~even) | (after_odd_starts & even) | in;' \
  'return (after_even_starts & ~even) | (after_odd_starts & even);'
fault json-long-string-escaped-quote src/json_blocks.h "test_json itest_json" \
  '            quote &= ~escaped;' '            quote |= 0;'
fault json-string-carry-lost src/json_blocks.h "test_json itest_json" \
  'carries.string = (uint64_t)((int64_t)in_string >> 63);' 'carries.string = 0;'
fault json-carried-string-close-kept src/json_blocks.h "test_json itest_json" \
  $'                close = (unsigned)__builtin_ctzll(bits);\n                bits &= bits - 1;\n                goto close_string;' \
  $'                close = (unsigned)__builtin_ctzll(bits);\n                goto close_string;'
fault json-long-string-carries-kept src/json_blocks.h "test_json itest_json" \
  $'            carries = {0, 0, 0};\n' ''
fault json-carried-string-bail-inside src/json_blocks.h test_json \
  'const char* from = open != nullptr ? open : b;' 'const char* from = b;'
fault json-escapable-table-q src/json_blocks.h test_json \
  'each_lane<N>({0, 0, 0x0d, 0, 0x08,' 'each_lane<N>({0, 0x08, 0x0d, 0, 0x08,'
fault json-byte-step-escaped-quote src/json.cpp "test_json itest_json" \
  '            s._curr = ++p;' '            s._curr = p + 1;'
fault json-byte-step-escape-not-skipped src/json.cpp "test_json itest_json" \
  'bits &= ~(uint64_t)0 << (k + 2);' 'bits &= ~(uint64_t)0 << (k + 1);'
fault json-literal-ignores-capacity src/json_blocks.h test_json \
  $'                case KindLiteral: {\n                    if (out == full)\n                        return leave(JSON_RESULT_OUT_OF_TOKENS);\n' \
  $'                case KindLiteral: {\n'
fault json-token-type-four-bits include/qv_sys/json.h test_json \
  $'    sys_u32 _type : 3; /* JSON_TYPE_* */\n    sys_u32 _depth : 29;' $'    sys_u32 _type : 4; /* JSON_TYPE_* */\n    sys_u32 _depth : 28;'
fault copy-ignores-capacity src/compress.cpp test_compress \
  $'    if (capacity < size)\n        return 0;' $'    if (capacity + 1 < size)\n        return 0;'
fault decompress-error-as-size src/compress.cpp test_compress \
  'return decoded >= 0 ? (sys_u64)decoded : 0;' 'return (sys_u64)decoded;'
fault lz4-size-cut-to-32-bits src/compress.cpp test_compress \
  'return size <= (sys_u64)INT32_MAX;' 'return (sys_u32)size <= (sys_u64)INT32_MAX;'
fault lz4hc-level-maximum src/compress.cpp test_compress \
  'constexpr int kHighCompressionLevel = 9;' 'constexpr int kHighCompressionLevel = 12;'
fault crypto-tag-bound src/crypto.cpp test_crypto \
  'length <= capacity - CRYPTO_TAG_SIZE;' 'length < capacity - CRYPTO_TAG_SIZE;'
fault crypto-opened-length src/crypto.cpp test_crypto \
  '    return length - CRYPTO_TAG_SIZE;' '    return length;'
fault crypto-session-keys-swapped src/crypto.cpp test_crypto \
  $'    unsigned char* rx = (unsigned char*)receiving_key;\n    unsigned char* tx = (unsigned char*)sending_key;' \
  $'    unsigned char* rx = (unsigned char*)sending_key;\n    unsigned char* tx = (unsigned char*)receiving_key;'
fault password-hash-wrong-variant src/crypto.cpp test_crypto \
  'kPasswordHashMemory, crypto_pwhash_ALG_ARGON2I13);' 'kPasswordHashMemory, crypto_pwhash_ALG_ARGON2ID13);'
fault password-passes-wrap src/crypto.cpp test_crypto \
  $'    const unsigned long long passes = extra_passes > UINT64_MAX - kPasswordHashBasePasses\n                                          ? UINT64_MAX\n                                          : kPasswordHashBasePasses + extra_passes;' \
  '    const unsigned long long passes = kPasswordHashBasePasses + extra_passes;'

fault json-next-element-refuses-name src/json.cpp test_json \
  $'            SYS_CHECK(tok._type != JSON_TYPE_STRING_KEY);\n            return (json_token*)t;' \
  $'            if (!SYS_CHECK(tok._type != JSON_TYPE_STRING_KEY))\n                return nullptr;\n            return (json_token*)t;'
fault decompress-fast-unknown-mode-succeeds src/compress.cpp test_compress \
  $'        SYS_CHECK(!"Failure");\n        return SYS_FALSE;' $'        SYS_CHECK(!"Failure");\n        return SYS_TRUE;'
fault rand64-from-one-32-bit-draw src/crypto.cpp test_crypto \
  '    randombytes_buf(&value, sizeof(value));' '    value = randombytes_random();'

# ---- threads -------------------------------------------------------------------------------
fault cond-wait-frees-recursive-hold src/platform/posix/thread.cpp test_thread \
  '    if (count > 1) {' '    if (count > 1000) {'
fault timed-wait-wrong-unit src/platform/posix/thread.cpp test_thread \
  '(long)(milliseconds % 1000) * 1000000L' '(long)(milliseconds % 1000) * 1000L'
fault win-timed-wait-wrong-unit src/platform/win32/thread.cpp test_thread \
  'os_win32_cs(mutex), milliseconds))' 'os_win32_cs(mutex), milliseconds / 1000))'
fault affinity-modulo-32 src/thread_create.cpp test_thread_create \
  '% 64));' '% 32));'
fault barrier-not-reset src/thread.cpp "test_thread itest_thread" \
  $'        barrier->arrived = 0;\n        barrier->phase += 1;' $'        barrier->phase += 1;'
fault atomic-sub-adds src/thread.cpp test_thread \
  'return os_atomic32_add(u32(atomic), sys_u32(0) - amount);' 'return os_atomic32_add(u32(atomic), amount);'
fault timed-wait-timeout-fails src/thread.cpp test_thread \
  $'    if (result == OsWaitResult::timed_out)\n        return;' ''
fault try-lock-taken-elsewhere src/platform/posix/thread.cpp test_thread \
  $'    if (!try_acquire(m))\n        return false;' $'    if (!try_acquire(m))\n        return true;'
fault timed-wait-failure-unchecked src/thread.cpp test_thread \
  $'    const bool b = result == OsWaitResult::woken;\n    SYS_CHECK(b);' '    (void)result;'
fault tls-free-unchecked src/thread.cpp test_thread \
  $'    const bool res = os_tls_free(*cell);\n    SYS_CHECK(res);' '    os_tls_free(*cell);'
fault sleep-wrong-unit src/platform/posix/thread_create.cpp test_thread_create \
  'left.tv_nsec = long(milliseconds % 1000) * 1000000L;' 'left.tv_nsec = long(milliseconds % 1000) * 1000L;'
fault thread-exit-code-lost src/platform/posix/thread_create.cpp test_thread_create \
  'pthread_exit(reinterpret_cast<void*>(uintptr_t(exit_code)));' 'pthread_exit(reinterpret_cast<void*>(uintptr_t(exit_code / 2)));'
fault processor-count-off-by-one src/platform/posix/thread_create.cpp test_thread_create \
  'return n > 0 ? sys_u32(n) : 1u;' 'return n > 1 ? sys_u32(n - 1) : 1u;'
fault cond-wake-all-wakes-one src/platform/posix/thread.cpp test_thread \
  'futex_wake(&c->sequence, INT32_MAX);' 'futex_wake(&c->sequence, 1);'
fault barrier-waits-once src/thread.cpp "test_thread itest_thread" \
  $'        do\n            thread_cond_wait(barrier->cond, barrier->mutex);\n        while (barrier->phase == my_phase);' \
  $'        if (barrier->phase == my_phase)\n            thread_cond_wait(barrier->cond, barrier->mutex);'

fault tls-create-failure-gives-slot src/thread.cpp test_thread \
  $'    if (!SYS_CHECK_TEXT_MSG(os_tls_alloc(&slot), "res != ((DWORD)0xFFFFFFFF)", NULL))\n        return nullptr;\n' \
  $'    (void)SYS_CHECK_TEXT_MSG(os_tls_alloc(&slot), "res != ((DWORD)0xFFFFFFFF)", NULL);\n'
fault thread-name-limit-off-by-one src/thread_create.cpp test_thread_create \
  'sys_strlen(name) <= 15, "sys_strlen' 'sys_strlen(name) <= 16, "sys_strlen'

# ---- files, processes, machine -----------------------------------------------------------
fault session-path-without-name src/filesystem.cpp test_filesystem \
  's_session_name[0] != 0' 's_session_name[0] == 1'
fault append-mode-truncates src/filesystem_file.cpp test_filesystem \
  '{"rb", "wb", "ab",' '{"rb", "wb", "wb",'
fault path-no-room-for-nul src/filesystem.cpp test_filesystem \
  'length < size, "wctomb_ret"' 'length <= size, "wctomb_ret"'
fault exe-dir-drops-separator src/filesystem.cpp test_filesystem \
  $'            buffer[i + 1] = 0;\n            return i + 1;' $'            buffer[i] = 0;\n            return i;'
fault move-keeps-no-overwrite src/filesystem_ops.cpp test_filesystem \
  $'        if (filesystem_get_attr(dst) != 0)\n            return false;\n' ''
fault modified-time-missing-zero src/filesystem_ops.cpp test_filesystem \
  $'nullptr);\n        return ~0ull;' $'nullptr);\n        return 0;'
fault signal-exit-code src/platform/posix/process.cpp test_process \
  'return 128u + (sys_u32)WTERMSIG(status);' 'return (sys_u32)WTERMSIG(status);'
fault exec-input-broken-pipe-reported src/platform/posix/process.cpp test_process \
  'return error == EPIPE ? OsPipeWrite::reader_gone : OsPipeWrite::failed;' 'return error == EPIPE ? OsPipeWrite::failed : OsPipeWrite::failed;'
fault exec-input-callback-left-early src/process.cpp test_process \
  $'        if (reader_gone)\n            continue;' $'        if (reader_gone)\n            break;'
fault exec-bare-name-only-on-path src/platform/posix/process.cpp test_process \
  'if (find_beside_executable(name, out, capacity) ||' 'if (find_beside_executable("", out, capacity) ||'
fault exec-ignores-working-dir src/process.cpp test_process \
  'const char* working_dir = in->_working_dir ?' 'const char* working_dir = nullptr && in->_working_dir ?'
fault exec-working-dir-unvetted src/process.cpp test_process \
  'in->_working_dir ? vetted_text(in->_working_dir) : nullptr' 'in->_working_dir'
fault exec-no-command-unchecked src/process.cpp test_process \
  'SYS_CHECK(!"No command to run");' '(void)0;'
fault exec-pieces-of-4096 src/process.cpp test_process \
  'constexpr sys_u64 kPiece = 2048;' 'constexpr sys_u64 kPiece = 4096;'
fault last-error-reads-unfilled-buffer src/platform/posix/process.cpp test_process \
  'snprintf(buffer, size, "%s", text ? text : "");' 'snprintf(buffer, size, "%s", text ? local : "");'
fault attr-file-not-readable src/platform/posix/filesystem_ops.cpp test_filesystem \
  'return S_ISDIR(st.st_mode) ? 5 : 3;' 'return S_ISDIR(st.st_mode) ? 5 : 1;'
fault exe-dir-failure-unchecked src/filesystem.cpp test_filesystem \
  $'    if (!SYS_CHECK(res))\n        return 0;\n    // The first byte' $'    if (!res)\n        return 0;\n    // The first byte'
fault chdir-failure-unchecked src/filesystem.cpp test_filesystem \
  'SYS_CHECK_MSG(result == 0, ' 'SYS_CHECK_MSG(result == 0 || path != nullptr, '
fault modified-time-utc-from-1601 src/filesystem_ops.cpp test_filesystem \
  '((sys_i64)filetime - 116444736000000000ll) / 10000000ll' '(sys_i64)filetime / 10000000ll'
fault plugin-prefers-plain-build src/shared.cpp test_shared \
  'const char* const kSuffixes[] = {".x86_64.avx2", ".x86_64", ""};' \
  'const char* const kSuffixes[] = {".x86_64", ".x86_64.avx2", ""};'
fault wrapped-library-owned src/shared.cpp test_shared \
  'return make_record(module, name, 0);' 'return make_record(module, name, 1);'
fault module-name-limit-off-by-one src/shared.cpp test_shared \
  'sys_utf16_units(name) + sys_utf16_units(suffix) + 4 < kOsModuleNameUnits;' \
  'sys_utf16_units(name) + sys_utf16_units(suffix) + 5 < kOsModuleNameUnits;'
fault home-slashes-after-trim src/filesystem.cpp test_filesystem \
  $'    to_slashes(s_home_base);\n    sys_u64 length = 0;\n    while (s_home_base[length])\n        ++length;\n    if (length > 0 && s_home_base[length - 1] == \'/\')\n        s_home_base[length - 1] = 0;' \
  $'    sys_u64 length = 0;\n    while (s_home_base[length])\n        ++length;\n    if (length > 0 && s_home_base[length - 1] == \'/\')\n        s_home_base[length - 1] = 0;\n    to_slashes(s_home_base);'
fault temp-name-four-characters src/platform/posix/filesystem_ops.cpp test_filesystem \
  '*p && characters < 3; ++characters) {' '*p && characters <= 3; ++characters) {'
fault mirror-extras-looked-up-in-destination src/platform/posix/filesystem_ops.cpp test_filesystem \
  'if (lstat((src + "/" + e->d_name).c_str(), &ss) == 0)' 'if (lstat((dst + "/" + e->d_name).c_str(), &ss) == 0)'
fault log-sink-not-flushed src/filesystem_file.cpp test_filesystem \
  $'    filesystem_file_write(context->_file, text, length);\n    filesystem_file_flush(context->_file);' \
  '    filesystem_file_write(context->_file, text, length);'
fault power-conserve-wrong-type src/misc.cpp "itest_misc test_misc" \
  '== POWER_TYPE_BATTERY_SAVER ? 1 : 0' '== POWER_TYPE_BATTERY ? 1 : 0'
fault charging-not-mains src/misc.cpp "itest_misc test_misc" \
  $'    if ((s.battery_flag & 8) != 0)\n        return POWER_TYPE_MAINS;' ''
fault battery-full-rejected src/platform/posix/misc.cpp itest_misc \
  'v >= 0 && v <= 100' 'v >= 0 && v < 100'
fault cpu-avx2-wrong-bit src/misc.cpp test_misc \
  '{7, 1, 5},  // AVX2' '{7, 1, 6},  // AVX2'
fault power-device-battery-counted src/platform/posix/misc.cpp itest_misc \
  'strcmp(text, "Device") == 0' 'strcmp(text, "device") == 0'
fault power-profile-ignored src/platform/posix/misc.cpp itest_misc \
  'strcmp(text, "low-power") == 0 ? 1 : 0' 'strcmp(text, "low-power") == 0 ? 0 : 0'
fault unknown-battery-not-full src/misc.cpp test_misc \
  $'status.battery_percent == 255)\n        return 100;' $'status.battery_percent == 255)\n        return 255;'

fault list-suffix-platform-form src/filesystem_ops.cpp test_filesystem \
  "if ((c == '/' ? '\\\\' : c) != suffix[i])" 'if (c != suffix[i])'
fault list-in-readdir-order src/platform/posix/filesystem_ops.cpp test_filesystem \
  'std::sort(s->entries.begin(), s->entries.end(), listed_before);' \
  'std::sort(s->entries.begin(), s->entries.begin(), listed_before);'
fault mirror-relative-to-cwd src/filesystem_ops.cpp test_filesystem \
  $'    if (!working_dir) {\n        filesystem_get_exe_dir' $'    if (false) {\n        filesystem_get_exe_dir'
fault folder-opens-as-stream src/platform/posix/filesystem_file.cpp test_filesystem \
  'if (file && fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode))' \
  'if (file && fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode) && false)'
fault folder-opens-as-file src/platform/posix/posix_file.h test_filesystem \
  'if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))' \
  'if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && false)'
fault usb-charger-not-line src/platform/posix/misc.cpp itest_misc \
  ' || strncmp(text, "USB", 3) == 0) {' ') {'
fault long-url-handed-on src/misc.cpp test_misc \
  'const bool fits = sys_utf16_units(url) < kOsUrlUnits;' 'const bool fits = true;'
fault long-module-name-asked-for src/shared.cpp test_shared \
  'sys_utf16_units(name) + sys_utf16_units(suffix) + 4 < kOsModuleNameUnits;' 'true;'
fault utf16-units-miss-surrogates src/cstr_utf.cpp test_misc \
  $'        if (*c >= 0xF0)\n            ++units;\n    }\n    return units;' $'    }\n    return units;'

fault create-dirs-byte-cap src/filesystem_ops.cpp test_filesystem \
  $'    char partial[1024] = {};\n    sys_snprintf(partial' $'    char partial[512] = {};\n    sys_snprintf(partial'
fault create-dirs-no-unit-check src/filesystem_ops.cpp test_filesystem \
  'const bool mbtowc_ret = sys_utf16_units(path) < kOsPathUnits;' 'const bool mbtowc_ret = true;'
fault expansion-capped-at-argument src/platform/posix/process.cpp test_process \
  'constexpr size_t kExpandedBytes = kOsCommandLine;' 'constexpr size_t kExpandedBytes = kOsArgUnits;'
fault win-expansion-capped-at-argument src/platform/win32/process.cpp test_process \
  'const DWORD n = ExpandEnvironmentStringsW(arg, expanded, kOsCommandLine);' \
  'const DWORD n = ExpandEnvironmentStringsW(arg, expanded, kOsArgUnits) > kOsArgUnits ? kOsCommandLine + 1 : 1;'
fault win-wide-capacity-zero-fails src/platform/win32/platform.cpp test_cstr_utf \
  'MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, platform_count(capacity));' \
  'capacity == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, text, -1, buffer, platform_count(capacity));'

fault exec-failed-start-leaks-pipes src/process.cpp test_process \
  $'            sys_check_trap_();\n        streams.close_all();\n        return kFailed;' \
  $'            sys_check_trap_();\n        return kFailed;'
fault exec-any-nonzero-flag-quiet src/process.cpp test_process \
  'if (in->_no_assert_on_failure != 1 &&' 'if (!in->_no_assert_on_failure &&'
fault temp-folder-slash-doubled src/platform/posix/filesystem.cpp test_filesystem \
  "    if (path[length - 1] != '/') {" '    if (length > 0) {'
fault open-url-waits-for-opener src/platform/posix/misc.cpp test_misc \
  $'        setsid();\n        if (fork() == 0) {\n            execv(program, argv);\n            _exit(127);\n        }\n        _exit(0);' \
  $'        setsid();\n        execv(program, argv);\n        _exit(127);'

# ---- call stacks, crashes, profiler ----------------------------------------------------------
fault frame-cut-off-by-one src/callstack.cpp "itest_callstack test_callstack" \
  'if (n > capacity - 1)' 'if (n > capacity)'
fault marker-keeps-separator src/callstack.cpp "itest_callstack test_callstack" \
  $'    if (*at == \'/\' || *at == \'\\\\\')\n        ++at;' ''
fault null-call-walks-from-zero src/platform/posix/callstack.cpp test_callstack \
  'if ((sys_u64)regs[REG_RIP] < 256 && regs[REG_RSP] != 0) {' 'if ((sys_u64)regs[REG_RIP] == 1 && regs[REG_RSP] != 0) {'
fault unknown-frame-named-empty src/platform/posix/callstack.cpp test_callstack \
  'raw ? printable_name(raw, name, sizeof name) : nullptr' 'raw ? printable_name(raw, name, sizeof name) : ""'
fault frame-record-not-cleared src/callstack.cpp "itest_callstack test_callstack" \
  '    memset(entry, 0, sizeof(*entry));' '    entry->file[0] = 0;'

fault crash-dump-path-unterminated src/crash.cpp test_crash \
  'if (length >= kCrashPathSize) {' 'if (length > kCrashPathSize) {'
fault crash-breakpoint-not-caught src/platform/posix/crash.cpp test_crash \
  'SIGABRT, SIGTRAP};' 'SIGABRT};'
fault crash-breakpoint-reported src/platform/posix/crash.cpp test_crash \
  '    if (signo == SIGTRAP) {' '    if (signo == -1) {'
fault crash-dump-type-missing src/platform/posix/crash.cpp test_crash \
  '(sys_u32)time(nullptr), kCrashDumpType};' '(sys_u32)time(nullptr), 0};'
fault crash-dump-name src/crash.cpp test_crash \
  '"%s%s_crash.dmp"' '"%s%s.dmp"'
fault crash-handler-writes-no-dump src/platform/posix/crash.cpp test_crash \
  '    write_minidump_file(path, DumpInput{signo, info, uc});' '    (void)path;'
fault dump-open-failure-not-logged src/crash.cpp test_crash \
  $'    SYS_LOG("QV_SYS", "Unable to open minidump file \'%s\'\\n", path);' '    (void)path;'
fault profiler-self-time-unclamped src/profiler/messages.cpp "itest_profiler_live itest_profiler_samples" \
  'self < 0 ? 0 : (prf_u64)self' '(prf_u64)self'
fault name-copy-no-room-for-nul src/profiler/names.cpp itest_profiler_samples \
  'while (copied + 1 < capacity && name[copied]' 'while (copied < capacity && name[copied]'

fault sample-tree-root-closable src/profiler/samples.cpp itest_profiler_samples \
  $'    PRF_ASSERT(sample != tree->root);\n' ''
fault prf-stop-without-start-returns src/profiler/profiler.cpp itest_profiler_live \
  $'    PRF_ASSERT(g_profiler_created == PRF_TRUE);\n    PRF_ASSERT(g_profiler == profiler);' \
  '    PRF_ASSERT(g_profiler == profiler);'
fault prf-sample-pool-cap-off-by-one src/profiler/samples.cpp itest_profiler_stream \
  'allocator->nb_created >= allocator->max_objects)' 'allocator->nb_created > allocator->max_objects)'

# ---- checks that no longer fire -------------------------------------------------------------
fault utf32-empty-buffer-unchecked src/cstr_utf.cpp test_cstr_utf \
  $'    if (capacity == 0) {\n        SYS_CHECK(!"no");' $'    if (capacity == 0) {\n        (void)0;'
fault machine-guid-size-unchecked src/misc.cpp test_misc \
  '        SYS_CHECK(buf_size < out_max);' '        (void)(buf_size < out_max);'
fault compress-unknown-mode-quiet src/compress.cpp test_compress \
  $'    default:\n        SYS_CHECK(!"Failure");\n        return 0;\n    }\n}\n\nsys_u64 decompress(' \
  $'    default:\n        return 0;\n    }\n}\n\nsys_u64 decompress('

# ---- profiler --------------------------------------------------------------------------------
prf="itest_profiler_live itest_profiler_net itest_profiler_samples itest_profiler_stream itest_profiler_queue itest_profiler_load"
fault prf-hash-table-grows-late src/profiler/names.cpp "$prf" \
  'table->nb_slots <= table->max_nb_slots * 2 / 3' 'table->nb_slots <= table->max_nb_slots * 3 / 4'
fault prf-aggregate-merges-other-names src/profiler/samples.cpp "$prf" \
  'if (child->name_hash == name_hash) {' 'if (child->name_hash != 0) {'
fault prf-name-request-wrong-hash src/profiler/messages.cpp "$prf" \
  'name_hash = name_hash * 10u +' 'name_hash = name_hash * 16u +'
fault prf-stream-names-pushed-again src/profiler/messages.cpp "$prf" \
  '        (void)HashTable_Put(sent, name_hash, 1);' ''
fault prf-drop-count-not-reset src/profiler/messages.cpp "$prf" \
  '    prof->trees_reported = dropped;' ''
fault prf-host-port-ignored src/profiler/settings.cpp "$prf" \
  '            out->port = given.port;' '            (void)0;'
fault prf-thread-number-decimal src/profiler/profiler.cpp "$prf" \
  $'        reversed[count++] = digits[number & 15];\n        number >>= 4;' \
  $'        reversed[count++] = digits[number % 10];\n        number /= 10;'
fault prf-frame-length-126-misread src/profiler/net.cpp "$prf" \
  'length = (prf_u32)extended[0] << 8 | extended[1];' 'length = (prf_u32)extended[1] << 8 | extended[0];'
fault prf-frame-length-127-misread src/profiler/net.cpp "$prf" \
  '(prf_u32)extended[6] << 8 | extended[7];' '(prf_u32)extended[7] << 8 | extended[6];'
fault prf-mask-not-applied src/profiler/net.cpp "$prf" \
  'bytes[i] ^= mask[web_socket->mask_index++ & 3];' 'bytes[i] ^= 0;'
fault prf-mask-restarts-each-read src/profiler/net.cpp "$prf" \
  'bytes[i] ^= mask[web_socket->mask_index++ & 3];' 'bytes[i] ^= mask[i & 3];'
fault prf-close-frame-not-recognised src/profiler/net.cpp "$prf" \
  $'    if (header[0] == 0x88)\n        return PRF_ERROR_VIEWER_CLOSED;\n' ''
fault prf-send-header-short-at-64k src/profiler/net.cpp "$prf" \
  '} else if (payload < 65536) {' '} else if (payload <= 65536) {'
fault prf-ring-full-check-unsigned src/profiler/queue.cpp "$prf" \
  'if ((prf_i32)(write_pos - read_pos) > (prf_i32)(queue->size - occupied))' \
  'if (write_pos - read_pos > queue->size - occupied)'
fault prf-queue-peeks-unpublished src/profiler/queue.cpp "$prf" \
  $'    if (LoadAcquire((prf_u32*)&message->id) == MsgID_NotReady)\n        return nullptr;\n    return message;' \
  '    return message;'
fault prf-queue-reserve-not-atomic src/profiler/queue.cpp "$prf" \
  'if (CompareAndSwap32(&queue->write_pos, write_pos, write_pos + occupied)) {' \
  'if ((queue->write_pos = write_pos + occupied) != 0 || true) {'
fault prf-ring-second-view-private src/platform/posix/profiler_ring.cpp "$prf" \
  $'mmap(base + size, size, PROT_READ | PROT_WRITE,\n                                              MAP_SHARED | MAP_FIXED, fd, 0);' \
  $'mmap(base + size, size, PROT_READ | PROT_WRITE,\n                                              MAP_PRIVATE | MAP_FIXED | MAP_ANONYMOUS, -1, 0);'
fault prf-log-empty-line-dropped src/profiler/profiler.cpp itest_profiler_live \
  $'if (offset == 1023 || *p == \'\\n\') {' $'if (offset == 1023 || (*p == \'\\n\' && offset > 8)) {'
fault prf-name-cache-trusts-address src/profiler/profiler.cpp itest_profiler_live \
  '        if (name[i] != entry->text[i])' '        if (false && name[i] != entry->text[i])'
fault prf-children-time-not-added src/profiler/profiler.cpp itest_profiler_live \
  '    parent->children_us += elapsed;' ''
fault prf-path-id-ignores-position src/profiler/samples.cpp itest_profiler_live \
  'sample->path_id = MixHash(MixHash(parent->path_id, name_hash), parent->nb_children);' \
  'sample->path_id = MixHash(parent->path_id, name_hash);'
fault prf-root-keeps-child-count src/profiler/profiler.cpp itest_profiler_live \
  $'    base->last_child = NULL;\n    base->nb_children = 0;' '    base->last_child = NULL;'
fault prf-console-limit-off-by-one src/profiler/net.cpp itest_profiler_net \
  'if (length >= 1023) {' 'if (length > 1023) {'
fault prf-listener-not-renewed src/profiler/net.cpp itest_profiler_net \
  $'    if (server->listener == NULL)\n        open_listener(server);\n    if (server->listener != NULL &&' \
  '    if (server->listener != NULL &&'
fault prf-handshake-refuses-version-8 src/profiler/net.cpp itest_profiler_net \
  "if (version[0] != '8' && !(version[0] == '1' && version[1] == '3'))" \
  "if (!(version[0] == '1' && version[1] == '3'))"
fault prf-handshake-gives-up-within-50ms src/profiler/net.cpp itest_profiler_net \
  'if (os_prf_tick_ms() - start > 1000)' 'if (os_prf_tick_ms() - start > 50)'
fault prf-ping-every-pass src/profiler/net.cpp itest_profiler_net \
  '        server->ping_tick = os_prf_tick_ms();' ''
fault prf-failed-send-keeps-viewer src/profiler/net.cpp itest_profiler_net \
  $'    if (error == PRF_ERROR_SEND)\n        Server_DropViewer(server);' ''
fault prf-drop-sent-only-with-lost-lines src/profiler/messages.cpp itest_profiler_stream \
  'if (trees == 0 && logs == 0)' 'if (trees == 0 || logs == 0)'
fault prf-scope-names-not-logged src/profiler/profiler.cpp itest_profiler_live \
  $'    if (!prof->settings.streaming && !MsgRing_Full(prof->sample_queue, kEmptyLinePayload))\n        PostLogTextOn(prof, ts, name);' ''
fault prf-unknown-name-answered-empty src/profiler/messages.cpp itest_profiler_live \
  $'        if (name_length == PRF_NOT_FOUND)\n            return PRF_ERROR_NONE;' \
  $'        if (name_length == PRF_NOT_FOUND)\n            name_length = 0;'
fault prf-colour-nibble-offset src/profiler/messages.cpp itest_profiler_live \
  'prf_u32 low = (byte & 15) + 4;' 'prf_u32 low = (byte & 15) + 3;'
fault prf-default-interval-not-10ms src/profiler/settings.cpp itest_profiler_stream \
  '    10,     // update_interval_ms' '    16,     // update_interval_ms'
fault prf-stream-cap-below-a-frame src/profiler/settings.cpp itest_profiler_load \
  'kStreamMaxSamplesPerThread = 1u << 17;' 'kStreamMaxSamplesPerThread = 200;'
fault prf-handshake-accept-wrong-guid src/profiler/net.cpp itest_profiler_stream \
  '"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"' '"258EAFA5-E914-47DA-95CA-C5AB0DC85B12"'
fault prf-continued-frame-one-byte-short src/profiler/net.cpp itest_profiler_net \
  'length = client_socket->frame_left + 1;' 'length = client_socket->frame_left;'
fault prf-library-frames-held-to-thread-end src/profiler/profiler.cpp itest_profiler_stream \
  'ts->frame_base = tree->current_parent;' '(void)0;'
fault prf-default-mode-splits-library-threads src/profiler/profiler.cpp itest_profiler_live \
  'if (ts == NULL || !prof->settings.streaming)' 'if (ts == NULL)'
fault prf-loopback-bind-ignored src/platform/posix/profiler_net.cpp itest_profiler_stream \
  'htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY)' 'htonl(loopback ? INADDR_ANY : INADDR_ANY)'
fault prf-name-hash-cap-early src/profiler/profiler.cpp itest_profiler_live \
  'if (length == 256)' 'if (length == 252)'

# ---- running them ------------------------------------------------------------------------
scratch=$root/build/mutate/$lane
tree=$scratch/tree
build=$tree/build/dev # the same layout as a developer build, so ccache serves the first build
log=$scratch/mutate.log
mkdir -p "$tree"

origin=$root
if [ -n "$rev" ]; then
  origin=$scratch/rev
  rm -rf "$origin" && mkdir -p "$origin"
  git archive "$rev" | tar -x -C "$origin"
fi

sync_tree() { # copies only files whose content differs, stamped now: ninja rebuilds those
  rsync -rlpD --checksum --delete --exclude /build --exclude /.git \
    "$origin/" "$tree/"
}

configure() {
  [ -f "$build/build.ninja" ] && return 0
  # ccache, where installed, serves the first build from a developer build's objects.
  local launcher=()
  command -v ccache >/dev/null &&
    launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  if [ "$lane" = win64 ]; then
    cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
      -DCMAKE_TOOLCHAIN_FILE="$tree/cmake/mingw-w64-x86_64.cmake" \
      -DQV_SYS_WIN64_DEPS="$(bash scripts/install-deps.sh win64-prefix)" >/dev/null
  else
    cmake -S "$tree" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
  fi
}

# The CTest names of a test program's tests begin with its suite names.
suites_of() { # program...
  local p
  for p in "$@"; do
    grep -ohE '^(TEST|TEST_F|TEST_P|TYPED_TEST|QV_CHECK_SCENARIO|QV_CHECK_SCENARIO_TEXTS)\(\s*[A-Za-z0-9_]+' \
      "$tree/tests/$p.cpp" |
      sed -E 's/.*\(\s*//'
  done | sort -u | paste -sd'|'
}

run_tests() { # program... ; returns non-zero when any test fails
  local regex
  # A parameterised suite's tests carry its instantiation's name in front: Prefix/Suite.Test/0.
  regex="^([A-Za-z0-9_]+/)?($(suites_of "$@"))[./]"
  # Profiler tests listen on a fixed port: a private network namespace keeps runs apart.
  unshare -n sh -c "ip link set lo up && cd '$build' && ctest -j2 --timeout 120 -R '$regex'" \
    >>"$log" 2>&1
}

if [ "$lane" = win64 ]; then
  export WINEPREFIX=$scratch/wineprefix WINEDEBUG=-all
  if [ ! -d "$WINEPREFIX" ]; then
    WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i </dev/null >/dev/null 2>&1 || true
    wineserver -w
  fi
  wineserver -p </dev/null >/dev/null 2>&1
  # A first program started now, not by test discovery in the build, which would time out on a
  # Wine that is still setting itself up.
  wine cmd /c exit </dev/null >/dev/null 2>&1 || true
fi

selected=()
for i in "${!names[@]}"; do
  if [ ${#only[@]} -gt 0 ]; then
    keep=0
    for n in "${only[@]}"; do [ "$n" = "${names[$i]}" ] && keep=1; done
    [ $keep = 1 ] || continue
  fi
  case ${files[$i]} in
    src/platform/win32/*) [ "$lane" = win64 ] || { echo "skip ${names[$i]}: --win64 lane"; continue; } ;;
    *) [ "$lane" = linux ] || continue ;;
  esac
  selected+=("$i")
done
[ ${#selected[@]} -gt 0 ] || { echo "no fault selected"; exit 2; }

: >"$log"
sync_tree
configure || { echo "configure failed"; exit 1; }
all_programs=$(for i in "${selected[@]}"; do echo ${programs[$i]}; done | tr ' ' '\n' | sort -u)
# shellcheck disable=SC2086
cmake --build "$build" -j2 --target $all_programs >>"$log" 2>&1 || { echo "build failed"; exit 1; }
echo "baseline: the unchanged tree must pass" | tee -a "$log"
# shellcheck disable=SC2086
run_tests $all_programs || { echo "baseline FAILED: see $log"; exit 1; }

killed=0 survived=0 stale=0 broken=0
survivors=()
for i in "${selected[@]}"; do
  name=${names[$i]} file=${files[$i]}
  echo "=== $name ($file)" >>"$log"
  if ! OLD=${olds[$i]} NEW=${news[$i]} python3 - "$tree/$file" <<'EOF'; then
import os, sys
path = sys.argv[1]
text = open(path, encoding="utf-8").read()
old, new = os.environ["OLD"], os.environ["NEW"]
if old not in text:
    sys.exit(1)
open(path, "w", encoding="utf-8").write(text.replace(old, new, 1))
EOF
    printf '%-34s stale (text not found in %s)\n' "$name" "$file"
    stale=$((stale + 1))
    continue
  fi
  # shellcheck disable=SC2086
  if ! cmake --build "$build" -j2 --target ${programs[$i]} >>"$log" 2>&1; then
    result="does not build"
    broken=$((broken + 1))
  elif run_tests ${programs[$i]}; then
    result=SURVIVED
    survived=$((survived + 1))
    survivors+=("$name")
  else
    result=killed
    killed=$((killed + 1))
  fi
  cp "$origin/$file" "$tree/$file" # a fresh time stamp: the next build recompiles it
  printf '%-34s %s\n' "$name" "$result"
done

counted=$((killed + survived))
echo "---"
echo "lane $lane: $killed killed, $survived survived, $stale stale, $broken not building"
[ $counted -gt 0 ] && echo "kill rate: $((killed * 100 / counted))% ($killed of $counted)"
[ ${#survivors[@]} -eq 0 ] || echo "survivors: ${survivors[*]}"
[ "$lane" = win64 ] && wineserver -k 2>/dev/null
exit 0
}
