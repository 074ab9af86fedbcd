// Windows: the C runtime's 64-bit time functions.
#include "platform/os.h"

#include <time.h>

sys_i64 os_time_now() {
    return (sys_i64)_time64(nullptr);
}

// _localtime64 fills storage shared by the process; the caller holds the conversion lock
// until the copy is taken.
bool os_time_local(sys_i64 t, struct tm* out) {
    const __time64_t value = (__time64_t)t;
    const struct tm* local = _localtime64(&value);
    if (local == nullptr)
        return false;
    *out = *local;
    return true;
}
