// The profiler instance: its construction and destruction, the per-thread samplers, the
// microsecond timer, what scope_begin / scope_end do on the calling thread, log lines, and the
// profiler thread's loop.
//
// A sampling thread only ever touches its own sampler (found through the instance's TLS slot),
// the lock-free queue and its pool's free list, so scope_begin and scope_end never block and
// call the system only to read the slot and the counter.
#include "profiler/profiler_internal.h"
#include "platform/os.h"
#include "profiler/scope_internal.h"

#include <string.h>
#include <x86intrin.h>

// Defined here, beside its only readers on the hot path, so each reads it with one load.
Profiler* g_profiler = nullptr;

namespace {

// True while g_profiler was set by a construction.
prf_bool g_profiler_created = PRF_FALSE;
// Numbers the thread samplers; never reset, so a later instance continues the numbering.
prf_u32 g_thread_sampler_counter = 0;
// Numbers the instances, so that a thread's cached sampler is never taken for one of a later
// instance that happens to sit at the same address.
prf_u32 g_instance_counter = 0;

// The calling thread's sampler, cached beside the slot: where the toolchain has native
// thread-local storage (ELF, initial-exec: one load from the thread pointer) this spares the
// slot's library call on every scope_begin and scope_end. MinGW emulates thread_local through
// a call that costs more than the slot itself, so there the slot is read directly.
#if defined(__ELF__)
#define PRF_SAMPLER_CACHE 1
struct SamplerCache {
    prf_u32 instance;
    ThreadSampler* sampler;
};
__attribute__((tls_model("initial-exec"))) thread_local SamplerCache t_sampler_cache = {0, NULL};
#endif

} // namespace

// --- timer ---------------------------------------------------------------------------------

static void Clock_Start(ProfilerTimer* timer) {
    PRF_ASSERT(timer != NULL);
    timer->factor = 1000000.0 / (prf_f64)os_prf_counter_frequency();
    // Asked after the frequency, which settles the counter's source.
    timer->tsc = os_prf_counter_is_tsc() ? PRF_TRUE : PRF_FALSE;
    timer->start = os_prf_counter();
}

// Every scope reads the counter twice; where it is the time-stamp counter, the read is one
// instruction here rather than a call into the platform layer.
static inline prf_u64 Clock_Now(const ProfilerTimer* timer) {
    prf_u64 ticks = (timer->tsc ? __rdtsc() : os_prf_counter()) - timer->start;
    // An unsigned conversion: products of 2^63 and more are converted, not saturated.
    return (prf_u64)((prf_f64)ticks * timer->factor);
}

prf_u64 Clock_Microseconds(const ProfilerTimer* timer) {
    PRF_ASSERT(timer != NULL);
    return Clock_Now(timer);
}

// --- name hash -----------------------------------------------------------------------------

static inline prf_u32 rotl32(prf_u32 x, int r) {
    return (x << r) | (x >> (32 - r));
}

static inline prf_u32 murmur_block(prf_u32 k) {
    k *= 0xcc9e2d51u;
    k = rotl32(k, 15);
    return k * 0x1b873593u;
}

// One pass over the name: each block of four bytes is mixed as soon as none of them turned out
// to be the NUL, so the length is found on the way instead of by a scan of its own first.
// Bytes past the NUL are never read.
static inline prf_u32 HashNameInline(const char* name) {
    PRF_ASSERT(name != NULL);
    const prf_u8* p = (const prf_u8*)name;
    prf_u32 h = 0;
    prf_u32 length = 0;
    prf_u32 tail = 0; // the last, incomplete block's bytes
    for (;;) {
        if (length == 256)
            break;
        prf_u32 b0 = p[length];
        if (b0 == 0)
            break;
        prf_u32 b1 = p[length + 1];
        if (b1 == 0) {
            tail = b0;
            length += 1;
            break;
        }
        prf_u32 b2 = p[length + 2];
        if (b2 == 0) {
            tail = b0 | b1 << 8;
            length += 2;
            break;
        }
        prf_u32 b3 = p[length + 3];
        if (b3 == 0) {
            tail = b0 | b1 << 8 | b2 << 16;
            length += 3;
            break;
        }
        h ^= murmur_block(b0 | b1 << 8 | b2 << 16 | b3 << 24);
        h = rotl32(h, 13);
        h = h * 5 + 0xe6546b64u;
        length += 4;
    }
    if ((length & 3) != 0)
        h ^= murmur_block(tail);
    h ^= length;
    h ^= h >> 16;
    h *= 0x85ebca6bu;
    h ^= h >> 13;
    h *= 0xc2b2ae35u;
    h ^= h >> 16;
    return h;
}

