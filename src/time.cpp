// The wall clock: seconds since 1970, the recorded start of the run, and local-time text.
#include "qv_sys/time.h"

#include "qv_sys/assertion.h"
#include "qv_sys/thread.h"

#include "platform/os.h"

namespace {

sys_time s_start_time = 0;

// The Windows conversion to local time returns storage shared by the whole process, so every
// conversion runs under one lock. Nothing may be created at load, and two threads may ask
// for the first conversion at once: the function-local static is initialised exactly once,
// with any other thread waiting until it is.
thread_mutex* time_conversion_lock() {
    static thread_mutex* const lock = thread_mutex_create();
    return lock;
}

} // namespace

sys_time sys_time_now(void) {
    return os_time_now();
}

void sys_time_init_start_time(void) {
    s_start_time = sys_time_now();
}

sys_time sys_time_at_start(void) {
    SYS_CHECK_TEXT_MSG(s_start_time != 0, "s_start_time != nullptr", NULL);
    return s_start_time;
}

sys_u64 sys_time_tostring(char* buffer, sys_u64 size, const char* format, sys_time t) {
    thread_mutex* lock = time_conversion_lock();
    thread_mutex_lock(lock);
    struct tm local;
    sys_u64 written = 0;
    if (os_time_local(t, &local))
        written = os_time_format(buffer, size, format, &local);
    else if (size > 0)
        buffer[0] = 0;
    thread_mutex_unlock(lock);
    return written;
}
