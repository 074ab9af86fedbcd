/* A host program for the real-client test: it starts the profiler, runs nested scopes on two
 * library threads and stops when its standard input closes. Public interface only, in C. */
#include "qv_sys/qv_sys.h"

#include <stdio.h>

static thread_atomic* g_stop;

static sys_u32 host_thread(void* argument) {
    (void)argument;
    while (thread_atomic_get(g_stop) == 0) {
        scope_begin("host_frame");
        scope_begin("host_update");
        scope_end();
        scope_begin("host_render");
        scope_end();
        scope_end();
        threadlocal_sleep(5);
    }
    return 0;
}

int main(void) {
    sys_u64 code = scope_static_init();
    printf("ready %llu\n", (unsigned long long)code);
    fflush(stdout);
    if (code != 0)
        return 1;
    g_stop = thread_atomic_create();
    void* threads[2];
    threads[0] = thread_thread_create(host_thread, NULL, "host_a", -1);
    threads[1] = thread_thread_create(host_thread, NULL, "host_b", -1);
    while (getchar() != EOF) {
    }
    thread_atomic_set(g_stop, 1);
    thread_thread_join(threads[0]);
    thread_thread_join(threads[1]);
    thread_atomic_destroy(g_stop);
    scope_static_destroy();
    printf("stopped\n");
    return 0;
}
