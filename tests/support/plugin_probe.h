// What the test plugins report back to the test that loaded them. The test passes a pointer
// to its probe in the first 8 bytes of the start-up parameters.
#pragma once

#include "qv_sys/shared.h"

typedef struct plugin_probe {
    sys_u64 init_calls;
    sys_u64 fini_calls;
    shared_init_params seen; // the parameters shared_init received
} plugin_probe;
