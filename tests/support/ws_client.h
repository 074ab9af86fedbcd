// A viewer from the socket up, so that tests see the exact bytes sent: a blocking client and a
// viewer reading on a thread.
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
#else
using Socket = int;
inline int closesocket(Socket s) { // as Winsock names it
    return ::close(s);
}
#endif
constexpr Socket kNoSocket = (Socket)-1;

// Winsock wants starting once per process before the first socket.
inline void start_sockets() {
#if defined(_WIN32)
    [[maybe_unused]] static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
#endif
}

inline void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A viewer's frame: the shortest length form unless `form` is 126 or 127; masked by `mask`.
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

// The example key of the WebSocket handshake and the only answer it may get.
constexpr char kHandshakeKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
const std::string kHandshakeAnswer = "HTTP/1.1 101 Switching Protocols\r\n"
                                     "Upgrade: websocket\r\n"
                                     "Connection: Upgrade\r\n"
                                     "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

inline std::string text_of(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

class WsClient {
  public:
    WsClient() { start_sockets(); }
    ~WsClient() { close(); }
    WsClient(const WsClient&) = delete;
    WsClient& operator=(const WsClient&) = delete;

    // The listener is open while the profiler runs, a viewer connected or not: no retries.
    bool connect_to(uint16_t port, uint32_t ipv4 = INADDR_LOOPBACK) {
        sock_ = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(ipv4);
        if (connect(sock_, (sockaddr*)&address, sizeof(address)) == 0) {
            int one = 1; // small frames in pieces must leave at once
            setsockopt(sock_, IPPROTO_TCP, TCP_NODELAY, (const char*)&one, sizeof(one));
            return true;
        }
        close();
        return false;
    }

    bool open(uint16_t port) { // connects and shakes hands
        return connect_to(port) &&
               send(std::string("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\n"
                                "Connection: Upgrade\r\nSec-WebSocket-Key: ") +
                    kHandshakeKey + "\r\nSec-WebSocket-Version: 13\r\n\r\n") &&
               text_of(receive(kHandshakeAnswer.size(), 5000)) == kHandshakeAnswer;
    }

    // False after `wait_ms` without a whole frame.
    bool read_frame(std::string* payload, int wait_ms = 5000) {
        Bytes head = receive(2, wait_ms);
        if (head.size() < 2)
            return false;
        uint64_t length = head[1] & 0x7F;
        const size_t extra = length == 126 ? 2 : length == 127 ? 8 : 0;
        Bytes ext = receive(extra, wait_ms);
        if (ext.size() < extra)
            return false;
        for (size_t i = 0; i < extra; ++i)
            length = (i == 0 ? 0 : length << 8) | ext[i];
        *payload = text_of(receive((size_t)length, wait_ms));
        return payload->size() == length;
    }

    // Skips up to 500 frames (about 5 s of the profiler thread's own trees) until one whose
    // identifier is among `ids` ("SSMP LOGM"); empty when none came.
    std::string read_until(const char* ids) {
        std::string frame;
        for (int i = 0; i < 500 && read_frame(&frame); ++i)
            if (frame.size() >= 4 && strstr(ids, frame.substr(0, 4).c_str()))
                return frame;
        return "";
    }

    void send_frame(uint8_t opcode, const std::string& payload) {
        static const uint8_t key[4] = {0x11, 0x22, 0x33, 0x44};
        send(client_frame((uint8_t)(0x80 | opcode), Bytes(payload.begin(), payload.end()), key));
    }

    template <typename B> bool send(const B& bytes) { // Bytes or std::string
        for (size_t sent = 0; sent < bytes.size();) {
            const char* from = (const char*)bytes.data() + sent;
            int n = (int)::send(sock_, from, (int)(bytes.size() - sent), 0);
            if (n <= 0)
                return false;
            sent += (size_t)n;
        }
        return true;
    }

    // Up to `length` bytes: fewer when the connection ends or nothing comes for `wait_ms`.
    Bytes receive(size_t length, int wait_ms = 3000) {
        Bytes out(length);
        size_t got = 0;
        for (int n; got < length && readable(wait_ms) &&
                    (n = (int)recv(sock_, (char*)out.data() + got, (int)(length - got), 0)) > 0;)
            got += (size_t)n;
        out.resize(got);
        return out;
    }

    // True when the server closed the connection (what it sent before is skipped).
    bool closed_by_peer() {
        char chunk[256];
        while (readable(3000))
            if (recv(sock_, chunk, sizeof(chunk), 0) <= 0)
                return true;
        return false;
    }

    bool readable(int wait_ms) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(sock_, &set);
        timeval timeout = {wait_ms / 1000, (wait_ms % 1000) * 1000};
        return select((int)sock_ + 1, &set, nullptr, nullptr, &timeout) == 1;
    }

    void close() {
        if (sock_ != kNoSocket)
            closesocket(sock_);
        sock_ = kNoSocket;
    }

  private:
    Socket sock_ = kNoSocket;
};

