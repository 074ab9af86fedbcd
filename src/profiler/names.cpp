// The open-addressing hash table and the per-thread name table.
//
// A name table belongs to one sampling thread, which adds a name the first time it sees its
// hash. The profiler thread reads it (NameTable_CopyName) when the viewer asks for a name, at
// any moment, including while the owner is inserting and growing the table. The owner runs
// inside scope_begin, so it must never wait for the reader; the design below keeps the owner
// lock-free and the reader safe:
//
// - Nothing the reader can reach is changed in place once it is visible. A name's bytes are
//   written past everything already stored, then its slot is written as one 64-bit release
//   store of key and offset together, so a reader that finds the key also sees the whole name
//   (acquire load of the slot).
// - Growth never reallocates in place. The owner allocates a new block, copies, and publishes
//   the new pointer with a sequentially consistent store. The slot array carries its own size
//   in an 8-byte header, so the reader never pairs an array with the size of another one.
// - The reader announces the two blocks it is about to read in hazard pointers: it stores the
//   pointer it loaded, then loads the published pointer again and retries until both agree.
//   After publishing a new block the owner reads the hazards: a replaced block that is not a
//   hazard is freed at once; one that is gets parked and is freed at a later growth (once the
//   reader has moved on) or when the table is destroyed. Store-then-load on both sides with
//   sequential consistency means either the reader sees the new pointer and retries, or the
//   owner sees the hazard and parks: never a free under the reader's feet.
// - The reader loads the slot before the byte block. The block holding a name is published
//   before the name's slot, so any byte block the reader sees afterwards holds the name (a
//   later block is a copy that includes it).
// - There is one pair of hazard pointers, so readers take turns through a flag that only
//   readers touch; the owner never looks at it.
//
// Destroying the table requires that no reader runs any more.
#include "profiler/profiler_internal.h"

#include <string.h>

// --- slots: one 64-bit word each, so a slot is written and read in one piece -----------------

static_assert(sizeof(HashSlot) == 8, "a slot is one 64-bit word");

static inline prf_u64 pack_slot(prf_u32 key, prf_u32 value) {
    return (prf_u64)key | ((prf_u64)value << 32);
}

static inline void store_slot(HashSlot* slot, prf_u32 key, prf_u32 value) {
    __atomic_store_n((prf_u64*)slot, pack_slot(key, value), __ATOMIC_RELEASE);
}

static inline HashSlot load_slot(const HashSlot* slot) {
    prf_u64 word = __atomic_load_n((const prf_u64*)slot, __ATOMIC_ACQUIRE);
    HashSlot result;
    result.key = (prf_u32)word;
    result.value = (prf_u32)(word >> 32);
    return result;
}

// A name table's slot arrays start 8 bytes into their block; the first word is the count.
static const prf_u32 kSlotHeader = 8;

static inline prf_u32 header_nb_slots(const HashSlot* slots) {
    return *(const prf_u32*)((const prf_u8*)slots - kSlotHeader);
}

// Zeroed slots, with the size header when `with_header`; null on failure or overflow.
static HashSlot* alloc_slots(prf_u32 nb_slots, bool with_header) {
    prf_u32 header = with_header ? kSlotHeader : 0;
    if (nb_slots == 0 || nb_slots > (0xFFFFFFFFu - header) / sizeof(HashSlot))
        return NULL;
    prf_u32 size = nb_slots * (prf_u32)sizeof(HashSlot) + header;
    prf_u8* block = (prf_u8*)prf_malloc(size);
    if (block == NULL)
        return NULL;
    memset(block, 0, size);
    if (with_header)
        *(prf_u32*)block = nb_slots;
    return (HashSlot*)(block + header);
}

static void free_slots(HashSlot* slots, bool with_header) {
    if (slots != NULL)
        prf_free((prf_u8*)slots - (with_header ? kSlotHeader : 0));
}

