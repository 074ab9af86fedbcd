// Instructions per scope_begin/scope_end pair, the load-independent measure of the pair's cost:
// run it under callgrind, which counts only between the start and stop requests below, and
// divide the calling thread's total by the pair count (the program prints the command's
// arithmetic). Outside valgrind the requests do nothing and the program just runs.
//
//   valgrind --tool=callgrind --separate-threads=yes --instr-atstart=no
//       --callgrind-out-file=/tmp/pairs.out build/dev/bin/scope_instructions [stream] [frame]
//   grep totals: /tmp/pairs.out.1-01   (pairs with an instance; .2-01: without one)
#include "qv_sys/scope.h"

#include "../tests/support/ws_client.h"

#include <stdio.h>
#include <string.h>
#include <valgrind/callgrind.h>

int main(int argc, char** argv) {
    bool stream = false, frame = false;
    for (int i = 1; i < argc; ++i) {
        stream |= strcmp(argv[i], "stream") == 0;
        frame |= strcmp(argv[i], "frame") == 0;
    }
    scope_settings settings = SCOPE_SETTINGS_INIT;
    settings.port = qv_test::pick_free_port();
    settings.flags = SCOPE_SETTINGS_BIND_LOOPBACK | (stream ? SCOPE_SETTINGS_STREAM : 0u);
    if (scope_static_init_with(&settings) != 0) {
        fprintf(stderr, "the profiler did not start\n");
        return 1;
    }
    // No viewer: the queue fills, as in a minute of play that nobody watches.
    for (int i = 0; i < 40000; ++i) {
        scope_begin("warm");
        scope_end();
    }

    const int pairs = 999999; // a multiple of 9 for the frame shape
    static const char* const names[8] = {"input", "physics", "animation", "ai",
                                         "audio", "culling", "submit",    "present"};
    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
    if (frame) {
        for (int i = 0; i < pairs / 9; ++i) {
            scope_begin("frame");
            for (const char* name : names) {
                scope_begin(name);
                scope_end();
            }
            scope_end();
        }
    } else {
        for (int i = 0; i < pairs; ++i) {
            scope_begin("bench");
            scope_end();
        }
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    CALLGRIND_DUMP_STATS_AT("with an instance");
    scope_static_destroy();

    CALLGRIND_ZERO_STATS;
    CALLGRIND_START_INSTRUMENTATION;
    for (int i = 0; i < pairs; ++i) {
        scope_begin("off");
        scope_end();
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    CALLGRIND_DUMP_STATS_AT("without an instance");
    printf("%d pairs (%s mode, %s): divide each dump's totals by %d\n", pairs,
           stream ? "streaming" : "default", frame ? "frames of 9" : "top level", pairs);
    return 0;
}
