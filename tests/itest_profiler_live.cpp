// The running profiler: name hash, tree serialisation, its queue, start and stop, a viewer.
#include "profiler/profiler_internal.h"
#include "qv_sys/scope.h"
#include "qv_sys/thread.h"
#include "profiler/scope_internal.h"
#include "support/test_support.h"
#include "support/ws_client.h"

using qv_test::WsClient;

namespace {

// Every profiler start of this process listens on a free port: the default one may be taken.
const uint16_t kPort = [] {
    const uint16_t port = qv_test::pick_free_port();
    qv_test::set_env("QV_SYS_PROFILER_PORT", std::to_string(port).c_str());
    return port;
}();

// Message bytes as a viewer reads them (x86_64: little-endian, as sent).
template <typename T> void put(std::string& out, const T& value) {
    if constexpr (std::is_arithmetic_v<T>)
        out.append((const char*)&value, sizeof(value));
    else
        out += value;
}
template <typename... T> std::string le(const T&... values) {
    std::string out;
    (put(out, values), ...);
    return out;
}

std::string log_line(const std::string& text) {
    return le("LOGM", (prf_u32)text.size(), text);
}

Sample make_sample(prf_u32 name_hash, prf_u32 path_id, prf_u64 length, prf_u64 children) {
    Sample s = {};
    Sample_Prepare(&s, name_hash, nullptr);
    s.path_id = path_id;
    s.start_us = path_id;
    s.length_us = length;
    s.children_us = children;
    return s;
}

} // namespace

// The name hash (murmur3, seed 0, at most 256 bytes; every tail length). a(b(d), c) byte for
// byte: pre-order records, colours from the hash, the path-id digest, a's self time clamped at 0.
TEST(ProfilerMessages, NameHashAndATreeSerialisedByteForByte) {
    const std::pair<const char*, prf_u32> cases[] = {
        {"", 0u},
        {"a", 0x3c2569b2u},
        {"ab", 0x9bbfd75fu},
        {"abc", 0xb3dd93fau},
        {"abcd", 0x43ed676au},
        {"The quick brown fox jumps over the lazy dog", 0x2e4ff723u}};
    for (const auto& c : cases)
        EXPECT_EQ(HashName(c.first), c.second) << c.first;
    std::string long_name(300, 'q');
    EXPECT_EQ(HashName(long_name.c_str()), HashName(long_name.substr(0, 256).c_str()));
    EXPECT_NE(HashName(long_name.substr(0, 255).c_str()), HashName(long_name.c_str()));

    Sample a = make_sample(0xFFFFFF, 1, 10, 30), b = make_sample(0x000000, 2, 30, 5);
    Sample c = make_sample(0x0F0F0F, 3, 0, 0), d = make_sample(0x213243, 4, 5, 0);
    a.first_child = &b;
    a.last_child = b.next_sibling = &c;
    b.first_child = b.last_child = &d;
    b.parent = c.parent = &a;
    d.parent = &b;
    a.nb_children = 2;
    b.nb_children = 1;
    c.call_count = 7;
    const void* payload[3] = {&a, nullptr, "worker"};
    ByteBuffer buffer;
    ByteBuffer_Create(&buffer, 4096);
    ASSERT_EQ(bin_SampleTree(&buffer, (const prf_u8*)payload), PRF_ERROR_NONE);
    const std::string got((const char*)buffer.data, buffer.bytes_filled);
    ByteBuffer_Destroy(&buffer);

    // Records: hash, path id, colour, start, length, self time, calls, 0, children.
    EXPECT_EQ(got, le("SMPL", 26u + 4 * 51, 6u, "worker", 4u, 0x481ad3c2u) +
                       le(0xFFFFFFu, 1u, "#ffffff", 1.0, 10.0, 0.0, 1u, 0u, 2u) +
                       le(0x000000u, 2u, "#444444", 2.0, 30.0, 25.0, 1u, 0u, 1u) +
                       le(0x213243u, 4u, "#786756", 4.0, 5.0, 5.0, 1u, 0u, 0u) +
                       le(0x0F0F0Fu, 3u, "#f4f4f4", 3.0, 0.0, 0.0, 7u, 0u, 0u));
}

