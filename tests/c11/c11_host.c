/* A plain C11 host: every public header compiles as C (the build includes each one through
 * the generated all_headers.h), and the calls link and run against the library. */
#include "all_headers.h"

#include <stdio.h>
#include <string.h>

_Static_assert(sizeof(sys_bool) == 1, "sys_bool is one byte");
_Static_assert(sizeof(sys_u64) == 8 && sizeof(sys_i64) == 8, "64-bit integers");
_Static_assert(sizeof(sys_u32) == 4 && sizeof(sys_i32) == 4, "32-bit integers");
_Static_assert(sizeof(sys_u16) == 2 && sizeof(sys_u8) == 1, "small integers");
_Static_assert(sizeof(sys_f32) == 4 && sizeof(sys_f64) == 8, "IEEE-754 floats");

static int checked_twice(int x) {
    if (!SYS_CHECK(x >= 0))
        return -1;
    return 2 * x;
}

int main(void) {
    char* p = (char*)sys_malloc(16);
    if (!p)
        return 1;
    strcpy(p, "from C");
    p = (char*)sys_realloc(p, 32);
    if (!p || strcmp(p, "from C") != 0)
        return 2;
    sys_memgarble(p, 32);
    sys_free(p);
    if (checked_twice(21) != 42)
        return 3;
    /* A log line without arguments is standard C (this file builds with -pedantic -Werror). */
    SYS_LOG("C11", "no arguments\n");
    if (sys_version_get() != QV_SYS_VERSION)
        return 4;
    printf("c11 host: ok\n");
    return 0;
}
