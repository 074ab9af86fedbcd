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

static void demo_clock(void) {
    printf("== clocks\n");
    sys_u64 tick = chrono_now();
    printf("chrono_now()                                     -> %llu\n", (unsigned long long)tick);
    printf("chrono_add_microseconds(0, 1000000)              -> %llu ticks a second\n",
           (unsigned long long)chrono_add_microseconds(0, 1000000));
    printf("chrono_now_microsecond_diff_global_start_time()  -> %lld us since load\n",
           (long long)chrono_now_microsecond_diff_global_start_time());
    printf("chrono_now_microsecond_diff_and_update(&tick)    -> %lld us\n",
           (long long)chrono_now_microsecond_diff_and_update(&tick));
    sys_time_init_start_time();
    char text[64];
    sys_u64 n = sys_time_tostring(text, sizeof text, "%Y-%m-%d %H:%M:%S", sys_time_at_start());
    printf("sys_time_tostring(start, \"%%Y-%%m-%%d %%H:%%M:%%S\") -> \"%s\" (%llu)\n", text,
           (unsigned long long)n);
    printf("sys_time_tostring(start, \"%%Y-%%m\") in 7 bytes  -> %llu (does not fit)\n",
           (unsigned long long)sys_time_tostring(text, 7, "%Y-%m", sys_time_at_start()));
}

static void demo_hash(void) {
    printf("== hash\n");
    const char* text = "QV_SYS";
    printf("qv_hash(\"%s\")             -> 0x%016llx\n", text,
           (unsigned long long)qv_hash(text, strlen(text)));
    printf("qv_hash_s(\"%s\", seed 1)   -> 0x%016llx\n", text,
           (unsigned long long)qv_hash_s(text, strlen(text), 1));
    qv_hash_state state;
    qv_hash_init(&state, 0);
    qv_hash_increment(&state, "QV_", 3);
    qv_hash_increment(&state, "SYS", 3);
    printf("streamed \"QV_\" + \"SYS\"       -> 0x%016llx\n",
           (unsigned long long)qv_hash_finalize(&state));
}

static void demo_thread(void) {
    printf("== threads\n");
    thread_atomic* counter = thread_atomic_create();
    printf("thread_atomic_decrement(0)          -> 0x%08x\n", thread_atomic_decrement(counter));
    printf("thread_atomic_add(+3)               -> %u\n", thread_atomic_add(counter, 3));
    sys_u32 before = thread_atomic_compare_and_swap(counter, 5, 2);
    printf("thread_atomic_compare_and_swap(5, 2) -> %u (now holds %u)\n", before,
           thread_atomic_get(counter));
    thread_atomic_destroy(counter);

    thread_mutex* mutex = thread_mutex_create();
    thread_mutex_lock(mutex);
    printf("thread_mutex_try_lock while held    -> %u (recursive)\n", thread_mutex_try_lock(mutex));
    thread_mutex_unlock(mutex);
    thread_mutex_unlock(mutex);
    thread_mutex_destroy(mutex);

    thread_barrier* barrier = thread_barrier_create(1);
    thread_barrier_wait(barrier);
    printf("thread_barrier_wait on a barrier of 1 -> returned at once\n");
    thread_barrier_destroy(barrier);

    thread_tls* tls = thread_tls_create();
    int value = 42;
    printf("thread_tls_get before set           -> %s\n",
           thread_tls_get(tls) ? "a pointer" : "null");
    thread_tls_set(tls, &value);
    printf("thread_tls_get after set            -> %d\n", *(int*)thread_tls_get(tls));
    thread_tls_destroy(tls);
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
    demo_clock();
    demo_hash();
    demo_thread();
    demo_checks(fail);
    printf("done\n");
    return 0;
}
