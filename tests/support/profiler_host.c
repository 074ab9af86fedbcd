/* A host program for the real-client test: it starts the profiler, runs nested scopes on two
 * system threads and stops when its standard input closes. Public interface only, in C.
 * (Library threads run inside their "thread_entry" scope, so their frames would arrive as one
 * tree when they end.) */
#include "qv_sys/qv_sys.h"

#include <pthread.h>
#include <stdio.h>

static thread_atomic* g_stop;

static void* host_thread(void* argument) {
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
    return NULL;
}

int main(void) {
    sys_u64 code = scope_static_init();
    printf("ready %llu\n", (unsigned long long)code);
    fflush(stdout);
    if (code != 0)
        return 1;
    g_stop = thread_atomic_create();
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, host_thread, NULL);
    pthread_create(&threads[1], NULL, host_thread, NULL);
    while (getchar() != EOF) {
    }
    thread_atomic_set(g_stop, 1);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], NULL);
    thread_atomic_destroy(g_stop);
    scope_static_destroy();
    printf("stopped\n");
    return 0;
}
