// A viewer from the socket up, so that tests see the exact bytes sent: a blocking client
// (WsClient) and a viewer reading on a thread (StreamViewer).
#pragma once

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace qv_test {

using Bytes = std::vector<uint8_t>;

#if defined(_WIN32)
using Socket = SOCKET;
constexpr Socket kNoSocket = INVALID_SOCKET;
#else
using Socket = int;
constexpr Socket kNoSocket = -1;
#endif

struct SocketLibrary {
#if defined(_WIN32)
    SocketLibrary() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~SocketLibrary() {
        WSACleanup();
    }
#else
    SocketLibrary() {} // user-provided: never an unused variable
#endif
};

inline void close_socket(Socket s) {
#if defined(_WIN32)
    closesocket(s);
#else
    ::close(s);
#endif
}

inline void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}
inline std::chrono::steady_clock::time_point deadline_in(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}
inline int ms_until(std::chrono::steady_clock::time_point deadline) {
    using namespace std::chrono;
    return (int)duration_cast<milliseconds>(deadline - steady_clock::now()).count();
}

// A frame as a viewer sends it: the shortest length form unless `form` forces 126 or 127,
// masked when `mask` is given.
inline Bytes client_frame(uint8_t first, const Bytes& payload, const uint8_t* mask, int form = 0) {
    const size_t n = payload.size();
    if (form == 0)
        form = n < 126 ? 0 : n < 65536 ? 126 : 127;
    Bytes frame = {first, (uint8_t)((mask != nullptr ? 0x80 : 0) | (form == 0 ? n : (size_t)form))};
    for (int i = form == 0 ? -1 : form == 126 ? 1 : 7; i >= 0; --i)
        frame.push_back((uint8_t)((uint64_t)n >> (8 * i)));
    if (mask != nullptr)
        frame.insert(frame.end(), mask, mask + 4);
    for (size_t i = 0; i < n; ++i)
        frame.push_back(payload[i] ^ (mask != nullptr ? mask[i & 3] : 0));
    return frame;
}

class WsClient {
  public:
    WsClient() = default;
    ~WsClient() { close(); }
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // Retries until `wait_ms` has passed: the server may still be starting.
    bool connect_to(uint16_t port, int wait_ms = 5000, uint32_t ipv4 = INADDR_LOOPBACK) {
        for (auto deadline = deadline_in(wait_ms);; pause_ms(20)) {
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
            close();
            if (ms_until(deadline) < 0)
                return false;
        }
    }

    // Connects and shakes hands; true once the response's blank line arrived.
    bool open(uint16_t port) {
        if (!connect_to(port))
            return false;
        send("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
             "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n");
        std::string response;
        while (response.size() < 4 || response.compare(response.size() - 4, 4, "\r\n\r\n") != 0) {
            Bytes byte = receive(1, 5000);
            if (byte.empty())
                return false;
            response += (char)byte[0];
        }
        return true;
    }

    struct Frame {
        Bytes payload;
        bool ok = false;
        std::string text() const { return std::string(payload.begin(), payload.end()); }
    };

    // ok is false after `wait_ms` without a whole frame.
    Frame read_frame(int wait_ms = 5000) {
        Frame frame;
        Bytes head = receive(2, wait_ms);
        if (head.size() < 2)
            return frame;
        uint64_t length = head[1] & 0x7F;
        const size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
        Bytes ext = receive(extra, wait_ms);
        if (ext.size() < extra)
            return frame;
        for (size_t i = 0; i < extra; ++i)
            length = (i == 0 ? 0 : length << 8) | ext[i];
        frame.payload = receive((size_t)length, wait_ms);
        frame.ok = frame.payload.size() == length;
        return frame;
    }

    // Skips frames for up to 5 s until one whose identifier is among `ids` ("SSMP LOGM") and,
    // when given, whose payload equals `text`.
    Frame read_until(const char* ids, const std::string& text = "") {
        for (auto deadline = deadline_in(5000); ms_until(deadline) > 0;) {
            Frame frame = read_frame(ms_until(deadline));
            if (!frame.ok ||
                (frame.payload.size() >= 4 && strstr(ids, frame.text().substr(0, 4).c_str()) &&
                 (text.empty() || frame.text() == text)))
                return frame;
        }
        return Frame();
    }

    void send_frame(uint8_t opcode, const std::string& payload) {
        static const uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
        send(client_frame((uint8_t)(0x80 | opcode), Bytes(payload.begin(), payload.end()), key));
    }

    bool send(const Bytes& bytes) { return send(std::string(bytes.begin(), bytes.end())); }
    bool send(const std::string& bytes) {
        for (size_t sent = 0; sent < bytes.size();) {
            int n = (int)::send(sock_, bytes.data() + sent, (int)(bytes.size() - sent), 0);
            if (n <= 0)
                return false;
            sent += (size_t)n;
        }
        return true;
    }

    // Up to `length` bytes: fewer when the connection ends or `wait_ms` passes first.
    Bytes receive(size_t length, int wait_ms = 3000) {
        auto deadline = deadline_in(wait_ms);
        Bytes out(length);
        size_t got = 0;
        for (int n; got < length && readable(ms_until(deadline)) &&
                    (n = (int)recv(sock_, (char*)out.data() + got, (int)(length - got), 0)) > 0;)
            got += (size_t)n;
        out.resize(got);
        return out;
    }

