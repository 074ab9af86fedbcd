/* qv_sys engine plugins: the engine's other shared libraries, loaded from the executable's
 * folder in the build that suits the processor, started and stopped through their exports.
 *
 * File names: Windows <folder>\<base><suffix>.dll; Linux <folder>/lib<base><suffix>.so, where
 * the folder is the executable's and the suffix is tried in the order ".x86_64.avx2" (only on
 * a processor with AVX2, see cpu_supports), ".x86_64", "" (none). Without suffixes every
 * candidate is the plain name.
 *
 * A library may export
 *     void shared_init(shared_init_params params);   called once right after loading
 *     void shared_fini(void);                         called once before unloading
 * Both are optional; their results, if any, are ignored. */
#ifndef QV_SYS_SHARED_H
#define QV_SYS_SHARED_H

#include "qv_sys/types.h"

QV_SYS_BEGIN_C

/* A loaded library (opaque). */
typedef struct shared_library shared_library;

/* The host's start-up parameters for a library's shared_init: 24 bytes the library copies and
 * passes on unchanged; their layout is the host's and the plugin's business. */
typedef struct shared_init_params {
    sys_u8 data[24];
} shared_init_params;

/* Loads the first existing candidate of `name` (the base name, at most 254 bytes kept) and
 * calls its shared_init with a copy of `params`. No candidate: null, nothing written (the
 * reason is shared_shared_get_create_error). A candidate that exists but cannot be loaded is
 * fatal: the log line "Couldn't load library: <path>, error: <text>", the check "mod" with the
 * same message, then sys_exit(-1) (also when the check returns under a debugger). On Linux the
 * error text is the loader's own (dlerror), which names the cause. The folder, base name,
 * suffix and extension must fit 255 bytes. */
QV_SYS_API shared_library* shared_shared_create(const char* name, sys_bool use_suffixes,
                                                shared_init_params params);

/* A record for a library of that name already loaded by anyone (Windows: GetModuleHandleW of
 * <base><suffix>.dll; Linux: a loaded object whose file name is lib<base><suffix>.so), in the
 * suffix order above; null when none is loaded. Its load count is not raised, nothing in it
 * is called, and destroying the record leaves it loaded. */
QV_SYS_API shared_library* shared_shared_get_loaded_library(const char* name,
                                                            sys_bool use_suffixes);

/* For a library this record loaded: calls its shared_fini, then unloads it (a failed unload
 * reports "b" with "Couldn't free library"). Releases the record in every case. */
QV_SYS_API void shared_shared_destroy(shared_library* library);

/* The address of an exported function, or null. */
QV_SYS_API void* shared_shared_load_function(shared_library* library, const char* function);

/* The base name the record was made with (not the file that was loaded). */
QV_SYS_API const char* shared_shared_get_name(shared_library* library);

/* The platform's last error text (sys_get_last_error), for use right after a failed create. */
QV_SYS_API const char* shared_shared_get_create_error(void);

QV_SYS_END_C

#endif /* QV_SYS_SHARED_H */
