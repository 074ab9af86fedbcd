// The profiler's network server: one viewer at a time over a WebSocket on a non-blocking TCP
// socket. Everything runs on the profiler thread and never waits on the network longer than
// the time limit of the operation at hand, measured with the 32-bit millisecond tick count.
#include "profiler/net_internal.h"

#include <string.h>

void (*prf_net_log_line)(const char* text) = PostLogText;

// --- bounded strings -----------------------------------------------------------------------
// The handshake parses text from the network, so every string operation here is told the size
// of the buffer it works in and reports what went wrong instead of running past it. These
// codes never leave this file: the handshake turns them into its own.
namespace {
enum : prf_u32 {
    STR_OK = 0,
    STR_NULL = 400,           // a null argument
    STR_SIZE_ZERO = 401,      // size 0
    STR_SIZE_TOO_BIG = 403,   // size above 4096
    STR_OVERLAP = 404,        // source and destination overlap
    STR_TOO_SMALL = 406,      // the destination cannot hold the result
    STR_NOT_TERMINATED = 407, // no NUL within the size
    STR_NOT_FOUND = 409,      // the substring is not there
};
const prf_u32 kStrMaxSize = 4096;

prf_u32 str_check(const void* pointer, prf_u32 size) {
    if (pointer == NULL)
        return STR_NULL;
    if (size == 0)
        return STR_SIZE_ZERO;
    if (size > kStrMaxSize)
        return STR_SIZE_TOO_BIG;
    return STR_OK;
}

// The length of `text`, which must end within `size` bytes.
prf_u32 str_length(const char* text, prf_u32 size, prf_u32* length) {
    prf_u32 error = str_check(text, size);
    if (error != STR_OK)
        return error;
    for (prf_u32 i = 0; i < size; ++i) {
        if (text[i] == '\0') {
            *length = i;
            return STR_OK;
        }
    }
    return STR_NOT_TERMINATED;
}

// The first `needle` in `text`, looking no further than its NUL or `size` bytes.
prf_u32 str_find(const char* text, prf_u32 size, const char* needle, const char** found) {
    prf_u32 error = str_check(text, size);
    if (error != STR_OK)
        return error;
    if (needle == NULL || found == NULL)
        return STR_NULL;
    prf_u32 needle_length = 0;
    error = str_length(needle, kStrMaxSize, &needle_length);
    if (error != STR_OK)
        return error;
    for (prf_u32 i = 0; i + needle_length <= size && text[i] != '\0'; ++i) {
        prf_u32 j = 0;
        while (j < needle_length && text[i + j] == needle[j])
            ++j;
        if (j == needle_length) {
            *found = text + i;
            return STR_OK;
        }
    }
    return STR_NOT_FOUND;
}

bool ranges_overlap(const char* a, prf_u32 a_size, const char* b, prf_u32 b_size) {
    return a < b + b_size && b < a + a_size;
}

// Appends `source` after the text already in `destination` (size `size`).
prf_u32 str_append(char* destination, prf_u32 size, const char* source) {
    prf_u32 used = 0;
    prf_u32 error = str_length(destination, size, &used);
    if (error != STR_OK)
        return error;
    prf_u32 source_length = 0;
    error = str_length(source, kStrMaxSize, &source_length);
    if (error != STR_OK)
        return error;
    if (ranges_overlap(destination, size, source, source_length + 1))
        return STR_OVERLAP;
    if (used + source_length + 1 > size)
        return STR_TOO_SMALL;
    memcpy(destination + used, source, source_length + 1);
    return STR_OK;
}

prf_u32 str_copy(char* destination, prf_u32 size, const char* source) {
    prf_u32 error = str_check(destination, size);
    if (error != STR_OK)
        return error;
    if (source == NULL)
        return STR_NULL;
    // Checked before the destination is touched: the source may lie inside it.
    prf_u32 source_length = 0;
    error = str_length(source, kStrMaxSize, &source_length);
    if (error != STR_OK)
        return error;
    if (ranges_overlap(destination, size, source, source_length + 1))
        return STR_OVERLAP;
    if (source_length + 1 > size)
        return STR_TOO_SMALL;
    memcpy(destination, source, source_length + 1);
    return STR_OK;
}
} // namespace

