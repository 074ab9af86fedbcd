// The messages between the profiler and its viewer, and the profiler thread's side of the
// queue: what it sends for each queued log line and sample tree, how a tree is serialised,
// and how it answers the viewer's console input and name queries.
//
// Every message to the viewer is built in the server's send buffer behind the 10 bytes its
// frame header is later written into. Integers are 32-bit little-endian, times 64-bit floats
// of whole microseconds, texts a 32-bit length and their bytes, with no padding anywhere.
#include "profiler/profiler_internal.h"
#include "platform/os.h"

#include <string.h>

// --- sending queued messages ---------------------------------------------------------------

prf_error SendLogMessage(Profiler* prof, Message* message) {
    PRF_ASSERT(prof != NULL);
    PRF_ASSERT(message != NULL);
    ByteBuffer* send_buf = &prof->server->send_buf;
    prf_error error = SendBuffer_Reset(send_buf);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_Append(send_buf, Message_Payload(message), message->payload_size);
    if (error != PRF_ERROR_NONE)
        return error;
    return Server_Send(prof->server, send_buf->data, send_buf->bytes_filled, 20);
}

// The colour of a sample from the three low bytes of its name hash, least significant first:
// each nibble plus 4, capped at 15, keeps the colours light enough to read text on.
static void FillColour(Sample* sample) {
    static const char digits[] = "0123456789abcdef";
    prf_u32 hash = sample->name_hash;
    sample->colour_text[0] = '#';
    for (int i = 0; i < 3; ++i) {
        prf_u32 byte = (hash >> (8 * i)) & 0xFF;
        prf_u32 low = (byte & 15) + 4;
        prf_u32 high = (byte >> 4) + 4;
        sample->colour_text[1 + 2 * i] = digits[low > 15 ? 15 : low];
        sample->colour_text[2 + 2 * i] = digits[high > 15 ? 15 : high];
    }
    sample->colour_text[7] = '\0';
}

// The next sample of a pre-order walk of the tree under `root`, or null after the last.
static Sample* NextPreOrder(Sample* sample, Sample* root) {
    if (sample->first_child != NULL)
        return sample->first_child;
    while (sample != root) {
        if (sample->next_sibling != NULL)
            return sample->next_sibling;
        sample = sample->parent;
    }
    return NULL;
}

static prf_u8* PutU32(prf_u8* at, prf_u32 value) {
    at[0] = (prf_u8)value;
    at[1] = (prf_u8)(value >> 8);
    at[2] = (prf_u8)(value >> 16);
    at[3] = (prf_u8)(value >> 24);
    return at + 4;
}

// An unsigned conversion, as ByteBuffer_AppendF64: values of 2^63 and more stay positive.
static prf_u8* PutF64(prf_u8* at, prf_u64 value) {
    prf_f64 f = (prf_f64)value;
    prf_u64 bits;
    memcpy(&bits, &f, 8);
    for (int i = 0; i < 8; ++i)
        at[i] = (prf_u8)(bits >> (8 * i));
    return at + 8;
}

// The 51 bytes are put together on the stack and appended at once: a tree of thousands of
// samples is then one capacity check per sample instead of nine.
static prf_error WriteSampleRecord(ByteBuffer* buffer, const Sample* sample) {
    prf_u8 record[51];
    prf_i64 self = (prf_i64)(sample->length_us - sample->children_us);
    prf_u8* at = PutU32(record, sample->name_hash);
    at = PutU32(at, sample->path_id);
    memcpy(at, sample->colour_text, 7);
    at = PutF64(at + 7, sample->start_us);
    at = PutF64(at, sample->length_us);
    at = PutF64(at, self < 0 ? 0 : (prf_u64)self);
    at = PutU32(at, sample->call_count);
    at = PutU32(at, 0); // recursion depth
    at = PutU32(at, sample->nb_children);
    return ByteBuffer_Append(buffer, record, (prf_u32)(at - record));
}

