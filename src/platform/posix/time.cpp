// Linux: time(), localtime_r and strftime.
#include "platform/os.h"

#include <time.h>

sys_i64 os_time_now() {
    return (sys_i64)time(nullptr);
}

bool os_time_local(sys_i64 t, struct tm* out) {
    const time_t value = (time_t)t;
    return localtime_r(&value, out) != nullptr;
}

sys_u64 os_time_format(char* buffer, sys_u64 size, const char* format, const struct tm* t) {
    return strftime(buffer, (size_t)size, format, t);
}
