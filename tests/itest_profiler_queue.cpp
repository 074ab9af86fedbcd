// The profiler's message queue: the double-mapped ring under it, the capacity and wrap rules,
// reservation order, and many writers against one reader.
#include "support/test_support.h"

#include "profiler/profiler_internal.h"

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

constexpr prf_u32 kRingBytes = 131072;

struct Queue {
    MsgRing ring;
    explicit Queue(prf_u32 size = kRingBytes) {
        EXPECT_EQ(MsgRing_Create(&ring, size), PRF_ERROR_NONE);
    }
    ~Queue() { MsgRing_Destroy(&ring); }
    // Only valid on an empty queue: moves both positions, the internal seam for the wrap.
    void start_at(prf_u32 pos) { ring.read_pos = ring.write_pos = pos; }
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
    bool zero() const {
        for (prf_u32 i = 0; i < ring.size; ++i)
            if (ring.data->ptr[i] != 0)
                return false;
        return true;
    }
};

TEST(ProfilerRing, SizeRoundsUpAndBothHalvesShowTheSameMemory) {
    const struct {
        prf_u32 requested, size;
    } cases[] = {{1, 65536}, {65536, 65536}, {65537, 131072}, {196608, 196608}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.requested);
        DoubleMappedRing ring;
        ASSERT_EQ(DoubleMappedRing_Create(&ring, c.requested), PRF_ERROR_NONE);
        ASSERT_EQ(ring.size, c.size);
        // A write through either half shows through the other.
        ring.ptr[5] = 0xA5;
        ring.ptr[ring.size + ring.size - 1] = 0x5A;
        EXPECT_EQ(ring.ptr[ring.size + 5], 0xA5);
        EXPECT_EQ(ring.ptr[ring.size - 1], 0x5A);
        DoubleMappedRing_Destroy(&ring);
        EXPECT_EQ(ring.ptr, nullptr);
    }
    // No memory can be mapped for an empty ring: the record is freed again (the leak checker
    // watches) and the ring error is given.
    MsgRing empty;
    EXPECT_EQ(MsgRing_Create(&empty, 0), PRF_ERROR_RING_MEMORY);
}

// 2730 messages of 48 bytes fill 131,040 of the ring's 131,072 bytes, at the start and across
// the wrap of the 32-bit positions.
TEST(ProfilerQueue, HoldsExactly2730TreeMessagesAndTakesOneMoreAfterARelease) {
    Queue queue;
    // One message may fill the whole ring, header included, and no more.
    EXPECT_EQ(queue.reserve(kRingBytes - 23), nullptr);
    EXPECT_EQ(queue.ring.write_pos, 0u);
    ASSERT_NE(queue.reserve(kRingBytes - 24), nullptr);
    EXPECT_EQ(queue.drain(), 1);
    for (prf_u32 pos : {0u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(pos);
        queue.start_at(pos);
        for (int i = 0; i < 2730; ++i)
            ASSERT_NE(queue.reserve(24, MsgID_Tree), nullptr) << i;
        prf_u32 full_at = queue.ring.write_pos;
        EXPECT_EQ(queue.reserve(24), nullptr);
        EXPECT_EQ(queue.ring.write_pos, full_at); // a refusal moves nothing

        MsgRing_Release(&queue.ring, MsgRing_Peek(&queue.ring));
        EXPECT_NE(queue.reserve(24), nullptr);
        EXPECT_EQ(queue.reserve(24), nullptr);
        EXPECT_EQ(queue.drain(), 2730);
        EXPECT_TRUE(queue.zero());
    }
}

TEST(ProfilerQueue, UncommittedMessageHoldsBackLaterCommittedOnes) {
    Queue queue;
    Message* first = MsgRing_Reserve(&queue.ring, 8, nullptr);
    Message* second = MsgRing_Reserve(&queue.ring, 8, nullptr);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr); // nothing committed
    MsgRing_Publish(second, MsgID_Log);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr); // the first still blocks
    MsgRing_Publish(first, MsgID_Tree);
    ASSERT_EQ(MsgRing_Peek(&queue.ring), first);
    EXPECT_EQ(first->id, (prf_u32)MsgID_Tree);
    MsgRing_Release(&queue.ring, first);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), second);
    EXPECT_EQ(queue.drain(), 1);
}

// A small ring whose positions start just below 2^32, so that writers find it full often, the
// data goes round it many times, and the positions wrap. Each message is its producer, its
// sequence number and a length of bytes that both determine.
TEST(ProfilerQueue, ManyWritersOneReaderLoseDuplicateReorderAndTearNothing) {
    constexpr prf_u32 kProducers = 4, kMessages = 20000;
    Queue queue(65536);
    queue.start_at(0xFFFF0000u);
    auto byte_of = [](prf_u32 producer, prf_u32 sequence, prf_u32 i) {
        return (prf_u8)(producer * 251 + sequence * 7 + i);
    };
    std::atomic<int> started{0};
    std::vector<std::thread> producers;
    for (prf_u32 p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (started++; started < (int)kProducers + 1;)
                std::this_thread::yield();
            for (prf_u32 sequence = 0; sequence < kMessages; ++sequence) {
                const prf_u32 length = 8 + (sequence * 37 + p) % 200;
                Message* message;
                while ((message = MsgRing_Reserve(&queue.ring, length,
                                                  (ThreadSampler*)(uintptr_t)(p + 1))) == nullptr)
                    std::this_thread::yield();
                prf_u8* bytes = Message_Payload(message);
                memcpy(bytes, &p, 4);
                memcpy(bytes + 4, &sequence, 4);
                for (prf_u32 i = 8; i < length; ++i)
                    bytes[i] = byte_of(p, sequence, i);
                MsgRing_Publish(message, MsgID_Log);
            }
        });
    }

    // This thread reads.
    prf_u32 next[kProducers] = {};
    prf_u32 faults = 0;
    started++;
    for (prf_u32 received = 0; received < kProducers * kMessages;) {
        Message* message = MsgRing_Peek(&queue.ring);
        if (message == nullptr) {
            std::this_thread::yield();
            continue;
        }
        prf_u32 p, sequence;
        const prf_u8* bytes = Message_Payload(message);
        memcpy(&p, bytes, 4);
        memcpy(&sequence, bytes + 4, 4);
        bool whole = p < kProducers && sequence == next[p] &&
                     message->payload_size == 8 + (sequence * 37 + p) % 200 &&
                     message->thread_sampler == (ThreadSampler*)(uintptr_t)(p + 1);
        for (prf_u32 i = 8; whole && i < message->payload_size; ++i)
            whole = bytes[i] == byte_of(p, sequence, i);
        faults += whole ? 0 : 1;
        next[p % kProducers] = sequence + 1;
        ++received;
        MsgRing_Release(&queue.ring, message);
    }
    for (std::thread& producer : producers)
        producer.join();

    EXPECT_EQ(faults, 0u);
    for (prf_u32 p = 0; p < kProducers; ++p)
        EXPECT_EQ(next[p], kMessages) << p;
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr);
    EXPECT_LT(queue.ring.write_pos, 0x80000000u); // the positions really wrapped
}

} // namespace
