/* qv_sys demo host: the first program a new user runs. It links the library the way a game
 * does and walks through every family that has landed, printing what each call gave back.
 * Run it with --check to see a failed check end the process (exit code -1 / 255), and with
 * --crash to see the crash handler write a dump (its path printed first) and a report. */
#include "qv_sys/qv_sys.h"

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
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

static void demo_text(void) {
    printf("== text\n");
    char buf[64];
    sys_u64 n = sys_strncpy(buf, "abcdefg", 5);
    printf("sys_strncpy(buf, \"abcdefg\", 5)  -> \"%s\" (%llu, cut to fit)\n", buf,
           (unsigned long long)n);
    strcpy(buf, "aXbXc");
    n = sys_strreplace_str(buf, "X", "YY");
    printf("sys_strreplace_str(\"aXbXc\")     -> \"%s\" (%llu)\n", buf, (unsigned long long)n);
    const char* path = "saves/slot1.sav";
    printf("sys_strrchr(path, '/')           -> \"%s\"\n", sys_strrchr(path, '/'));
    printf("sys_strend(path, \".sav\")        -> \"%s\"\n", sys_strend(path, ".sav"));

    n = sys_itoa(INT64_MIN, buf, 10);
    printf("sys_itoa(INT64_MIN, 10)          -> \"%s\" (%llu with the NUL)\n", buf,
           (unsigned long long)n);
    n = sys_utoa(255, buf, 16);
    printf("sys_utoa(255, 16)                -> \"%s\" (%llu)\n", buf, (unsigned long long)n);
    n = sys_f64toa(2.675, buf, 2);
    printf("sys_f64toa(2.675, 2)             -> \"%s\" (%llu, truncated)\n", buf,
           (unsigned long long)n);
    sys_bool ok = 0;
    sys_f64 d = sys_atof64("-2e3 apples", &ok);
    printf("sys_atof64(\"-2e3 apples\")       -> %g (ok %u)\n", d, (unsigned)ok);
    sys_u64 u = sys_atou("   42xyz", 10, &ok);
    printf("sys_atou(\"   42xyz\", 10)        -> %llu (ok %u)\n", (unsigned long long)u,
           (unsigned)ok);

    sys_u32 cps[16];
    n = sys_utf8_to_utf32("Stra\xc3\x9f"
                          "e \xc3\xa9t\xc3\xa9 \xe2\x82\xac",
                          cps, 16);
    printf("sys_utf8_to_utf32(\"Stra\xc3\x9f"
           "e \xc3\xa9t\xc3\xa9 \xe2\x82\xac\") -> %llu code points\n",
           (unsigned long long)n);
    sys_utf32_to_upper(cps);
    n = sys_utf32_to_utf8(cps, buf, sizeof buf);
    printf(
        "sys_utf32_to_upper, back to UTF-8 -> \"%s\" (%llu bytes; \xc3\x9f has no capital here)\n",
        buf, (unsigned long long)n);
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

typedef struct demo_vec3 {
    float x, y, z;
} demo_vec3;

/* A printer for %Ovec3: the engine pads it to the width like any other text. */
static sys_u64 print_vec3(sys_print_object_context* context) {
    const demo_vec3* v = (const demo_vec3*)context->object;
    return sys_snprintf(context->output, context->capacity, "(%.2f, %.2f, %.2f)", v->x, v->y,
                        v->z) +
           1;
}

static void demo_format(void) {
    printf("== formatting and logging\n");
    char text[128];
    sys_snprintf(text, sizeof text, "[%5i|%-5i|%05i|%+i|%x|%o]", -7, -7, -7, 5, 255u, 8u);
    printf("sys_snprintf integers     -> %s\n", text);
    sys_snprintf(text, sizeof text, "[%.1f|%.%f|%.3s|%w|%W|%T]", 2.25, 0.25, "abcdef", "MiXeD",
                 "MiXeD", (sys_i64)3723000001);
    printf("sys_snprintf the rest     -> %s\n", text);
    sys_snprintf(text, sizeof text, "%2$s before %1$s", "first", "second");
    printf("sys_snprintf positions    -> %s\n", text);
    sys_u64 n = sys_snprintf(text, 5, "%s!", "abcdef");
    printf("sys_snprintf cut at 5     -> %llu bytes \"%.5s\" (no terminator)\n",
           (unsigned long long)n, text);

    const char* names[] = {"vec3"};
    const sys_print_object_printer printers[] = {print_vec3};
    sys_register_print_custom_object(names, printers, 1);
    demo_vec3 up = {0.0f, 1.0f, 0.5f};
    sys_snprintf(text, sizeof text, "[%24Ovec3]", &up);
    printf("%%24Ovec3                  -> %s\n", text);

    /* From here on lines go through the print callbacks; stdout is one of them. */
    sys_printf_add_callback(sys_printf_callback_stdout, NULL);
    sys_printf_add_callback(sys_printf_callback_vs, NULL);
    SYS_LOG("DEMO", "a log line of type %s\n", "DEMO");
    SYS_LOG("RENDER", "%u draw calls, camera at %Ovec3\n", 412u, &up);
    sys_printf_enable_logtype("RENDER", 0);
    SYS_LOG("RENDER", "this line is filtered out\n");
    SYS_LOG("DEMO", "RENDER is disabled: its line above was not printed\n");
    sys_printf_enable_logtype("RENDER", 1);
    sys_perrorf("sys_perrorf goes to stderr\n");
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

/* ---- threads started by the library (their log lines go to the registered callbacks) ---- */
static sys_u32 demo_worker(void* argument) {
    sys_u32 n = (sys_u32)(uintptr_t)argument;
    sys_u32 sum = 0;
    scope_begin("demo_work"); /* no profiler running: costs one load and a branch */
    for (sys_u32 i = 1; i <= n; ++i)
        sum += i;
    scope_end();
    threadlocal_sleep(10);
    return sum;
}

static void demo_thread_start(void) {
    printf("== threads started by the library\n");
    printf("thread_util_hardware_concurrency()  -> %u\n", thread_util_hardware_concurrency());
    static const char* const names[] = {"demo_loader", "demo_mixer", "demo_pinned"};
    void* threads[3];
    for (int i = 0; i < 3; ++i) {
        /* The last one is pinned to processor 0; -1 leaves the others alone. */
        sys_i64 processor = i == 2 ? 0 : -1;
        threads[i] = thread_thread_create(demo_worker, (void*)(uintptr_t)(10 * (i + 1)), names[i],
                                          processor);
    }
    for (int i = 0; i < 3; ++i)
        printf("thread %-12s exit code %u\n", names[i], thread_thread_join(threads[i]));
}

static void demo_json(void) {
    printf("== json\n");
    const char* text = "{\"name\":\"vesk\",\"scores\":[3,14,15],\"alive\":true}";
    json_token tokens[16];
    sys_u64 count = 0;
    sys_u32 result = json_tokenize(text, strlen(text), tokens, 16, &count);
    printf("json_tokenize(%s)\n", text);
    printf("                          -> result %u, %u tokens\n", (unsigned)result,
           (unsigned)count);
    static const char* const type_names[] = {"object", "array", "string", "key",
                                             "number", "true",  "false",  "null"};
    for (sys_u64 i = 0; i < count; ++i)
        printf("    %-7s depth %u  \"%.*s\"\n", type_names[tokens[i]._type],
               (unsigned)tokens[i]._depth, (int)tokens[i]._length, text + tokens[i]._start);
    json_token* scores = json_token_get("scores", tokens, count, text);
    json_token* second = json_token_get_array_index(1, scores, count - (sys_u64)(scores - tokens));
    printf("scores[1]                 -> %.*s\n", (int)second->_length, text + second->_start);
    printf("json_tokenize(\"[1,2\")     -> result %u (invalid)\n",
           (unsigned)json_tokenize("[1,2", 4, tokens, 16, &count));
}

static void demo_compress(void) {
    printf("== compress\n");
    char source[1024];
    for (int i = 0; i < 1024; ++i)
        source[i] = "abcabcabd"[i % 9];
    char packed[1100], unpacked[1024];
    for (sys_u32 mode = COMPRESSION_NONE; mode <= COMPRESSION_LZ4HC; ++mode) {
        sys_u64 n = compress(packed, sizeof packed, source, sizeof source, mode);
        sys_u64 back = decompress(unpacked, sizeof unpacked, packed, n, mode);
        printf("mode %u: 1024 bytes -> %4u bytes -> %u bytes, %s\n", (unsigned)mode, (unsigned)n,
               (unsigned)back, memcmp(source, unpacked, 1024) == 0 ? "same" : "DIFFERENT");
    }
    printf("decompress into 100 bytes -> %u (too small)\n",
           (unsigned)decompress(unpacked, 100, packed,
                                compress(packed, sizeof packed, source, 1024, COMPRESSION_LZ4),
                                COMPRESSION_LZ4));
}

static void demo_crypto(void) {
    printf("== crypto\n");
    crypto_init();
    crypto_keypair* alice = crypto_keypair_create();
    crypto_keypair* bob = crypto_keypair_create();
    sys_u8 nonce[CRYPTO_NONCE_SIZE];
    crypto_get_rand(nonce, sizeof nonce);
    char buffer[64] = "a message for bob";
    sys_u64 length = strlen(buffer);
    sys_u64 sealed = crypto_keypair_encrypt(alice, buffer, length, sizeof buffer,
                                            crypto_keypair_get_public_key(bob), nonce);
    printf("crypto_keypair_encrypt    -> %u bytes (message %u + tag 16)\n", (unsigned)sealed,
           (unsigned)length);
    sys_u64 opened =
        crypto_keypair_decrypt(bob, buffer, sealed, crypto_keypair_get_public_key(alice), nonce);
    printf("crypto_keypair_decrypt    -> %u bytes: \"%.*s\"\n", (unsigned)opened, (int)opened,
           buffer);

    sys_u8 a_send[32], a_recv[32], b_send[32], b_recv[32];
    crypto_keypair_create_shared(alice, a_send, a_recv, crypto_keypair_get_public_key(bob), 0);
    crypto_keypair_create_shared(bob, b_send, b_recv, crypto_keypair_get_public_key(alice), 1);
    printf("key exchange              -> client send == server receive: %s\n",
           memcmp(a_send, b_recv, 32) == 0 ? "yes" : "no");

    sys_u8 salt[CRYPTO_SALT_SIZE] = {0}, hash[CRYPTO_PASSWORD_HASH_SIZE];
    crypto_password_hash(hash, "hunter2", 7, salt, 0);
    printf("crypto_password_hash      ->");
    for (int i = 0; i < 8; ++i)
        printf(" %02x", hash[i]);
    printf(" ...\n");
    crypto_keypair_destroy(alice);
    crypto_keypair_destroy(bob);
}

/* A few frames of the current stack: callstack_get's own frame first, then its callers. Kept
 * out of line so it shows as a frame of its own. */
__attribute__((noinline)) static void demo_callstack(void) {
    printf("== call stacks\n");
    static callstack_entry frames[6];
    sys_u64 n = callstack_get(frames, 6, NULL);
    printf("callstack_get(frames, 6, NULL) -> %llu frames\n", (unsigned long long)n);
    for (sys_u64 i = 0; i < n; ++i) {
        printf("    %llu: %s\n", (unsigned long long)i, frames[i].function);
        if (frames[i].file[0])
            printf("       %s:%u:%u\n", frames[i].file, (unsigned)frames[i].line,
                   (unsigned)frames[i].displacement);
    }
    printf("callstack_get(frames, 0, NULL) -> %llu\n",
           (unsigned long long)callstack_get(frames, 0, NULL));
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

static void demo_machine(void) {
    static const char* const features[] = {"SSE4.2", "AVX", "AVX2", "POPCNT"};
    printf("== machine facts\n");
    printf("cpu_supports              ->");
    for (sys_u32 i = 0; i < 4; ++i)
        printf(" %s:%s", features[i], cpu_supports(i) ? "yes" : "no");
    printf("\n");
    static const char* const power[] = {"unknown", "mains", "battery", "?", "?", "battery saver"};
    const sys_i32 type = power_get_current_power_type();
    printf("power_get_current_power_type -> %d (%s), battery %u%%, conserve %u\n", type,
           power[type], power_get_remaining_battery_percentage(), power_conserve());
    printf("sys_is_debugger_present   -> %u\n", sys_is_debugger_present());
}

static void demo_guarded(void) {
    printf("== guarded memory\n");
    char* block = (char*)sys_mem_access_malloc(100);
    strcpy(block, "between two inaccessible pages");
    printf("sys_mem_access_malloc(100) -> \"%s\"\n", block);
    sys_mem_access_set(block, SYS_MEM_ACCESS_READ_ONLY, 100);
    printf("sys_mem_access_set(READ_ONLY) -> reads still work: '%c'\n", block[0]);
    sys_mem_access_set(block, SYS_MEM_ACCESS_READ_WRITE, 100);
    sys_mem_access_free(block);
}

/* Where things are, and a child process whose output is shown as it arrives. */
static void demo_child_output(void* user_data, const char* data, sys_u64 length,
                              sys_bool is_stdout) {
    (void)user_data;
    printf("    [%s] %.*s", is_stdout == 1 ? "out" : "err", (int)length, data);
    if (length == 0 || data[length - 1] != '\n')
        printf("\n");
}

static void demo_paths(int argc, char** argv) {
    printf("== paths and processes\n");
    sys_set_argc_argv((sys_u32)argc, argv);
    char path[1024];
    sys_u32 n = filesystem_get_exe_path(path, sizeof path);
    printf("filesystem_get_exe_path   -> %s (%u)\n", path, (unsigned)n);
    n = filesystem_get_exe_dir(path, sizeof path);
    printf("filesystem_get_exe_dir    -> %s (%u)\n", path, (unsigned)n);
    n = filesystem_get_home_path(path, sizeof path);
    printf("filesystem_get_home_path  -> %s (%u)\n", path, (unsigned)n);
    n = filesystem_get_temp_path(path, sizeof path);
    printf("filesystem_get_temp_path  -> %s (%u)\n", path, (unsigned)n);
    sys_time_init_start_time();
    filesystem_set_session("demo", "0001");
    n = filesystem_get_session_path(path, sizeof path);
    printf("filesystem_get_session_path -> %s (%u)\n", path, (unsigned)n);

    /* The demo runs itself as the child: a stand-in for a shader compiler or asset cooker. */
    char self[1024];
    filesystem_get_exe_path(self, sizeof self);
    const char* args[] = {self, "--child", "%QV_DEMO_UNSET% stays, spaces stay", NULL};
    sys_exec_input in;
    memset(&in, 0, sizeof in);
    in._args = args;
    in._stdout_callback = demo_child_output;
    in._stderr_callback = demo_child_output;
    printf("sys_exec(%s --child ...):\n", self);
    sys_u32 code = sys_exec(&in);
    printf("sys_exec                  -> exit code %u\n", (unsigned)code);
}

static void demo_plugin(void) {
    printf("== engine plugins\n");
    shared_init_params params = {{60}};
    shared_library* plugin = shared_shared_create("qv_demo_plugin", 1, params);
    if (!plugin) {
        printf("shared_shared_create(\"qv_demo_plugin\") -> null: %s\n",
               shared_shared_get_create_error());
        return;
    }
    typedef const char* (*build_fn)(void);
    typedef unsigned (*frames_fn)(void);
    build_fn build = (build_fn)shared_shared_load_function(plugin, "demo_plugin_build");
    frames_fn frames = (frames_fn)shared_shared_load_function(plugin, "demo_plugin_frames");
    printf("shared_shared_create(\"%s\") -> the %s (AVX2 here: %s), shared_init saw %u\n",
           shared_shared_get_name(plugin), build(), cpu_supports(CPU_FEATURE_AVX2) ? "yes" : "no",
           frames());
    shared_shared_destroy(plugin);
}

/* Files: the host's log goes to a file in the session folder through the log-file sink, the
 * session folder is listed, and a small folder is mirrored next to it. */
static void demo_files(void) {
    printf("== files\n");
    thread_mutex* mutex = thread_mutex_create();
    filesystem_file* log = filesystem_file_create("demo.log", FS_WRITE, FS_LOCATION_SESSION);
    if (!log) {
        printf("filesystem_file_create(demo.log) -> null\n");
        thread_mutex_destroy(mutex);
        return;
    }
    sys_printf_log_context context = {mutex, log};
    sys_printf_add_callback(sys_printf_callback_log, &context);
    sys_printf("%s\n", "this line goes to demo.log and is flushed before the call returns");
    sys_printf_remove_callback(sys_printf_callback_log);
    printf("demo.log holds %lld bytes\n", (long long)filesystem_file_size(log));
    filesystem_file_destroy(log);
    thread_mutex_destroy(mutex);

    char session[512];
    filesystem_get_session_path(session, sizeof session);
    char small[600];
    snprintf(small, sizeof small, "%smirror_src/a/b.txt", session);
    filesystem_file* f = filesystem_file_create(small, FS_WRITE, FS_LOCATION_NONE);
    if (f) {
        filesystem_file_write(f, "mirrored\n", 9);
        filesystem_file_destroy(f);
    }
    char entries[16][512];
    sys_u32 n = filesystem_list_directory_files(session, NULL, 1, NULL, entries, 16);
    printf("filesystem_list_directory_files(session, recursive) -> %u\n", (unsigned)n);
    for (sys_u32 i = 0; i < n && i < 16; ++i)
        printf("  %s\n", entries[i]);
    char src[600], dst[600];
    snprintf(src, sizeof src, "%smirror_src", session);
    snprintf(dst, sizeof dst, "%smirror_dst", session);
    sys_u32 code = filesystem_mirror_directory(dst, src, NULL);
    printf("filesystem_mirror_directory -> %u (1 copied, 2 extras deleted, 8 failed)\n",
           (unsigned)code);
    snprintf(dst, sizeof dst, "%smirror_dst/a/b.txt", session);
    printf("filesystem_get_attr(mirror_dst/a/b.txt) -> %u\n", (unsigned)filesystem_get_attr(dst));
}

/* Installs the crash handler, prints where the dump will go and writes through a null
 * pointer. The report lands on stderr (Linux) or in a message box (Windows). */
static void demo_crash(void) {
    sys_time_init_start_time();
    filesystem_set_session("demo", "0001");
    char path[512];
    filesystem_get_session_path(path, sizeof path);
    printf("crash dump: %s%s_crash.dmp\n", path, filesystem_get_session_uid());
    fflush(stdout);
    sys_printf_add_callback(sys_printf_callback_stdout, NULL);
    sys_setup_terminate();
    volatile int* target = NULL;
    __asm__ __volatile__("" : "+r"(target)); /* hidden from the optimiser: a real store */
    *target = 42;
}

/* ---- the profiler: a frame loop on three threads, streamed to a viewer over WebSocket ---- */
static thread_atomic* g_demo_stop;

static volatile sys_u32 g_demo_sink; /* keeps the busy loops below from being optimised away */

static void demo_frame_part(const char* name, sys_u32 spin) {
    scope_begin(name);
    for (sys_u32 i = 0; i < spin; ++i)
        g_demo_sink = g_demo_sink + i;
    scope_end();
}

/* Plain system threads, named for the viewer. (A library thread runs inside its
 * "thread_entry" scope from start to end: in the default mode its frames reach the viewer as
 * one tree when it ends, in streaming mode one tree each; see the "worker" thread below.) */
static void* demo_profiled_thread(void* argument) {
    sys_u32 frames = 0;
    const char* role = (const char*)argument;
    scope_set_thread_name(role);
    while (thread_atomic_get(g_demo_stop) == 0) {
        scope_begin(role); /* one tree per frame of this thread */
        demo_frame_part("input", 2000);
        scope_begin("update");
        demo_frame_part("physics", 20000);
        demo_frame_part("animation", 10000);
        scope_end();
        demo_frame_part("submit", 5000);
        scope_end();
        ++frames;
        threadlocal_sleep(16);
    }
    return (void*)(uintptr_t)frames;
}

/* Where the viewer page is, with the port when it is not the default one. The profiler reads
 * QV_SYS_PROFILER_PORT itself; an invalid value leaves it on 17815, as here. */
static void demo_print_viewer_page(void) {
    const char* text = getenv("QV_SYS_PROFILER_PORT");
    char* end = NULL;
    long port = text ? strtol(text, &end, 10) : 0;
    if (end && *end != '\0')
        port = 0;
    printf("    open file://%s", QV_SYS_VIEWER_PAGE);
    if (port > 0 && port <= 65535 && port != 17815)
        printf("?ws=ws://127.0.0.1:%ld", port);
    printf(" in a browser to see the frames\n");
}

static sys_u32 demo_profiled_worker(void* argument) {
    (void)argument;
    while (thread_atomic_get(g_demo_stop) == 0) {
        scope_begin("worker_job");
        demo_frame_part("decompress", 8000);
        demo_frame_part("upload", 3000);
        scope_end();
        threadlocal_sleep(16);
    }
    return 0;
}

static void demo_profiler(sys_u32 seconds) {
    printf("== profiler\n");
    /* QV_SYS_PROFILER_PORT, _BIND and _STREAM choose the port, the interface and the mode. */
    const char* port = getenv("QV_SYS_PROFILER_PORT");
    const char* stream = getenv("QV_SYS_PROFILER_STREAM");
    if (port == NULL)
        port = "17815";
    sys_u64 code = scope_static_init();
    printf("scope_static_init()                 -> %llu\n", (unsigned long long)code);
    if (code != 0) {
        printf("    (TCP port %s is taken or not available: the scopes below do nothing)\n", port);
    } else {
        printf("    a viewer can connect to ws://127.0.0.1:%s now (any WebSocket client;\n"
               "    %s mode). Frames run for %u s;\n"
               "    `qv_sys_demo --profile 60` keeps them running for a minute.\n",
               port, stream != NULL && strcmp(stream, "1") == 0 ? "streaming" : "default", seconds);
        demo_print_viewer_page();
    }
    fflush(stdout);
    g_demo_stop = thread_atomic_create();
    static const char* const roles[] = {"game_frame", "render_frame", "audio_frame"};
    pthread_t threads[3];
    for (int i = 0; i < 3; ++i)
        pthread_create(&threads[i], NULL, demo_profiled_thread, (void*)roles[i]);
    void* worker = thread_thread_create(demo_profiled_worker, NULL, "worker", -1);
    threadlocal_sleep(seconds * 1000);
    thread_atomic_set(g_demo_stop, 1);
    if (worker != NULL)
        thread_thread_join(worker);
    for (int i = 0; i < 3; ++i) {
        void* frames = NULL;
        pthread_join(threads[i], &frames);
        printf("thread %-12s ran %u frames\n", roles[i], (unsigned)(uintptr_t)frames);
    }
    thread_atomic_destroy(g_demo_stop);
    if (code == 0) {
        scope_static_destroy();
        printf("scope_static_destroy()              -> profiler stopped\n");
    }
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--crash") == 0)
        demo_crash();
    int fail = argc > 1 && strcmp(argv[1], "--check") == 0;
    if (argc > 2 && strcmp(argv[1], "--child") == 0) {
        printf("cooking assets for \"%s\"\n", argv[2]);
        fflush(stdout);
        fprintf(stderr, "1 warning: texture too large\n");
        return 3;
    }
    if (argc > 2 && strcmp(argv[1], "--profile") == 0) {
        demo_profiler((sys_u32)atoi(argv[2]));
        return 0;
    }
    printf("qv_sys demo host\n");
    demo_memory();
    demo_format();
    demo_guarded();
    demo_machine();
    demo_plugin();
    demo_text();
    demo_clock();
    demo_hash();
    demo_thread();
    demo_thread_start();
    demo_json();
    demo_compress();
    demo_crypto();
    demo_callstack();
    demo_paths(argc, argv);
    demo_files();
    demo_profiler(2);
    demo_checks(fail);
    printf("done\n");
    return 0;
}
