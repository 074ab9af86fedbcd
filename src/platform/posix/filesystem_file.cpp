// Linux: streams through fopen and 64-bit seeks; mappings through open + mmap.
#include "platform/os.h"
#include "platform/posix/posix_file.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

void* os_file_open(const char* path, const char* mode) {
    FILE* file = fopen(posix_native_path(path).c_str(), mode);
    // Windows opens no stream on a folder; glibc does for reading.
    struct stat st;
    if (file && fstat(fileno(file), &st) == 0 && S_ISDIR(st.st_mode)) {
        fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
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

OsMapStatus os_mapped_file_open(const char* path, OsMappedFile* out) {
    const int fd = posix_open_file_to_read(posix_native_path(path).c_str());
    if (fd < 0)
        return OsMapStatus::open_failed;
    // A mapping of nothing is refused, as Windows refuses to map an empty file.
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_size <= 0) {
        close(fd);
        return OsMapStatus::mapping_failed;
    }
    void* memory = mmap(nullptr, (size_t)st.st_size, PROT_READ, MAP_SHARED, fd, 0);
    if (memory == MAP_FAILED) {
        close(fd);
        return OsMapStatus::view_failed;
    }
    out->memory = memory;
    out->file = (void*)(intptr_t)fd;
    out->mapping = (void*)(uintptr_t)st.st_size;
    return OsMapStatus::ok;
}

bool os_mapped_file_close(OsMappedFile* mapped) {
    const bool unmapped = munmap(mapped->memory, (size_t)(uintptr_t)mapped->mapping) == 0;
    close((int)(intptr_t)mapped->file);
    return unmapped;
}