// The slot holding `key`, or the empty slot where it would go; `max_nb_slots` when neither
// exists (a table that could not grow and filled up).
static prf_u32 probe(const HashSlot* slots, prf_u32 max_nb_slots, prf_u32 key) {
    prf_u32 mask = max_nb_slots - 1;
    prf_u32 index = key & mask;
    for (prf_u32 step = 0; step < max_nb_slots; ++step) {
        HashSlot slot = load_slot(&slots[index]);
        if (slot.key == 0 || slot.key == key)
            return index;
        index = (index + 1) & mask;
    }
    return max_nb_slots;
}

// --- the hash table --------------------------------------------------------------------------

struct NameTable;
static void retire_block(NameTable* names, void* block, void* published);

prf_error HashTable_Create(HashTable* table, prf_u32 nb_slots) {
    PRF_ASSERT(table != NULL);
    table->max_nb_slots = 0;
    table->nb_slots = 0;
    table->slots = alloc_slots(nb_slots, false);
    if (table->slots == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    table->max_nb_slots = nb_slots;
    return PRF_ERROR_NONE;
}

void HashTable_Destroy(HashTable* table) {
    PRF_ASSERT(table != NULL);
    free_slots(table->slots, false);
    table->slots = NULL;
    table->max_nb_slots = 0;
    table->nb_slots = 0;
}

// Put, shared by plain tables and name tables (`names` non-null: slot arrays with a header,
// and a replaced array goes through the hazard check instead of straight to the heap).
static prf_error hash_put(HashTable* table, prf_u32 key, prf_u32 value, NameTable* names) {
    PRF_ASSERT(table != NULL);
    PRF_ASSERT(key != 0);
    PRF_ASSERT(value != PRF_NOT_FOUND);

    prf_u32 index = probe(table->slots, table->max_nb_slots, key);
    PRF_ASSERT(index < table->max_nb_slots);
    // A replacement does not count twice.
    if (load_slot(&table->slots[index]).key == key)
        table->nb_slots--;
    store_slot(&table->slots[index], key, value);
    table->nb_slots++;

    if (table->nb_slots <= table->max_nb_slots * 2 / 3)
        return PRF_ERROR_NONE;

    // Grow fast while small (few resizes for a typical thread's names), gently when large.
    prf_u32 old_max = table->max_nb_slots;
    prf_u32 new_max = old_max < 32768 ? old_max * 4 : old_max * 2;
    bool with_header = names != NULL;
    HashSlot* new_slots = new_max > old_max ? alloc_slots(new_max, with_header) : NULL;
    if (new_slots == NULL)
        return PRF_ERROR_OUT_OF_MEMORY; // the table stays as it was

    HashSlot* old_slots = table->slots;
    for (prf_u32 i = 0; i < old_max; ++i) {
        HashSlot slot = load_slot(&old_slots[i]);
        if (slot.key == 0)
            continue;
        prf_u32 at = probe(new_slots, new_max, slot.key);
        PRF_ASSERT(at < new_max);
        store_slot(&new_slots[at], slot.key, slot.value);
    }
    __atomic_store_n(&table->slots, new_slots, __ATOMIC_SEQ_CST);
    table->max_nb_slots = new_max;
    if (names != NULL)
        retire_block(names, (prf_u8*)old_slots - kSlotHeader, old_slots);
    else
        free_slots(old_slots, false);
    return PRF_ERROR_NONE;
}

prf_error HashTable_Put(HashTable* table, prf_u32 key, prf_u32 value) {
    return hash_put(table, key, value, NULL);
}

prf_u32 HashTable_Get(const HashTable* table, prf_u32 key) {
    PRF_ASSERT(table != NULL);
    if (key == 0)
        return PRF_NOT_FOUND; // the empty marker is never a key
    prf_u32 index = probe(table->slots, table->max_nb_slots, key);
    if (index >= table->max_nb_slots)
        return PRF_NOT_FOUND;
    HashSlot slot = load_slot(&table->slots[index]);
    return slot.key == key ? slot.value : PRF_NOT_FOUND;
}

// --- the name table --------------------------------------------------------------------------

// Blocks replaced while the reader held them. After each sweep at most the two hazards'
// blocks stay parked, and one growth retires one block, so four places always suffice.
#define NAME_TABLE_MAX_PARKED 4u

struct ParkedBlock {
    void* block;     // what goes back to the heap
    void* published; // the pointer the reader would hold as its hazard
};

struct NameTable {
    // Owner-written. `bytes.data` and `hash.slots` change only by sequentially consistent
    // stores of a new block, never in place.
    ByteBuffer bytes;
    HashTable hash;
    ParkedBlock parked[NAME_TABLE_MAX_PARKED];
    prf_u32 nb_parked;
    // Reader-written.
    prf_u32 reader_busy;
    prf_u8* hazard_bytes;
    HashSlot* hazard_slots;
};

#define NAME_TABLE_GRANULARITY   8192u
#define NAME_TABLE_INITIAL_SLOTS 1024u
#define NAME_MAX_BYTES           2048u // as ByteBuffer_AppendText keeps

static bool is_hazard(NameTable* names, const void* published) {
    return __atomic_load_n(&names->hazard_bytes, __ATOMIC_SEQ_CST) == published ||
           __atomic_load_n(&names->hazard_slots, __ATOMIC_SEQ_CST) == published;
}

// Frees the parked blocks the reader has left, then frees or parks `block` (already replaced
// by a sequentially consistent store of the new pointer).
static void retire_block(NameTable* names, void* block, void* published) {
    prf_u32 kept = 0;
    for (prf_u32 i = 0; i < names->nb_parked; ++i) {
        if (is_hazard(names, names->parked[i].published))
            names->parked[kept++] = names->parked[i];
        else
            prf_free(names->parked[i].block);
    }
    names->nb_parked = kept;
    if (is_hazard(names, published)) {
        PRF_ASSERT(names->nb_parked < NAME_TABLE_MAX_PARKED);
        names->parked[names->nb_parked].block = block;
        names->parked[names->nb_parked].published = published;
        names->nb_parked++;
    } else {
        prf_free(block);
    }
}

prf_error NameTable_Create(NameTable** out) {
    PRF_ASSERT(out != NULL);
    *out = NULL;
    NameTable* table = (NameTable*)prf_malloc(sizeof(NameTable));
    if (table == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    memset(table, 0, sizeof(NameTable));
    ByteBuffer_Create(&table->bytes, NAME_TABLE_GRANULARITY);
    table->hash.slots = alloc_slots(NAME_TABLE_INITIAL_SLOTS, true);
    if (table->hash.slots == NULL) {
        prf_free(table);
        return PRF_ERROR_OUT_OF_MEMORY;
    }
    table->hash.max_nb_slots = NAME_TABLE_INITIAL_SLOTS;
    table->hash.nb_slots = 0;
    *out = table;
    return PRF_ERROR_NONE;
}

void NameTable_Destroy(NameTable* table) {
    PRF_ASSERT(table != NULL);
    for (prf_u32 i = 0; i < table->nb_parked; ++i)
        prf_free(table->parked[i].block);
    free_slots(table->hash.slots, true);
    ByteBuffer_Destroy(&table->bytes);
    prf_free(table);
}

// Makes room for `length` more bytes the way ByteBuffer_Append would (whole granules), but by
// moving to a new block so a concurrent reader of the old one is never disturbed.
static prf_error reserve_bytes(NameTable* table, prf_u32 length) {
    ByteBuffer* buffer = &table->bytes;
    if (buffer->bytes_filled + length <= buffer->bytes_reserved)
        return PRF_ERROR_NONE;
    prf_u32 step = buffer->growth_step;
    prf_u32 wanted = buffer->bytes_reserved + length;
    prf_u32 reserved = (wanted + step - 1) / step * step;
    prf_u8* data = (prf_u8*)prf_malloc(reserved);
    if (data == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    prf_u8* old = buffer->data;
    if (buffer->bytes_filled != 0)
        memcpy(data, old, buffer->bytes_filled);
    __atomic_store_n(&buffer->data, data, __ATOMIC_SEQ_CST);
    buffer->bytes_reserved = reserved;
    if (old != NULL)
        retire_block(table, old, old);
    return PRF_ERROR_NONE;
}

prf_error NameTable_Add(NameTable* table, prf_u32 name_hash, const char* name) {
    PRF_ASSERT(table != NULL);
    PRF_ASSERT(name != NULL);
    // The first name stored under a hash stays.
    if (HashTable_Get(&table->hash, name_hash) != PRF_NOT_FOUND)
        return PRF_ERROR_NONE;

    prf_u32 length = 0;
    while (length < NAME_MAX_BYTES && name[length] != '\0')
        ++length;
    prf_error error = reserve_bytes(table, length + 1);
    if (error != PRF_ERROR_NONE)
        return error;
    prf_u32 offset = table->bytes.bytes_filled;
    // Fits now, so this only copies: the block does not move under the reader.
    error = ByteBuffer_AppendText(&table->bytes, name);
    PRF_ASSERT(error == PRF_ERROR_NONE);
    // The slot goes in last, by one release store: the name is complete before it is found.
    return hash_put(&table->hash, name_hash, offset, table);
}

const char* NameTable_Lookup(NameTable* table, prf_u32 name_hash) {
    PRF_ASSERT(table != NULL);
    prf_u32 offset = HashTable_Get(&table->hash, name_hash);
    if (offset == PRF_NOT_FOUND)
        return NULL;
    return (const char*)table->bytes.data + offset;
}

// Loads `*published` and announces it in `*hazard` until the announcement is known to have
// been made while the block was still the current one.
template <typename T> static T* acquire_hazard(T* const* published, T** hazard) {
    T* block;
    do {
        block = __atomic_load_n(published, __ATOMIC_SEQ_CST);
        __atomic_store_n(hazard, block, __ATOMIC_SEQ_CST);
    } while (__atomic_load_n(published, __ATOMIC_SEQ_CST) != block);
    return block;
}

prf_u32 NameTable_CopyName(NameTable* table, prf_u32 name_hash, char* out, prf_u32 capacity) {
    PRF_ASSERT(table != NULL);
    PRF_ASSERT(out != NULL || capacity == 0);
    if (name_hash == 0)
        return PRF_NOT_FOUND;

    // Readers take turns: there is one pair of hazard pointers.
    while (!CompareAndSwap32(&table->reader_busy, 0, 1)) {
    }

    prf_u32 result = PRF_NOT_FOUND;
    HashSlot* slots = acquire_hazard(&table->hash.slots, &table->hazard_slots);
    prf_u32 max_nb_slots = header_nb_slots(slots);
    prf_u32 index = probe(slots, max_nb_slots, name_hash);
    if (index < max_nb_slots) {
        HashSlot slot = load_slot(&slots[index]);
        if (slot.key == name_hash) {
            // Loaded after the slot, so this block already holds the name.
            prf_u8* data = acquire_hazard(&table->bytes.data, &table->hazard_bytes);
            const char* name = (const char*)data + slot.value;
            prf_u32 copied = 0;
            if (capacity != 0) {
                while (copied + 1 < capacity && name[copied] != '\0') {
                    out[copied] = name[copied];
                    ++copied;
                }
                out[copied] = '\0';
            }
            result = copied;
        }
    }

    __atomic_store_n(&table->hazard_bytes, (prf_u8*)NULL, __ATOMIC_SEQ_CST);
    __atomic_store_n(&table->hazard_slots, (HashSlot*)NULL, __ATOMIC_SEQ_CST);
    StoreRelease(&table->reader_busy, 0);
    return result;
}
