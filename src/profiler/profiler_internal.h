// The sampling profiler's internal interface: every record and every operation that its parts
// (samples and pools, the message queue, the network server, the viewer messages and the
// instance itself) call in one another.
//
// The profiler stands apart from the rest of the library on purpose: it is what measures the
// library, so it must not run through the library's own locks, clocks, allocator or check
// handler. It allocates through the three functions of its fixed settings (the C heap), keeps
// its own thread-local slot and thread, reads the platform counter itself, and its
// consistency checks stop the process through the C runtime's assertion (PRF_ASSERT), kept in
// every build because a broken invariant here would otherwise corrupt the host's memory.
//
// Threads: each sampling thread owns its ThreadSampler (tree, pool, name table) and touches no
// one else's. The profiler thread alone reads the queue, owns the server and frees sent trees.
// The only shared mutable state is the queue's positions, the pools' free lists and counters
// (returns come from the profiler thread), the list of samplers (push-only) and the name
// tables (read by the profiler thread when the viewer asks for a name).
#pragma once

#include "qv_sys/scope.h"

#include <stddef.h>
#include <stdint.h>

typedef uint8_t prf_u8;
typedef uint16_t prf_u16;
typedef uint32_t prf_u32;
typedef int32_t prf_i32;
typedef uint64_t prf_u64;
typedef int64_t prf_i64;
typedef double prf_f64;
typedef int prf_bool;
#define PRF_TRUE  1
#define PRF_FALSE 0

// Absent, in the hash table; it can therefore never be stored as a value.
#define PRF_NOT_FOUND 0xFFFFFFFFu
// A thread-local slot that was never allocated.
#define TLS_INVALID_HANDLE 0xFFFFFFFFu

// --- assertions ----------------------------------------------------------------------------
// Stops the process through the C runtime's assertion with `text` as the failed expression
// (Windows: _wassert; Linux: __assert_fail). Never compiled out.
[[noreturn]] void prf_assert_fail(const char* text, const char* file, unsigned line);
#define PRF_ASSERT(e) ((e) ? (void)0 : prf_assert_fail(#e, __FILE__, __LINE__))
// The same with the reported text given, where the test reads better written another way
// than the text the reports have always shown.
#define PRF_ASSERT_TEXT(e, text) ((e) ? (void)0 : prf_assert_fail(text, __FILE__, __LINE__))

