/* A host program for the real-client test: it starts the profiler (port, interface and mode
 * from the QV_SYS_PROFILER_* environment variables), runs nested scopes on two system threads
 * and stops when its standard input closes. Public interface only, in C. With --streaming-host
 * its system threads name themselves and a library thread makes frames too (in the default
 * mode a library thread's frames would arrive as one tree when it ends). */
#include "qv_sys/qv_sys.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

static thread_atomic* g_stop;
static int g_name_threads;

static void frame(const char* root, const char* first, const char* second) {
    scope_begin(root);
    scope_begin(first);
    scope_end();
    scope_begin(second);
    scope_end();
    scope_end();
}

static void* host_thread(void* argument) {
    if (g_name_threads)
        scope_set_thread_name((const char*)argument);
    while (thread_atomic_get(g_stop) == 0) {
        frame("host_frame", "host_update", "host_render");
        threadlocal_sleep(5);
    }
    return NULL;
}

static sys_u32 worker(void* argument) {
    (void)argument;
    while (thread_atomic_get(g_stop) == 0) {
        frame("worker_frame", "worker_job", "worker_job");
        threadlocal_sleep(5);
    }
    return 0;
}

int main(int argc, char** argv) {
    g_name_threads = argc > 1 && strcmp(argv[1], "--streaming-host") == 0;
    sys_u64 code = scope_static_init();
    printf("ready %llu\n", (unsigned long long)code);
    fflush(stdout);
    if (code != 0)
        return 1;
    g_stop = thread_atomic_create();
    pthread_t threads[2];
    pthread_create(&threads[0], NULL, host_thread, (void*)"host_a");
    pthread_create(&threads[1], NULL, host_thread, (void*)"host_b");
    void* library_thread = g_name_threads ? thread_thread_create(worker, NULL, "worker", -1) : NULL;
    while (getchar() != EOF) {
    }
    thread_atomic_set(g_stop, 1);
    pthread_join(threads[0], NULL);
    pthread_join(threads[1], NULL);
    if (library_thread != NULL)
        thread_thread_join(library_thread);
    thread_atomic_destroy(g_stop);
    scope_static_destroy();
    printf("stopped\n");
    return 0;
}
