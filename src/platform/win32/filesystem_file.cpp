// Windows: streams through _wfopen and 64-bit seeks; mappings through CreateFileMappingW.
#include "platform/os.h"

#include "qv_sys/platform.h"

#include <stdio.h>
#include <windows.h>

namespace {

constexpr sys_u64 kPlatformPath = 260;

void to_backslashes(wchar_t* text) {
    for (; *text; ++text)
        if (*text == L'/')
            *text = L'\\';
}

} // namespace

void* os_file_open(const char* path, const char* mode) {
    wchar_t wpath[kPlatformPath] = {};
    sys_windows_utf8_to_wide(wpath, kPlatformPath, path);
    wpath[kPlatformPath - 1] = 0;
    to_backslashes(wpath);
    wchar_t wmode[8] = {};
    for (int i = 0; mode[i] && i < 7; ++i)
        wmode[i] = (wchar_t)mode[i];
    return _wfopen(wpath, wmode);
}

void os_file_close(void* file) {
    fclose(static_cast<FILE*>(file));
}

int os_file_seek(void* file, sys_i64 offset, int whence) {
    return _fseeki64(static_cast<FILE*>(file), offset, whence);
}

sys_i64 os_file_tell(void* file) {
    return _ftelli64(static_cast<FILE*>(file));
}

OsMapStatus os_mapped_file_open(const char* path, OsMappedFile* out) {
    wchar_t wpath[kPlatformPath] = {};
    sys_windows_utf8_to_wide(wpath, kPlatformPath, path);
    wpath[kPlatformPath - 1] = 0;
    HANDLE file =
        CreateFileW(wpath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return OsMapStatus::open_failed;
    HANDLE map = CreateFileMappingW(file, nullptr, PAGE_READONLY, 0, 0, nullptr);
    if (!map) {
        CloseHandle(file);
        return OsMapStatus::mapping_failed;
    }
    void* mem = MapViewOfFile(map, FILE_MAP_READ, 0, 0, 0);
    if (!mem) {
        CloseHandle(map);
        CloseHandle(file);
        return OsMapStatus::view_failed;
    }
    out->memory = mem;
    out->file = file;
    out->mapping = map;
    return OsMapStatus::ok;
}

bool os_mapped_file_close(OsMappedFile* mapped) {
    const bool unmapped = UnmapViewOfFile(mapped->memory) != 0;
    CloseHandle(mapped->mapping);
    CloseHandle(mapped->file);
    return unmapped;
}