// Acquire loads and release stores of the shared 32-bit words. They compile to plain moves on
// x86-64 and keep the compiler (and the thread sanitizer) aware of the ordering.
inline prf_u32 LoadAcquire(const prf_u32* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
inline void StoreRelease(prf_u32* p, prf_u32 v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
template <typename T> inline T* LoadAcquirePtr(T* const* p) {
    return __atomic_load_n(p, __ATOMIC_ACQUIRE);
}
template <typename T> inline void StoreReleasePtr(T** p, T* v) {
    __atomic_store_n(p, v, __ATOMIC_RELEASE);
}
// Full compare-and-swap; true when *p held `expected` and now holds `desired`.
template <typename T> inline bool CompareAndSwapPtr(T** p, T* expected, T* desired) {
    return __atomic_compare_exchange_n(p, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}
inline bool CompareAndSwap32(prf_u32* p, prf_u32 expected, prf_u32 desired) {
    return __atomic_compare_exchange_n(p, &expected, desired, false, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}
inline prf_u32 AtomicAdd32(prf_u32* p, prf_u32 v) {
    return __atomic_add_fetch(p, v, __ATOMIC_ACQ_REL);
}
inline prf_u32 AtomicSub32(prf_u32* p, prf_u32 v) {
    return __atomic_sub_fetch(p, v, __ATOMIC_ACQ_REL);
}
#define PRF_COMPILER_BARRIER() __atomic_signal_fence(__ATOMIC_SEQ_CST)

// --- settings and allocation (settings.cpp) ------------------------------------------------
struct ProfilerSettings {
    prf_u16 port;               // 17815
    prf_u32 update_interval_ms; // 10
    prf_u32 queue_bytes;        // 131072
    prf_u32 messages_per_pass;  // 10
    // What the host (or the environment) may choose; all 0 by default.
    prf_u32 bind_loopback;          // listen on 127.0.0.1 only
    prf_u32 streaming;              // see docs/profiler.md "Streaming mode"
    prf_u32 pass_budget_ms;         // streaming: a pass sends until the queue is empty or this
    prf_u32 max_samples_per_thread; // streaming: a thread's pool never makes more samples
};
// The documented defaults: constant data, filled in by the compiler before anything runs.
const ProfilerSettings* prf_settings();
// The settings of a new instance: the defaults, then what the host chose (null: nothing),
// then the environment (QV_SYS_PROFILER_PORT, _BIND, _STREAM), read here, once per start.
// An invalid value in either is refused with a log line and leaves the setting as it was.
void ProfilerSettings_Resolve(const scope_settings* host, ProfilerSettings* out);
// A profiler allocation: the C heap, never the library's allocator that it measures.
void* prf_malloc(prf_u32 size);
void* prf_realloc(void* ptr, prf_u32 size);
void prf_free(void* ptr);

// --- samples and the object pool (samples.cpp) ----------------------------------------------
struct Sample {
    Sample* link; // free-list link; chains a finished tree's samples when they are freed
    prf_u32 name_hash;
    prf_u32 path_id;
    char colour_text[8]; // "#" six hex digits NUL; the digits are written when sent
    Sample* parent;
    Sample* first_child;
    Sample* last_child;
    Sample* next_sibling;
    prf_u32 nb_children;
    prf_u64 start_us;
    prf_u64 end_us; // aggregated samples: when last entered again
    prf_u64 length_us;
    prf_u64 children_us;
    prf_u32 call_count;
};

// A sample taken for a tree starts with no children, no times and one call. Shared by
// SampleTree_Open and the scope's inlined fast path, which must start a sample the same way.
inline void Sample_Prepare(Sample* sample, prf_u32 name_hash, Sample* parent) {
    sample->name_hash = name_hash;
    sample->parent = parent;
    sample->path_id = 0;
    sample->first_child = NULL;
    sample->last_child = NULL;
    sample->next_sibling = NULL;
    sample->nb_children = 0;
    sample->start_us = 0;
    sample->end_us = 0;
    sample->length_us = 0;
    sample->children_us = 0;
    sample->call_count = 1;
}

// Objects on the free list are linked through their first pointer-sized word.
struct ObjectLink {
    ObjectLink* link;
};

typedef prf_error (*ObjectConstructor)(void* object);
typedef void (*ObjectDestructor)(void* object);

// Equal-sized objects that are made one at a time and only go back to the heap when the pool
// is destroyed. Taken only by the owning thread; given back from any thread (see samples.cpp).
struct ObjectPool {
    prf_u32 object_size;
    ObjectConstructor constructor;
    ObjectDestructor destructor;
    prf_u32 nb_created;     // owner only
    prf_u32 nb_taken;       // owner only: objects handed out minus those it took back itself
    prf_u32 max_objects;    // 0: no limit; else taking fails once this many were made
    ObjectLink* owner_free; // owner only
    ObjectLink* first_free; // returns from any thread: a lock-free stack
    prf_u32 nb_given;       // objects returned through first_free, atomically
};

// Allocates and constructs a pool record.
prf_error ObjectPool_Create(ObjectPool** out, prf_u32 object_size, ObjectConstructor constructor,
                            ObjectDestructor destructor);
// Asserts that every object is back, destroys and frees them, then frees the record.
void ObjectPool_Destroy(ObjectPool* allocator);
prf_error ObjectPool_Take(ObjectPool* allocator, void** object);
// Any thread: returns one object, or `count` objects chained through their links from
// `first` to `last`.
void ObjectPool_Give(ObjectPool* allocator, void* object);
void ObjectPool_GiveRange(ObjectPool* allocator, void* first, void* last, prf_u32 count);
// The owner thread only: the same as ObjectPool_GiveRange, without a locked instruction.
void ObjectPool_GiveOwn(ObjectPool* allocator, void* first, void* last, prf_u32 count);
// Objects handed out and not yet back; objects made and waiting on a free list.
prf_u32 ObjectPool_InUse(const ObjectPool* allocator);
prf_u32 ObjectPool_Available(const ObjectPool* allocator);

// The sample pool's constructor and destructor.
prf_error Sample_Constructor(void* object);
void Sample_Destructor(void* object);

struct SampleTree {
    ObjectPool* allocator;
    Sample* root;
    Sample* current_parent;
};

#define PRF_SAMPLE_FLAG_AGGREGATE 1u

// ((a >> 2) + (a << 6) + 0x9E3779B9 + b) ^ a in wrapping 32-bit arithmetic.
inline prf_u32 MixHash(prf_u32 a, prf_u32 b) {
    return ((a >> 2) + (a << 6) + 0x9E3779B9u + b) ^ a;
}

// Allocates a tree with its own pool and root.
prf_error SampleTree_Create(SampleTree** out);
// Gives the root back, destroys the pool and frees the record.
void SampleTree_Destroy(SampleTree* tree);
// Pushes a sample (or, with the aggregate flag, re-enters a same-named sibling).
prf_error SampleTree_Open(SampleTree* tree, prf_u32 name_hash, prf_u32 flags, Sample** out);
// Pops `sample`: its parent becomes the current parent.
void SampleTree_Close(SampleTree* tree, Sample* sample);
// Returns a finished tree's samples to `allocator` with one compare-and-swap.
void ReleaseSampleTree(Sample* sample, ObjectPool* allocator);
// The same, on the thread that owns `allocator`: no locked instruction at all.
void ReleaseSampleTreeOwn(Sample* sample, ObjectPool* allocator);

// --- growable bytes (buffer.cpp) ------------------------------------------------------------
struct ByteBuffer {
    prf_u32 growth_step;
    prf_u32 bytes_reserved;
    prf_u32 bytes_filled;
    prf_u8* data;
};
// Constructs in place: empty, no memory yet.
void ByteBuffer_Create(ByteBuffer* buffer, prf_u32 growth_step);
void ByteBuffer_Destroy(ByteBuffer* buffer);
// Empties the buffer, keeping its memory.
void ByteBuffer_Clear(ByteBuffer* buffer);
prf_error ByteBuffer_Append(ByteBuffer* buffer, const void* bytes, prf_u32 length);
prf_error ByteBuffer_AppendU32(ByteBuffer* buffer, prf_u32 value);
prf_error ByteBuffer_AppendF64(ByteBuffer* buffer, prf_u64 value);
prf_error ByteBuffer_AppendText(ByteBuffer* buffer, const char* text);
prf_error ByteBuffer_AppendCountedText(ByteBuffer* buffer, const char* text);
// Empties `buffer` and writes the 10 bytes that a WebSocket frame header is later written into.
prf_error SendBuffer_Reset(ByteBuffer* buffer);
#define PRF_SEND_RESERVE 10u

// --- hash table and name table (names.cpp) --------------------------------------------------
struct HashSlot {
    prf_u32 key; // 0: empty
    prf_u32 value;
};
struct HashTable {
    prf_u32 max_nb_slots; // a power of two
    prf_u32 nb_slots;     // in use
    HashSlot* slots;
};
prf_error HashTable_Create(HashTable* table, prf_u32 nb_slots);
void HashTable_Destroy(HashTable* table);
prf_error HashTable_Put(HashTable* table, prf_u32 key, prf_u32 value);
prf_u32 HashTable_Get(const HashTable* table, prf_u32 key);

// A thread's names by hash. Written only by its owner thread; NameTable_CopyName may run on
// another thread at the same time (see names.cpp for how).
struct NameTable;
prf_error NameTable_Create(NameTable** out);
void NameTable_Destroy(NameTable* table);
// Owner thread only. Does nothing when the hash is already present.
prf_error NameTable_Add(NameTable* table, prf_u32 name_hash, const char* name);
// Owner thread only: the stored name, valid until the next insert, or null.
const char* NameTable_Lookup(NameTable* table, prf_u32 name_hash);
// Any thread: copies up to `capacity` - 1 bytes of the name and a NUL into `out` and gives
// the number of bytes copied, or PRF_NOT_FOUND when the hash is absent.
prf_u32 NameTable_CopyName(NameTable* table, prf_u32 name_hash, char* out, prf_u32 capacity);

// --- message queue (queue.cpp) --------------------------------------------------------------
struct DoubleMappedRing {
    prf_u32 size; // a multiple of 65536
    prf_u8* ptr;  // 2 * size bytes; both halves show the same memory; null when not made
    void* mapping;
};
prf_error DoubleMappedRing_Create(DoubleMappedRing* ring, prf_u32 size);
void DoubleMappedRing_Destroy(DoubleMappedRing* ring);

enum MsgID : prf_u32 { MsgID_NotReady = 0, MsgID_Log = 1, MsgID_Tree = 2 };

struct ThreadSampler;
// Messages sit in the ring at 4-byte boundaries (occupied sizes are multiples of 4), so the
// record's alignment is 4; the layout (16 bytes, the pointer at byte 8) is unchanged.
#pragma pack(push, 4)
struct Message {
    prf_u32 id; // MsgID_NotReady until committed
    prf_u32 payload_size;
    ThreadSampler* thread_sampler;
    // payload_size bytes follow
};
#pragma pack(pop)
static_assert(sizeof(Message) == 16 && alignof(Message) == 4, "the ring's message header");
inline prf_u8* Message_Payload(Message* message) {
    return (prf_u8*)message + sizeof(Message);
}
// The bytes a message occupies in the ring.
inline prf_u32 Message_Size(prf_u32 payload_size) {
    return (payload_size + 27u) & ~3u;
}

struct MsgRing {
    prf_u32 size;           // a power of two
    DoubleMappedRing* data; // owned
    prf_u8 pad0[64 - 16];
    prf_u32 read_pos; // free-running; written only by the reader
    prf_u8 pad1[64 - 4];
    prf_u32 write_pos; // free-running; moved by writers with compare-and-swap
    prf_u8 pad2[64 - 4];
};
// Constructs in place (the caller allocates the record).
prf_error MsgRing_Create(MsgRing* queue, prf_u32 size);
void MsgRing_Destroy(MsgRing* queue);
// Any thread. Null when the queue is full.
Message* MsgRing_Reserve(MsgRing* queue, prf_u32 payload_size, ThreadSampler* thread_sampler);
// The reserving thread, once the payload is complete.
void MsgRing_Publish(Message* message, prf_u32 id);
// True when a message with `payload_size` bytes would not fit now (any thread; a hint, since
// the reader may free space at any moment).
inline bool MsgRing_Full(MsgRing* queue, prf_u32 payload_size) {
    prf_u32 write_pos = __atomic_load_n(&queue->write_pos, __ATOMIC_RELAXED);
    prf_u32 read_pos = __atomic_load_n(&queue->read_pos, __ATOMIC_RELAXED);
    return (prf_i32)(write_pos - read_pos) > (prf_i32)(queue->size - Message_Size(payload_size));
}
// Reader only: the oldest message when it is committed, else null.
Message* MsgRing_Peek(MsgRing* queue);
// Reader only: zeroes the oldest message's space and frees it.
void MsgRing_Release(MsgRing* queue, Message* message);

// --- network (net.cpp) ----------------------------------------------------------------------
struct TcpConn;
struct WsConn;

// Called for each message from the viewer: `data` holds `length` bytes and a NUL after them.
typedef prf_error (*ServerReceiveHandler)(void* context, prf_u8* data, prf_u32 length);

struct Server {
    WsConn* listener;      // null until made, and again after an accept error
    WsConn* client_socket; // the viewer, or null
    prf_u32 ping_tick;
    prf_u16 port;
    prf_bool bind_loopback; // listen on 127.0.0.1 only
    prf_u32 connections;    // viewers accepted so far: a change means a new connection
    ByteBuffer send_buf;    // granularity 4096, the 10-byte reserve first
    ServerReceiveHandler on_message;
    void* on_message_context;
};
// Constructs in place: the send buffer and the listening socket on `port`.
prf_error Server_Open(Server* server, prf_u16 port, prf_bool loopback = PRF_FALSE);
// Destroys the viewer's socket, the listening socket and the send buffer.
void Server_Close(Server* server);
prf_bool Server_HasViewer(Server* server);
void Server_DropViewer(Server* server);
// `data` starts with the 10 reserved bytes; `length` counts them.
prf_error Server_Send(Server* server, prf_u8* data, prf_u32 length, prf_u32 timeout_ms);
prf_error Server_Update(Server* server);

// --- the instance (profiler.cpp) ------------------------------------------------------------
struct Profiler;
#define PRF_KNOWN_HASHES 64u
// A name that scope_begin hashed and stored, by its address: the next call with the same
// pointer and the same bytes takes the hash from here. Longer names are always hashed.
#define PRF_NAME_CACHE_SIZE 64u
#define PRF_NAME_CACHE_TEXT 32u
struct NameCacheEntry {
    const char* name; // null: empty
    prf_u32 hash;
    prf_u32 length;
    char text[PRF_NAME_CACHE_TEXT]; // the bytes it had, with their NUL
};
struct ThreadSampler {
    char name[256];
    SampleTree* sample_tree;
    NameTable* names;
    ThreadSampler* next;
    // Scopes whose push failed (no memory) and whose ends must therefore pass.
    prf_u32 failed_pushes;
    // The instance that made it; null for samplers built by hand in tests.
    Profiler* owner;
    // Streaming mode: the open sample whose closing children are finished trees of their
    // own (a library thread's "thread_entry"); null: the root, as always otherwise.
    Sample* frame_base;
    // Hashes whose names are already in `names`, by hash modulo the size: a scope_begin
    // whose name was stored before skips the table's own lookup.
    prf_u32 known_hashes[PRF_KNOWN_HASHES];
    NameCacheEntry name_cache[PRF_NAME_CACHE_SIZE];
    // Streaming mode: trees this thread could not hand on, ever. Only the owner writes it (a
    // plain add: no locked instruction per dropped tree); the profiler thread sums all
    // samplers' counts for "DROP".
    prf_u32 dropped_trees;
};

struct ProfilerTimer {
    prf_u64 start;
    prf_f64 factor; // 1,000,000 / counter frequency
    prf_bool tsc;   // the counter is the time-stamp counter: read inline, not through a call
};

struct ProfilerThread;
typedef prf_error (*ProfilerThreadFunction)(ProfilerThread* thread);
struct ProfilerThread {
    void* handle; // null when not running
    ProfilerThreadFunction function;
    void* param;
    prf_u32 error;
    prf_u32 exit_requested;
};

struct Profiler {
    Server* server;
    ProfilerTimer timer;
    prf_u32 sampler_tls_slot;
    ThreadSampler* first_thread_sampler;
    MsgRing* sample_queue;
    ProfilerThread* thread;
    ProfilerSettings settings; // this instance's, fixed at its start
    prf_u32 instance_number;   // unique in the process, never 0
    // Streaming mode only: the log lines dropped since the last "DROP" (atomic adds by any
    // thread, taken by the profiler thread), the sum of the samplers' dropped trees that the
    // viewer was already told of, the names already pushed to the current viewer (these two
    // profiler thread only) and which connection that set belongs to.
    prf_u32 dropped_logs;
    prf_u32 trees_reported;
    HashTable sent_names;
    prf_u32 names_connection;
    prf_bool backlog; // the last pass stopped at its time budget with messages left
};

prf_u64 Clock_Microseconds(const ProfilerTimer* timer);
// MurmurHash3 (x86, 32-bit), seed 0, over the name up to its NUL but at most 256 bytes.
prf_u32 HashName(const char* name);
prf_error FetchThreadSampler(Profiler* prof, ThreadSampler** out);
void Sampler_Begin(const char* name, prf_u32 flags, prf_u32* hash_cache);
void Sampler_End();
void PostLogText(const char* text);
void RenameThreadSampler(const char* name);
// Starts an instance with the given settings (scope_static_init and scope_static_init_with).
prf_error Profiler_Start(const ProfilerSettings* settings);
// The profiler thread's processor time so far, in microseconds (0 when it cannot be read).
prf_u64 Profiler_ThreadCpuMicroseconds();
// Pops `sample` from the thread's tree; hands a finished top-level tree to `queue` (or frees
// it when the queue is full). True when a finished tree was handed on.
prf_bool ThreadSampler_Close(ThreadSampler* thread_sampler, MsgRing* queue, Sample* sample);

// --- viewer messages (messages.cpp) ---------------------------------------------------------
prf_error SendLogMessage(Profiler* prof, Message* message);
prf_error SendSampleTreeMessage(Profiler* prof, Message* message);
prf_error bin_SampleTree(ByteBuffer* buffer, const prf_u8* payload);
prf_error HandleViewerMessage(void* prof, prf_u8* data, prf_u32 length);
prf_error ConsumeMessageQueue(Profiler* prof);
// Streaming mode: sends the queued messages until the queue is empty or the pass's time budget
// is spent (prof->backlog then says so).
prf_error ConsumeMessageQueueStreaming(Profiler* prof);
// Streaming mode, first in each pass: "DROP" when producers dropped anything since the last.
prf_error SendDropCounts(Profiler* prof);
void DiscardMessageQueue(Profiler* prof);
