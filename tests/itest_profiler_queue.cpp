// The profiler's message queue: the double-mapped ring under it, the capacity and wrap rules,
// reservation order, and many writers against one reader.
#include "support/test_support.h"

#include "profiler/profiler_internal.h"

#include <stdint.h>
#include <string.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

namespace {

constexpr prf_u32 kRingBytes = 131072;

struct Queue {
    MsgRing ring;
    prf_error created;
    explicit Queue(prf_u32 size = kRingBytes) { created = MsgRing_Create(&ring, size); }
    ~Queue() {
        if (created == PRF_ERROR_NONE)
            MsgRing_Destroy(&ring);
    }
    // Only valid on an empty queue: moves both positions, the internal seam for the wrap.
    void start_at(prf_u32 pos) {
        ASSERT_EQ(ring.read_pos, ring.write_pos);
        ring.read_pos = pos;
        ring.write_pos = pos;
    }
    prf_u8* at(prf_u32 pos) { return ring.data->ptr + (pos & (ring.size - 1)); }
};

void fill_pattern(prf_u8* bytes, prf_u32 length, prf_u32 seed) {
    for (prf_u32 i = 0; i < length; ++i)
        bytes[i] = (prf_u8)(seed * 31u + i * 7u + 1u);
}

bool has_pattern(const prf_u8* bytes, prf_u32 length, prf_u32 seed) {
    for (prf_u32 i = 0; i < length; ++i)
        if (bytes[i] != (prf_u8)(seed * 31u + i * 7u + 1u))
            return false;
    return true;
}

bool all_zero(const prf_u8* bytes, prf_u32 length) {
    for (prf_u32 i = 0; i < length; ++i)
        if (bytes[i] != 0)
            return false;
    return true;
}

TEST(ProfilerRing, SizeRoundsUpAndBothHalvesShowTheSameMemory) {
    struct Case {
        prf_u32 requested, size;
    } cases[] = {{1, 65536}, {65536, 65536}, {65537, 131072}, {131072, 131072}, {196608, 196608}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.requested);
        DoubleMappedRing ring;
        ASSERT_EQ(DoubleMappedRing_Create(&ring, c.requested), PRF_ERROR_NONE);
        ASSERT_EQ(ring.size, c.size);
        ASSERT_NE(ring.ptr, nullptr);
        EXPECT_TRUE(all_zero(ring.ptr, 2 * ring.size));
        // A write through either half shows through the other.
        ring.ptr[5] = 0xA5;
        ring.ptr[ring.size + ring.size - 1] = 0x5A;
        EXPECT_EQ(ring.ptr[ring.size + 5], 0xA5);
        EXPECT_EQ(ring.ptr[ring.size - 1], 0x5A);
        DoubleMappedRing_Destroy(&ring);
        EXPECT_EQ(ring.ptr, nullptr);
    }
}

TEST(ProfilerQueue, CreateRoundsTheSizeAndFailsWithoutMemory) {
    Queue small(1000);
    ASSERT_EQ(small.created, PRF_ERROR_NONE);
    EXPECT_EQ(small.ring.size, 65536u);
    EXPECT_EQ(small.ring.read_pos, 0u);
    EXPECT_EQ(small.ring.write_pos, 0u);
    // No memory can be mapped for an empty ring: the record is freed again (the leak checker
    // watches) and the ring error is given.
    MsgRing empty;
    EXPECT_EQ(MsgRing_Create(&empty, 0), PRF_ERROR_RING_MEMORY);
}

TEST(ProfilerQueue, EachMessageOccupiesItsHeaderAndPayloadRoundedToFourBytes) {
    struct Case {
        prf_u32 payload, occupied;
    } cases[] = {{0, 24}, {1, 28}, {4, 28}, {5, 32}, {8, 32}, {24, 48}, {4093, 4120}};
    Queue queue;
    ASSERT_EQ(queue.created, PRF_ERROR_NONE);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.payload);
        prf_u32 before = queue.ring.write_pos;
        ThreadSampler* owner = (ThreadSampler*)(uintptr_t)0x1234;
        Message* message = MsgRing_Reserve(&queue.ring, c.payload, owner);
        ASSERT_NE(message, nullptr);
        EXPECT_EQ((prf_u8*)message, queue.at(before));
        EXPECT_EQ(queue.ring.write_pos - before, c.occupied);
        EXPECT_EQ(message->id, (prf_u32)MsgID_NotReady);
        EXPECT_EQ(message->payload_size, c.payload);
        ThreadSampler* recorded = message->thread_sampler; // a copy: the field is 4-aligned
        EXPECT_EQ(recorded, owner);
        MsgRing_Publish(message, MsgID_Log);
        ASSERT_EQ(MsgRing_Peek(&queue.ring), message);
        MsgRing_Release(&queue.ring, message);
        EXPECT_EQ(queue.ring.read_pos, queue.ring.write_pos);
        // Released space is zero again, header included.
        EXPECT_TRUE(all_zero(queue.at(before), c.occupied));
    }
}

