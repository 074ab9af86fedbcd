// A bounded soak of the running profiler: eight threads in nested scopes while viewers come
// and go over loopback, some polite, some sending garbage, hostile frames or vanishing
// mid-message. Nothing may crash or leak (the sanitizer lanes run it too), and afterwards a
// polite viewer must still get pings and a steady stream of messages, which only happens when
// the profiler thread keeps its pace. QV_SYS_SOAK_SECONDS sets the length (default 4).
#include "profiler/profiler_internal.h"
#include "qv_sys/scope.h"
#include "support/ws_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <stdlib.h>
#include <string>
#include <thread>
#include <vector>

using qv_test::WsClient;

namespace {

// Set before main: every scope_static_init of this process listens here.
const uint16_t kPort = qv_test::use_own_profiler_port();

int soak_seconds() {
    const char* text = getenv("QV_SYS_SOAK_SECONDS");
    int seconds = text != nullptr ? atoi(text) : 4;
    return seconds > 0 ? seconds : 4;
}

void scoped_work(std::atomic<bool>& stop, int index) {
    std::string long_name(1500, (char)('a' + index));
    long_name[700] = '\n';
    unsigned round = 0;
    while (!stop.load(std::memory_order_relaxed)) {
        scope_guard frame("soak_frame");
        for (int i = 0; i < 3; ++i) {
            scope_guard part(i == 1 ? "soak_part_b" : "soak_part_a");
            if ((round + (unsigned)i) % 7 == 0) {
                scope_guard deep(long_name.c_str());
            }
        }
        if (++round % 64 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// One visit of a viewer that may misbehave in one of several ways.
void visit(std::mt19937& random) {
    WsClient client;
    if (!client.connect_to(kPort, 2000))
        return;
    switch (random() % 6) {
    case 0: // garbage instead of a handshake
        client.send_all(std::string(300, '\x7f'));
        break;
    case 1: // gone before saying anything
        break;
    case 2: { // polite: reads a while, then a close frame
        if (client.handshake(2000).empty())
            return;
        for (int i = 0; i < 20; ++i)
            if (!client.read_frame(200).ok)
                break;
        client.send_frame(8, "");
        break;
    }
    case 3: { // frames the server refuses: ping, a continuation, a fragment
        if (client.handshake(2000).empty())
            return;
        static const uint8_t opcodes[] = {9, 0, 10};
        client.send_frame(opcodes[random() % 3], "CONIhostile");
        break;
    }
    case 4: { // oversized console input, then a length it never sends
        if (client.handshake(2000).empty())
            return;
        client.send_frame(1, "CONI" + std::string(1500, 'x'));
        client.send_all(
            std::string("\x81\xff\x00\x00\x01\x00\x00\x00\x00\x00\x01\x02\x03\x04", 14));
        break;
    }
    default: { // name queries with junk digits, then gone mid-frame
        if (client.handshake(2000).empty())
            return;
        client.send_frame(2, "GSMP99x9");
        client.send_frame(1, "GSMP" + std::to_string(HashName("soak_frame")));
        client.send_all(std::string("\x82\x85\x01\x02", 4));
        break;
    }
    }
}

} // namespace

TEST(ProfilerSoak, ViewersComeAndGoWhileEightThreadsProfile) {
    ASSERT_EQ(scope_static_init(), 0u);
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back(scoped_work, std::ref(stop), i);

    std::mt19937 random(1234);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(soak_seconds());
    int visits = 0;
    while (std::chrono::steady_clock::now() < end) {
        visit(random);
        ++visits;
    }

    // A polite viewer at the end: pings arrive, and messages flow at the consumer's pace
    // (10 a pass, one pass every 10 ms or so while the queue is full).
    // It may wait in the backlog until the server notices that the last visitor has gone (a
    // failed ping, once a second), and it may be turned away: a visitor still in the backlog
    // that fails its handshake makes the server renew its listening socket, which resets the
    // connections waiting behind it. A real viewer reconnects; so does this one.
    auto connected = [](WsClient& client) {
        return client.connect_to(kPort) && !client.handshake(15000).empty();
    };
    auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    std::unique_ptr<WsClient> viewer(new WsClient);
    while (!connected(*viewer) && std::chrono::steady_clock::now() < give_up)
        viewer.reset(new WsClient);
    WsClient& client = *viewer;
    int pings = 0, messages = 0;
    auto window_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
    while (std::chrono::steady_clock::now() < window_end) {
        WsClient::Frame frame = client.read_frame(1000);
        if (!frame.ok)
            break;
        ++messages;
        if (frame.payload.size() == 5 && memcmp(frame.payload.data(), "PING", 5) == 0)
            ++pings;
    }
    stop = true;
    for (std::thread& t : threads)
        t.join();
    scope_static_destroy();

    EXPECT_GT(visits, 0);
    EXPECT_GE(pings, 1);
    // 2.5 s at up to 1000 messages a second; even a 2-core machine under a sanitizer with
    // eight busy threads delivers far more than this while the loop keeps running.
    EXPECT_GE(messages, 150) << visits << " visits";
}
