/* The library's own version, fixed when it was built: the game compares it with the
 * QV_SYS_VERSION its headers carry. */
#include "qv_sys/version.h"

sys_u32 sys_version_get(void) {
    return QV_SYS_VERSION;
}
