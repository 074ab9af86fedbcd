/* qv_sys: every public header at once. */
#ifndef QV_SYS_QV_SYS_H
#define QV_SYS_QV_SYS_H

#include "qv_sys/types.h"
#include "qv_sys/version.h"
#include "qv_sys/sysmemory.h"
#include "qv_sys/assertion.h"
#include "qv_sys/chrono.h"
#include "qv_sys/time.h"
#include "qv_sys/hash.h"
#include "qv_sys/thread.h"
#include "qv_sys/scope.h"
#include "qv_sys/json.h"
#include "qv_sys/compress.h"
#include "qv_sys/crypto.h"
/* text */
#include "qv_sys/cstr.h"
#include "qv_sys/platform.h"
#include "qv_sys/io.h"
#include "qv_sys/misc.h"
#include "qv_sys/shared.h"
#include "qv_sys/filesystem.h"

#endif /* QV_SYS_QV_SYS_H */
