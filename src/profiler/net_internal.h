// The profiler's network layer below the server: the non-blocking TCP socket, the WebSocket
// on top of it, and the hash and encoding of the opening handshake. Only the server
// (net.cpp) uses these; they are declared here so that tests and fuzz targets can drive a
// socket of their own through them.
#pragma once

#include "platform/os.h"
#include "profiler/profiler_internal.h"

// One socket. Making one starts the socket library and destroying one stops it, so start-up
// and shut-down stay balanced however many sockets exist.
struct TcpConn {
    os_prf_socket socket; // OS_PRF_SOCKET_INVALID when closed
};

struct WsConn {
    TcpConn* tcp_socket; // owned
    prf_u32 mode;        // opcode of the frames this side sends: 2, binary
    prf_u32 frame_left;  // payload bytes of the current incoming frame not yet read
    prf_u32 mask_index;  // payload bytes of the current frame unmasked so far
    prf_u8 mask[4];      // masking key of the current incoming frame; zero when none
};

struct TcpPoll {
    prf_bool can_read;
    prf_bool can_write;
    prf_error error;
};

// Allocates a closed socket and starts the socket library (2 or 6 on failure).
prf_error TcpConn_Create(TcpConn** out);
// Closes the socket, stops the socket library and frees the record.
void TcpConn_Destroy(TcpConn* tcp_socket);
TcpPoll TcpConn_Poll(TcpConn* tcp_socket);
prf_error TcpConn_Listen(TcpConn* tcp_socket, prf_u16 port, prf_bool loopback = PRF_FALSE);
// No pending connection: success and *client_socket null.
prf_error TcpConn_Accept(TcpConn* tcp_socket, TcpConn** client_socket);
prf_error TcpConn_Send(TcpConn* tcp_socket, const prf_u8* data, prf_u32 length, prf_u32 timeout_ms);
prf_error TcpConn_Recv(TcpConn* tcp_socket, prf_u8* data, prf_u32 length, prf_u32 timeout_ms);
prf_error TcpConn_Close(TcpConn* tcp_socket);

// The server side of the opening handshake on a freshly accepted socket.
prf_error WebSocket_Handshake(TcpConn* tcp_socket);

// A WebSocket that takes ownership of `tcp_socket` (2 on failure; the socket is then still
// the caller's).
prf_error WsConn_Create(WsConn** out, TcpConn* tcp_socket, prf_u32 mode);
void WsConn_Destroy(WsConn* web_socket);
prf_error WsConn_Listen(WsConn* web_socket, prf_u16 port, prf_u32 mode,
                        prf_bool loopback = PRF_FALSE);
prf_error WsConn_Accept(WsConn* web_socket, WsConn** client_socket);
// `data` starts with the 10 reserved bytes; `length` counts them.
prf_error WsConn_Send(WsConn* web_socket, prf_u8* data, prf_u32 length, prf_u32 timeout_ms);
// Reads exactly `length` payload bytes, across frames if needed; `message_length` (may be
// null) receives the length of each new frame begun.
prf_error WsConn_Recv(WsConn* web_socket, prf_u8* data, prf_u32* message_length, prf_u32 length,
                      prf_u32 timeout_ms);

void Sha1_Digest(const void* data, prf_u32 length, prf_u8 digest[20]);
// Standard alphabet with "=" padding, NUL-terminated. Gives the characters written, or 0 when
// `capacity` cannot hold them and the NUL.
prf_u32 Base64_Encode(const prf_u8* data, prf_u32 length, char* out, prf_u32 capacity);

// Where the server posts its own log lines: the profiler's PostLogText. Tests point it
// elsewhere to see the lines.
extern void (*prf_net_log_line)(const char* text);
