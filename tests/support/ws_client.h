// A small blocking WebSocket client for the profiler tests: it connects to 127.0.0.1, does the
// opening handshake by hand and reads and writes frames byte by byte as a viewer would, so the
// tests see exactly the bytes the profiler sends. Winsock on Windows, BSD sockets on Linux.
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace qv_test {

// A frame as a viewer sends it: `first` byte (FIN and opcode), the shortest length form unless
// `form` forces 126 or 127, masked with `mask` when given.
inline std::vector<uint8_t> client_frame(uint8_t first, const std::vector<uint8_t>& payload,
                                         const uint8_t* mask, int form = 0) {
    std::vector<uint8_t> frame = {first};
    uint8_t mask_bit = mask != nullptr ? 0x80 : 0;
    size_t n = payload.size();
    if (form == 0)
        form = n < 126 ? 0 : n < 65536 ? 126 : 127;
    if (form == 0) {
        frame.push_back((uint8_t)(mask_bit | n));
    } else if (form == 126) {
        frame.push_back(mask_bit | 126);
        frame.push_back((uint8_t)(n >> 8));
        frame.push_back((uint8_t)n);
    } else {
        frame.push_back(mask_bit | 127);
        for (int i = 7; i >= 0; --i)
            frame.push_back((uint8_t)((uint64_t)n >> (8 * i)));
    }
    if (mask != nullptr)
        frame.insert(frame.end(), mask, mask + 4);
    for (size_t i = 0; i < n; ++i)
        frame.push_back(payload[i] ^ (mask != nullptr ? mask[i & 3] : 0));
    return frame;
}

class WsClient {
  public:
    WsClient() {
#if defined(_WIN32)
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
#endif
    }
    ~WsClient() {
        close_socket();
#if defined(_WIN32)
        WSACleanup();
#endif
    }
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // Connects, retrying until `wait_ms` has passed (the server may still be starting).
    bool connect_to(uint16_t port, int wait_ms = 5000, uint32_t ipv4 = INADDR_LOOPBACK) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        for (;;) {
            sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
            sockaddr_in address = {};
            address.sin_family = AF_INET;
            address.sin_port = htons(port);
            address.sin_addr.s_addr = htonl(ipv4);
            if (connect(sock_, (sockaddr*)&address, sizeof(address)) == 0) {
                int one = 1;
                setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof(one));
                return true;
            }
            close_socket();
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            sleep_ms(20);
        }
    }

    // Sends a version-13 request with the standard's sample key and gives the response up to
    // its blank line ("" when none came in `wait_ms`).
    std::string handshake(int wait_ms = 5000) {
        send_all("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                 "Connection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
                 "Sec-WebSocket-Version: 13\r\n\r\n");
        std::string response;
        uint8_t byte;
        while (response.size() < 4 || response.compare(response.size() - 4, 4, "\r\n\r\n") != 0) {
            if (!recv_exact(&byte, 1, wait_ms))
                return "";
            response.push_back((char)byte);
        }
        return response;
    }

    struct Frame {
        uint8_t first = 0; // FIN and opcode
        std::vector<uint8_t> payload;
        bool ok = false;
    };

    // Reads one frame from the server; ok is false after `wait_ms` without a whole frame.
    Frame read_frame(int wait_ms = 5000) {
        Frame frame;
        uint8_t head[2];
        if (!recv_exact(head, 2, wait_ms))
            return frame;
        frame.first = head[0];
        uint64_t length = head[1] & 0x7F;
        if (length == 126) {
            uint8_t ext[2];
            if (!recv_exact(ext, 2, wait_ms))
                return frame;
            length = ((uint64_t)ext[0] << 8) | ext[1];
        } else if (length == 127) {
            uint8_t ext[8];
            if (!recv_exact(ext, 8, wait_ms))
                return frame;
            length = 0;
            for (int i = 0; i < 8; ++i)
                length = (length << 8) | ext[i];
        }
        frame.payload.resize((size_t)length);
        if (length != 0 && !recv_exact(frame.payload.data(), (size_t)length, wait_ms))
            return frame;
        frame.ok = true;
        return frame;
    }

    // Reads frames until one whose payload starts with `id` (4 bytes) and passes `accept`.
    template <typename Accept> Frame read_until(const char* id, Accept accept, int wait_ms = 5000) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        for (;;) {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now())
                           .count();
            if (left <= 0)
                return Frame();
            Frame frame = read_frame(left);
            if (!frame.ok)
                return frame;
            if (frame.payload.size() >= 4 && memcmp(frame.payload.data(), id, 4) == 0 &&
                accept(frame))
                return frame;
        }
    }

    // Sends one final frame with `opcode`, masked with `mask` unless it is zero.
    void send_frame(uint8_t opcode, const std::string& payload, uint32_t mask = 0x11223344) {
        const uint8_t key[4] = {(uint8_t)(mask >> 24), (uint8_t)(mask >> 16), (uint8_t)(mask >> 8),
                                (uint8_t)mask};
        send_frame(client_frame((uint8_t)(0x80 | opcode),
                                std::vector<uint8_t>(payload.begin(), payload.end()),
                                mask != 0 ? key : nullptr));
    }

    // Sends bytes as they are (a frame built by client_frame, or anything else).
    bool send_frame(const std::vector<uint8_t>& bytes) {
        return send_bytes(bytes.data(), bytes.size());
    }
    bool send_text(const std::string& text) {
        return send_bytes(text.data(), text.size());
    }
    bool send_bytes(const void* data, size_t length) {
        return send_all(std::string((const char*)data, length));
    }

    // Up to `length` bytes: fewer when the connection ends or nothing comes for `wait_ms`.
    std::vector<uint8_t> receive(size_t length, int wait_ms = 3000) {
        std::vector<uint8_t> out;
        char chunk[4096];
        while (out.size() < length && readable(wait_ms)) {
            size_t want = length - out.size();
            int count =
                (int)recv(sock_, chunk, (int)(want < sizeof(chunk) ? want : sizeof(chunk)), 0);
            if (count <= 0)
                break;
            out.insert(out.end(), chunk, chunk + count);
        }
        return out;
    }

    // True when the server closed the connection (end of stream or reset); whatever it sent
    // before is skipped.
    bool closed_by_peer(int wait_ms = 3000) {
        char chunk[256];
        while (readable(wait_ms))
            if (recv(sock_, chunk, sizeof(chunk), 0) <= 0)
                return true;
        return false;
    }

    bool nothing_arrived() {
        return !readable(50);
    }

    // Whether something can be read within `wait_ms`.
    bool readable(int wait_ms) {
#if defined(_WIN32)
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock_, &set);
        timeval timeout = {wait_ms / 1000, (wait_ms % 1000) * 1000};
        return select(0, &set, nullptr, nullptr, &timeout) == 1;
