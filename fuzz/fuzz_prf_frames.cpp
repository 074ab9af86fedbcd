// The frame reader over arbitrary bytes from the viewer, fed through a socket pair.
//
// The first input byte picks the sizes of the reads, so that payloads are taken in pieces
// that cut frames and masks at every position. Every frame is also decoded here, plainly, and
// the reader's bytes must match that decoding for as long as the reader succeeds.
#include "profiler/net_internal.h"

#include <fcntl.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {
// The payload bytes of the complete, acceptable frames at the start of `data`.
std::vector<uint8_t> reference_payload(const uint8_t* data, size_t size) {
    std::vector<uint8_t> out;
    size_t at = 0;
    while (at + 2 <= size) {
        uint8_t first = data[at], second = data[at + 1];
        if (first != 0x81 && first != 0x82)
            break;
        size_t p = at + 2;
        // 126: two more length bytes; 127: eight, of which the reader keeps the low four.
        const size_t extra = (second & 0x7F) == 126 ? 2 : (second & 0x7F) == 127 ? 8 : 0;
        if (p + extra > size)
            break;
        uint64_t length = extra == 0 ? second & 0x7F : 0;
        for (size_t k = extra == 8 ? 4 : 0; k < extra; ++k)
            length = length << 8 | data[p + k];
        p += extra;
        uint8_t mask[4] = {0, 0, 0, 0};
        if (second & 0x80) {
            if (p + 4 > size)
                break;
            memcpy(mask, data + p, 4);
            p += 4;
        }
        for (uint64_t i = 0; i < length && p + i < size; ++i)
            out.push_back(data[p + i] ^ mask[i & 3]);
        if (p + length > size)
            break;
        at = p + length;
    }
    return out;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 65536)
        return 0;
    const uint8_t step = *data++;
    --size;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0)
        abort();
    fcntl(pair[0], F_SETFL, fcntl(pair[0], F_GETFL) | O_NONBLOCK);
    // A socket pair holds far more than the inputs allowed here.
    int room = 1 << 20;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &room, sizeof(room));
    if (size != 0 && write(pair[1], data, size) != (ssize_t)size)
        abort();

    TcpConn* tcp = nullptr;
    WsConn* ws = nullptr;
    if (TcpConn_Create(&tcp) != PRF_ERROR_NONE)
        abort();
    tcp->socket = (os_prf_socket)pair[0];
    if (WsConn_Create(&ws, tcp, 2) != PRF_ERROR_NONE)
        abort();

    std::vector<uint8_t> expected = reference_payload(data, size);
    std::vector<uint8_t> got;
    uint8_t buffer[512];
    for (unsigned round = 0;; ++round) {
        prf_u32 piece = 1 + ((step >> (round % 8)) * 37u + round) % sizeof(buffer);
        prf_u32 message_length = 0;
        if (WsConn_Recv(ws, buffer, &message_length, piece, 0) != PRF_ERROR_NONE)
            break;
        got.insert(got.end(), buffer, buffer + piece);
    }
    // What the reader gave is a prefix of the plain decoding.
    if (got.size() > expected.size() ||
        (!got.empty() && memcmp(got.data(), expected.data(), got.size()) != 0))
        abort();
    WsConn_Destroy(ws);
    close(pair[1]);
    return 0;
}
