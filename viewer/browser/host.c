/* The browser test's profiled program. It starts the profiler, keeps one "ticker" thread
 * making small frames all the time (so data keeps arriving while the page is paused), and on
 * the line "frames N" from standard input runs exactly N known frames on each of two more
 * threads (named frames<batch>_a and _b where the library names threads), then prints
 * "frames done". End of input stops it. Public interface only, in C.
 *
 * Each counted frame is  vt_frame { vt_update { vt_step x3 }  vt_render }, so N frames on two
 * threads give vt_frame 2N calls, vt_update 2N, vt_step 6N and vt_render 2N. */
#include "qv_sys/qv_sys.h"

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static thread_atomic* g_stop;
static volatile sys_u32 g_sink;

static void spin(sys_u32 n) {
    for (sys_u32 i = 0; i < n; ++i)
        g_sink = g_sink + i;
}

/* Thread names reach the viewer where the library has the call; the lane defines
 * VIEWER_HOST_THREAD_NAMES when its header declares it. */
static void name_thread(const char* name) {
#ifdef VIEWER_HOST_THREAD_NAMES
    scope_set_thread_name(name);
#else
    (void)name;
#endif
}

static void* ticker(void* argument) {
    (void)argument;
    name_thread("ticker");
    while (thread_atomic_get(g_stop) == 0) {
        scope_begin("vt_tick");
        scope_begin("vt_tick_work");
        spin(20000);
        scope_end();
        scope_end();
        /* Slow enough that the documented mode's ten messages per pass keep up with it. */
        threadlocal_sleep(50);
    }
    return NULL;
}

typedef struct batch {
    int frames;
    char name[32];
} batch;

static void* counted(void* argument) {
    const batch* job = (const batch*)argument;
    int frames = job->frames;
    name_thread(job->name);
    for (int f = 0; f < frames; ++f) {
        scope_begin("vt_frame");
        scope_begin("vt_update");
        for (int s = 0; s < 3; ++s) {
            scope_begin("vt_step");
            spin(100000);
            scope_end();
        }
        scope_end();
        scope_begin("vt_render");
        spin(300000);
        scope_end();
        scope_end();
        threadlocal_sleep(20);
    }
    return NULL;
}

int main(void) {
    sys_u64 code = scope_static_init();
#ifdef VIEWER_HOST_THREAD_NAMES
    printf("thread names\n");
#endif
    printf("ready %llu\n", (unsigned long long)code);
    fflush(stdout);
    if (code != 0)
        return 1;
    g_stop = thread_atomic_create();
    pthread_t tick;
    pthread_create(&tick, NULL, ticker, NULL);
    char line[64];
    int batches = 0;
    while (fgets(line, sizeof line, stdin)) {
        if (strncmp(line, "frames ", 7) == 0) {
            ++batches;
            pthread_t threads[2];
            batch jobs[2];
            for (int i = 0; i < 2; ++i) {
                jobs[i].frames = atoi(line + 7);
                snprintf(jobs[i].name, sizeof jobs[i].name, "frames%d_%c", batches, 'a' + i);
                pthread_create(&threads[i], NULL, counted, &jobs[i]);
            }
            for (int i = 0; i < 2; ++i)
                pthread_join(threads[i], NULL);
            printf("frames done\n");
            fflush(stdout);
        }
    }
    thread_atomic_set(g_stop, 1);
    pthread_join(tick, NULL);
    thread_atomic_destroy(g_stop);
    scope_static_destroy();
    printf("stopped\n");
    return 0;
}