// A port that nothing listened on a moment ago, so tests never depend on a fixed one.
inline uint16_t pick_free_port() {
    start_sockets();
    Socket s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address); // an int in Winsock's headers
    uint16_t port = 0;
    if (bind(s, (sockaddr*)&address, sizeof(address)) == 0 &&
        getsockname(s, (sockaddr*)&address, &length) == 0)
        port = ntohs(address.sin_port);
    closesocket(s);
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

inline uint32_t read_u32(const char* p) {
    uint32_t v;
    memcpy(&v, p, 4); // x86_64 only: little-endian like the messages
    return v;
}

// A tree message's thread and name hashes in pre-order; false when its lengths do not add up.
struct ViewedTree {
    std::string thread;
    std::vector<uint32_t> hashes;
};
inline bool parse_tree(const std::string& payload, ViewedTree* out) {
    const char* p = payload.data();
    const size_t size = payload.size();
    if (size < 20 || read_u32(p + 4) != size || 12 + (size_t)read_u32(p + 8) + 8 > size)
        return false;
    out->thread.assign(p + 12, read_u32(p + 8));
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
    // Returns once the first tree arrived: the profiler counts what it drops for this viewer
    // only from the pass that first saw it.
    bool open(uint16_t port) {
        if (!client_.open(port))
            return false;
        reader_ = std::thread([this] {
            // Polled so that close() is noticed; a frame begun is read whole.
            for (bool ok = true; ok && !stop_;) {
                if (!client_.readable(100))
                    continue;
                std::string frame;
                ok = client_.read_frame(&frame, 30000);
                std::lock_guard<std::mutex> lock(mutex_);
                ok ? take(frame) : faults.push_back("connection lost");
                changed_.notify_all();
            }
        });
        return wait_until([&] { return !roots.empty(); });
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
    std::map<std::string, uint64_t> count;                 // trees per thread (the benchmark)
    uint64_t total_trees = 0;
    std::vector<std::string> log_lines;
    uint64_t dropped_trees = 0, dropped_logs = 0, bytes = 0;
    std::vector<std::string> faults; // broken streaming rules

  private:
    void take(const std::string& payload) {
        bytes += payload.size();
        const char* p = payload.data();
        const std::string id = payload.substr(0, 4);
        if (id == "SSMP" && payload.size() >= 12) {
            const uint32_t hash = read_u32(p + 4);
            if (names.count(hash) != 0)
                faults.push_back("name pushed twice: " + names[hash]);
            names[hash] = payload.substr(12, read_u32(p + 8));
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
            total_trees++;
            roots[tree.thread].push_back(names[tree.hashes[0]] + "/" +
                                         std::to_string(tree.hashes.size()));
        } else if (id == "DROP" && payload.size() == 12) {
            dropped_trees += read_u32(p + 4);
            dropped_logs += read_u32(p + 8);
        } else if (id == "LOGM" && payload.size() >= 8) {
            log_lines.push_back(payload.substr(8));
        }
    }

    WsClient client_;
    std::thread reader_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace qv_test
