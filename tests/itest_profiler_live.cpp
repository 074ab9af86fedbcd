// The running profiler: the name hash, the bytes of a serialised tree, log lines and trees as
// they reach the queue, the instance's start and stop, and a viewer on the wire receiving
// pings, log lines, trees and name answers. The tests listen on a port picked for this process
// (QV_SYS_PROFILER_PORT), so they run while another program holds the default one.
#include "profiler/profiler_internal.h"
#include "qv_sys/scope.h"
#include "qv_sys/thread.h"
#include "profiler/scope_internal.h"
#include "support/test_support.h"
#include "support/ws_client.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

using qv_test::read_f64;
using qv_test::read_u32;
using qv_test::WsClient;

namespace {

// Set before main: every scope_static_init of this process listens here.
const uint16_t kPort = qv_test::use_own_profiler_port();

std::string log_line(const std::string& text) {
    std::string line = "LOGM";
    for (int i = 0; i < 4; ++i)
        line.push_back((char)(text.size() >> (8 * i)));
    return line + text;
}

// A sample built by hand, outside any pool.
Sample make_sample(prf_u32 name_hash, prf_u32 path_id, prf_u64 start, prf_u64 length,
                   prf_u64 children) {
    Sample s;
    memset(&s, 0, sizeof(s));
    s.name_hash = name_hash;
    s.path_id = path_id;
    s.start_us = start;
    s.length_us = length;
    s.children_us = children;
    s.call_count = 1;
    return s;
}

void adopt(Sample* parent, Sample* child) {
    child->parent = parent;
    if (parent->last_child != nullptr)
        parent->last_child->next_sibling = child;
    else
        parent->first_child = child;
    parent->last_child = child;
    ++parent->nb_children;
}

std::vector<prf_u8> serialise(Sample* root, const char* thread_name) {
    const void* payload[3] = {root, nullptr, thread_name};
    ByteBuffer buffer;
    ByteBuffer_Create(&buffer, 4096);
    EXPECT_EQ(bin_SampleTree(&buffer, (const prf_u8*)payload), PRF_ERROR_NONE);
    std::vector<prf_u8> bytes(buffer.data, buffer.data + buffer.bytes_filled);
    ByteBuffer_Destroy(&buffer);
    return bytes;
}

} // namespace

TEST(ProfilerName, HashIsMurmur3WithSeedZeroOverAtMost256Bytes) {
    EXPECT_EQ(HashName(""), 0u);
    // Every length of the last, incomplete block, and one whole block.
    EXPECT_EQ(HashName("a"), 0x3c2569b2u);
    EXPECT_EQ(HashName("ab"), 0x9bbfd75fu);
    EXPECT_EQ(HashName("abc"), 0xb3dd93fau);
    EXPECT_EQ(HashName("abcd"), 0x43ed676au);
    EXPECT_EQ(HashName("hello"), 0x248bfa47u);
    EXPECT_EQ(HashName("The quick brown fox jumps over the lazy dog"), 0x2e4ff723u);
    std::string long_name(300, 'q');
    EXPECT_EQ(HashName(long_name.c_str()), HashName(long_name.substr(0, 256).c_str()));
    EXPECT_NE(HashName(long_name.substr(0, 255).c_str()), HashName(long_name.c_str()));
}

TEST(ProfilerMessages, OneSampleTreeIsSeventyEightBytes) {
    Sample s = make_sample(0x00123456, 0xCAFE, 12, 40, 0);
    std::vector<prf_u8> m = serialise(&s, "Thread0");
    std::vector<prf_u8> expected;
    auto u32 = [&](prf_u32 v) {
        for (int i = 0; i < 4; ++i)
            expected.push_back((prf_u8)(v >> (8 * i)));
    };
    auto f64 = [&](double d) {
        prf_u64 bits;
        memcpy(&bits, &d, 8);
        for (int i = 0; i < 8; ++i)
            expected.push_back((prf_u8)(bits >> (8 * i)));
    };
    auto text = [&](const char* t) { expected.insert(expected.end(), t, t + strlen(t)); };
    text("SMPL");
    u32(78);
    u32(7);
    text("Thread0");
    u32(1);
    u32(MixHash(0, 0xCAFE));
    u32(0x00123456);
    u32(0xCAFE);
    text("#a98765");
    f64(12);
    f64(40);
    f64(40);
    u32(1);
    u32(0);
    u32(0);
    EXPECT_EQ(m, expected);
}

