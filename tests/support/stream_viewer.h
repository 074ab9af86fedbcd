// A viewer for streaming-mode tests and benchmarks: a thread reads every frame the profiler
// sends as fast as it arrives (as a real viewer would, so the server never waits on it) and
// keeps what the tests ask about: the names pushed, the trees per thread, the drop counts.
// It also checks the stream's one rule on the fly: every name hash in a tree arrived first.
#pragma once

#include "ws_client.h"

#include <stdio.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qv_test {

// A tree as the viewer sees it: its thread, and each record's name hash and child count in
// pre-order.
struct ViewedTree {
    std::string thread;
    std::vector<uint32_t> hashes;
    std::vector<uint32_t> children;
};

inline bool parse_tree(const std::vector<uint8_t>& payload, ViewedTree* out) {
    const uint8_t* p = payload.data();
    size_t size = payload.size();
    if (size < 20 || read_u32(p + 4) != size)
        return false;
    uint32_t name_length = read_u32(p + 8);
    if (12 + (size_t)name_length + 8 > size)
        return false;
    out->thread.assign((const char*)p + 12, name_length);
    size_t at = 12 + name_length;
    uint32_t count = read_u32(p + at);
    at += 8;
    if (at + (size_t)count * 51 != size)
        return false;
    for (uint32_t i = 0; i < count; ++i, at += 51) {
        out->hashes.push_back(read_u32(p + at));
        out->children.push_back(read_u32(p + at + 47));
    }
    return true;
}

class StreamViewer {
  public:
    // Connects and shakes hands; false when that failed. `keep_trees`: keep every tree (tests),
    // or only count them (load runs).
    bool open(uint16_t port, bool keep_trees = true) {
        keep_trees_ = keep_trees;
        if (!client_.connect_to(port) || client_.handshake().empty())
            return false;
        reader_ = std::thread([this] { read_loop(); });
        return true;
    }
    ~StreamViewer() { close(); }
    void close() {
        stop_ = true;
        if (reader_.joinable())
            reader_.join();
        client_.close_socket();
    }

    // Waits (at most `wait_ms`) until `done()` holds, evaluated under the lock.
    template <typename Done> bool wait_until(Done done, int wait_ms = 20000) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return done(); });
    }

    // Everything below is read under the lock (inside wait_until, or after close()).
    std::map<uint32_t, std::string> names;   // pushed names
    std::vector<ViewedTree> trees;           // kept trees, in arrival order
    std::map<std::string, uint64_t> count;   // trees per thread
    std::map<std::string, uint64_t> samples; // samples per thread
    std::vector<std::string> log_lines;
    uint64_t dropped_trees = 0, dropped_logs = 0, drop_messages = 0;
    uint64_t bytes = 0;
    std::vector<std::string> faults; // broken rules: a name pushed twice, a tree before its names

  private:
    void read_loop() {
        while (!stop_) {
            // Polled so that close() is noticed; once a frame has begun, it is read whole.
            if (!client_.readable(100))
                continue;
            WsClient::Frame frame = client_.read_frame(30000);
            if (!frame.ok) {
                std::lock_guard<std::mutex> lock(mutex_);
                faults.push_back("connection lost");
                changed_.notify_all();
                return;
            }
            std::lock_guard<std::mutex> lock(mutex_);
            take(frame.payload);
            changed_.notify_all();
        }
    }

    void take(const std::vector<uint8_t>& payload) {
        bytes += payload.size();
        if (payload.size() < 4)
            return;
        std::string id((const char*)payload.data(), 4);
        const uint8_t* p = payload.data();
        if (id == "SSMP" && payload.size() >= 12) {
            uint32_t hash = read_u32(p + 4);
            if (names.count(hash) != 0)
                faults.push_back("name pushed twice: " + names[hash]);
            names[hash] = std::string((const char*)p + 12, read_u32(p + 8));
        } else if (id == "SMPL") {
            ViewedTree tree;
            if (!parse_tree(payload, &tree)) {
                faults.push_back("malformed tree");
                return;
            }
            for (uint32_t hash : tree.hashes)
                if (names.count(hash) == 0) {
                    char text[64];
                    snprintf(text, sizeof(text), "tree of %s before name %08x", tree.thread.c_str(),
                             hash);
                    faults.push_back(text);
                    break;
                }
            count[tree.thread]++;
            samples[tree.thread] += tree.hashes.size();
            if (keep_trees_)
                trees.push_back(std::move(tree));
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
    bool keep_trees_ = true;
    std::mutex mutex_;
    std::condition_variable changed_;
};

} // namespace qv_test
