// The server's opening handshake over arbitrary request bytes, fed through a socket pair.
//
// The request is cut to 1019 bytes and given a blank line, so the reader always finds the end
// of the request at once instead of waiting out its time limit on every short input.
#include "profiler/net_internal.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    for (int side : pair)
        fcntl(side, F_SETFL, fcntl(side, F_GETFL) | O_NONBLOCK);

    uint8_t request[1024];
    size_t length = size < 1019 ? size : 1019;
    memcpy(request, data, length);
    memcpy(request + length, "\r\n\r\n", 4);
    if (write(pair[1], request, length + 4) != (ssize_t)(length + 4))
        abort();

    TcpConn* server_side = nullptr;
    if (TcpConn_Create(&server_side) != PRF_ERROR_NONE)
        abort();
    server_side->socket = (os_prf_socket)pair[0];
    prf_error error = WebSocket_Handshake(server_side);

    char response[512];
    ssize_t got = read(pair[1], response, sizeof(response));
    if (error == PRF_ERROR_NONE) {
        // A success always answers with the one fixed-size response.
        if (got != 129 || memcmp(response, "HTTP/1.1 101 Switching Protocols\r\n", 34) != 0)
            abort();
    } else if (got > 0) {
        abort(); // a refusal sends nothing
    }
    // Only a refusal's own reasons; a time-out is not expected with the blank line added, but
    // not a fault.
    if (error != PRF_ERROR_NONE && error != PRF_ERROR_RECV_TIMEOUT &&
        (error < PRF_ERROR_HANDSHAKE_NOT_GET || error > PRF_ERROR_HANDSHAKE_TEXT)) {
        fprintf(stderr, "unexpected handshake result %d\n", (int)error);
        abort();
    }
    TcpConn_Destroy(server_side);
    close(pair[1]);
    return 0;
}