prf_error bin_SampleTree(ByteBuffer* buffer, const prf_u8* payload) {
    PRF_ASSERT(buffer != NULL);
    const prf_u8* msg = payload;
    PRF_ASSERT(msg != NULL);
    Sample* root_sample;
    const char* name;
    memcpy(&root_sample, msg, sizeof(root_sample));
    memcpy(&name, msg + 2 * sizeof(void*), sizeof(name));
    PRF_ASSERT(root_sample != NULL);

    char thread_name[256];
    memset(thread_name, 0, sizeof(thread_name));
    if (name != NULL)
        strncpy(thread_name, name, sizeof(thread_name) - 1);

    prf_u32 digest_hash = 0;
    prf_u32 nb_samples = 0;
    for (Sample* s = root_sample; s != NULL; s = NextPreOrder(s, root_sample)) {
        ++nb_samples;
        digest_hash = MixHash(digest_hash, s->path_id);
        FillColour(s);
    }

    prf_u32 start = buffer->bytes_filled;
    prf_error error = ByteBuffer_Append(buffer, "SMPL\0\0\0\0", 8);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_AppendCountedText(buffer, thread_name);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_AppendU32(buffer, nb_samples);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_AppendU32(buffer, digest_hash);
    // Each record is followed by its children's records, so writing in pre-order is the
    // nesting itself; no recursion, however deep the tree.
    for (Sample* s = root_sample; s != NULL && error == PRF_ERROR_NONE;
         s = NextPreOrder(s, root_sample))
        error = WriteSampleRecord(buffer, s);
    if (error != PRF_ERROR_NONE)
        return error;

    prf_u32 length = buffer->bytes_filled - start;
    prf_u8* at = buffer->data + start + 4;
    at[0] = (prf_u8)length;
    at[1] = (prf_u8)(length >> 8);
    at[2] = (prf_u8)(length >> 16);
    at[3] = (prf_u8)(length >> 24);
    return PRF_ERROR_NONE;
}

// "SSMP": a name with its hash, in answer to a name query or pushed ahead of a tree.
static prf_error SendNameMessage(Profiler* prof, prf_u32 name_hash, const char* name,
                                 prf_u32 name_length, prf_u32 limit_ms) {
    ByteBuffer* send_buf = &prof->server->send_buf;
    prf_error error = SendBuffer_Reset(send_buf);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_Append(send_buf, "SSMP", 4);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_AppendU32(send_buf, name_hash);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_AppendU32(send_buf, name_length);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_Append(send_buf, name, name_length);
    if (error != PRF_ERROR_NONE)
        return error;
    return Server_Send(prof->server, send_buf->data, send_buf->bytes_filled, limit_ms);
}

// Streaming mode: before a tree goes out, every name in it that this connection has not had
// yet, as the same "SSMP" a name query gets, so the viewer never has to ask.
static prf_error PushNewNames(Profiler* prof, const ThreadSampler* owner, Sample* root_sample) {
    HashTable* sent = &prof->sent_names;
    // A tree names the same few scopes over and over: the hash just checked (the common
    // case, siblings in a loop) is not looked up again.
    prf_u32 last_known = 0;
    for (Sample* s = root_sample; s != NULL; s = NextPreOrder(s, root_sample)) {
        prf_u32 name_hash = s->name_hash;
        if (name_hash == 0 || name_hash == last_known)
            continue;
        if (HashTable_Get(sent, name_hash) != PRF_NOT_FOUND) {
            last_known = name_hash;
            continue;
        }
        char name[245];
        prf_u32 name_length = PRF_NOT_FOUND;
        if (owner != NULL)
            name_length = NameTable_CopyName(owner->names, name_hash, name, sizeof(name));
        for (ThreadSampler* ts = LoadAcquirePtr(&prof->first_thread_sampler);
             ts != NULL && name_length == PRF_NOT_FOUND; ts = ts->next)
            name_length = NameTable_CopyName(ts->names, name_hash, name, sizeof(name));
        if (name_length == PRF_NOT_FOUND)
            continue; // the viewer can still ask, and gets no answer, as for any unknown hash
        prf_error error = SendNameMessage(prof, name_hash, name, name_length, 50000);
        if (error != PRF_ERROR_NONE)
            return error;
        // A name that cannot be remembered is only pushed again.
        (void)HashTable_Put(sent, name_hash, 1);
    }
    return PRF_ERROR_NONE;
}

