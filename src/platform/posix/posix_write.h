// Linux: the one loop that writes a whole buffer to a descriptor, retrying short writes and
// interrupted calls, shared by the process pipes and the file copies.
#pragma once

#include <errno.h>
#include <stddef.h>
#include <unistd.h>

// False when the descriptor refused (a closed pipe, a full disk).
inline bool posix_write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        length -= (size_t)n;
    }
    return true;
}