#else
        pollfd fd = {sock_, POLLIN, 0};
        return poll(&fd, 1, wait_ms) == 1;
#endif
    }

    bool send_all(const std::string& bytes) {
        size_t sent = 0;
        while (sent < bytes.size()) {
            int n = (int)send(sock_, bytes.data() + sent, (int)(bytes.size() - sent), 0);
            if (n <= 0)
                return false;
            sent += (size_t)n;
        }
        return true;
    }

    void close_socket() {
        if (sock_ == kInvalid)
            return;
#if defined(_WIN32)
        closesocket(sock_);
#else
        ::close(sock_);
#endif
        sock_ = kInvalid;
    }

    static void sleep_ms(int ms) {
#if defined(_WIN32)
        Sleep((DWORD)ms);
#else
        usleep((useconds_t)ms * 1000);
#endif
    }

  private:
#if defined(_WIN32)
    using Socket = SOCKET;
    static constexpr Socket kInvalid = INVALID_SOCKET;
#else
    using Socket = int;
    static constexpr Socket kInvalid = -1;
#endif

    bool recv_exact(uint8_t* out, size_t length, int wait_ms) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        size_t got = 0;
        while (got < length) {
            int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now())
                           .count();
            if (left <= 0 || !readable(left))
                return false;
            int n = (int)recv(sock_, (char*)out + got, (int)(length - got), 0);
            if (n <= 0)
                return false;
            got += (size_t)n;
        }
        return true;
    }

    Socket sock_ = kInvalid;
};

// A TCP port that nothing listened on a moment ago: the system's pick for a socket bound to
// port 0 on 127.0.0.1, so tests never depend on a fixed port being free.
inline uint16_t pick_free_port() {
    WsClient library; // starts the socket library on Windows
#if defined(_WIN32)
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    int length = sizeof(sockaddr_in);
#else
    int s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    socklen_t length = sizeof(sockaddr_in);
#endif
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    uint16_t port = 0;
    if (bind(s, (sockaddr*)&address, sizeof(address)) == 0 &&
        getsockname(s, (sockaddr*)&address, &length) == 0)
        port = ntohs(address.sin_port);
#if defined(_WIN32)
    closesocket(s);
#else
    ::close(s);
#endif
    return port;
}

// Picks a free port and makes every later profiler start of this process listen there
// (QV_SYS_PROFILER_PORT), so the suite runs while another program holds the default port.
inline uint16_t use_own_profiler_port() {
    static const uint16_t port = [] {
        uint16_t picked = pick_free_port();
        std::string value = std::to_string(picked);
#if defined(_WIN32)
        _putenv_s("QV_SYS_PROFILER_PORT", value.c_str());
#else
        setenv("QV_SYS_PROFILER_PORT", value.c_str(), 1);
#endif
        return picked;
    }();
    return port;
}

// Little-endian readers for message fields.
inline uint32_t read_u32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}
inline double read_f64(const uint8_t* p) {
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i)
        bits = (bits << 8) | p[i];
    double value;
    memcpy(&value, &bits, 8);
    return value;
}

} // namespace qv_test