    // True when the server closed the connection (what it sent before is skipped).
    bool closed_by_peer(int wait_ms = 3000) {
        char chunk[256];
        while (readable(wait_ms))
            if (recv(sock_, chunk, sizeof(chunk), 0) <= 0)
                return true;
        return false;
    }

    bool readable(int wait_ms) {
        if (wait_ms <= 0)
            return false;
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock_, &set);
        timeval timeout = {wait_ms / 1000, (wait_ms % 1000) * 1000};
        return select((int)sock_ + 1, &set, nullptr, nullptr, &timeout) == 1;
    }

    void close() {
        if (sock_ != kNoSocket)
            close_socket(sock_);
        sock_ = kNoSocket;
    }

  private:
    SocketLibrary library_;
    Socket sock_ = kNoSocket;
};

// A port that nothing listened on a moment ago, so tests never depend on a fixed one.
inline uint16_t pick_free_port() {
    SocketLibrary library;
    Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address); // an int in Winsock's headers
    uint16_t port = 0;
    if (bind(s, (sockaddr*)&address, sizeof(address)) == 0 &&
        getsockname(s, (sockaddr*)&address, &length) == 0)
        port = ntohs(address.sin_port);
    close_socket(s);
    return port;
}

// Removes the variable when `value` is null.
inline void set_env(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value != nullptr ? value : "");
#else
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
#endif
}

// Every later profiler start of this process listens on a free port, so the suite runs while
// another program holds the default one.
inline uint16_t use_own_profiler_port() {
    static const uint16_t port = pick_free_port();
    set_env("QV_SYS_PROFILER_PORT", std::to_string(port).c_str());
    return port;
}

inline uint32_t read_u32(const uint8_t* p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

// A tree message's thread and name hashes in pre-order; false when its lengths do not add up.
struct ViewedTree {
    std::string thread;
    std::vector<uint32_t> hashes;
};
inline bool parse_tree(const Bytes& payload, ViewedTree* out) {
    const uint8_t* p = payload.data();
    const size_t size = payload.size();
    if (size < 20 || read_u32(p + 4) != size || 12 + (size_t)read_u32(p + 8) + 8 > size)
        return false;
    out->thread.assign((const char*)p + 12, read_u32(p + 8));
    const size_t at = 12 + out->thread.size() + 8;
    const uint32_t count = read_u32(p + at - 8);
    if (count == 0 || at + (size_t)count * 51 != size)
        return false;
    for (uint32_t i = 0; i < count; ++i)
        out->hashes.push_back(read_u32(p + at + i * 51));
    return true;
}

// Reads frames as fast as they arrive and keeps what tests ask about, checking on the fly that
// every name in a tree arrived before it, and no name twice.
class StreamViewer {
  public:
    bool open(uint16_t port) {
        if (!client_.open(port))
            return false;
        reader_ = std::thread([this] {
            // Polled so that close() is noticed; a frame begun is read whole.
            for (bool ok = true; ok && !stop_;) {
                if (!client_.readable(100))
                    continue;
                WsClient::Frame frame = client_.read_frame(30000);
                std::lock_guard<std::mutex> lock(mutex_);
                ok = frame.ok;
                ok ? take(frame.payload) : faults.push_back("connection lost");
                changed_.notify_all();
            }
        });
        return true;
    }
    ~StreamViewer() { close(); }
    void close() {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        client_.close();
    }

    // Waits at most `wait_ms` for `done()`, evaluated under the lock.
    template <typename Done> bool wait_until(Done done, int wait_ms = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return done(); });
    }

    // Read under the lock (inside wait_until), or after close().
    std::map<uint32_t, std::string> names;                 // pushed names
    std::map<std::string, std::vector<std::string>> roots; // per thread: "root name/samples"
    std::map<std::string, uint64_t> count;                 // trees per thread
    std::map<std::string, uint64_t> samples;               // samples per thread
    std::vector<std::string> log_lines;
    uint64_t dropped_trees = 0, dropped_logs = 0, drop_messages = 0, bytes = 0;
    std::vector<std::string> faults; // broken streaming rules

  private:
    void take(const Bytes& payload) {
        bytes += payload.size();
        const uint8_t* p = payload.data();
        const std::string id(payload.begin(), payload.begin() + (payload.size() < 4 ? 0 : 4));
        if (id == "SSMP" && payload.size() >= 12) {
            const uint32_t hash = read_u32(p + 4);
            if (names.count(hash) != 0)
                faults.push_back("name pushed twice: " + names[hash]);
            names[hash] = std::string((const char*)p + 12, read_u32(p + 8));
        } else if (id == "SMPL") {
            ViewedTree tree;
            if (!parse_tree(payload, &tree))
                return faults.push_back("malformed tree");
            for (uint32_t hash : tree.hashes)
                if (names.count(hash) == 0) {
                    faults.push_back("tree of " + tree.thread + " before a name");
                    break;
                }
            count[tree.thread]++;
            samples[tree.thread] += tree.hashes.size();
            roots[tree.thread].push_back(names[tree.hashes[0]] + "/" +
                                         std::to_string(tree.hashes.size()));
        } else if (id == "DROP" && payload.size() == 12) {
            dropped_trees += read_u32(p + 4);
            dropped_logs += read_u32(p + 8);
            drop_messages++;
        } else if (id == "LOGM" && payload.size() >= 8) {
            log_lines.emplace_back((const char*)p + 8, payload.size() - 8);
        }
    }

    WsClient client_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace qv_test
