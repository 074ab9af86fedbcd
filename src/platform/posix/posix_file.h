// Linux: paths as Windows reads them, and opening a path the way Windows' CreateFileW does
// without its backup flag, which refuses folders.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

// Windows takes '\\' as a separator as well as '/'. So does every path this side hands to the
// kernel, so one path names the same file on both platforms (a Linux name holding a backslash
// is out of reach, as it would be on Windows).
inline std::string posix_native_path(const char* path) {
    std::string p(path);
    for (char& c : p)
        if (c == '\\')
            c = '/';
    return p;
}

// A read-only descriptor of the file at `path` (already in native form), or -1 (errno EISDIR
// for a folder). open(O_RDONLY) takes a folder, so the folder is turned away here.
inline int posix_open_file_to_read(const char* path) {
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EISDIR;
        return -1;
    }
    return fd;
}
