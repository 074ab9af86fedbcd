// Engine plugins: choosing the build that suits the processor, loading, the shared_init and
// shared_fini entry points, and wrapping a library someone else loaded.
#include "qv_sys/shared.h"

#include "qv_sys/assertion.h"
#include "qv_sys/cstr.h"
#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"
#include "qv_sys/misc.h"

#include "cstr_internal.h"
#include "platform/os.h"

#include <new>
#include <string.h>

struct shared_library {
    void* module;
    char name[255];
    sys_u8 owned; // 1: loaded here, so stopped and unloaded by shared_shared_destroy
};

namespace {

const char* const kSuffixes[] = {".x86_64.avx2", ".x86_64", ""};

using SharedInit = void (*)(shared_init_params);
using SharedFini = void (*)();

// Whether suffix `index` is tried at all: the AVX2 build only on a processor that has AVX2.
bool suffix_tried(int index) {
    return index != 0 || cpu_supports(CPU_FEATURE_AVX2) == 1;
}

shared_library* make_record(void* module, const char* name, sys_u8 owned) {
    shared_library* library = new (std::nothrow) shared_library;
    if (!library)
        return nullptr;
    library->module = module;
    memset(library->name, 0, sizeof library->name);
    sys_strncpy(library->name, name, sizeof library->name);
    library->owned = owned;
    return library;
}

} // namespace

extern "C" {

shared_library* shared_shared_create(const char* name, sys_bool use_suffixes,
                                     shared_init_params params) {
    char folder[256] = {};
    filesystem_get_exe_dir(folder, sizeof folder);

    char path[256];
    bool found = false;
    for (int i = 0; i < 3 && !found; ++i) {
        if (!suffix_tried(i))
            continue;
        memset(path, 0, sizeof path);
        const sys_u64 folder_len = sys_strncpy(path, folder, sizeof path);
        if (!os_shared_file_name(path + folder_len, sizeof path - folder_len, name,
                                 use_suffixes == 1 ? kSuffixes[i] : ""))
            continue;
        found = os_shared_file_exists(path);
    }
    if (!found)
        return nullptr;

    void* mod = os_shared_load(path);
    if (!mod) {
        const char* error = os_shared_load_error();
        SYS_LOG("QV_SYS", "Couldn't load library: %s, error: %s\n", path, error);
        SYS_CHECK_MSG(mod, "Couldn't load library: %s, error: %s", path, error);
        sys_exit((sys_u32)-1, "Couldn't load library: %s, error: %s", path, error);
    }

    shared_library* library = make_record(mod, name, 1);
    if (!library)
        return nullptr;
    if (SharedInit init = (SharedInit)os_shared_symbol(mod, "shared_init"))
        init(params);
    return library;
}

shared_library* shared_shared_get_loaded_library(const char* name, sys_bool use_suffixes) {
    for (int i = 0; i < 3; ++i) {
        if (!suffix_tried(i))
            continue;
        const char* suffix = use_suffixes == 1 ? kSuffixes[i] : "";
        char file_name[2048] = {};
        if (!os_shared_file_name(file_name, sizeof file_name, name, suffix))
            continue;
        // Windows asks for the module by its name, <base><suffix>.dll, in at most 259 UTF-16
        // units: a longer one fails that conversion and is not looked for, on both platforms.
        const bool mbtowc_ret =
            sys_utf16_units(name) + sys_utf16_units(suffix) + 4 < kOsModuleNameUnits;
        if (!SYS_CHECK_MSG(mbtowc_ret, "Couldn't convert string to multibyte: %s", file_name))
            continue;
        if (void* module = os_shared_find_loaded(file_name))
            return make_record(module, name, 0);
    }
    return nullptr;
}

void shared_shared_destroy(shared_library* library) {
    if (!library)
        return;
    if (library->owned == 1) {
        if (SharedFini fini = (SharedFini)os_shared_symbol(library->module, "shared_fini"))
            fini();
        const bool b = os_shared_unload(library->module);
        SYS_CHECK_MSG(b, "Couldn't free library");
    }
    delete library;
}

void* shared_shared_load_function(shared_library* library, const char* function) {
    return library ? os_shared_symbol(library->module, function) : nullptr;
}

const char* shared_shared_get_name(shared_library* library) {
    return library ? library->name : nullptr;
}

const char* shared_shared_get_create_error(void) {
    return sys_get_last_error();
}

} // extern "C"
