/* qv_sys version: the numbers this header belongs to, and the library's own.
 *
 * A game compares the two at start-up to catch a qv_sys.dll or libqv_sys.so from another
 * release beside it. The build refuses to configure when these numbers differ from the
 * project's version, so they always name the release they ship with. */
#ifndef QV_SYS_VERSION_H
#define QV_SYS_VERSION_H

#include "qv_sys/types.h"

#define QV_SYS_VERSION_MAJOR 0
#define QV_SYS_VERSION_MINOR 1
#define QV_SYS_VERSION_PATCH 0

/* One number per release that orders releases: major * 1000000 + minor * 1000 + patch
 * (1.2.3 is 1002003). */
#define QV_SYS_VERSION_ENCODE(major, minor, patch)                                                 \
    ((sys_u32)(major)*1000000u + (sys_u32)(minor)*1000u + (sys_u32)(patch))
#define QV_SYS_VERSION                                                                             \
    QV_SYS_VERSION_ENCODE(QV_SYS_VERSION_MAJOR, QV_SYS_VERSION_MINOR, QV_SYS_VERSION_PATCH)

QV_SYS_BEGIN_C

/* The version the running library was built as, encoded as QV_SYS_VERSION is. Equal to
 * QV_SYS_VERSION when the game runs with the library its headers came from; the same major
 * number with a larger value is a compatible newer library. Any thread, any time (before any
 * other call too); never fails. */
QV_SYS_API sys_u32 sys_version_get(void);

QV_SYS_END_C

#endif /* QV_SYS_VERSION_H */
