// Stand-ins for the text family's conversions until it lands beside the formatter.
#pragma once

#include "qv_sys/types.h"

extern "C" {
sys_u64 sys_f64toa(sys_f64 value, char* out, sys_u64 decimals);
sys_u64 sys_utf32_to_utf8(const sys_u32* source, char* out, sys_u64 capacity);
}