TEST(ProfilerMessages, TreeRecordsFollowPreOrderWithDigestColoursAndClampedSelfTime) {
    // a(b(d), c): b ran longer than a was measured, so a's self time is 0, not a wrap.
    Sample a = make_sample(0xFFFFFF, 1, 0, 10, 30);
    Sample b = make_sample(0x000000, 2, 1, 30, 5);
    Sample c = make_sample(0x0F0F0F, 3, 2, 0, 0);
    Sample d = make_sample(0x213243, 4, 3, 5, 0);
    adopt(&a, &b);
    adopt(&a, &c);
    adopt(&b, &d);
    c.call_count = 7;
    std::vector<prf_u8> m = serialise(&a, "worker");
    ASSERT_EQ(m.size(), 8u + 4 + 6 + 4 + 4 + 4 * 51);
    EXPECT_EQ(read_u32(&m[4]), m.size());
    EXPECT_EQ(read_u32(&m[18]), 4u);
    EXPECT_EQ(read_u32(&m[22]), MixHash(MixHash(MixHash(MixHash(0, 1), 2), 4), 3));
    struct Expect {
        prf_u32 path;
        const char* colour;
        double self;
        prf_u32 calls, children;
    } records[] = {{1, "#ffffff", 0, 1, 2},
                   {2, "#444444", 25, 1, 1},
                   {4, "#786756", 5, 1, 0},
                   {3, "#f4f4f4", 0, 7, 0}};
    const prf_u8* r = &m[26];
    for (const Expect& e : records) {
        EXPECT_EQ(read_u32(r + 4), e.path);
        EXPECT_EQ(std::string((const char*)r + 8, 7), e.colour);
        EXPECT_EQ(read_f64(r + 31), e.self);
        EXPECT_EQ(read_u32(r + 39), e.calls);
        EXPECT_EQ(read_u32(r + 43), 0u);
        EXPECT_EQ(read_u32(r + 47), e.children);
        r += 51;
    }
}

// --- a running instance, read from its queue (no viewer: the profiler thread leaves the
// queue alone, so the test may act as its reader) ---------------------------------------------

namespace {

struct QueuedMessage {
    prf_u32 id;
    std::string thread;
    std::string payload;
    Sample* tree = nullptr;
    ObjectPool* allocator = nullptr;
};

// Takes every committed message that did not come from the profiler thread itself.
std::vector<QueuedMessage> drain_queue() {
    std::vector<QueuedMessage> out;
    MsgRing* queue = profiler_instance()->sample_queue;
    while (Message* message = MsgRing_Peek(queue)) {
        QueuedMessage m;
        m.id = message->id;
        m.thread = message->thread_sampler != nullptr ? message->thread_sampler->name : "";
        const prf_u8* payload = Message_Payload(message);
        if (m.id == MsgID_Tree) {
            memcpy(&m.tree, payload, sizeof(void*));
            memcpy(&m.allocator, payload + sizeof(void*), sizeof(void*));
        } else {
            m.payload.assign((const char*)payload, message->payload_size);
        }
        if (m.thread == "Profiler") {
            if (m.id == MsgID_Tree)
                ReleaseSampleTree(m.tree, m.allocator);
        } else {
            out.push_back(m);
        }
        MsgRing_Release(queue, message);
    }
    return out;
}

void release_trees(const std::vector<QueuedMessage>& messages) {
    for (const QueuedMessage& m : messages)
        if (m.id == MsgID_Tree)
            ReleaseSampleTree(m.tree, m.allocator);
}

class ProfilerInstance : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(scope_static_init(), 0u); }
    void TearDown() override {
        if (profiler_instance() != nullptr)
            release_trees(drain_queue());
        scope_static_destroy();
        EXPECT_EQ(profiler_instance(), nullptr);
    }
};

} // namespace

