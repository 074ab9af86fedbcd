// The byte-string kernels of cstr_simd.h compiled for AVX2. cstr.cpp calls these only after
// it has seen AVX2 on the processor (and the operating system saving its registers).
//
// The instruction set is switched on for this file alone by a pragma placed before any
// include, and the file includes nothing but the intrinsics, the core types, the vector type
// and the kernels (all of which have internal linkage here), so no inline function compiled with
// AVX2 can be shared with the rest of the library.
#include "cstr_config.h"

#if QV_CSTR_WIDE_LOADS

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "cstr_avx2.h"
#include "cstr_simd.h"

sys_u64 cstr_avx2_strlen(const char* text) {
    return kernel_strlen<Avx2>(text);
}

const char* cstr_avx2_strchr(const char* text, char c) {
    return kernel_strchr<Avx2>(text, c);
}

sys_i64 cstr_avx2_strcmp(const char* a, const char* b) {
    return kernel_strcmp<Avx2>(a, b);
}

sys_i64 cstr_avx2_strncmp(const char* a, const char* b, sys_u64 n) {
    return kernel_strncmp<Avx2>(a, b, n);
}

const char* cstr_avx2_strstr(const char* text, const char* pattern) {
    return kernel_strstr<Avx2>(text, pattern);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#endif // QV_CSTR_WIDE_LOADS
