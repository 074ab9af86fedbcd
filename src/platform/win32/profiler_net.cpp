// The profiler's sockets on Windows: Winsock 2.2, non-blocking, polled with select.
#include "platform/os.h"

// winsock2.h must come before windows.h, which would otherwise pull in the old winsock.h.
#include <winsock2.h>
#include <windows.h>

namespace {
SOCKET handle_of(os_prf_socket socket) {
    return (SOCKET)socket;
}

sys_i64 io_failure() {
    return WSAGetLastError() == WSAEWOULDBLOCK ? OS_PRF_IO_WOULD_BLOCK : OS_PRF_IO_FAILED;
}
} // namespace

bool os_prf_net_start() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return false;
    if (LOBYTE(data.wVersion) != 2 || HIBYTE(data.wVersion) != 2) {
        WSACleanup();
        return false;
    }
    return true;
}

void os_prf_net_stop() {
    WSACleanup();
}

os_prf_socket os_prf_socket_open() {
    SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    return s == INVALID_SOCKET ? OS_PRF_SOCKET_INVALID : (os_prf_socket)s;
}

bool os_prf_socket_bind(os_prf_socket socket, sys_u16 port, bool loopback) {
    // No SO_REUSEADDR here: Windows already binds over lingering TIME_WAIT connections, and
    // its SO_REUSEADDR would let a second listener take a port in use.
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(loopback ? INADDR_LOOPBACK : INADDR_ANY);
    address.sin_port = htons(port);
    return ::bind(handle_of(socket), (const sockaddr*)&address, sizeof(address)) != SOCKET_ERROR;
}

bool os_prf_socket_listen(os_prf_socket socket) {
    return ::listen(handle_of(socket), 1) != SOCKET_ERROR;
}

bool os_prf_socket_set_nonblocking(os_prf_socket socket) {
    u_long on = 1;
    return ioctlsocket(handle_of(socket), FIONBIO, &on) != SOCKET_ERROR;
}

int os_prf_socket_poll(os_prf_socket socket, bool* can_read, bool* can_write) {
    fd_set read_set, write_set, error_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_ZERO(&error_set);
    FD_SET(handle_of(socket), &read_set);
    FD_SET(handle_of(socket), &write_set);
    FD_SET(handle_of(socket), &error_set);
    timeval zero = {0, 0};
    if (select(0, &read_set, &write_set, &error_set, &zero) == SOCKET_ERROR)
        return 1;
    if (FD_ISSET(handle_of(socket), &error_set))
        return 2;
    *can_read = FD_ISSET(handle_of(socket), &read_set) != 0;
    *can_write = FD_ISSET(handle_of(socket), &write_set) != 0;
    return 0;
}

os_prf_socket os_prf_socket_accept(os_prf_socket listener) {
    // The new socket inherits the listener's non-blocking mode.
    SOCKET s = ::accept(handle_of(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? OS_PRF_SOCKET_INVALID : (os_prf_socket)s;
}

sys_i64 os_prf_socket_send(os_prf_socket socket, const void* data, sys_u32 length) {
    int count = ::send(handle_of(socket), (const char*)data, (int)length, 0);
    return count == SOCKET_ERROR ? io_failure() : (sys_i64)count;
}

sys_i64 os_prf_socket_recv(os_prf_socket socket, void* data, sys_u32 length) {
    int count = ::recv(handle_of(socket), (char*)data, (int)length, 0);
    return count == SOCKET_ERROR ? io_failure() : (sys_i64)count;
}

bool os_prf_socket_shutdown_send(os_prf_socket socket) {
    return ::shutdown(handle_of(socket), SD_SEND) != SOCKET_ERROR;
}

void os_prf_socket_close(os_prf_socket socket) {
    closesocket(handle_of(socket));
}

sys_u32 os_prf_tick_ms() {
    return GetTickCount();
}