TEST_F(ProfilerInstance, LogTextSplitsAtLineFeedsAndAfter1015Bytes) {
    struct Case {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"a\nb", {"a", "b"}},
        {"a\n\nb", {"a", "", "b"}},
        {"tail\n", {"tail"}},
        {"\n", {""}},
        {"", {}},
        {std::string(2000, 'z'), {std::string(1015, 'z'), std::string(985, 'z')}},
        {std::string(1015, 'y'), {std::string(1015, 'y')}},
    };
    for (const Case& c : cases) {
        PostLogText(c.text.c_str());
        std::vector<QueuedMessage> got = drain_queue();
        ASSERT_EQ(got.size(), c.lines.size()) << c.text.substr(0, 20);
        for (size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].id, (prf_u32)MsgID_Log);
            EXPECT_EQ(got[i].payload, log_line(c.lines[i]));
        }
    }
}

TEST_F(ProfilerInstance, ScopesQueueTheirNameAndOneTreeWhenTheOutermostCloses) {
    scope_begin("outer");
    scope_begin("inner");
    scope_end();
    scope_begin("inner");
    scope_end();
    std::vector<QueuedMessage> open = drain_queue();
    ASSERT_EQ(open.size(), 3u); // the names only: the tree is not finished yet
    scope_end();
    scope_end(); // one too many: ignored
    std::vector<QueuedMessage> got = drain_queue();
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(open[0].payload, log_line("outer"));
    EXPECT_EQ(open[1].payload, log_line("inner"));
    EXPECT_EQ(open[2].payload, log_line("inner"));
    ASSERT_EQ(got[0].id, (prf_u32)MsgID_Tree);
    EXPECT_EQ(got[0].thread.rfind("Thread", 0), 0u);

    Sample* outer = got[0].tree;
    EXPECT_EQ(outer->name_hash, HashName("outer"));
    EXPECT_EQ(outer->path_id, MixHash(MixHash(0, HashName("outer")), 0));
    ASSERT_EQ(outer->nb_children, 2u);
    Sample* first = outer->first_child;
    Sample* second = first->next_sibling;
    EXPECT_EQ(first->name_hash, HashName("inner"));
    EXPECT_EQ(first->path_id, MixHash(MixHash(outer->path_id, HashName("inner")), 0));
    EXPECT_EQ(second->path_id, MixHash(MixHash(outer->path_id, HashName("inner")), 1));
    EXPECT_GE(outer->length_us, outer->children_us);
    EXPECT_EQ(outer->children_us, first->length_us + second->length_us);
    EXPECT_LE(outer->start_us, first->start_us);
    const prf_u32 outer_path = outer->path_id;
    release_trees(got);

    // The root was reset: the same top-level name gets the same id in the next tree.
    scope_begin("outer");
    scope_end();
    got = drain_queue();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].tree->path_id, outer_path);
    release_trees(got);
}

// A host may build its names in a buffer that it reuses: each scope is named by the bytes the
// buffer holds at its scope_begin, and each of those names is stored.
TEST_F(ProfilerInstance, ANameBufferReusedWithOtherBytesNamesEachScopeByItsBytes) {
    // Longer, shorter, a prefix and back: the same address with other bytes each time.
    const char* const texts[] = {"job 1", "job 12", "job 1", "job", "jo", "job 2", "job 1"};
    char buffer[32];
    scope_begin("frame");
    for (const char* text : texts) {
        strcpy(buffer, text);
        scope_begin(buffer);
        scope_end();
    }
    scope_end();
    std::vector<QueuedMessage> got = drain_queue();
    Sample* frame = nullptr;
    for (const QueuedMessage& m : got)
        if (m.id == MsgID_Tree)
            frame = m.tree;
    ASSERT_NE(frame, nullptr);
    Sample* child = frame->first_child;
    ThreadSampler* ts = nullptr;
    ASSERT_EQ(FetchThreadSampler(profiler_instance(), &ts), PRF_ERROR_NONE);
    for (const char* text : texts) {
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(child->name_hash, HashName(text)) << text;
        char stored[32];
        EXPECT_NE(NameTable_CopyName(ts->names, HashName(text), stored, sizeof(stored)),
                  PRF_NOT_FOUND)
            << text;
        EXPECT_STREQ(stored, text);
        child = child->next_sibling;
    }
    EXPECT_EQ(child, nullptr);
    release_trees(got);
}