TEST(ProfilerQueue, HoldsExactly2730TreeMessagesAndTakesOneMoreAfterARelease) {
    Queue queue;
    ASSERT_EQ(queue.created, PRF_ERROR_NONE);
    // One message may fill the whole ring, header included, and no more.
    EXPECT_EQ(MsgRing_Reserve(&queue.ring, kRingBytes - 23, nullptr), nullptr);
    EXPECT_EQ(queue.ring.write_pos, 0u);
    Message* whole = MsgRing_Reserve(&queue.ring, kRingBytes - 24, nullptr);
    ASSERT_NE(whole, nullptr);
    MsgRing_Publish(whole, MsgID_Log);
    MsgRing_Release(&queue.ring, MsgRing_Peek(&queue.ring));
    for (prf_u32 pos : {0u, 0xFFFFFFF0u}) {
        SCOPED_TRACE(pos);
        queue.start_at(pos);
        std::vector<Message*> messages;
        for (int i = 0; i < 2730; ++i) {
            Message* message = MsgRing_Reserve(&queue.ring, 24, nullptr);
            ASSERT_NE(message, nullptr) << i;
            MsgRing_Publish(message, MsgID_Tree);
            messages.push_back(message);
        }
        prf_u32 full_at = queue.ring.write_pos;
        EXPECT_EQ(MsgRing_Reserve(&queue.ring, 24, nullptr), nullptr);
        EXPECT_EQ(queue.ring.write_pos, full_at); // a refusal moves nothing

        ASSERT_EQ(MsgRing_Peek(&queue.ring), messages[0]);
        MsgRing_Release(&queue.ring, messages[0]);
        Message* again = MsgRing_Reserve(&queue.ring, 24, nullptr);
        ASSERT_NE(again, nullptr);
        EXPECT_EQ(MsgRing_Reserve(&queue.ring, 24, nullptr), nullptr);
        MsgRing_Publish(again, MsgID_Tree);

        int drained = 0;
        while (Message* message = MsgRing_Peek(&queue.ring)) {
            MsgRing_Release(&queue.ring, message);
            ++drained;
        }
        EXPECT_EQ(drained, 2730);
        EXPECT_TRUE(all_zero(queue.ring.data->ptr, kRingBytes));
    }
}

TEST(ProfilerQueue, UncommittedMessageHoldsBackLaterCommittedOnes) {
    Queue queue;
    ASSERT_EQ(queue.created, PRF_ERROR_NONE);
    Message* first = MsgRing_Reserve(&queue.ring, 8, nullptr);
    Message* second = MsgRing_Reserve(&queue.ring, 8, nullptr);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr); // nothing committed
    MsgRing_Publish(second, MsgID_Log);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr); // the first still blocks
    MsgRing_Publish(first, MsgID_Tree);
    ASSERT_EQ(MsgRing_Peek(&queue.ring), first);
    EXPECT_EQ(first->id, (prf_u32)MsgID_Tree);
    MsgRing_Release(&queue.ring, first);
    ASSERT_EQ(MsgRing_Peek(&queue.ring), second);
    EXPECT_EQ(second->id, (prf_u32)MsgID_Log);
    MsgRing_Release(&queue.ring, second);
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr);
}

// Random sizes, the queue run to full now and then, the positions starting just below 2^32
// and the data going round the ring several times.
TEST(ProfilerQueue, PositionsCrossing2To32KeepOrderContentAndCapacity) {
    Queue queue(65536);
    ASSERT_EQ(queue.created, PRF_ERROR_NONE);
    queue.start_at(0xFFFFFFF0u);
    std::mt19937 random(12345);
    struct Pending {
        Message* message;
        prf_u32 payload, seed;
    };
    std::vector<Pending> pending; // in reservation order
    size_t head = 0;
    prf_u32 seed = 0, bytes_through = 0, refusals = 0;
    while (bytes_through < 5 * 65536) {
        // Write a burst, then read a shorter one on average, so that the ring fills up.
        int writes = (int)(random() % 60);
        for (int i = 0; i < writes; ++i) {
            prf_u32 payload = random() % 600;
            prf_u32 used = queue.ring.write_pos - queue.ring.read_pos;
            Message* message = MsgRing_Reserve(&queue.ring, payload, nullptr);
            bool fits = (prf_i32)used <= (prf_i32)(65536 - Message_Size(payload));
            ASSERT_EQ(message != nullptr, fits) << "used " << used << " payload " << payload;
            if (message == nullptr) {
                ++refusals;
                break;
            }
            ++seed;
            fill_pattern(Message_Payload(message), payload, seed);
            MsgRing_Publish(message, MsgID_Log);
            pending.push_back({message, payload, seed});
        }
        int reads = (int)(random() % 40);
        for (int i = 0; i < reads && head < pending.size(); ++i, ++head) {
            Message* message = MsgRing_Peek(&queue.ring);
            ASSERT_EQ(message, pending[head].message);
            ASSERT_EQ(message->payload_size, pending[head].payload);
            ASSERT_TRUE(
                has_pattern(Message_Payload(message), pending[head].payload, pending[head].seed));
            bytes_through += Message_Size(message->payload_size);
            MsgRing_Release(&queue.ring, message);
        }
    }
    EXPECT_LT(queue.ring.write_pos, 0x80000000u); // really went past the wrap
    EXPECT_GT(refusals, 0u);                      // and the full test ran across it
    for (; head < pending.size(); ++head) {
        Message* message = MsgRing_Peek(&queue.ring);
        ASSERT_EQ(message, pending[head].message);
        MsgRing_Release(&queue.ring, message);
    }
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr);
    EXPECT_TRUE(all_zero(queue.ring.data->ptr, 65536));
}

