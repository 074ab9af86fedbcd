/* qv_sys demo host: the first program a new user runs. It links the library the way a game
 * does and walks through every family that has landed, printing what each call gave back.
 * Run it with --check to see a failed check end the process (exit code -1 / 255). */
#include "qv_sys/qv_sys.h"

#include <stdio.h>
#include <string.h>

static void demo_memory(void) {
    printf("== memory\n");
    char* block = (char*)sys_malloc(32);
    printf("sys_malloc(32)            -> %s\n", block ? "a block" : "null");
    printf("sys_malloc(0)             -> %s\n", sys_malloc(0) ? "a block" : "null");
    strcpy(block, "kept across resize");
    block = (char*)sys_realloc(block, 4096);
    printf("sys_realloc(block, 4096)  -> \"%s\"\n", block);
    sys_memgarble(block, 8);
    printf("sys_memgarble(block, 8)   ->");
    for (int i = 0; i < 8; ++i)
        printf(" %02x", (unsigned char)block[i]);
    printf("\n");
    sys_free(block);
}

static int checked_divide(int a, int b) {
    if (!SYS_CHECK(b != 0))
        return 0;
    return a / b;
}

static void demo_checks(int fail) {
    printf("== checks\n");
    printf("checked_divide(84, 2)     -> %d\n", checked_divide(84, 2));
    if (fail) {
        printf("checked_divide(1, 0)      -> ends the process now\n");
        fflush(stdout);
        checked_divide(1, 0);
        printf("still running: a debugger is attached and resumed the check\n");
    }
}

int main(int argc, char** argv) {
    int fail = argc > 1 && strcmp(argv[1], "--check") == 0;
    printf("qv_sys demo host\n");
    demo_memory();
    demo_checks(fail);
    printf("done\n");
    return 0;
}