sys_u32 two_frames(void*) {
    for (int i = 0; i < 2; ++i) {
        scope_begin("frame");
        scope_end();
    }
    return 0;
}

// The default mode keeps a library thread whole: its whole life is one tree,
// sent when it ends, under its sampler's number; a host-given name replaces the number.
TEST_F(ProfilerInstance, LibraryThreadIsOneTreeAtItsEndAndTheHostMayNameAThread) {
    thread_thread_join(thread_thread_create(two_frames, nullptr, "worker", -1));
    std::vector<QueuedMessage> got = drain_queue();
    std::vector<QueuedMessage> trees;
    for (const QueuedMessage& m : got)
        if (m.id == MsgID_Tree && m.thread != "Profiler")
            trees.push_back(m);
    ASSERT_EQ(trees.size(), 1u);
    EXPECT_EQ(trees[0].thread.rfind("Thread", 0), 0u) << trees[0].thread;
    EXPECT_EQ(trees[0].tree->name_hash, HashName("thread_entry"));
    EXPECT_EQ(trees[0].tree->nb_children, 2u);
    release_trees(got);

    std::thread([] {
        scope_set_thread_name("render");
        scope_begin("frame");
        scope_end();
    }).join();
    got = drain_queue();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back().thread, "render");
    release_trees(got);
}

TEST_F(ProfilerInstance, EachThreadGetsItsOwnNumberedSampler) {
    std::vector<std::string> names;
    for (int i = 0; i < 3; ++i) {
        std::thread([] {
            scope_begin("t");
            scope_end();
        }).join();
        std::vector<QueuedMessage> got = drain_queue();
        ASSERT_EQ(got.size(), 2u);
        names.push_back(got[1].thread);
        release_trees(got);
    }
    // Rising numbers in upper-case hexadecimal without leading zeros (the profiler thread may
    // take a number in between when it starts late).
    unsigned long previous = 0;
    for (size_t i = 0; i < names.size(); ++i) {
        ASSERT_EQ(names[i].rfind("Thread", 0), 0u) << names[i];
        std::string digits = names[i].substr(6);
        unsigned long number = std::stoul(digits, nullptr, 16);
        char canonical[32];
        snprintf(canonical, sizeof(canonical), "%lX", number);
        EXPECT_EQ(digits, canonical);
        if (i > 0) {
            EXPECT_GT(number, previous);
        }
        previous = number;
    }
}

TEST(ProfilerLifecycle, StartsAgainAfterStopNumberingOnAndScopesAreInertWithoutIt) {
    scope_begin("before");
    scope_end();
    { scope_guard guard("guarded"); }
    // The sampler numbers go on from one instance to the next.
    unsigned long previous = 0;
    for (int round = 0; round < 3; ++round) {
        ASSERT_EQ(scope_static_init(), 0u);
        ASSERT_NE(profiler_instance(), nullptr);
        std::string name;
        std::thread([&] {
            scope_begin("round");
            scope_end();
            ThreadSampler* ts;
            ASSERT_EQ(FetchThreadSampler(profiler_instance(), &ts), PRF_ERROR_NONE);
            name = ts->name;
        }).join();
        ASSERT_EQ(name.rfind("Thread", 0), 0u);
        unsigned long number = std::stoul(name.substr(6), nullptr, 16);
        if (round > 0) {
            EXPECT_GT(number, previous);
        }
        previous = number;
        scope_static_destroy();
        EXPECT_EQ(profiler_instance(), nullptr);
    }
    scope_begin("after");
    scope_end();
}

