/* qv_sys core types and the export convention.
 *
 * Every public header includes this one. It fixes the widths of the scalar types used in
 * every exported signature and the macros that mark a declaration as part of the library's
 * flat C interface. It compiles as C11 and as C++20. */
#ifndef QV_SYS_TYPES_H
#define QV_SYS_TYPES_H

#include <stddef.h>
#include <stdint.h>

/* A one-byte truth value: true is exactly 1, false is 0. Where the library tests a sys_bool
 * it compares with 1, so any other non-zero value counts as false there. It is deliberately
 * not C's _Bool / C++'s bool, which could not hold such a value. */
typedef uint8_t sys_bool;

typedef uint8_t sys_u8;
typedef uint16_t sys_u16;
typedef uint32_t sys_u32;
/* Sizes, lengths and counts across the library. */
typedef uint64_t sys_u64;
typedef int32_t sys_i32;
typedef int64_t sys_i64;
typedef float sys_f32;
typedef double sys_f64;

#define SYS_TRUE  ((sys_bool)1)
#define SYS_FALSE ((sys_bool)0)

/* QV_SYS_API marks an exported function. Inside the library (QV_SYS_BUILD) it exports; in a
 * host on Windows it imports from qv_sys.dll; elsewhere it only restores default visibility,
 * since the library is built with every other symbol hidden. */
#if defined(_WIN32)
#if defined(QV_SYS_BUILD)
#define QV_SYS_API __declspec(dllexport)
#else
#define QV_SYS_API __declspec(dllimport)
#endif
#else
#define QV_SYS_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
#define QV_SYS_BEGIN_C extern "C" {
#define QV_SYS_END_C   }
#else
#define QV_SYS_BEGIN_C
#define QV_SYS_END_C
#endif

/* printf-style argument checking is left off on purpose: the library's formatter has its own
 * grammar (durations, custom objects, percent mode) that the compiler's checker rejects. */

#endif /* QV_SYS_TYPES_H */