prf_u32 HashName(const char* name) {
    return HashNameInline(name);
}

// --- thread samplers -----------------------------------------------------------------------

static void ThreadSampler_Destroy(ThreadSampler* ts) {
    PRF_ASSERT(ts != NULL);
    if (ts->sample_tree != NULL)
        SampleTree_Destroy(ts->sample_tree);
    if (ts->names != NULL)
        NameTable_Destroy(ts->names);
    ts->sample_tree = NULL;
    ts->names = NULL;
}

// "Thread" and the number in upper-case hexadecimal without leading zeros.
static void ThreadSampler_Name(char* name, prf_u32 number) {
    static const char digits[] = "0123456789ABCDEF";
    char reversed[8];
    int count = 0;
    do {
        reversed[count++] = digits[number & 15];
        number >>= 4;
    } while (number != 0);
    memcpy(name, "Thread", 6);
    int at = 6;
    while (count > 0)
        name[at++] = reversed[--count];
    name[at] = '\0';
}

static prf_error FetchThreadSamplerSlow(Profiler* prof, ThreadSampler** out);

// The hot path stays small enough to be inlined into the scope calls; the slot and the
// sampler's creation are out of line.
static inline prf_error FetchThreadSamplerFast(Profiler* prof, ThreadSampler** out) {
#if PRF_SAMPLER_CACHE
    if (t_sampler_cache.instance == prof->instance_number) {
        *out = t_sampler_cache.sampler;
        return PRF_ERROR_NONE;
    }
#endif
    return FetchThreadSamplerSlow(prof, out);
}

prf_error FetchThreadSampler(Profiler* prof, ThreadSampler** out) {
    PRF_ASSERT(prof != NULL);
    return FetchThreadSamplerFast(prof, out);
}