prf_error SendSampleTreeMessage(Profiler* prof, Message* message) {
    PRF_ASSERT(prof != NULL);
    PRF_ASSERT(message != NULL);
    static prf_u32 s_serialise_hash = 0;
    static prf_u32 s_send_hash = 0;
    const prf_u8* payload = Message_Payload(message);
    Sample* sample;
    ObjectPool* allocator;
    memcpy(&sample, payload, sizeof(sample));
    memcpy(&allocator, payload + sizeof(void*), sizeof(allocator));
    PRF_ASSERT(sample != NULL);

    ByteBuffer* send_buf = &prof->server->send_buf;
    prf_error error = PRF_ERROR_NONE;
    if (prof->settings.streaming)
        error = PushNewNames(prof, message->thread_sampler, sample);
    if (error == PRF_ERROR_NONE)
        error = SendBuffer_Reset(send_buf);
    if (error == PRF_ERROR_NONE) {
        Sampler_Begin("bin_SampleTree", PRF_SAMPLE_FLAG_AGGREGATE, &s_serialise_hash);
        error = bin_SampleTree(send_buf, payload);
        Sampler_End();
    }
    if (error == PRF_ERROR_NONE) {
        Sampler_Begin("Server_Send", PRF_SAMPLE_FLAG_AGGREGATE, &s_send_hash);
        error = Server_Send(prof->server, send_buf->data, send_buf->bytes_filled, 50000);
        Sampler_End();
    }
    // Sent or not, the tree is never sent twice.
    ReleaseSampleTree(sample, allocator);
    return error;
}

// --- the queue on the profiler thread ------------------------------------------------------

// Sends one queued message; the message is consumed whatever happened.
static prf_error SendQueued(Profiler* prof, MsgRing* queue, Message* message) {
    static prf_u32 s_send_tree_hash = 0;
    prf_error error = PRF_ERROR_NONE;
    switch (message->id) {
    case MsgID_Log:
        error = SendLogMessage(prof, message);
        break;
    case MsgID_Tree:
        Sampler_Begin("SendSampleTreeMessage", PRF_SAMPLE_FLAG_AGGREGATE, &s_send_tree_hash);
        error = SendSampleTreeMessage(prof, message);
        Sampler_End();
        break;
    case MsgID_NotReady:
        PRF_ASSERT(PRF_FALSE);
        break;
    default:
        break;
    }
    MsgRing_Release(queue, message);
    return error;
}

prf_error ConsumeMessageQueue(Profiler* prof) {
    PRF_ASSERT(prof != NULL);
    const prf_u32 per_pass = prof->settings.messages_per_pass;
    // Without a viewer the backlog waits (until the queue fills and producers drop).
    if (!Server_HasViewer(prof->server) || per_pass == 0)
        return PRF_ERROR_NONE;

    MsgRing* queue = prof->sample_queue;
    for (prf_u32 i = 0; i < per_pass; ++i) {
        Message* message = MsgRing_Peek(queue);
        if (message == NULL)
            return PRF_ERROR_NONE;
        prf_error error = SendQueued(prof, queue, message);
        if (error != PRF_ERROR_NONE)
            return error;
    }
    return PRF_ERROR_NONE;
}

// "DROP", trees dropped, log lines dropped: what producers could not queue since the last one.
// Sent first in a pass, and only to a viewer whose connection the counts already belong to (a
// new connection starts its counts when the pass's consumer first sees it).
// Every tree the samplers ever dropped. Each count only grows and samplers are never removed
// while the instance runs, so the difference between two sums is what was dropped in between
// (in wrapping 32-bit arithmetic).
static prf_u32 DroppedTreesSoFar(Profiler* prof) {
    prf_u32 total = 0;
    for (ThreadSampler* ts = LoadAcquirePtr(&prof->first_thread_sampler); ts != NULL; ts = ts->next)
        total += __atomic_load_n(&ts->dropped_trees, __ATOMIC_RELAXED);
    return total;
}

prf_error SendDropCounts(Profiler* prof) {
    PRF_ASSERT(prof != NULL);
    if (!Server_HasViewer(prof->server) || prof->server->connections != prof->names_connection)
        return PRF_ERROR_NONE;
    prf_u32 dropped = DroppedTreesSoFar(prof);
    prf_u32 trees = dropped - prof->trees_reported;
    prf_u32 logs = __atomic_exchange_n(&prof->dropped_logs, 0u, __ATOMIC_ACQ_REL);
    if (trees == 0 && logs == 0)
        return PRF_ERROR_NONE;
    ByteBuffer* send_buf = &prof->server->send_buf;
    prf_error error = SendBuffer_Reset(send_buf);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_Append(send_buf, "DROP", 4);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_AppendU32(send_buf, trees);
    if (error == PRF_ERROR_NONE)
        error = ByteBuffer_AppendU32(send_buf, logs);
    if (error == PRF_ERROR_NONE)
        error = Server_Send(prof->server, send_buf->data, send_buf->bytes_filled, 50000);
    if (error != PRF_ERROR_NONE) {
        // Not told: counted again in the next one.
        AtomicAdd32(&prof->dropped_logs, logs);
        return error;
    }
    prof->trees_reported = dropped;
    return PRF_ERROR_NONE;
}

