// The profiler's sockets on Linux: BSD sockets made to behave like the non-blocking Winsock
// sockets the network code was written against.
#include "platform/os.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace {
int fd_of(os_prf_socket socket) {
    return (int)socket;
}

bool would_block(int error) {
    // An interrupted call moved nothing either; the caller's retry loop covers it.
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}
} // namespace

// Nothing to start on Linux; sockets need no library set-up.
bool os_prf_net_start() {
    return true;
}

void os_prf_net_stop() {}

os_prf_socket os_prf_socket_open() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    return fd < 0 ? OS_PRF_SOCKET_INVALID : (os_prf_socket)fd;
}

bool os_prf_socket_bind(os_prf_socket socket, sys_u16 port, bool loopback) {
    // Linux refuses to bind a port while connections of an earlier listener on it linger in
    // TIME_WAIT, so restarting the game within a minute of closing a viewer would fail with
    // "port taken"; Windows binds there without being asked. SO_REUSEADDR gives Linux the
    // same behaviour and nothing more: unlike on Windows it never lets a second socket listen
    // on a port that is already being listened on, so a port really in use still fails here.
    int on = 1;
    setsockopt(fd_of(socket), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(fd_of(socket), (const sockaddr*)&address, sizeof(address)) == 0;
}

bool os_prf_socket_listen(os_prf_socket socket) {
    return ::listen(fd_of(socket), 1) == 0;
}

bool os_prf_socket_set_nonblocking(os_prf_socket socket) {
    int flags = fcntl(fd_of(socket), F_GETFL, 0);
    if (flags < 0)
        return false;
    return fcntl(fd_of(socket), F_SETFL, flags | O_NONBLOCK) == 0;
}

int os_prf_socket_poll(os_prf_socket socket, bool* can_read, bool* can_write) {
    // poll rather than select: a descriptor above 1023 cannot go into an fd_set, and a game
    // can well have that many files open.
    pollfd entry = {};
    entry.fd = fd_of(socket);
    entry.events = POLLIN | POLLOUT | POLLPRI;
    int count;
    do
        count = ::poll(&entry, 1, 0);
    while (count < 0 && errno == EINTR);
    if (count < 0 || (entry.revents & POLLNVAL))
        return 1; // select fails on a handle that is no socket
    // Windows' error set holds a socket with urgent data pending; that is POLLPRI here.
    if (entry.revents & POLLPRI)
        return 2;
    // A reset or a closed peer (POLLERR, POLLHUP) is not an "error set" condition on
    // Windows: select reports such a socket readable (and writable), and the recv or send
    // that follows reports what happened. Mapped the same way, so both platforms notice a
    // gone viewer at the same step.
    bool broken = (entry.revents & (POLLERR | POLLHUP)) != 0;
    *can_read = broken || (entry.revents & POLLIN) != 0;
    *can_write = broken || (entry.revents & POLLOUT) != 0;
    return 0;
}

os_prf_socket os_prf_socket_accept(os_prf_socket listener) {
    // Winsock's accepted sockets inherit non-blocking mode from the listener; Linux's do not,
    // so ask for it here (a blocking viewer socket would stall the profiler thread).
    int fd;
    do
        fd = ::accept4(fd_of(listener), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    return fd < 0 ? OS_PRF_SOCKET_INVALID : (os_prf_socket)fd;
}

sys_i64 os_prf_socket_send(os_prf_socket socket, const void* data, sys_u32 length) {
    // MSG_NOSIGNAL: a viewer that has gone must give a failed send, not SIGPIPE to the game.
    ssize_t count = ::send(fd_of(socket), data, length, MSG_NOSIGNAL);
    if (count >= 0)
        return count;
    return would_block(errno) ? OS_PRF_IO_WOULD_BLOCK : OS_PRF_IO_FAILED;
}

sys_i64 os_prf_socket_recv(os_prf_socket socket, void* data, sys_u32 length) {
    ssize_t count = ::recv(fd_of(socket), data, length, 0);
    if (count >= 0)
        return count;
    return would_block(errno) ? OS_PRF_IO_WOULD_BLOCK : OS_PRF_IO_FAILED;
}

bool os_prf_socket_shutdown_send(os_prf_socket socket) {
    return ::shutdown(fd_of(socket), SHUT_WR) == 0;
}

void os_prf_socket_close(os_prf_socket socket) {
    ::close(fd_of(socket));
}

sys_u32 os_prf_tick_ms() {
    // Milliseconds of the monotonic clock, cut to 32 bits: wraps like GetTickCount.
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (sys_u32)((sys_u64)now.tv_sec * 1000u + (sys_u64)now.tv_nsec / 1000000u);
}