namespace {

struct QueuedMessage {
    prf_u32 id;
    std::string thread, payload;
    Sample* tree = nullptr;
    ObjectPool* allocator = nullptr;
    void release() const {
        if (id == MsgID_Tree)
            ReleaseSampleTree(tree, allocator);
    }
};

// Without a viewer the queue is the test's to read: the committed messages not from the profiler
// thread; their trees go back to their pools at the next call (all, when `keep` is false).
std::vector<QueuedMessage> drain_queue(bool keep = true) {
    static std::vector<QueuedMessage> held;
    for (const QueuedMessage& m : held)
        m.release();
    held.clear();
    MsgRing* queue = profiler_instance()->sample_queue;
    while (Message* message = MsgRing_Peek(queue)) {
        ThreadSampler* ts = message->thread_sampler;
        QueuedMessage m = {message->id, ts != nullptr ? ts->name : "", ""};
        const prf_u8* payload = Message_Payload(message);
        if (m.id == MsgID_Tree) {
            memcpy(&m.tree, payload, sizeof(void*));
            memcpy(&m.allocator, payload + sizeof(void*), sizeof(void*));
        } else {
            m.payload.assign((const char*)payload, message->payload_size);
        }
        MsgRing_Release(queue, message);
        if (keep && m.thread != "Profiler")
            held.push_back(m);
        else
            m.release();
    }
    return held;
}

// The number of "Thread<upper-case hex, no leading zeros>", else -1.
long sampler_number(const std::string& name) {
    const long number = strtol(name.c_str() + std::min<size_t>(6, name.size()), nullptr, 16);
    char canonical[32];
    snprintf(canonical, sizeof(canonical), "Thread%lX", number);
    return name == canonical ? number : -1;
}

ThreadSampler* this_sampler() {
    ThreadSampler* ts = nullptr;
    EXPECT_EQ(FetchThreadSampler(profiler_instance(), &ts), PRF_ERROR_NONE);
    return ts;
}

class ProfilerInstance : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(scope_static_init(), 0u); }
    void TearDown() override {
        if (profiler_instance() != nullptr)
            drain_queue(false);
        scope_static_destroy();
        EXPECT_EQ(profiler_instance(), nullptr);
    }
};

} // namespace

// Log text splits at line feeds and every 1015 bytes; a scope's name is what its buffer held.
TEST_F(ProfilerInstance, QueuesLogLinesScopeNamesAndTreesAndASecondStartFindsThePortTaken) {
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"a\n\nb", {"a", "", "b"}},
        {"tail\n", {"tail"}},
        {"", {}},
        {std::string(2000, 'z'), {std::string(1015, 'z'), std::string(985, 'z')}},
        {std::string(1015, 'y'), {std::string(1015, 'y')}},
    };
    for (const auto& [text, lines] : cases) {
        PostLogText(text.c_str());
        std::vector<QueuedMessage> got = drain_queue();
        ASSERT_EQ(got.size(), lines.size()) << text.substr(0, 20);
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i].payload, log_line(lines[i]));
    }

    const char* const texts[] = {"job 1", "job 12", "job 1", "job", "jo", "job 2", "job 1"};
    char buffer[32];
    scope_begin("frame");
    for (const char* text : texts) {
        strcpy(buffer, text);
        scope_begin(buffer);
        threadlocal_sleep(1); // a length that the parent's children time must add up
        scope_end();
    }
    std::vector<QueuedMessage> got = drain_queue();
    ASSERT_EQ(got.size(), 8u); // the names only: the tree is not finished yet
    EXPECT_EQ(got[0].payload, log_line("frame"));
    EXPECT_EQ(got[2].payload, log_line("job 12"));
    scope_end();
    scope_end(); // one too many: ignored
    got = drain_queue();
    ASSERT_EQ(got.size(), 1u);
    const Sample* frame = got[0].tree;
    std::vector<std::string> names; // the children's, as their thread stored them
    prf_u64 children_us = 0;
    for (const Sample* child = frame->first_child; child; child = child->next_sibling) {
        char stored[32] = "";
        NameTable_CopyName(this_sampler()->names, child->name_hash, stored, sizeof(stored));
        EXPECT_EQ(child->name_hash, HashName(stored)) << stored;
        names.push_back(stored);
        children_us += child->length_us;
    }
    EXPECT_EQ(names, std::vector<std::string>(std::begin(texts), std::end(texts)));
    EXPECT_EQ(frame->children_us, children_us);
    // Same-named siblings are told apart by their place among the parent's children.
    EXPECT_NE(frame->first_child->path_id, frame->first_child->next_sibling->next_sibling->path_id);
    const prf_u32 frame_path = frame->path_id;

    // The root was reset: the same top-level name gets the same id in the next tree.
    scope_begin("frame");
    scope_end();
    got = drain_queue();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[1].tree->path_id, frame_path);

    // The default mode sends a library thread's whole life as one tree when it ends.
    auto two_frames = [](void*) -> sys_u32 {
        for (int i = 0; i < 2; ++i) {
            scope_begin("frame");
            scope_end();
        }
        return 0;
    };
    thread_thread_join(thread_thread_create(two_frames, nullptr, "worker", -1));
    got = drain_queue();
    ASSERT_EQ(got.back().id, (prf_u32)MsgID_Tree);
    EXPECT_GE(sampler_number(got.back().thread), 0) << got.back().thread;
    EXPECT_EQ(got.back().tree->name_hash, HashName("thread_entry"));
    EXPECT_EQ(got.back().tree->nb_children, 2u);

    // A second start fails with the bind error and keeps the running instance.
    Profiler* first = profiler_instance();
    EXPECT_EQ(scope_static_init(), (sys_u64)PRF_ERROR_SOCKET_BIND);
    EXPECT_EQ(profiler_instance(), first);
}

