// The profiler's message queue against a mutex-protected deque doing the same work: a
// 24-byte payload (a sample-tree message, 48 bytes in the ring) written by producers and
// read back by one consumer, with the same capacity bound on both sides.
#include <benchmark/benchmark.h>

#include "profiler/profiler_internal.h"

#include <array>
#include <atomic>
#include <deque>
#include <mutex>
#include <stdint.h>
#include <string.h>
#include <thread>
#include <vector>

namespace {

constexpr prf_u32 kRingBytes = 131072;
constexpr prf_u32 kPayload = 24;
// As many 48-byte messages as the ring holds, so the deque is bounded the same way.
constexpr size_t kCapacity = 2730;
constexpr prf_u32 kMessagesPerProducer = 50000;

typedef std::array<uint8_t, 48> Slot;

struct LockedDeque {
    std::mutex lock;
    std::deque<Slot> items;
};

// --- one thread: write a message, then read it back ------------------------------------------

void round_trip_qv(benchmark::State& state) {
    MsgRing ring;
    if (MsgRing_Create(&ring, kRingBytes) != PRF_ERROR_NONE) {
        state.SkipWithError("no ring");
        return;
    }
    prf_u64 words[3] = {1, 2, 3};
    prf_u64 sum = 0;
    for (auto _ : state) {
        Message* message = MsgRing_Reserve(&ring, kPayload, nullptr);
        memcpy(Message_Payload(message), words, sizeof words);
        MsgRing_Publish(message, MsgID_Tree);
        Message* oldest = MsgRing_Peek(&ring);
        prf_u64 first;
        memcpy(&first, Message_Payload(oldest), sizeof first);
        sum += first;
        MsgRing_Release(&ring, oldest);
    }
    benchmark::DoNotOptimize(sum);
    MsgRing_Destroy(&ring);
}

void round_trip_deque(benchmark::State& state) {
    LockedDeque queue;
    prf_u64 words[3] = {1, 2, 3};
    prf_u64 sum = 0;
    for (auto _ : state) {
        Slot slot;
        memcpy(slot.data() + 16, words, sizeof words);
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            queue.items.push_back(slot);
        }
        Slot out;
        {
            std::lock_guard<std::mutex> guard(queue.lock);
            out = queue.items.front();
            queue.items.pop_front();
        }
        prf_u64 first;
        memcpy(&first, out.data() + 16, sizeof first);
        sum += first;
    }
    benchmark::DoNotOptimize(sum);
}

// --- N producers, one consumer --------------------------------------------------------------

template <int Producers> void produce_qv(benchmark::State& state) {
    MsgRing ring;
    if (MsgRing_Create(&ring, kRingBytes) != PRF_ERROR_NONE) {
        state.SkipWithError("no ring");
        return;
    }
    for (auto _ : state) {
        std::vector<std::thread> producers;
        for (int p = 0; p < Producers; ++p) {
            producers.emplace_back([&ring, p] {
                prf_u64 words[3] = {(prf_u64)p, 0, 0};
                for (prf_u32 i = 0; i < kMessagesPerProducer; ++i) {
                    Message* message;
                    while ((message = MsgRing_Reserve(&ring, kPayload, nullptr)) == nullptr)
                        std::this_thread::yield();
                    words[1] = i;
                    memcpy(Message_Payload(message), words, sizeof words);
                    MsgRing_Publish(message, MsgID_Tree);
                }
            });
        }
        prf_u64 sum = 0;
        for (prf_u32 left = Producers * kMessagesPerProducer; left > 0;) {
            Message* message = MsgRing_Peek(&ring);
            if (message == nullptr) {
                std::this_thread::yield();
                continue;
            }
            prf_u64 second;
            memcpy(&second, Message_Payload(message) + 8, sizeof second);
            sum += second;
            MsgRing_Release(&ring, message);
            --left;
        }
        for (std::thread& producer : producers)
            producer.join();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * Producers * kMessagesPerProducer);
    MsgRing_Destroy(&ring);
}

template <int Producers> void produce_deque(benchmark::State& state) {
    LockedDeque queue;
    for (auto _ : state) {
        std::vector<std::thread> producers;
        for (int p = 0; p < Producers; ++p) {
            producers.emplace_back([&queue, p] {
                prf_u64 words[3] = {(prf_u64)p, 0, 0};
                for (prf_u32 i = 0; i < kMessagesPerProducer; ++i) {
                    Slot slot;
                    words[1] = i;
                    memcpy(slot.data() + 16, words, sizeof words);
                    for (;;) {
                        {
                            std::lock_guard<std::mutex> guard(queue.lock);
                            if (queue.items.size() < kCapacity) {
                                queue.items.push_back(slot);
                                break;
                            }
                        }
                        std::this_thread::yield();
                    }
                }
            });
        }
        prf_u64 sum = 0;
        for (prf_u32 left = Producers * kMessagesPerProducer; left > 0;) {
            Slot out;
            bool taken = false;
            {
                std::lock_guard<std::mutex> guard(queue.lock);
                if (!queue.items.empty()) {
                    out = queue.items.front();
                    queue.items.pop_front();
                    taken = true;
                }
            }
            if (!taken) {
                std::this_thread::yield();
                continue;
            }
            prf_u64 second;
            memcpy(&second, out.data() + 24, sizeof second);
            sum += second;
            --left;
        }
        for (std::thread& producer : producers)
            producer.join();
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * Producers * kMessagesPerProducer);
}

BENCHMARK(round_trip_qv)->Name("reserve_publish_peek_release_48/qv_sys");
BENCHMARK(round_trip_deque)->Name("reserve_publish_peek_release_48/mutex_deque");
BENCHMARK_TEMPLATE(produce_qv, 1)->Name("produce_1/qv_sys")->UseRealTime();
BENCHMARK_TEMPLATE(produce_deque, 1)->Name("produce_1/mutex_deque")->UseRealTime();
BENCHMARK_TEMPLATE(produce_qv, 2)->Name("produce_2/qv_sys")->UseRealTime();
BENCHMARK_TEMPLATE(produce_deque, 2)->Name("produce_2/mutex_deque")->UseRealTime();
BENCHMARK_TEMPLATE(produce_qv, 4)->Name("produce_4/qv_sys")->UseRealTime();
BENCHMARK_TEMPLATE(produce_deque, 4)->Name("produce_4/mutex_deque")->UseRealTime();

} // namespace
