// Windows shared libraries: <base><suffix>.dll through LoadLibraryW / GetProcAddress /
// FreeLibrary, and GetModuleHandleW for one already loaded.
#include "platform/os.h"

#include "qv_sys/assertion.h"
#include "qv_sys/io.h"
#include "qv_sys/platform.h"

#include <stdio.h>
#include <windows.h>

namespace {

// Paths go to the platform in at most 259 UTF-16 units and a terminator.
bool to_wide(const char* text, wchar_t* wide) {
    const sys_u64 mbtowc_ret = sys_windows_utf8_to_wide(wide, MAX_PATH, text);
    return SYS_CHECK_MSG(mbtowc_ret, "Couldn't convert string to multibyte: %s", text) != 0;
}

} // namespace

bool os_shared_file_name(char* out, sys_u64 capacity, const char* base, const char* suffix) {
    const int n = snprintf(out, (size_t)capacity, "%s%s.dll", base, suffix);
    return n >= 0 && (sys_u64)n < capacity;
}

bool os_shared_file_exists(const char* path) {
    wchar_t wide[MAX_PATH];
    if (sys_windows_utf8_to_wide(wide, MAX_PATH, path) == 0)
        return false;
    const DWORD attr = GetFileAttributesW(wide);
    return attr != INVALID_FILE_ATTRIBUTES && (attr & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

void* os_shared_load(const char* path) {
    wchar_t wide[MAX_PATH];
    if (!to_wide(path, wide))
        return nullptr;
    return (void*)LoadLibraryW(wide);
}

const char* os_shared_load_error() {
    return sys_get_last_error();
}

void* os_shared_find_loaded(const char* file_name) {
    wchar_t wide[MAX_PATH];
    if (!to_wide(file_name, wide))
        return nullptr;
    return (void*)GetModuleHandleW(wide);
}

void* os_shared_symbol(void* module, const char* name) {
    return (void*)GetProcAddress((HMODULE)module, name);
}

bool os_shared_unload(void* module) {
    return FreeLibrary((HMODULE)module) != 0;
}
