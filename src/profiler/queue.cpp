// The message queue from the sampling threads to the profiler thread: many writers, one
// reader, variable-sized messages in a ring whose memory is mapped twice back to back, so
// that every message is one contiguous block even when it runs past the ring's end.
//
// Writers compete only for write_pos (one compare-and-swap), then fill their own bytes and
// publish them with a release store of the id. The reader takes messages in reservation
// order, zeroes their space and hands it back with a release store of read_pos. Positions are
// free-running 32-bit counters; the ring is far smaller than 2^31 bytes, so their signed
// difference stays right across the wrap.
#include "profiler/profiler_internal.h"
#include "platform/os.h"

#include <string.h>

prf_error DoubleMappedRing_Create(DoubleMappedRing* buffer, prf_u32 size) {
    PRF_ASSERT(buffer != 0);
    // The mapping granularity of the platform with the coarsest one (Windows: 64 KiB).
    buffer->size = (size + 65535u) & ~65535u;
    buffer->ptr = nullptr;
    buffer->mapping = nullptr;
    if (!os_prf_ring_map(buffer->size, &buffer->ptr, &buffer->mapping)) {
        buffer->ptr = nullptr;
        buffer->mapping = nullptr;
        return PRF_ERROR_RING_MEMORY;
    }
    return PRF_ERROR_NONE;
}

void DoubleMappedRing_Destroy(DoubleMappedRing* buffer) {
    PRF_ASSERT(buffer != 0);
    if (buffer->ptr != nullptr)
        os_prf_ring_unmap(buffer->ptr, buffer->size, buffer->mapping);
    buffer->ptr = nullptr;
    buffer->mapping = nullptr;
}

prf_error MsgRing_Create(MsgRing* queue, prf_u32 size) {
    PRF_ASSERT(queue != NULL);
    memset(queue, 0, sizeof(MsgRing));
    queue->data = (DoubleMappedRing*)prf_malloc(sizeof(DoubleMappedRing));
    if (queue->data == nullptr)
        return PRF_ERROR_OUT_OF_MEMORY;
    prf_error error = DoubleMappedRing_Create(queue->data, size);
    if (error != PRF_ERROR_NONE) {
        DoubleMappedRing_Destroy(queue->data);
        prf_free(queue->data);
        queue->data = nullptr;
        return error;
    }
    queue->size = queue->data->size;
    queue->read_pos = 0;
    queue->write_pos = 0;
    // Free space must read as MsgID_NotReady: a reserved message's id is never written
    // before it is published.
    memset(queue->data->ptr, 0, queue->size);
    return PRF_ERROR_NONE;
}

void MsgRing_Destroy(MsgRing* queue) {
    PRF_ASSERT(queue != NULL);
    if (queue->data != nullptr) {
        DoubleMappedRing_Destroy(queue->data);
        prf_free(queue->data);
        queue->data = nullptr;
    }
}

Message* MsgRing_Reserve(MsgRing* queue, prf_u32 payload_size, ThreadSampler* thread_sampler) {
    PRF_ASSERT(queue != NULL);
    prf_u32 occupied = Message_Size(payload_size);
    for (;;) {
        prf_u32 write_pos = LoadAcquire(&queue->write_pos);
        prf_u32 read_pos = LoadAcquire(&queue->read_pos);
        // Signed on both sides: the difference is right across the 2^32 wrap, and a message
        // larger than the ring makes the right side negative, so it is refused as full.
        if ((prf_i32)(write_pos - read_pos) > (prf_i32)(queue->size - occupied))
            return nullptr;
        if (CompareAndSwap32(&queue->write_pos, write_pos, write_pos + occupied)) {
            Message* message = (Message*)(queue->data->ptr + (write_pos & (queue->size - 1)));
            // The id is already MsgID_NotReady: the reader zeroed this space before giving
            // it back.
            message->payload_size = payload_size;
            message->thread_sampler = thread_sampler;
            return message;
        }
    }
}

void MsgRing_Publish(Message* message, prf_u32 id) {
    PRF_ASSERT(message != NULL);
    PRF_ASSERT(LoadAcquire((prf_u32*)&message->id) == MsgID_NotReady);
    StoreRelease((prf_u32*)&message->id, id);
}

Message* MsgRing_Peek(MsgRing* queue) {
    PRF_ASSERT(queue != NULL);
    // read_pos is ours alone; write_pos is acquired so the reserved bytes are in view.
    prf_u32 read_pos = queue->read_pos;
    prf_u32 write_pos = LoadAcquire(&queue->write_pos);
    if (read_pos == write_pos)
        return nullptr;
    Message* message = (Message*)(queue->data->ptr + (read_pos & (queue->size - 1)));
    // Reserved but not yet published: everything reserved after it waits behind it.
    if (LoadAcquire((prf_u32*)&message->id) == MsgID_NotReady)
        return nullptr;
    return message;
}

void MsgRing_Release(MsgRing* queue, Message* message) {
    PRF_ASSERT(queue != NULL);
    PRF_ASSERT(message != NULL);
    prf_u32 occupied = Message_Size(message->payload_size);
    // Zeroed before read_pos moves, so a writer that reserves this space again finds its id
    // already at MsgID_NotReady.
    memset(message, 0, occupied);
    StoreRelease(&queue->read_pos, queue->read_pos + occupied);
}