__attribute__((noinline)) static prf_error FetchThreadSamplerSlow(Profiler* prof,
                                                                  ThreadSampler** out) {
    PRF_ASSERT_TEXT(prof->sampler_tls_slot != TLS_INVALID_HANDLE, "handle != TLS_INVALID_HANDLE");
    bool read = false; // a failed read looks like "no sampler yet"
    ThreadSampler* ts = (ThreadSampler*)os_tls_get(prof->sampler_tls_slot, &read);
    if (ts != NULL) {
#if PRF_SAMPLER_CACHE
        t_sampler_cache = {prof->instance_number, ts};
#endif
        *out = ts;
        return PRF_ERROR_NONE;
    }

    ts = (ThreadSampler*)prf_malloc(sizeof(ThreadSampler));
    if (ts == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    memset(ts, 0, sizeof(ThreadSampler));
    ThreadSampler_Name(ts->name,
                       __atomic_fetch_add(&g_thread_sampler_counter, 1u, __ATOMIC_RELAXED));
    ts->owner = prof;
    prf_error error = SampleTree_Create(&ts->sample_tree);
    if (error == PRF_ERROR_NONE) {
        ts->sample_tree->allocator->max_objects = prof->settings.max_samples_per_thread;
        error = NameTable_Create(&ts->names);
    }
    if (error != PRF_ERROR_NONE) {
        ThreadSampler_Destroy(ts);
        prf_free(ts);
        return error;
    }

    // Samplers are only ever added while the instance runs, so a plain push list suffices;
    // the release of the exchange publishes the finished sampler to the profiler thread.
    ThreadSampler* head;
    do {
        head = LoadAcquirePtr(&prof->first_thread_sampler);
        ts->next = head;
    } while (!CompareAndSwapPtr(&prof->first_thread_sampler, head, ts));

    os_tls_set(prof->sampler_tls_slot, ts);
#if PRF_SAMPLER_CACHE
    t_sampler_cache = {prof->instance_number, ts};
#endif
    *out = ts;
    return PRF_ERROR_NONE;
}

// The calling thread's sampler in the running instance; null when there is no instance or no
// sampler could be made.
static ThreadSampler* CallingThreadSampler(Profiler** out_prof) {
    Profiler* prof = profiler_instance();
    *out_prof = prof;
    ThreadSampler* ts;
    if (prof == NULL || FetchThreadSamplerFast(prof, &ts) != PRF_ERROR_NONE)
        return NULL;
    return ts;
}

static void ThreadSampler_SetName(ThreadSampler* ts, const char* name) {
    size_t length = strnlen(name, sizeof(ts->name) - 1);
    memcpy(ts->name, name, length);
    ts->name[length] = '\0';
}

void RenameThreadSampler(const char* name) {
    PRF_ASSERT(name != NULL);
    Profiler* prof;
    ThreadSampler* ts = CallingThreadSampler(&prof);
    if (ts == NULL)
        return;
    ThreadSampler_SetName(ts, name);
    os_prf_name_thread(name);
}

void scope_set_thread_name(const char* name) {
    if (name != NULL)
        RenameThreadSampler(name);
}

void scope_library_thread_started(const char* name) {
    Profiler* prof;
    ThreadSampler* ts = CallingThreadSampler(&prof);
    if (ts == NULL || !prof->settings.streaming)
        return;
    // The system already knows the thread's name; only the viewer's label changes.
    ThreadSampler_SetName(ts, name);
    // The thread's whole life is one scope: each scope its function opens at the top is a
    // frame of its own, sent when it closes, so the thread's tree never grows with its life.
    SampleTree* tree = ts->sample_tree;
    if (ts->failed_pushes == 0 && tree->current_parent != tree->root)
        ts->frame_base = tree->current_parent;
}

// --- log lines -----------------------------------------------------------------------------

static prf_bool QueueLogLine(Profiler* prof, ThreadSampler* ts, char* line_buffer, int offset) {
    MsgRing* queue = prof->sample_queue;
    prf_u32 length = (prf_u32)(offset - 8);
    line_buffer[4] = (char)length;
    line_buffer[5] = (char)(length >> 8);
    line_buffer[6] = (char)(length >> 16);
    line_buffer[7] = (char)(length >> 24);
    Message* message = MsgRing_Reserve(queue, (prf_u32)offset, ts);
    if (message == NULL) {
        if (prof->settings.streaming)
            AtomicAdd32(&prof->dropped_logs, 1);
        return PRF_FALSE;
    }
    memcpy(Message_Payload(message), line_buffer, (size_t)offset);
    MsgRing_Publish(message, MsgID_Log);
    return PRF_TRUE;
}

// A log line's payload with no text: its identifier and its length.
static const size_t kEmptyLinePayload = 8;

// PostLogText once the calling thread's sampler is known (null: it could not be had).
static void PostLogTextOn(Profiler* prof, ThreadSampler* ts, const char* text) {
    PRF_ASSERT(text != NULL);

    // With a queue that cannot take even the shortest line, an empty one (nobody has read it
    // for a while), the first line would be refused and the rest of the text dropped with it:
    // nothing to do.
    if (MsgRing_Full(prof->sample_queue, kEmptyLinePayload)) {
        if (prof->settings.streaming && *text != '\0')
            AtomicAdd32(&prof->dropped_logs, 1);
        return;
    }

    // The usual text, a scope's name, is one short line: written straight into the queue
    // (the same bytes as through the line buffer below).
    size_t length = 0;
    while (length <= 1015 && text[length] != '\0' && text[length] != '\n')
        ++length;
    if (text[length] == '\0' && length <= 1015) {
        if (length == 0)
            return;
        Message* message = MsgRing_Reserve(prof->sample_queue, (prf_u32)length + 8, ts);
        if (message == NULL) {
            if (prof->settings.streaming)
                AtomicAdd32(&prof->dropped_logs, 1);
            return;
        }
        prf_u8* payload = Message_Payload(message);
        memcpy(payload, "LOGM", 4);
        payload[4] = (prf_u8)length;
        payload[5] = (prf_u8)(length >> 8);
        payload[6] = 0;
        payload[7] = 0;
        memcpy(payload + 8, text, length);
        MsgRing_Publish(message, MsgID_Log);
        return;
    }

    // Only the bytes up to the offset are ever sent, so the buffer is cleared once.
    char line_buffer[1024];
    memcpy(line_buffer, "LOGM    ", 8);
    int offset = 8;
    for (const char* p = text; *p != '\0'; ++p) {
        if (offset == 1023 || *p == '\n') {
            if (!QueueLogLine(prof, ts, line_buffer, offset))
                return;
            offset = 8;
        }
        if (*p == '\n')
            continue;
        PRF_ASSERT(offset < (int)sizeof(line_buffer));
        line_buffer[offset++] = *p;
    }
    if (offset > 8)
        QueueLogLine(prof, ts, line_buffer, offset);
}

void PostLogText(const char* text) {
    Profiler* prof = profiler_instance();
    if (prof == NULL)
        return;
    // The sampler only labels the messages; a thread without one still posts.
    ThreadSampler* ts = NULL;
    if (FetchThreadSampler(prof, &ts) != PRF_ERROR_NONE)
        ts = NULL;
    PostLogTextOn(prof, ts, text);
}

// --- opening and closing scopes ------------------------------------------------------------
//
// scope_begin and scope_end are the hot path: everything they run in the steady state is in
// this file and inlined into them (the build has no link-time optimisation), with one sampler
// lookup and one counter read each. What is rare stays out of line: a sampler's creation, a
// pool that has to grow or take its returns back, a tree that goes into the queue, a log line
// that the queue can take.

// The calling thread's sampler in `prof`, or null when none could be made (the call then does
// nothing, and the next one tries again).
static inline ThreadSampler* SamplerOf(Profiler* prof) {
    ThreadSampler* ts;
    return FetchThreadSamplerFast(prof, &ts) == PRF_ERROR_NONE ? ts : NULL;
}

// By the address's low bits: a program's name literals lie packed side by side, so the names
// of one piece of code fall on different entries; a scattered mapping would make neighbours
// collide at random.
static inline NameCacheEntry* NameCache_Entry(ThreadSampler* ts, const char* name) {
    return &ts->name_cache[(uintptr_t)name % PRF_NAME_CACHE_SIZE];
}

// The hash of a name this thread stored before. The address alone proves nothing, since a
// host may build its names in a buffer that it reuses, so the bytes are compared too; that
// costs less than hashing them. Bytes past the name's NUL are never read.
static inline bool NameCache_Find(ThreadSampler* ts, const char* name, prf_u32* hash) {
    const NameCacheEntry* entry = NameCache_Entry(ts, name);
    if (entry->name != name)
        return false;
    // The text has no NUL before `length`, so a name that matches so far has none either, and
    // the next byte is still part of it.
    prf_u32 length = entry->length;
    for (prf_u32 i = 0; i < length; ++i)
        if (name[i] != entry->text[i])
            return false;
    if (name[length] != '\0')
        return false;
    *hash = entry->hash;
    return true;
}

// Remembers a stored name, when it is short enough.
__attribute__((noinline)) static void NameCache_Put(ThreadSampler* ts, const char* name,
                                                    prf_u32 hash) {
    NameCacheEntry* entry = NameCache_Entry(ts, name);
    for (prf_u32 i = 0; i < PRF_NAME_CACHE_TEXT; ++i) {
        entry->text[i] = name[i];
        if (name[i] == '\0') {
            entry->name = name;
            entry->hash = hash;
            entry->length = i;
            return;
        }
    }
    entry->name = NULL; // too long: the text is not whole
}

// Sampler_Begin once the calling thread's sampler is known.
__attribute__((always_inline)) static inline void Sampler_BeginOn(Profiler* prof, ThreadSampler* ts,
                                                                  const char* name, prf_u32 flags,
                                                                  prf_u32* hash_cache) {
    // Everything opened inside a scope that could not be recorded is not recorded either, so
    // that the matching ends find the count and pass (see scope.h).
    if (ts->failed_pushes != 0) {
        ++ts->failed_pushes;
        return;
    }

    PRF_ASSERT(name != NULL);
    prf_u32 name_hash;
    if (hash_cache == NULL && NameCache_Find(ts, name, &name_hash)) {
        // Already in the name table.
    } else if (hash_cache != NULL && *hash_cache != 0) {
        name_hash = *hash_cache;
        // The caches outlive the instance and its samplers; streaming mode pushes every name
        // from the tree's own sampler, so a new sampler must learn it too.
        if (prof->settings.streaming)
            (void)NameTable_Add(ts->names, name_hash, name);
    } else {
        name_hash = HashNameInline(name);
        if (hash_cache != NULL)
            *hash_cache = name_hash;
        // A name that cannot be stored is only missing when the viewer asks for it. Key 0
        // marks an empty slot, so a name hashing to 0 (one in four billion) is not stored.
        // Names are never removed from the table, so a hash remembered here is known there.
        prf_u32* known = &ts->known_hashes[name_hash % PRF_KNOWN_HASHES];
        bool stored = *known == name_hash;
        if (!stored && name_hash != 0 &&
            NameTable_Add(ts->names, name_hash, name) == PRF_ERROR_NONE) {
            *known = name_hash;
            stored = true;
        }
        if (stored && hash_cache == NULL)
            NameCache_Put(ts, name, name_hash);
    }

    SampleTree* tree = ts->sample_tree;
    ObjectPool* pool = tree->allocator;
    Sample* sample = (Sample*)pool->owner_free;
    if (flags == 0 && __builtin_expect(sample != NULL, 1)) {
        // The steady state: the owner's own free list has a sample. What SampleTree_Open does
        // for a new sample, without its checks, which hold here by construction.
        pool->owner_free = (ObjectLink*)sample->link;
        sample->link = NULL;
        pool->nb_taken++;
        Sample* parent = tree->current_parent;
        Sample_Prepare(sample, name_hash, parent);
        sample->path_id = MixHash(MixHash(parent->path_id, name_hash), parent->nb_children);
        parent->nb_children++;
        if (parent->first_child != NULL)
            parent->last_child->next_sibling = sample;
        else
            parent->first_child = sample;
        parent->last_child = sample;
        tree->current_parent = sample;
        sample->start_us = Clock_Now(&prof->timer);
        return;
    }

    if (SampleTree_Open(tree, name_hash, flags, &sample) != PRF_ERROR_NONE) {
        ts->failed_pushes = 1;
        Sample* base = ts->frame_base != NULL ? ts->frame_base : tree->root;
        if (tree->current_parent == base)
            __atomic_store_n(&ts->dropped_trees, ts->dropped_trees + 1, __ATOMIC_RELAXED);
        return;
    }
    prf_u64 now = Clock_Now(&prof->timer);
    if (sample->call_count > 1)
        sample->end_us = now;
    else
        sample->start_us = now;
}

void Sampler_Begin(const char* name, prf_u32 flags, prf_u32* hash_cache) {
    Profiler* prof = profiler_instance();
    if (prof == NULL)
        return;
    ThreadSampler* ts = SamplerOf(prof);
    if (ts != NULL)
        Sampler_BeginOn(prof, ts, name, flags, hash_cache);
}

// A finished tree that the queue cannot take goes straight back to this thread's own pool, and
// counts as dropped.
static inline void ThreadSampler_Drop(ThreadSampler* ts, Sample* sample) {
    ObjectPool* pool = ts->sample_tree->allocator;
    if (sample->first_child == NULL) {
        // One sample, the usual case while nobody reads the queue: no walk.
        sample->link = (Sample*)pool->owner_free;
        pool->owner_free = (ObjectLink*)sample;
        pool->nb_taken--;
    } else {
        ReleaseSampleTreeOwn(sample, pool);
    }
    __atomic_store_n(&ts->dropped_trees, ts->dropped_trees + 1, __ATOMIC_RELAXED);
}

static void ThreadSampler_Queue(ThreadSampler* ts, MsgRing* queue, Sample* sample) {
    Message* message = MsgRing_Reserve(queue, 3 * sizeof(void*), ts);
    if (message == NULL) {
        ThreadSampler_Drop(ts, sample);
        return;
    }
    void* payload[3] = {sample, ts->sample_tree->allocator, ts->name};
    memcpy(Message_Payload(message), payload, sizeof(payload));
    MsgRing_Publish(message, MsgID_Tree);
}

// A finished tree: detached from `base`, then queued for the profiler thread or dropped.
static inline void ThreadSampler_Finish(ThreadSampler* ts, MsgRing* queue, Sample* sample,
                                        Sample* base) {
    // Detached, so that the next top-level sample's path id depends only on its name again.
    base->first_child = NULL;
    base->last_child = NULL;
    base->nb_children = 0;
    // A queue already full (nobody has read it for a while) is not worth the reservation.
    if (MsgRing_Full(queue, 3 * sizeof(void*)))
        ThreadSampler_Drop(ts, sample);
    else
        ThreadSampler_Queue(ts, queue, sample);
}

prf_bool ThreadSampler_Close(ThreadSampler* thread_sampler, MsgRing* queue, Sample* sample) {
    PRF_ASSERT(thread_sampler != NULL);
    SampleTree* tree = thread_sampler->sample_tree;
    SampleTree_Close(tree, sample);
    Sample* base = thread_sampler->frame_base != NULL ? thread_sampler->frame_base : tree->root;
    if (tree->current_parent != base)
        return PRF_FALSE;
    ThreadSampler_Finish(thread_sampler, queue, sample, base);
    return PRF_TRUE;
}

// Sampler_End once the calling thread's sampler is known.
__attribute__((always_inline)) static inline void Sampler_EndOn(Profiler* prof, ThreadSampler* ts) {
    if (ts->failed_pushes != 0) {
        --ts->failed_pushes;
        return;
    }

    SampleTree* tree = ts->sample_tree;
    Sample* sample = tree->current_parent;
    // An end without an open scope is ignored rather than closing the root (see scope.h).
    if (sample == tree->root)
        return;

    prf_u64 now = Clock_Now(&prof->timer);
    prf_u64 elapsed = sample->call_count > 1 ? now - sample->end_us : now - sample->start_us;
    sample->length_us += elapsed;
    // Not the root, so it has a parent.
    Sample* parent = sample->parent;
    parent->children_us += elapsed;
    tree->current_parent = parent;
    // The frame base itself closing ends the thread's frames: it is a tree like any other.
    Sample* base = ts->frame_base;
    if (base == NULL) {
        base = tree->root;
    } else if (sample == base) {
        ts->frame_base = NULL;
        base = tree->root;
    }
    if (parent == base)
        ThreadSampler_Finish(ts, prof->sample_queue, sample, base);
}

void Sampler_End() {
    Profiler* prof = profiler_instance();
    if (prof == NULL)
        return;
    ThreadSampler* ts = SamplerOf(prof);
    if (ts != NULL)
        Sampler_EndOn(prof, ts);
}

// The work of scope_begin and scope_end with an instance. Kept apart so that without one each
// entry point is one load and one branch, before any register is saved.
__attribute__((noinline)) static void scope_begin_on(Profiler* prof, const char* name) {
    // One sampler lookup for both halves: the sample and the log line.
    ThreadSampler* ts = SamplerOf(prof);
    if (ts != NULL)
        Sampler_BeginOn(prof, ts, name, 0, NULL);
    // Streaming mode pushes each name once instead of a log line per scope. A queue that
    // cannot take even the shortest line refuses this one unbuilt.
    if (!prof->settings.streaming && !MsgRing_Full(prof->sample_queue, kEmptyLinePayload))
        PostLogTextOn(prof, ts, name);
}

__attribute__((noinline)) static void scope_end_on(Profiler* prof) {
    ThreadSampler* ts = SamplerOf(prof);
    if (ts != NULL)
        Sampler_EndOn(prof, ts);
}

void scope_begin(const char* name) {
    Profiler* prof = profiler_instance();
    if (prof != NULL)
        scope_begin_on(prof, name);
}

void scope_end(void) {
    Profiler* prof = profiler_instance();
    if (prof != NULL)
        scope_end_on(prof);
}

// --- the profiler thread -------------------------------------------------------------------

static prf_bool ProfilerThread_Valid(const ProfilerThread* thread) {
    return thread->handle != NULL;
}

static sys_u32 ProfilerThread_Main(void* param) {
    ProfilerThread* thread = (ProfilerThread*)param;
    thread->error = thread->function(thread);
    return thread->error != PRF_ERROR_NONE ? 1u : 0u;
}

static prf_error ProfilerThread_Loop(ProfilerThread* thread) {
    Profiler* prof = (Profiler*)thread->param;
    PRF_ASSERT(prof != NULL);
    // Each name keeps its hash across passes (and instances), so the loop hashes nothing.
    static prf_u32 s_wakeup_hash = 0;
    static prf_u32 s_server_update_hash = 0;
    static prf_u32 s_consume_hash = 0;

    RenameThreadSampler("Profiler");
    while (__atomic_load_n(&thread->exit_requested, __ATOMIC_ACQUIRE) == 0) {
        Sampler_Begin("Wakeup", 0, &s_wakeup_hash);
        if (prof->settings.streaming)
            SendDropCounts(prof);

        Sampler_Begin("ServerUpdate", 0, &s_server_update_hash);
        Server_Update(prof->server);
        Sampler_End();

        Sampler_Begin("ConsumeMessageQueue", 0, &s_consume_hash);
        if (prof->settings.streaming)
            ConsumeMessageQueueStreaming(prof);
        else
            ConsumeMessageQueue(prof);
        Sampler_End();

        Sampler_End();
        // A pass that stopped at its time budget goes on at once: the viewer is keeping up
        // and the queue is not empty.
        if (!prof->backlog)
            os_thread_sleep(prof->settings.update_interval_ms);
    }
    DiscardMessageQueue(prof);
    return PRF_ERROR_NONE;
}

static void ProfilerThread_Destroy(ProfilerThread* thread) {
    PRF_ASSERT(thread != NULL);
    if (ProfilerThread_Valid(thread)) {
        __atomic_store_n(&thread->exit_requested, 1u, __ATOMIC_RELEASE);
        PRF_ASSERT(ProfilerThread_Valid(thread));
        os_prf_thread_join(thread->handle);
        thread->handle = NULL;
    }
}

// --- the instance --------------------------------------------------------------------------

static void Profiler_Destroy(Profiler* prof) {
    PRF_ASSERT(prof != NULL);

    if (prof->thread != NULL) {
        ProfilerThread_Destroy(prof->thread);
        prf_free(prof->thread);
        prof->thread = NULL;
    }

    // Only the instance that set the pointer clears it: a start that failed because another
    // instance holds the port must leave that one running.
    if (g_profiler_created == PRF_TRUE && g_profiler == prof) {
        __atomic_store_n(&g_profiler, (Profiler*)NULL, __ATOMIC_RELAXED);
        g_profiler_created = PRF_FALSE;
        PRF_COMPILER_BARRIER();
    }

    if (prof->sample_queue != NULL) {
        MsgRing_Destroy(prof->sample_queue);
        prf_free(prof->sample_queue);
        prof->sample_queue = NULL;
    }

    if (prof->sampler_tls_slot == TLS_INVALID_HANDLE) {
        PRF_ASSERT(prof->first_thread_sampler == NULL);
    } else {
        for (;;) {
            ThreadSampler* ts = LoadAcquirePtr(&prof->first_thread_sampler);
            if (ts == NULL)
                break;
            if (!CompareAndSwapPtr(&prof->first_thread_sampler, ts, ts->next))
                continue;
            ThreadSampler_Destroy(ts);
            prf_free(ts);
        }
    }

    if (prof->server != NULL) {
        Server_Close(prof->server);
        prf_free(prof->server);
        prof->server = NULL;
    }
    if (prof->sent_names.slots != NULL)
        HashTable_Destroy(&prof->sent_names);

    if (prof->sampler_tls_slot != TLS_INVALID_HANDLE) {
        os_tls_free(prof->sampler_tls_slot);
        prof->sampler_tls_slot = TLS_INVALID_HANDLE;
    }
}

static prf_error Profiler_Construct(Profiler* prof, const ProfilerSettings* given) {
    memset(prof, 0, sizeof(Profiler));
    prof->settings = *given;
    // Never 0, the number a thread's empty cache holds.
    do
        prof->instance_number = __atomic_add_fetch(&g_instance_counter, 1u, __ATOMIC_RELAXED);
    while (prof->instance_number == 0);
    const ProfilerSettings* settings = &prof->settings;
    prof->sampler_tls_slot = TLS_INVALID_HANDLE;
    prof->server = NULL;
    prof->first_thread_sampler = NULL;
    prof->sample_queue = NULL;
    prof->thread = NULL;

    Clock_Start(&prof->timer);

    prf_u32 slot;
    if (!os_tls_alloc(&slot))
        return PRF_ERROR_TLS_SLOT;
    prof->sampler_tls_slot = slot;

    prof->server = (Server*)prf_malloc(sizeof(Server));
    if (prof->server == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    prf_error error =
        Server_Open(prof->server, settings->port, settings->bind_loopback ? PRF_TRUE : PRF_FALSE);
    if (error != PRF_ERROR_NONE) {
        Server_Close(prof->server);
        prf_free(prof->server);
        prof->server = NULL;
        return error;
    }
    prof->server->on_message = HandleViewerMessage;
    prof->server->on_message_context = prof;
    if (settings->streaming) {
        error = HashTable_Create(&prof->sent_names, 1024);
        if (error != PRF_ERROR_NONE)
            return error;
    }

    prof->sample_queue = (MsgRing*)prf_malloc(sizeof(MsgRing));
    if (prof->sample_queue == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    error = MsgRing_Create(prof->sample_queue, settings->queue_bytes);
    if (error != PRF_ERROR_NONE) {
        MsgRing_Destroy(prof->sample_queue);
        prf_free(prof->sample_queue);
        prof->sample_queue = NULL;
        return error;
    }

    PRF_ASSERT(g_profiler == NULL);
    __atomic_store_n(&g_profiler, prof, __ATOMIC_RELEASE);
    g_profiler_created = PRF_TRUE;
    PRF_COMPILER_BARRIER();

    prof->thread = (ProfilerThread*)prf_malloc(sizeof(ProfilerThread));
    if (prof->thread == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    memset(prof->thread, 0, sizeof(ProfilerThread));
    prof->thread->function = ProfilerThread_Loop;
    prof->thread->param = prof;
    prof->thread->handle = os_prf_thread_start(ProfilerThread_Main, prof->thread);
    if (prof->thread->handle == NULL) {
        ProfilerThread_Destroy(prof->thread);
        prf_free(prof->thread);
        prof->thread = NULL;
        return PRF_ERROR_THREAD_START;
    }
    return PRF_ERROR_NONE;
}

// The host's instance. scope_static_destroy does not clear it: destroying twice stops at the
// "created" assertion before the stale pointer is used.
static Profiler* s_host_profiler = NULL;

static prf_error Profiler_Create(Profiler** out, const ProfilerSettings* settings) {
    *out = NULL;
    Profiler* prof = (Profiler*)prf_malloc(sizeof(Profiler));
    if (prof == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    prf_error error = Profiler_Construct(prof, settings);
    if (error != PRF_ERROR_NONE) {
        Profiler_Destroy(prof);
        prf_free(prof);
        return error;
    }
    *out = prof;
    return PRF_ERROR_NONE;
}

prf_error Profiler_Start(const ProfilerSettings* settings) {
    // A start that fails leaves a running instance reachable: a second start while one runs
    // finds the port taken and must not orphan the first.
    Profiler* created;
    prf_error error = Profiler_Create(&created, settings);
    if (error == PRF_ERROR_NONE)
        s_host_profiler = created;
    return error;
}

sys_u64 scope_static_init(void) {
    return scope_static_init_with(NULL);
}

sys_u64 scope_static_init_with(const scope_settings* host) {
    ProfilerSettings settings;
    ProfilerSettings_Resolve(host, &settings);
    return (sys_u64)Profiler_Start(&settings);
}

prf_u64 Profiler_ThreadCpuMicroseconds() {
    Profiler* prof = s_host_profiler;
    if (prof == NULL || prof != profiler_instance() || prof->thread == NULL ||
        prof->thread->handle == NULL)
        return 0;
    return os_prf_thread_cpu_us(prof->thread->handle);
}

void scope_static_destroy(void) {
    Profiler* profiler = s_host_profiler;
    PRF_ASSERT(g_profiler_created == PRF_TRUE);
    PRF_ASSERT(g_profiler == profiler);
    if (profiler == NULL)
        return;
    Profiler_Destroy(profiler);
    prf_free(profiler);
}
