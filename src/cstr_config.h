// Whether the byte-string routines use wide loads (cstr_simd.h) or plain byte loops.
//
// Wide loads read whole aligned blocks, so they may touch bytes past a text's NUL (never
// outside its page). Sanitizers would report those reads, so sanitizer builds use the byte
// loops, which read exactly the bytes each routine documents; the wide paths are proven by
// the plain build's tests (including texts that end right before an unmapped page).
#pragma once

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QV_CSTR_WIDE_LOADS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) ||                         \
    __has_feature(memory_sanitizer)
#define QV_CSTR_WIDE_LOADS 0
#endif
#endif

#if !defined(QV_CSTR_WIDE_LOADS)
#if defined(__x86_64__) || defined(_M_X64)
#define QV_CSTR_WIDE_LOADS 1
#else
#define QV_CSTR_WIDE_LOADS 0
#endif
#endif
