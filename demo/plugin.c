/* The demo's engine plugin, built twice: once for processors with AVX2 and once for any
 * 64-bit processor. The demo host loads whichever suits the machine. */
#include "qv_sys/shared.h"

#if defined(_WIN32)
#define PLUGIN_API __declspec(dllexport)
#else
#define PLUGIN_API __attribute__((visibility("default")))
#endif

static unsigned s_frames;

PLUGIN_API void shared_init(shared_init_params params) {
    s_frames = params.data[0];
}

PLUGIN_API void shared_fini(void) {
    s_frames = 0;
}

PLUGIN_API const char* demo_plugin_build(void) {
    return DEMO_PLUGIN_BUILD;
}

PLUGIN_API unsigned demo_plugin_frames(void) {
    return s_frames;
}
