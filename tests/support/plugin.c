/* A test plugin, built several times: with and without its entry points, and under each
 * build suffix, reporting which build it is. */
#include "plugin_probe.h"

#include <string.h>

#if defined(_WIN32)
#define PLUGIN_API __declspec(dllexport)
#else
#define PLUGIN_API __attribute__((visibility("default")))
#endif

static plugin_probe* s_probe;

PLUGIN_API const char* plugin_build(void) {
    return QV_PLUGIN_BUILD;
}

#if QV_PLUGIN_ENTRY_POINTS
PLUGIN_API void shared_init(shared_init_params params) {
    memcpy(&s_probe, params.data, sizeof s_probe);
    s_probe->init_calls += 1;
    s_probe->seen = params;
}

PLUGIN_API void shared_fini(void) {
    s_probe->fini_calls += 1;
}
#endif