// Payload of the concurrency test: who, which one, and a checksum over bytes of random length.
struct StressHeader {
    prf_u32 producer;
    prf_u32 sequence;
    prf_u32 length;
    prf_u32 checksum;
};

prf_u32 checksum_of(const prf_u8* bytes, prf_u32 length, prf_u32 producer, prf_u32 sequence) {
    prf_u32 sum = 2166136261u ^ producer ^ (sequence << 8);
    for (prf_u32 i = 0; i < length; ++i)
        sum = (sum ^ bytes[i]) * 16777619u;
    return sum;
}

TEST(ProfilerQueue, ManyWritersOneReaderLoseDuplicateReorderAndTearNothing) {
    constexpr prf_u32 kProducers = 4;
    constexpr prf_u32 kMessages = 20000;
    // A small ring so that writers find it full often and the positions go round many times.
    Queue queue(65536);
    ASSERT_EQ(queue.created, PRF_ERROR_NONE);
    std::atomic<int> start{0};
    std::vector<std::thread> producers;
    for (prf_u32 p = 0; p < kProducers; ++p) {
        producers.emplace_back([&queue, &start, p] {
            std::minstd_rand random(p + 1);
            start.fetch_add(1);
            while (start.load() < (int)kProducers + 1)
                std::this_thread::yield();
            for (prf_u32 sequence = 0; sequence < kMessages; ++sequence) {
                prf_u32 length = random() % 200;
                Message* message;
                while ((message = MsgRing_Reserve(&queue.ring, sizeof(StressHeader) + length,
                                                  (ThreadSampler*)(uintptr_t)(p + 1))) == nullptr)
                    std::this_thread::yield();
                prf_u8* bytes = Message_Payload(message) + sizeof(StressHeader);
                for (prf_u32 i = 0; i < length; ++i)
                    bytes[i] = (prf_u8)random();
                StressHeader header = {p, sequence, length,
                                       checksum_of(bytes, length, p, sequence)};
                memcpy(Message_Payload(message), &header, sizeof header);
                MsgRing_Publish(message, MsgID_Log);
            }
        });
    }

    prf_u32 next[kProducers] = {};
    prf_u32 received = 0, torn = 0, out_of_order = 0;
    std::thread consumer([&] {
        start.fetch_add(1);
        while (received < kProducers * kMessages) {
            Message* message = MsgRing_Peek(&queue.ring);
            if (message == nullptr) {
                std::this_thread::yield();
                continue;
            }
            StressHeader header;
            memcpy(&header, Message_Payload(message), sizeof header);
            const prf_u8* bytes = Message_Payload(message) + sizeof(StressHeader);
            if (message->id != MsgID_Log || header.producer >= kProducers ||
                message->payload_size != sizeof(StressHeader) + header.length ||
                message->thread_sampler != (ThreadSampler*)(uintptr_t)(header.producer + 1) ||
                checksum_of(bytes, header.length, header.producer, header.sequence) !=
                    header.checksum) {
                ++torn;
            } else {
                if (header.sequence != next[header.producer])
                    ++out_of_order;
                next[header.producer] = header.sequence + 1;
            }
            ++received;
            MsgRing_Release(&queue.ring, message);
        }
    });
    for (std::thread& producer : producers)
        producer.join();
    consumer.join();

    EXPECT_EQ(torn, 0u);
    EXPECT_EQ(out_of_order, 0u);
    for (prf_u32 p = 0; p < kProducers; ++p)
        EXPECT_EQ(next[p], kMessages) << p;
    EXPECT_EQ(MsgRing_Peek(&queue.ring), nullptr);
    EXPECT_EQ(queue.ring.read_pos, queue.ring.write_pos);
}

} // namespace