// --- SHA-1 and Base64 ----------------------------------------------------------------------
namespace {
prf_u32 rotl(prf_u32 value, int bits) {
    return (value << bits) | (value >> (32 - bits));
}

void sha1_block(prf_u32 state[5], const prf_u8* block) {
    prf_u32 w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = (prf_u32)block[4 * i] << 24 | (prf_u32)block[4 * i + 1] << 16 |
               (prf_u32)block[4 * i + 2] << 8 | (prf_u32)block[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    prf_u32 a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
    for (int i = 0; i < 80; ++i) {
        prf_u32 f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999u;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1u;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDCu;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6u;
        }
        prf_u32 t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
}
} // namespace

void Sha1_Digest(const void* data, prf_u32 length, prf_u8 digest[20]) {
    prf_u32 state[5] = {0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u};
    const prf_u8* bytes = (const prf_u8*)data;
    prf_u32 done = 0;
    for (; length - done >= 64; done += 64)
        sha1_block(state, bytes + done);
    // The tail, the 0x80 marker and the bit count, in one or two last blocks.
    prf_u8 tail[128] = {0};
    prf_u32 rest = length - done;
    if (rest != 0)
        memcpy(tail, bytes + done, rest);
    tail[rest] = 0x80;
    prf_u32 tail_size = rest + 9 <= 64 ? 64 : 128;
    prf_u64 bits = (prf_u64)length * 8;
    for (int i = 0; i < 8; ++i)
        tail[tail_size - 1 - i] = (prf_u8)(bits >> (8 * i));
    for (prf_u32 offset = 0; offset < tail_size; offset += 64)
        sha1_block(state, tail + offset);
    for (int i = 0; i < 5; ++i) {
        digest[4 * i] = (prf_u8)(state[i] >> 24);
        digest[4 * i + 1] = (prf_u8)(state[i] >> 16);
        digest[4 * i + 2] = (prf_u8)(state[i] >> 8);
        digest[4 * i + 3] = (prf_u8)state[i];
    }
}

prf_u32 Base64_Encode(const prf_u8* data, prf_u32 length, char* out, prf_u32 capacity) {
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    prf_u32 needed = (length + 2) / 3 * 4;
    if (needed + 1 > capacity)
        return 0;
    prf_u32 o = 0;
    for (prf_u32 i = 0; i < length; i += 3) {
        prf_u32 left = length - i;
        prf_u32 group = (prf_u32)data[i] << 16;
        if (left > 1)
            group |= (prf_u32)data[i + 1] << 8;
        if (left > 2)
            group |= data[i + 2];
        out[o++] = alphabet[(group >> 18) & 63];
        out[o++] = alphabet[(group >> 12) & 63];
        out[o++] = left > 1 ? alphabet[(group >> 6) & 63] : '=';
        out[o++] = left > 2 ? alphabet[group & 63] : '=';
    }
    out[o] = '\0';
    return o;
}

// --- TCP -----------------------------------------------------------------------------------
prf_error TcpConn_Create(TcpConn** out) {
    *out = NULL;
    TcpConn* tcp_socket = (TcpConn*)prf_malloc(sizeof(TcpConn));
    if (tcp_socket == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    if (!os_prf_net_start()) {
        prf_free(tcp_socket);
        return PRF_ERROR_WINSOCK_START;
    }
    tcp_socket->socket = OS_PRF_SOCKET_INVALID;
    *out = tcp_socket;
    return PRF_ERROR_NONE;
}

void TcpConn_Destroy(TcpConn* tcp_socket) {
    PRF_ASSERT(tcp_socket != NULL);
    prf_error error = TcpConn_Close(tcp_socket);
    PRF_ASSERT(error == PRF_ERROR_NONE);
    os_prf_net_stop();
    prf_free(tcp_socket);
}

TcpPoll TcpConn_Poll(TcpConn* tcp_socket) {
    PRF_ASSERT(tcp_socket != NULL);
    TcpPoll result = {PRF_FALSE, PRF_FALSE, PRF_ERROR_NONE};
    if (tcp_socket->socket == OS_PRF_SOCKET_INVALID) {
        result.error = PRF_ERROR_SOCKET_CLOSED;
        return result;
    }
    bool can_read = false, can_write = false;
    int status = os_prf_socket_poll(tcp_socket->socket, &can_read, &can_write);
    if (status == 1)
        result.error = PRF_ERROR_SOCKET_POLL;
    else if (status == 2)
        result.error = PRF_ERROR_SOCKET_POLL_STATE;
    else {
        result.can_read = can_read ? PRF_TRUE : PRF_FALSE;
        result.can_write = can_write ? PRF_TRUE : PRF_FALSE;
    }
    return result;
}

prf_error TcpConn_Listen(TcpConn* tcp_socket, prf_u16 port, prf_bool loopback) {
    PRF_ASSERT(tcp_socket != NULL);
    os_prf_socket s = os_prf_socket_open();
    if (s == OS_PRF_SOCKET_INVALID)
        return PRF_ERROR_SOCKET_OPEN;
    if (!os_prf_socket_bind(s, port, loopback != PRF_FALSE)) {
        os_prf_socket_close(s);
        return PRF_ERROR_SOCKET_BIND;
    }
    tcp_socket->socket = s;
    if (!os_prf_socket_listen(s))
        return PRF_ERROR_SOCKET_LISTEN;
    if (!os_prf_socket_set_nonblocking(s))
        return PRF_ERROR_SOCKET_NONBLOCK;
    return PRF_ERROR_NONE;
}

prf_error TcpConn_Accept(TcpConn* tcp_socket, TcpConn** client_socket) {
    PRF_ASSERT(tcp_socket != NULL);
    PRF_ASSERT(client_socket != NULL);
    *client_socket = NULL;
    TcpPoll poll = TcpConn_Poll(tcp_socket);
    if (poll.error != PRF_ERROR_NONE)
        return poll.error;
    if (!poll.can_read)
        return PRF_ERROR_NONE;
    os_prf_socket s = os_prf_socket_accept(tcp_socket->socket);
    if (s == OS_PRF_SOCKET_INVALID)
        return PRF_ERROR_SOCKET_ACCEPT;
    TcpConn* accepted = NULL;
    prf_error error = TcpConn_Create(&accepted);
    if (error != PRF_ERROR_NONE) {
        os_prf_socket_close(s);
        return error;
    }
    accepted->socket = s;
    *client_socket = accepted;
    return PRF_ERROR_NONE;
}

// Shared by the send and receive loops: the counter may wrap while waiting, and then the
// wait starts over from the wrapped value rather than ending at once.
static bool waited_too_long(prf_u32* start, prf_u32 timeout_ms) {
    prf_u32 now = os_prf_tick_ms();
    if (now < *start) {
        *start = now;
        return false;
    }
    return now - *start > timeout_ms;
}

prf_error TcpConn_Send(TcpConn* tcp_socket, const prf_u8* data, prf_u32 length,
                       prf_u32 timeout_ms) {
    PRF_ASSERT(tcp_socket != NULL);
    PRF_ASSERT(data != NULL);
    PRF_ASSERT((int)length >= 0);
    prf_u32 start = os_prf_tick_ms();
    for (;;) {
        TcpPoll poll = TcpConn_Poll(tcp_socket);
        if (poll.error != PRF_ERROR_NONE)
            return poll.error;
        if (poll.can_write)
            break;
        if (os_prf_tick_ms() - start > timeout_ms)
            return PRF_ERROR_SEND_TIMEOUT;
    }
    prf_u32 sent = 0;
    while (sent < length) {
        sys_i64 count = os_prf_socket_send(tcp_socket->socket, data + sent, length - sent);
        if (count > 0) {
            sent += (prf_u32)count;
        } else if (count == 0 || count == OS_PRF_IO_WOULD_BLOCK) {
            if (waited_too_long(&start, timeout_ms))
                return PRF_ERROR_SEND_TIMEOUT;
        } else {
            return PRF_ERROR_SEND;
        }
    }
    return PRF_ERROR_NONE;
}

// TcpConn_Recv that also tells how many bytes arrived before it gave up, so that the
// WebSocket reader can keep a payload piece that came in slower than one read step instead of
// losing it and the framing with it.
static prf_error recv_counted(TcpConn* tcp_socket, prf_u8* data, prf_u32 length, prf_u32 timeout_ms,
                              prf_u32* out_received) {
    *out_received = 0;
    TcpPoll poll = TcpConn_Poll(tcp_socket);
    if (poll.error != PRF_ERROR_NONE)
        return poll.error;
    if (!poll.can_read)
        return PRF_ERROR_RECV_EMPTY;
    prf_u32 start = os_prf_tick_ms();
    prf_u32 received = 0;
    while (received < length) {
        sys_i64 count = os_prf_socket_recv(tcp_socket->socket, data + received, length - received);
        if (count > 0) {
            received += (prf_u32)count;
            *out_received = received;
        } else if (count == 0 || count == OS_PRF_IO_WOULD_BLOCK) {
            // A count of 0 means the peer closed its side; it is waited on like an empty
            // socket, and a viewer that has gone is noticed when a send to it fails.
            if (waited_too_long(&start, timeout_ms))
                return PRF_ERROR_RECV_TIMEOUT;
        } else {
            return PRF_ERROR_RECV;
        }
    }
    return PRF_ERROR_NONE;
}

prf_error TcpConn_Recv(TcpConn* tcp_socket, prf_u8* data, prf_u32 length, prf_u32 timeout_ms) {
    PRF_ASSERT(tcp_socket != NULL);
    PRF_ASSERT(data != NULL);
    PRF_ASSERT((int)length >= 0);
    prf_u32 received = 0;
    return recv_counted(tcp_socket, data, length, timeout_ms, &received);
}

prf_error TcpConn_Close(TcpConn* tcp_socket) {
    PRF_ASSERT(tcp_socket != NULL);
    if (tcp_socket->socket == OS_PRF_SOCKET_INVALID)
        return PRF_ERROR_NONE;
    // Shut the sending side first and drain what the peer still sends, so that closing does
    // not reset a connection whose last bytes are still on their way to the peer.
    if (os_prf_socket_shutdown_send(tcp_socket->socket)) {
        prf_u8 drop[128];
        while (os_prf_socket_recv(tcp_socket->socket, drop, sizeof(drop)) > 0) {
        }
    }
    os_prf_socket_close(tcp_socket->socket);
    tcp_socket->socket = OS_PRF_SOCKET_INVALID;
    return PRF_ERROR_NONE;
}

// --- the opening handshake -----------------------------------------------------------------
namespace {
const prf_u32 kRequestSize = 1024;
const prf_u32 kRequestText = kRequestSize - 1; // the last byte always stays NUL

// Reads the request byte by byte until its blank line, so that nothing after it (the first
// frame of an eager client) is taken off the socket.
prf_error read_request(TcpConn* tcp_socket, char* request) {
    prf_u32 start = os_prf_tick_ms();
    prf_u32 count = 0;
    while (count < kRequestText) {
        prf_error error = TcpConn_Recv(tcp_socket, (prf_u8*)request + count, 1, 20);
        if (error == PRF_ERROR_RECV_EMPTY || error == PRF_ERROR_RECV_TIMEOUT) {
            if (os_prf_tick_ms() - start > 1000)
                return PRF_ERROR_RECV_TIMEOUT;
            continue;
        }
        if (error != PRF_ERROR_NONE)
            return error;
        ++count;
        if (count >= 4 && memcmp(request + count - 4, "\r\n\r\n", 4) == 0) {
            request[count - 1] = '\0';
            break;
        }
    }
    return PRF_ERROR_NONE;
}

// The value of the field `name`: after the name and the spaces that follow it. Null when the
// name is not there or only spaces follow it up to the end of the text area.
char* find_field(char* request, const char* name) {
    const char* found = NULL;
    if (str_find(request, kRequestText, name, &found) != STR_OK)
        return NULL;
    prf_u32 position = (prf_u32)(found - request) + (prf_u32)strlen(name);
    while (position < kRequestText && request[position] == ' ')
        ++position;
    if (position >= kRequestText)
        return NULL;
    return request + position;
}
} // namespace

prf_error WebSocket_Handshake(TcpConn* tcp_socket) {
    PRF_ASSERT(tcp_socket != NULL);
    char request[kRequestSize];
    memset(request, 0, sizeof(request));
    prf_error error = read_request(tcp_socket, request);
    if (error != PRF_ERROR_NONE)
        return error;

    if (memcmp(request, "GET", 3) != 0)
        return PRF_ERROR_HANDSHAKE_NOT_GET;

    const char* version = find_field(request, "Sec-WebSocket-Version:");
    if (version == NULL)
        return PRF_ERROR_HANDSHAKE_NO_VERSION;
    if (kRequestText - (prf_u32)(version - request) < 2)
        return PRF_ERROR_HANDSHAKE_VERSION;
    if (version[0] != '8' && !(version[0] == '1' && version[1] == '3'))
        return PRF_ERROR_HANDSHAKE_VERSION;

    if (find_field(request, "Host:") == NULL)
        return PRF_ERROR_HANDSHAKE_NO_HOST;

    char* key = find_field(request, "Sec-WebSocket-Key:");
    if (key == NULL)
        return PRF_ERROR_HANDSHAKE_NO_KEY;
    prf_u32 key_room = kRequestText - (prf_u32)(key - request);
    const char* key_end = NULL;
    if (str_find(key, key_room, "\r\n", &key_end) != STR_OK)
        return PRF_ERROR_HANDSHAKE_KEY;

    // The accept value hashes the key with the protocol's fixed suffix; it is built where the
    // key lies, over the rest of the request, which is no longer needed.
    request[key_end - request] = '\0';
    if (str_append(key, key_room, "258EAFA5-E914-47DA-95CA-C5AB0DC85B11") != STR_OK)
        return PRF_ERROR_HANDSHAKE_TEXT;
    prf_u32 key_length = 0;
    if (str_length(key, key_room, &key_length) != STR_OK)
        return PRF_ERROR_HANDSHAKE_TEXT;
    prf_u8 digest[20];
    Sha1_Digest(key, key_length, digest);
    char accept[32];
    if (Base64_Encode(digest, 20, accept, sizeof(accept)) == 0)
        return PRF_ERROR_HANDSHAKE_TEXT;

    char response[256];
    response[0] = '\0';
    if (str_copy(response, sizeof(response),
                 "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: "
                 "Upgrade\r\nSec-WebSocket-Accept: ") != STR_OK ||
        str_append(response, sizeof(response), accept) != STR_OK ||
        str_append(response, sizeof(response), "\r\n\r\n") != STR_OK)
        return PRF_ERROR_HANDSHAKE_TEXT;
    prf_u32 response_length = 0;
    if (str_length(response, sizeof(response), &response_length) != STR_OK)
        return PRF_ERROR_HANDSHAKE_TEXT;
    return TcpConn_Send(tcp_socket, (const prf_u8*)response, response_length, 1000);
}

// --- WebSocket -----------------------------------------------------------------------------
prf_error WsConn_Create(WsConn** out, TcpConn* tcp_socket, prf_u32 mode) {
    *out = NULL;
    WsConn* web_socket = (WsConn*)prf_malloc(sizeof(WsConn));
    if (web_socket == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    memset(web_socket, 0, sizeof(WsConn));
    web_socket->tcp_socket = tcp_socket;
    web_socket->mode = mode;
    *out = web_socket;
    return PRF_ERROR_NONE;
}

void WsConn_Destroy(WsConn* web_socket) {
    PRF_ASSERT(web_socket != NULL);
    if (web_socket->tcp_socket != NULL)
        TcpConn_Destroy(web_socket->tcp_socket);
    prf_free(web_socket);
}

prf_error WsConn_Listen(WsConn* web_socket, prf_u16 port, prf_u32 mode, prf_bool loopback) {
    PRF_ASSERT(web_socket != NULL);
    web_socket->mode = mode;
    return TcpConn_Listen(web_socket->tcp_socket, port, loopback);
}

prf_error WsConn_Accept(WsConn* web_socket, WsConn** client_socket) {
    PRF_ASSERT(web_socket != NULL);
    PRF_ASSERT(client_socket != NULL);
    *client_socket = NULL;
    TcpConn* accepted = NULL;
    prf_error error = TcpConn_Accept(web_socket->tcp_socket, &accepted);
    if (error != PRF_ERROR_NONE || accepted == NULL)
        return error;
    error = WebSocket_Handshake(accepted);
    if (error == PRF_ERROR_NONE)
        error = WsConn_Create(client_socket, accepted, web_socket->mode);
    if (error != PRF_ERROR_NONE)
        TcpConn_Destroy(accepted);
    return error;
}

prf_error WsConn_Send(WsConn* web_socket, prf_u8* data, prf_u32 length, prf_u32 timeout_ms) {
    PRF_ASSERT(web_socket != NULL);
    PRF_ASSERT(data != NULL);
    TcpPoll poll = TcpConn_Poll(web_socket->tcp_socket);
    if (poll.error != PRF_ERROR_NONE)
        return poll.error;
    // The shortest header that holds the length, written to end right where the payload
    // starts: header and payload leave as one block without moving the payload.
    prf_u32 payload = length - PRF_SEND_RESERVE;
    prf_u8 header[PRF_SEND_RESERVE];
    prf_u32 header_size;
    header[0] = (prf_u8)(0x80 | web_socket->mode);
    if (payload < 126) {
        header[1] = (prf_u8)payload;
        header_size = 2;
    } else if (payload < 65536) {
        header[1] = 126;
        header[2] = (prf_u8)(payload >> 8);
        header[3] = (prf_u8)payload;
        header_size = 4;
    } else {
        header[1] = 127;
        header[2] = header[3] = header[4] = header[5] = 0;
        header[6] = (prf_u8)(payload >> 24);
        header[7] = (prf_u8)(payload >> 16);
        header[8] = (prf_u8)(payload >> 8);
        header[9] = (prf_u8)payload;
        header_size = 10;
    }
    prf_u8* frame = data + PRF_SEND_RESERVE - header_size;
    memcpy(frame, header, header_size);
    return TcpConn_Send(web_socket->tcp_socket, frame, payload + header_size, timeout_ms);
}

static prf_error read_frame_header(WsConn* web_socket) {
    TcpConn* tcp_socket = web_socket->tcp_socket;
    prf_u8 header[2];
    prf_error error = TcpConn_Recv(tcp_socket, header, 2, 20);
    if (error != PRF_ERROR_NONE)
        return error;
    if (header[0] == 0x88)
        return PRF_ERROR_VIEWER_CLOSED;
    // Only whole text or binary messages: fragments, pings and pongs end the connection.
    if (header[0] != 0x81 && header[0] != 0x82)
        return PRF_ERROR_FRAME_HEADER;
    prf_u32 length = header[1] & 0x7F;
    if (length == 126) {
        prf_u8 extended[2];
        if (TcpConn_Recv(tcp_socket, extended, 2, 20) != PRF_ERROR_NONE)
            return PRF_ERROR_FRAME_LENGTH;
        length = (prf_u32)extended[0] << 8 | extended[1];
    } else if (length == 127) {
        prf_u8 extended[8];
        if (TcpConn_Recv(tcp_socket, extended, 8, 20) != PRF_ERROR_NONE)
            return PRF_ERROR_FRAME_LENGTH;
        // A message is never near 4 GB; the upper half of the length is dropped.
        length = (prf_u32)extended[4] << 24 | (prf_u32)extended[5] << 16 |
                 (prf_u32)extended[6] << 8 | extended[7];
    }
    if (header[1] & 0x80) {
        error = TcpConn_Recv(tcp_socket, web_socket->mask, 4, 20);
        if (error != PRF_ERROR_NONE)
            return error;
    } else {
        memset(web_socket->mask, 0, 4);
    }
    web_socket->frame_left = length;
    web_socket->mask_index = 0;
    return PRF_ERROR_NONE;
}

prf_error WsConn_Recv(WsConn* web_socket, prf_u8* data, prf_u32* message_length, prf_u32 length,
                      prf_u32 timeout_ms) {
    PRF_ASSERT(web_socket != NULL);
    PRF_ASSERT(data != NULL);
    TcpPoll poll = TcpConn_Poll(web_socket->tcp_socket);
    if (poll.error != PRF_ERROR_NONE)
        return poll.error;
    prf_u32 start = os_prf_tick_ms();
    prf_u32 received = 0;
    while (received < length) {
        if (web_socket->frame_left == 0) {
            prf_error error = read_frame_header(web_socket);
            if (error != PRF_ERROR_NONE)
                return error;
            if (message_length != NULL)
                *message_length = web_socket->frame_left;
            continue; // an empty frame: on to the next header
        }
        prf_u32 count = length - received;
        if (count > web_socket->frame_left)
            count = web_socket->frame_left;
        prf_u8* bytes = data + received;
        prf_u32 arrived = 0;
        prf_error error = recv_counted(web_socket->tcp_socket, bytes, count, 20, &arrived);
        if (error != PRF_ERROR_NONE && error != PRF_ERROR_RECV_EMPTY &&
            error != PRF_ERROR_RECV_TIMEOUT)
            return error;
        // Bytes that came before a read step timed out are kept: dropping them would lose
        // the frame boundaries for good.
        const prf_u8* mask = web_socket->mask;
        if ((mask[0] | mask[1] | mask[2] | mask[3]) != 0) {
            // The key's position runs on over the whole frame, whatever pieces it is read in.
            for (prf_u32 i = 0; i < arrived; ++i)
                bytes[i] ^= mask[web_socket->mask_index++ & 3];
        }
        web_socket->frame_left -= arrived;
        received += arrived;
        if (error != PRF_ERROR_NONE && os_prf_tick_ms() - start > timeout_ms)
            return PRF_ERROR_RECV_TIMEOUT;
    }
    return PRF_ERROR_NONE;
}

// --- the server ----------------------------------------------------------------------------
// Makes the listening socket and runs it. When only running it fails (the port is taken)
// the socket stays: the next accept fails on it, which renews it.
static prf_error open_listener(Server* server) {
    TcpConn* tcp_socket = NULL;
    prf_error error = TcpConn_Create(&tcp_socket);
    if (error != PRF_ERROR_NONE)
        return error;
    WsConn* web_socket = NULL;
    error = WsConn_Create(&web_socket, tcp_socket, 0);
    if (error != PRF_ERROR_NONE) {
        TcpConn_Destroy(tcp_socket);
        return error;
    }
    server->listener = web_socket;
    return WsConn_Listen(web_socket, server->port, 2, server->bind_loopback);
}

prf_error Server_Open(Server* server, prf_u16 port, prf_bool loopback) {
    PRF_ASSERT(server != NULL);
    memset(server, 0, sizeof(Server));
    server->port = port;
    server->bind_loopback = loopback;
    ByteBuffer_Create(&server->send_buf, 4096);
    prf_error error = SendBuffer_Reset(&server->send_buf);
    if (error != PRF_ERROR_NONE)
        return error;
    return open_listener(server);
}

void Server_Close(Server* server) {
    PRF_ASSERT(server != NULL);
    if (server->client_socket != NULL)
        Server_DropViewer(server);
    if (server->listener != NULL) {
        WsConn_Destroy(server->listener);
        server->listener = NULL;
    }
    ByteBuffer_Destroy(&server->send_buf);
}

prf_bool Server_HasViewer(Server* server) {
    PRF_ASSERT(server != NULL);
    return server->client_socket != NULL ? PRF_TRUE : PRF_FALSE;
}

void Server_DropViewer(Server* server) {
    PRF_ASSERT(server != NULL);
    // Cleared before the socket goes, so that whoever reads the pointer sees a live viewer
    // or none. Dropping when there is none does nothing.
    WsConn* client_socket = server->client_socket;
    server->client_socket = NULL;
    PRF_COMPILER_BARRIER();
    if (client_socket != NULL)
        WsConn_Destroy(client_socket);
}

prf_error Server_Send(Server* server, prf_u8* data, prf_u32 length, prf_u32 timeout_ms) {
    PRF_ASSERT(server != NULL);
    if (server->client_socket == NULL)
        return PRF_ERROR_NONE;
    prf_error error = WsConn_Send(server->client_socket, data, length, timeout_ms);
    // A failed send means the viewer is gone; a time-out only that it is slow.
    if (error == PRF_ERROR_SEND)
        Server_DropViewer(server);
    return error;
}

// One message from the viewer, whose first byte has been read; each frame carries one.
static prf_error handle_message(Server* server, prf_u8 first, prf_u32 length) {
    WsConn* client_socket = server->client_socket;
    prf_u8 buffer[1024];
    if (length >= 1023) {
        prf_net_log_line("Ignoring console input bigger than internal receive buffer (1024 bytes)");
        // Dropped piecewise so that the next message starts where it should. Whether the rest
        // arrives or not, this message is done with; a stream left out of step shows up as a
        // bad frame header on the next read, which drops the viewer.
        prf_u32 left = length - 1;
        while (left > 0) {
            prf_u32 count = left < sizeof(buffer) ? left : (prf_u32)sizeof(buffer);
            if (WsConn_Recv(client_socket, buffer, NULL, count, 100) != PRF_ERROR_NONE)
                break;
            left -= count;
        }
        return PRF_ERROR_NONE;
    }
    buffer[0] = first;
    if (length > 1) {
        prf_error error = WsConn_Recv(client_socket, buffer + 1, NULL, length - 1, 100);
        if (error != PRF_ERROR_NONE)
            return error;
    }
    buffer[length] = '\0';
    if (length >= 4 && server->on_message != NULL)
        return server->on_message(server->on_message_context, buffer, length);
    return PRF_ERROR_NONE;
}

static void read_viewer_messages(Server* server) {
    for (;;) {
        WsConn* client_socket = server->client_socket;
        prf_u8 first = 0;
        // Stays at its mark when the byte continues a frame whose header an earlier pass
        // read (its payload had not arrived yet): then the frame's length is what is left of
        // it plus the byte just read.
        prf_u32 length = PRF_NOT_FOUND;
        prf_error error = WsConn_Recv(client_socket, &first, &length, 1, 0);
        if (error == PRF_ERROR_RECV_EMPTY || error == PRF_ERROR_RECV_TIMEOUT)
            return; // nothing more for now; the viewer stays
        if (error == PRF_ERROR_NONE) {
            if (length == PRF_NOT_FOUND)
                length = client_socket->frame_left + 1;
            error = handle_message(server, first, length);
        }
        if (error != PRF_ERROR_NONE) {
            Server_DropViewer(server);
            return;
        }
    }
}

prf_error Server_Update(Server* server) {
    PRF_ASSERT(server != NULL);
    // Failures to make or run the listening socket are not final: the next pass tries again.
    if (server->listener == NULL)
        open_listener(server);
    if (server->listener != NULL && server->client_socket == NULL) {
        WsConn* client_socket = NULL;
        prf_error error = WsConn_Accept(server->listener, &client_socket);
        if (error != PRF_ERROR_NONE) {
            WsConn_Destroy(server->listener);
            server->listener = NULL;
        } else if (client_socket != NULL) {
            server->client_socket = client_socket;
            server->connections++;
        }
    } else if (server->client_socket != NULL) {
        read_viewer_messages(server);
    }

    // Pinged once a second, viewer or not; a send that fails drops a viewer that has gone.
    prf_error result = PRF_ERROR_NONE;
    if (os_prf_tick_ms() - server->ping_tick > 1000) {
        result = SendBuffer_Reset(&server->send_buf);
        if (result == PRF_ERROR_NONE)
            result = ByteBuffer_AppendText(&server->send_buf, "PING");
        if (result == PRF_ERROR_NONE)
            Server_Send(server, server->send_buf.data, server->send_buf.bytes_filled, 10);
        server->ping_tick = os_prf_tick_ms();
    }
    return result;
}
