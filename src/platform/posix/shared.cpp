// Linux shared libraries: lib<base><suffix>.so through dlopen / dlsym / dlclose.
#include "platform/os.h"

#include <dlfcn.h>
#include <link.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

namespace {

// The loader's message of the last failed dlopen; dlerror() clears itself on reading.
thread_local char t_load_error[512];

struct FindLoaded {
    const char* file_name;
    const char* path; // the loaded object's full path, when found
};

} // namespace

bool os_shared_file_name(char* out, sys_u64 capacity, const char* base, const char* suffix) {
    const int n = snprintf(out, (size_t)capacity, "lib%s%s.so", base, suffix);
    return n >= 0 && (sys_u64)n < capacity;
}

bool os_shared_file_exists(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

void* os_shared_load(const char* path) {
    void* module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        const char* error = dlerror();
        snprintf(t_load_error, sizeof t_load_error, "%s", error ? error : "unknown error");
    }
    return module;
}

const char* os_shared_load_error() {
    return t_load_error;
}

// Loaded objects are matched by the file name of their path, whoever loaded them and however
// (full path, search, dependency). dlopen with RTLD_NOLOAD then yields the handle without
// loading anything; it raises the reference count, so one dlclose gives that back.
void* os_shared_find_loaded(const char* file_name) {
    FindLoaded find = {file_name, nullptr};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            FindLoaded* f = (FindLoaded*)data;
            const char* slash = info->dlpi_name ? strrchr(info->dlpi_name, '/') : nullptr;
            const char* name = slash ? slash + 1 : info->dlpi_name;
            if (name && strcmp(name, f->file_name) == 0) {
                f->path = info->dlpi_name;
                return 1;
            }
            return 0;
        },
        &find);
    if (!find.path)
        return nullptr;
    void* module = dlopen(find.path, RTLD_NOW | RTLD_NOLOAD);
    if (module)
        dlclose(module);
    return module;
}

void* os_shared_symbol(void* module, const char* name) {
    return dlsym(module, name);
}

bool os_shared_unload(void* module) {
    return dlclose(module) == 0;
}