TEST(ProfilerLifecycle, PortTakenFailsWithBindErrorAndLeavesNothingRunning) {
    WsClient holder; // only for its socket library start-up on Windows
#if defined(_WIN32)
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#else
    int s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
#endif
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_ANY);
#if !defined(_WIN32)
    // Earlier tests leave connections of this port in TIME_WAIT, which Linux (unlike
    // Windows) lets bind over only with this option; a listener still holds the port alone.
    int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
#endif
    ASSERT_EQ(bind(s, (sockaddr*)&address, sizeof(address)), 0);
    ASSERT_EQ(listen(s, 1), 0);

    EXPECT_EQ(scope_static_init(), (sys_u64)PRF_ERROR_SOCKET_BIND);
    EXPECT_EQ(profiler_instance(), nullptr);
    scope_begin("inert");
    scope_end();

#if defined(_WIN32)
    closesocket(s);
#else
    close(s);
#endif
    ASSERT_EQ(scope_static_init(), 0u);
    scope_static_destroy();
}

TEST(ProfilerLifecycle, SecondStartWhileRunningFindsThePortTakenAndKeepsTheFirst) {
    ASSERT_EQ(scope_static_init(), 0u);
    Profiler* first = profiler_instance();
    EXPECT_EQ(scope_static_init(), (sys_u64)PRF_ERROR_SOCKET_BIND);
    EXPECT_EQ(profiler_instance(), first);
    scope_static_destroy();
    EXPECT_EQ(profiler_instance(), nullptr);
}

#if !defined(_WIN32)
TEST(ProfilerLifecycleDeathTest, StopWithoutARunningProfilerStopsAtTheRuntimeAssertion) {
    EXPECT_DEATH(scope_static_destroy(), "g_profiler_created == PRF_TRUE");
}
#endif

// --- a viewer on the wire --------------------------------------------------------------------

namespace {

bool is_from_thread(const WsClient::Frame& frame, const std::string& thread) {
    const prf_u8* p = frame.payload.data();
    prf_u32 length = read_u32(p + 8);
    return std::string((const char*)p + 12, length) == thread;
}

std::string viewer_handshake(WsClient& client) {
    if (!client.connect_to(kPort))
        return "";
    return client.handshake();
}

} // namespace

TEST(ProfilerViewer, ReceivesPingsLogLinesTreesAndNameAnswers) {
    ASSERT_EQ(scope_static_init(), 0u);
    {
        WsClient client;
        ASSERT_FALSE(viewer_handshake(client).empty());

        WsClient::Frame ping = client.read_until("PING", [](const auto&) { return true; });
        ASSERT_TRUE(ping.ok);
        EXPECT_EQ(ping.first, 0x82);
        EXPECT_EQ(ping.payload, std::vector<prf_u8>({'P', 'I', 'N', 'G', 0}));

        std::string thread;
        std::thread([&] {
            scope_begin("viewer_frame");
            scope_begin("viewer_child");
            scope_end();
            scope_end();
            ThreadSampler* ts;
            FetchThreadSampler(profiler_instance(), &ts);
            thread = ts->name;
        }).join();

        auto log_is = [](const char* text) {
            return [text](const WsClient::Frame& f) {
                return std::string(f.payload.begin(), f.payload.end()) == log_line(text);
            };
        };
        EXPECT_TRUE(client.read_until("LOGM", log_is("viewer_frame")).ok);
        EXPECT_TRUE(client.read_until("LOGM", log_is("viewer_child")).ok);
        WsClient::Frame tree = client.read_until(
            "SMPL", [&](const WsClient::Frame& f) { return is_from_thread(f, thread); });
        ASSERT_TRUE(tree.ok);
        const prf_u8* p = tree.payload.data();
        EXPECT_EQ(read_u32(p + 4), tree.payload.size());
        size_t records = 12 + thread.size();
        EXPECT_EQ(read_u32(p + records), 2u);
        EXPECT_EQ(read_u32(p + records + 8), HashName("viewer_frame"));
        EXPECT_EQ(read_u32(p + records + 8 + 51), HashName("viewer_child"));
        EXPECT_EQ(tree.payload.size(), records + 8 + 2 * 51);

        // A known name is answered; an unknown one is not (the console line comes next).
        client.send_frame(1, "GSMP" + std::to_string(HashName("viewer_child")));
        WsClient::Frame name = client.read_until("SSMP", [](const auto&) { return true; });
        ASSERT_TRUE(name.ok);
        ASSERT_EQ(name.payload.size(), 12u + 12);
        EXPECT_EQ(read_u32(&name.payload[4]), HashName("viewer_child"));
        EXPECT_EQ(read_u32(&name.payload[8]), 12u);
        EXPECT_EQ(std::string((const char*)&name.payload[12], 12), "viewer_child");

        client.send_frame(2, "GSMP12345");
        client.send_frame(1, "CONIhello");
        std::vector<std::string> replies;
        while (replies.size() < 2) {
            WsClient::Frame f = client.read_frame();
            ASSERT_TRUE(f.ok);
            std::string id(f.payload.begin(), f.payload.begin() + 4);
            if (id == "SSMP" || id == "LOGM")
                replies.emplace_back(f.payload.begin(), f.payload.end());
        }
        EXPECT_EQ(replies[0], log_line("Console message received..."));
        EXPECT_EQ(replies[1], log_line("hello"));
    }
    scope_static_destroy();
}

