// Linux: streams through fopen and 64-bit seeks; mappings through open + mmap.
#include "platform/os.h"

#include "qv_sys/assertion.h"
#include "qv_sys/filesystem.h"
#include "qv_sys/io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

void* os_file_open(const char* path, const char* mode) {
    return fopen(path, mode);
}

void os_file_close(void* file) {
    fclose(static_cast<FILE*>(file));
}

int os_file_seek(void* file, sys_i64 offset, int whence) {
    return fseeko(static_cast<FILE*>(file), (off_t)offset, whence);
}

sys_i64 os_file_tell(void* file) {
    return (sys_i64)ftello(static_cast<FILE*>(file));
}

bool os_mapped_file_open(const char* path, OsMappedFile* out) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    const bool file = fd >= 0;
    if (!file) {
        char cwd[2048] = {};
        filesystem_get_current_directory(cwd, sizeof(cwd));
        SYS_CHECK_TEXT_MSG(file, "file != ((HANDLE)(LONG_PTR)-1)",
                           "CreateFile returned INVALID_HANDLE_VALUE for '%s', error: '%s', "
                           "working dir: '%s'",
                           path, sys_get_last_error(), cwd);
        return false;
    }
    // A mapping of nothing is refused, as Windows refuses to map an empty file.
    struct stat st;
    const bool map = fstat(fd, &st) == 0 && st.st_size > 0;
    if (!SYS_CHECK_MSG(map, "Couldn't create file mapping for '%s'", path)) {
        close(fd);
        return false;
    }
    void* memory = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    const bool mem = memory != MAP_FAILED;
    if (!SYS_CHECK_MSG(mem, "Couldn't get map view for '%s'", path)) {
        close(fd);
        return false;
    }
    out->memory = memory;
    out->file = (void*)(intptr_t)fd;
    out->mapping = (void*)(uintptr_t)st.st_size;
    return true;
}

void os_mapped_file_close(OsMappedFile* mapped) {
    const bool res = munmap(mapped->memory, (size_t)(uintptr_t)mapped->mapping) == 0;
    SYS_CHECK(res);
    close((int)(intptr_t)mapped->file);
}