// Sampler names carry a number in hexadecimal that rises across threads and instances.
TEST(ProfilerLifecycle, SamplersAreNumberedOnAcrossInstancesAndScopesAreInertWithoutOne) {
    long previous = -1;
    std::string letters;
    for (int round = 0; round < 2; ++round) {
        { scope_guard guard("no instance"); }
        ASSERT_EQ(scope_static_init(), 0u);
        do {
            std::string name;
            std::thread([&] {
                scope_guard scope("t");
                name = this_sampler()->name;
            }).join();
            ASSERT_GT(sampler_number(name), previous) << name;
            previous = sampler_number(name);
            letters += name.substr(6);
        } while (round == 0 && previous <= 0x1A);
        drain_queue(false);
        scope_static_destroy();
        EXPECT_EQ(profiler_instance(), nullptr);
    }
    EXPECT_NE(letters.find_first_of("ABCDEF"), std::string::npos) << letters;
}

#if !defined(_WIN32)
TEST(ProfilerLifecycleDeathTest, StopWithoutARunningProfilerStopsAtTheRuntimeAssertion) {
    EXPECT_DEATH(scope_static_destroy(), "");
}
#endif

TEST(ProfilerViewer, ReceivesLogLinesTreesAndNameAnswers) {
    ASSERT_EQ(scope_static_init(), 0u);
    {
        WsClient client;
        ASSERT_TRUE(client.open(kPort));
        std::string thread;
        std::thread([&] {
            scope_begin("viewer_frame");
            scope_begin("viewer_child");
            scope_end();
            scope_end();
            thread = this_sampler()->name;
        }).join();

        qv_test::ViewedTree tree;
        // The profiler thread sends a tree of its own each pass.
        for (int i = 0; i < 1000 && tree.thread != thread; ++i) {
            tree = {};
            ASSERT_TRUE(qv_test::parse_tree(client.read_until("SMPL"), &tree));
        }
        EXPECT_EQ(tree.hashes,
                  (std::vector<uint32_t>{HashName("viewer_frame"), HashName("viewer_child")}));

        // A known name is answered; an unknown one is not (the console line comes next).
        const prf_u32 hash = HashName("viewer_child");
        client.send_frame(1, "GSMP" + std::to_string(hash));
        EXPECT_EQ(client.read_until("SSMP"), le("SSMP", hash, 12u, "viewer_child"));
        client.send_frame(2, "GSMP12345");
        client.send_frame(1, "CONIhello");
        EXPECT_EQ(client.read_until("SSMP LOGM"), log_line("Console message received..."));
        EXPECT_EQ(client.read_until("SSMP LOGM"), log_line("hello"));
    }
    scope_static_destroy();
}