TEST(ProfilerViewer, ManyThreadsNestedScopesArriveAsExactTrees) {
    ASSERT_EQ(scope_static_init(), 0u);
    WsClient client;
    ASSERT_FALSE(viewer_handshake(client).empty());
    ASSERT_TRUE(client.read_until("PING", [](const auto&) { return true; }).ok);

    const int kThreads = 4, kFrames = 25;
    std::vector<std::string> names(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int f = 0; f < kFrames; ++f) {
                scope_guard frame("frame");
                {
                    scope_guard work("work");
                    scope_guard leaf("leaf");
                }
                scope_guard io("io");
            }
            ThreadSampler* ts;
            FetchThreadSampler(profiler_instance(), &ts);
            names[(size_t)t] = ts->name;
        });
    for (std::thread& t : threads)
        t.join();

    std::map<std::string, int> trees, lines;
    int expected_lines = kThreads * kFrames * 4;
    int total_lines = 0, total_trees = 0;
    while (total_trees < kThreads * kFrames || total_lines < expected_lines) {
        WsClient::Frame f = client.read_frame(10000);
        ASSERT_TRUE(f.ok) << total_trees << " trees, " << total_lines << " lines";
        std::string id(f.payload.begin(), f.payload.begin() + 4);
        if (id == "LOGM") {
            ++lines[std::string(f.payload.begin() + 8, f.payload.end())];
            ++total_lines;
        } else if (id == "SMPL" && !is_from_thread(f, "Profiler")) {
            const prf_u8* p = f.payload.data();
            std::string thread((const char*)p + 12, read_u32(p + 8));
            ++trees[thread];
            ++total_trees;
            const prf_u8* r = p + 12 + thread.size();
            ASSERT_EQ(read_u32(r), 4u);
            r += 8;
            prf_u32 expected_hash[] = {HashName("frame"), HashName("work"), HashName("leaf"),
                                       HashName("io")};
            prf_u32 expected_children[] = {2, 1, 0, 0};
            for (int i = 0; i < 4; ++i, r += 51) {
                EXPECT_EQ(read_u32(r), expected_hash[i]);
                EXPECT_EQ(read_u32(r + 47), expected_children[i]);
            }
        }
    }
    for (const std::string& name : names)
        EXPECT_EQ(trees[name], kFrames) << name;
    for (const char* name : {"frame", "work", "leaf", "io"})
        EXPECT_EQ(lines[name], kThreads * kFrames) << name;
    scope_static_destroy();
}
