/* qv_sys time: the wall clock in whole seconds.
 *
 * A sys_time holds seconds since 1970-01-01 00:00:00 UTC; 0 means "not set". The host
 * records the start of the run once, early (sys_time_init_start_time); the session folder is
 * named from it. */
#ifndef QV_SYS_TIME_H
#define QV_SYS_TIME_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

typedef sys_i64 sys_time;

/* The current wall-clock time. */
QV_SYS_API sys_time sys_time_now(void);

/* Records now as the start time; calling it again overwrites the value. Meant to be called
 * once by the host during start-up, before other threads read it. */
QV_SYS_API void sys_time_init_start_time(void);

/* The recorded start time. Before sys_time_init_start_time this fails the check
 * "s_start_time != nullptr" and returns 0 (under a debugger, once resumed). */
QV_SYS_API sys_time sys_time_at_start(void);

/* Writes `t` as local time through the C runtime's strftime with `format` into `buffer` of
 * `size` bytes. Returns the number of characters written without the terminator, or 0 when
 * the text and its terminator do not fit (the buffer's contents are then unspecified). A
 * time the runtime cannot convert to local time (e.g. before 1970 on Windows) also gives 0,
 * with an empty text when `size` is at least 1. The conversion runs under one process-wide
 * lock, made on first use, so any thread may call this.
 *
 * Both platforms take the C99 conversions (%F, %T, %e, %z as a +hhmm offset, ...); Windows
 * uses the current system runtime's strftime for that. Conversions whose text the runtimes
 * define differently stay each platform's own: %c, %Z (a zone name) and the Windows '#'
 * flag; a format Windows' runtime calls invalid (e.g. %Q) is refused there by that runtime. */
QV_SYS_API sys_u64 sys_time_tostring(char* buffer, sys_u64 size, const char* format, sys_time t);

QV_SYS_END_C

#endif /* QV_SYS_TIME_H */
