// The profiler's message queue and its double-mapped ring.
#include "support/test_support.h"

#include "profiler/profiler_internal.h"

#if defined(__linux__)
#include <signal.h>
#include <sys/time.h>
#endif

namespace {

constexpr prf_u32 kRingBytes = 131072;

struct Queue {
    MsgRing ring;
    Queue() { EXPECT_EQ(MsgRing_Create(&ring, kRingBytes), PRF_ERROR_NONE); }
    ~Queue() { MsgRing_Destroy(&ring); }
    Message* reserve(prf_u32 payload, prf_u32 id = MsgID_Log) {
        Message* message = MsgRing_Reserve(&ring, payload, nullptr);
        if (message != nullptr)
            MsgRing_Publish(message, id);
        return message;
    }
    int drain() {
        int count = 0;
        for (Message* message; (message = MsgRing_Peek(&ring)) != nullptr; ++count)
            MsgRing_Release(&ring, message);
        return count;
    }
};

TEST(ProfilerRing, SizeRoundsUpAndBothHalvesShowTheSameMemory) {
    const prf_u32 cases[][2] = {{1, 65536}, {65536, 65536}, {65537, 131072}, {196608, 196608}};
    for (const auto& [requested, size] : cases) {
        SCOPED_TRACE(requested);
        DoubleMappedRing ring;
        ASSERT_EQ(DoubleMappedRing_Create(&ring, requested), PRF_ERROR_NONE);
        ASSERT_EQ(ring.size, size);
        ring.ptr[5] = 0xA5;
        ring.ptr[2 * size - 1] = 0x5A;
        EXPECT_EQ(ring.ptr[size + 5], 0xA5);
        EXPECT_EQ(ring.ptr[size - 1], 0x5A);
        DoubleMappedRing_Destroy(&ring);
        EXPECT_EQ(ring.ptr, nullptr);
    }
    // An empty ring cannot be mapped (the leak checker sees the record freed).
    MsgRing empty;
    EXPECT_EQ(MsgRing_Create(&empty, 0), PRF_ERROR_RING_MEMORY);
}

// 2730 messages of 48 bytes fill 131,040 of 131,072 bytes, from 0 and across the 32-bit wrap.
TEST(ProfilerQueue, Holds2730TreeMessagesTakesOneMoreAfterAReleaseAndReadsInOrder) {
    Queue queue;
    // One message may fill the whole ring, header included, and no more.
    EXPECT_EQ(queue.reserve(kRingBytes - 23), nullptr);
    EXPECT_EQ(queue.ring.write_pos, 0u);
    ASSERT_NE(queue.reserve(kRingBytes - 24), nullptr);
    EXPECT_EQ(queue.drain(), 1);
    for (prf_u32 pos : {0u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(pos);
        queue.ring.read_pos = queue.ring.write_pos = pos; // the queue is empty
        for (int i = 0; i < 2730; ++i)
            ASSERT_NE(queue.reserve(24, MsgID_Tree), nullptr) << i;
        prf_u32 full_at = queue.ring.write_pos;
        EXPECT_EQ(queue.reserve(24), nullptr);
        EXPECT_EQ(queue.ring.write_pos, full_at); // a refusal moves nothing
        MsgRing_Release(&queue.ring, MsgRing_Peek(&queue.ring));
        EXPECT_NE(queue.reserve(24), nullptr);
        EXPECT_EQ(queue.reserve(24), nullptr);
        EXPECT_EQ(queue.drain(), 2730);
        const prf_u8* bytes = queue.ring.data->ptr;
        EXPECT_EQ((prf_u32)std::count(bytes, bytes + kRingBytes, 0), kRingBytes); // zeroed
    }

    // An uncommitted message holds back later committed ones.
    Message* first = MsgRing_Reserve(&queue.ring, 8, nullptr);
    Message* second = MsgRing_Reserve(&queue.ring, 8, nullptr);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr);
    MsgRing_Publish(second, MsgID_Log);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr);
    MsgRing_Publish(first, MsgID_Tree);
    ASSERT_EQ(MsgRing_Peek(&queue.ring), first);
    EXPECT_EQ(first->id, (prf_u32)MsgID_Tree);
    MsgRing_Release(&queue.ring, first);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), second);
    EXPECT_EQ(queue.drain(), 1);
}

#if defined(__linux__)
// A signal handler that writes is a second writer slipping in between a writer's look at the
// queue and its claim (far more often than two threads would): each message gets its own space.
Queue* g_interrupted = nullptr;
int g_handler_messages = 0;

TEST(ProfilerQueue, AWriterInterruptedWhileReservingStillGetsSpaceOfItsOwn) {
    Queue queue;
    g_interrupted = &queue;
    struct sigaction action = {};
    action.sa_handler = [](int) { g_handler_messages += g_interrupted->reserve(8) != nullptr; };
    sigaction(SIGALRM, &action, nullptr);
    itimerval every_50us = {{0, 50}, {0, 50}}, stop = {};
    setitimer(ITIMER_REAL, &every_50us, nullptr);
    int written = 0, read = 0;
    for (int i = 0; i < 2000000; ++i) {
        written += queue.reserve(8) != nullptr;
        if (i % 64 == 0)
            read += queue.drain();
    }
    setitimer(ITIMER_REAL, &stop, nullptr);
    signal(SIGALRM, SIG_IGN);
    read += queue.drain();
    EXPECT_EQ(read, written + g_handler_messages);
    EXPECT_GT(g_handler_messages, 0);
}
#endif

} // namespace
