// The profiler's settings: the documented defaults, what a host chose at start, and the
// environment variables that let a developer override both without rebuilding. Also its
// allocation functions and its assertion.
#include "profiler/profiler_internal.h"
#include "platform/os.h"
#include "qv_sys/io.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Constant data: filled by the compiler, so there is no first-use race to guard.
const ProfilerSettings g_settings = {
    17815,  // port
    10,     // update_interval_ms
    131072, // queue_bytes
    10,     // messages_per_pass
    0,      // bind_loopback
    0,      // streaming
    0,      // pass_budget_ms
    0,      // max_samples_per_thread
};

// Streaming mode sends trees as fast as the viewer takes them, so a pass is bounded by time
// rather than by count; the queue holds a second of trees from a busy game (26,000 of them);
// and a thread's samples are capped (about 14 MiB) so that a thread whose outermost scope never
// closes, or a viewer that cannot keep up, costs bounded memory: scopes past the cap are left
// out and counted as dropped.
constexpr prf_u32 kStreamQueueBytes = 1u << 20;
constexpr prf_u32 kStreamPassBudgetMs = 20;
constexpr prf_u32 kStreamMaxSamplesPerThread = 1u << 17;

// A whole decimal number from 1 to 65535, nothing else (no sign, no spaces).
bool parse_port(const char* text, prf_u16* port) {
    prf_u32 value = 0;
    if (*text == '\0')
        return false;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9' || p - text >= 5)
            return false;
        value = value * 10 + (prf_u32)(*p - '0');
    }
    if (value < 1 || value > 65535)
        return false;
    *port = (prf_u16)value;
    return true;
}

void apply_environment(ProfilerSettings* out) {
    if (const char* port = getenv("QV_SYS_PROFILER_PORT")) {
        if (!parse_port(port, &out->port))
            SYS_LOG("QV_SYS",
                    "Profiler: QV_SYS_PROFILER_PORT=\"%s\" refused (not a port from 1 to "
                    "65535); using port %u\n",
                    port, (sys_u32)out->port);
    }
    if (const char* bind = getenv("QV_SYS_PROFILER_BIND")) {
        if (strcmp(bind, "loopback") == 0)
            out->bind_loopback = 1;
        else if (strcmp(bind, "any") == 0)
            out->bind_loopback = 0;
        else
            SYS_LOG("QV_SYS",
                    "Profiler: QV_SYS_PROFILER_BIND=\"%s\" refused (loopback or any); "
                    "listening on %s\n",
                    bind, out->bind_loopback ? "127.0.0.1 only" : "every interface");
    }
    if (const char* stream = getenv("QV_SYS_PROFILER_STREAM")) {
        if (strcmp(stream, "1") == 0)
            out->streaming = 1;
        else if (strcmp(stream, "0") == 0)
            out->streaming = 0;
        else
            SYS_LOG("QV_SYS", "Profiler: QV_SYS_PROFILER_STREAM=\"%s\" refused (1 or 0); %s\n",
                    stream, out->streaming ? "streaming mode" : "default mode");
    }
}

} // namespace

const ProfilerSettings* prf_settings() {
    return &g_settings;
}

void ProfilerSettings_Resolve(const scope_settings* host, ProfilerSettings* out) {
    *out = g_settings;
    if (host != NULL) {
        // Fields past the size the host was built with read as 0, the defaults.
        scope_settings given;
        memset(&given, 0, sizeof(given));
        size_t size = host->size < sizeof(given) ? host->size : sizeof(given);
        memcpy(&given, host, size);
        if (size >= offsetof(scope_settings, port) + sizeof(given.port) && given.port != 0)
            out->port = given.port;
        out->bind_loopback = (given.flags & SCOPE_SETTINGS_BIND_LOOPBACK) != 0;
        out->streaming = (given.flags & SCOPE_SETTINGS_STREAM) != 0;
    }
    apply_environment(out);
    if (out->streaming) {
        out->queue_bytes = kStreamQueueBytes;
        out->messages_per_pass = 0xFFFFFFFFu;
        out->pass_budget_ms = kStreamPassBudgetMs;
        out->max_samples_per_thread = kStreamMaxSamplesPerThread;
    }
}

void* prf_malloc(prf_u32 size) {
    return malloc(size);
}

void* prf_realloc(void* ptr, prf_u32 size) {
    return realloc(ptr, size);
}

void prf_free(void* ptr) {
    free(ptr);
}

void prf_assert_fail(const char* text, const char* file, unsigned line) {
    os_prf_assert_fail(text, file, line);
}