prf_error ConsumeMessageQueueStreaming(Profiler* prof) {
    PRF_ASSERT(prof != NULL);
    prof->backlog = PRF_FALSE;
    Server* server = prof->server;
    if (!Server_HasViewer(server))
        return PRF_ERROR_NONE;

    // A new viewer: it knows no names yet, and counts what is dropped from now on.
    if (server->connections != prof->names_connection) {
        prof->names_connection = server->connections;
        HashTable_Destroy(&prof->sent_names);
        if (HashTable_Create(&prof->sent_names, 1024) != PRF_ERROR_NONE)
            return PRF_ERROR_OUT_OF_MEMORY;
        prof->trees_reported = DroppedTreesSoFar(prof);
        __atomic_store_n(&prof->dropped_logs, 0u, __ATOMIC_RELEASE);
    }

    prf_error error = PRF_ERROR_NONE;
    MsgRing* queue = prof->sample_queue;
    const prf_u32 start = os_prf_tick_ms();
    for (prf_u32 sent = 0; sent < prof->settings.messages_per_pass; ++sent) {
        Message* message = MsgRing_Peek(queue);
        if (message == NULL)
            return PRF_ERROR_NONE;
        error = SendQueued(prof, queue, message);
        if (error != PRF_ERROR_NONE)
            return error;
        if (os_prf_tick_ms() - start >= prof->settings.pass_budget_ms) {
            prof->backlog = MsgRing_Peek(queue) != NULL ? PRF_TRUE : PRF_FALSE;
            return PRF_ERROR_NONE;
        }
    }
    prof->backlog = PRF_TRUE;
    return PRF_ERROR_NONE;
}

void DiscardMessageQueue(Profiler* prof) {
    PRF_ASSERT(prof != NULL);
    MsgRing* queue = prof->sample_queue;
    for (Message* message = MsgRing_Peek(queue); message != NULL; message = MsgRing_Peek(queue)) {
        if (message->id == MsgID_Tree) {
            const prf_u8* payload = Message_Payload(message);
            Sample* sample;
            ObjectPool* allocator;
            memcpy(&sample, payload, sizeof(sample));
            memcpy(&allocator, payload + sizeof(void*), sizeof(allocator));
            ReleaseSampleTree(sample, allocator);
        }
        MsgRing_Release(queue, message);
    }
}

// --- requests from the viewer --------------------------------------------------------------

prf_error HandleViewerMessage(void* context, prf_u8* data, prf_u32 length) {
    Profiler* prof = (Profiler*)context;
    PRF_ASSERT(prof != NULL);
    PRF_ASSERT(data != NULL);
    if (length < 4)
        return PRF_ERROR_NONE;

    if (memcmp(data, "CONI", 4) == 0) {
        PostLogText("Console message received...");
        PostLogText((const char*)data + 4);
        return PRF_ERROR_NONE;
    }

    if (memcmp(data, "GSMP", 4) == 0) {
        // Digits are not checked: anything else simply gives a hash nobody knows.
        prf_u32 name_hash = 0;
        for (prf_u32 i = 4; i < length; ++i)
            name_hash = name_hash * 10u + (prf_u32)((prf_i32)(int8_t)data[i] - '0');

        // The newest sampler first; samplers are never removed while the profiler runs, so
        // the list is walked without a lock.
        char name[245];
        prf_u32 name_length = PRF_NOT_FOUND;
        for (ThreadSampler* ts = LoadAcquirePtr(&prof->first_thread_sampler); ts != NULL;
             ts = ts->next) {
            name_length = NameTable_CopyName(ts->names, name_hash, name, sizeof(name));
            if (name_length != PRF_NOT_FOUND)
                break;
        }
        if (name_length == PRF_NOT_FOUND)
            return PRF_ERROR_NONE;

        return SendNameMessage(prof, name_hash, name, name_length, 10);
    }
    return PRF_ERROR_NONE;
}
