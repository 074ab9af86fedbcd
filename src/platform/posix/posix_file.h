// Linux: opening a path the way Windows' CreateFileW does without its backup flag, which
// refuses folders. open(O_RDONLY) takes a folder, so the folder is turned away here.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// A read-only descriptor of the file at `path`, or -1 (errno EISDIR for a folder).
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
