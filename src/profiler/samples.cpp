// Samples, their pool and the per-thread sample tree.
//
// Every scope_begin/scope_end pair runs through SampleTree_Open/SampleTree_Close, so the steady
// state must not touch the heap: samples come from a pool that grows one object at a time and
// only gives memory back when it is destroyed. A finished tree is sent and then freed by the
// profiler thread, which is why objects may be returned from any thread while only the owner
// takes them.
#include "profiler/profiler_internal.h"

#include <string.h>

// --- the object pool -------------------------------------------------------------------------
//
// Objects are taken only by the owner thread and given back from any thread (the profiler
// thread frees the trees it has sent). So the pool keeps two lists: the owner's own, which it
// pops and pushes with plain loads and stores, and a lock-free stack of returns, which other
// threads push onto with a compare-and-swap and which the owner takes over whole with one
// exchange when its own list runs dry. A scope pair therefore costs no locked instruction in
// the steady state; the exchange is paid once per returned tree, not once per sample. Only
// the owner ever removes from the returns stack, and it removes everything at once, so a
// pointer can never leave and come back between a pusher's read and its compare-and-swap.
//
// The counts follow the same split: the owner counts what it holds out (nb_taken), the givers
// add what they return (nb_given), and the difference is what is in use.

prf_error ObjectPool_Create(ObjectPool** out, prf_u32 object_size, ObjectConstructor constructor,
                            ObjectDestructor destructor) {
    PRF_ASSERT(out != NULL);
    *out = NULL;
    ObjectPool* allocator = (ObjectPool*)prf_malloc(sizeof(ObjectPool));
    if (allocator == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    memset(allocator, 0, sizeof(ObjectPool));
    allocator->object_size = object_size;
    allocator->constructor = constructor;
    allocator->destructor = destructor;
    PRF_ASSERT(allocator->constructor != NULL);
    PRF_ASSERT(allocator->destructor != NULL);
    *out = allocator;
    return PRF_ERROR_NONE;
}

prf_u32 ObjectPool_InUse(const ObjectPool* allocator) {
    PRF_ASSERT(allocator != NULL);
    return allocator->nb_taken - __atomic_load_n(&allocator->nb_given, __ATOMIC_ACQUIRE);
}

prf_u32 ObjectPool_Available(const ObjectPool* allocator) {
    return allocator->nb_created - ObjectPool_InUse(allocator);
}

static void destroy_list(ObjectPool* allocator, ObjectLink* object) {
    while (object != NULL) {
        ObjectLink* next = object->link;
        allocator->destructor(object);
        prf_free(object);
        object = next;
    }
}

void ObjectPool_Destroy(ObjectPool* allocator) {
    PRF_ASSERT(allocator != NULL);
    PRF_ASSERT_TEXT(ObjectPool_InUse(allocator) == 0, "allocator->nb_inuse == 0");
    destroy_list(allocator, allocator->owner_free);
    destroy_list(allocator, LoadAcquirePtr(&allocator->first_free));
    allocator->owner_free = NULL;
    allocator->first_free = NULL;
    prf_free(allocator);
}

prf_error ObjectPool_Take(ObjectPool* allocator, void** object) {
    PRF_ASSERT(allocator != NULL);
    PRF_ASSERT(object != NULL);
    *object = NULL;

    ObjectLink* link = allocator->owner_free;
    if (link == NULL && LoadAcquirePtr(&allocator->first_free) != NULL)
        link = __atomic_exchange_n(&allocator->first_free, (ObjectLink*)NULL, __ATOMIC_ACQ_REL);
    if (link == NULL) {
        // Grow by one: a pool that only ever holds what its peak needed, up to its limit.
        if (allocator->max_objects != 0 && allocator->nb_created >= allocator->max_objects)
            return PRF_ERROR_OUT_OF_MEMORY;
        PRF_ASSERT(allocator->constructor != NULL);
        PRF_ASSERT(allocator->destructor != NULL);
        // Never less than the link that the free lists keep in the object's first word.
        prf_u32 size = allocator->object_size;
        if (size < sizeof(ObjectLink))
            size = sizeof(ObjectLink);
        link = (ObjectLink*)prf_malloc(size);
        if (link == NULL)
            return PRF_ERROR_OUT_OF_MEMORY;
        prf_error error = allocator->constructor(link);
        if (error != PRF_ERROR_NONE) {
            allocator->destructor(link);
            prf_free(link);
            return error;
        }
        link->link = NULL;
        allocator->nb_created++;
    }
    PRF_ASSERT(link != NULL);
    allocator->owner_free = link->link;
    link->link = NULL;
    allocator->nb_taken++;
    *object = link;
    return PRF_ERROR_NONE;
}

// Pushes the chain start..end (already linked) on the returns stack.
static void push_chain(ObjectPool* allocator, ObjectLink* start, ObjectLink* end) {
    ObjectLink* head;
    do {
        head = LoadAcquirePtr(&allocator->first_free);
        end->link = head;
    } while (!CompareAndSwapPtr(&allocator->first_free, head, start));
}

void ObjectPool_Give(ObjectPool* allocator, void* object) {
    PRF_ASSERT(allocator != NULL);
    PRF_ASSERT(object != NULL);
    push_chain(allocator, (ObjectLink*)object, (ObjectLink*)object);
    AtomicAdd32(&allocator->nb_given, 1);
}

void ObjectPool_GiveRange(ObjectPool* allocator, void* start, void* end, prf_u32 count) {
    PRF_ASSERT(allocator != NULL);
    PRF_ASSERT(start != NULL);
    PRF_ASSERT(end != NULL);
    push_chain(allocator, (ObjectLink*)start, (ObjectLink*)end);
    AtomicAdd32(&allocator->nb_given, count);
}

void ObjectPool_GiveOwn(ObjectPool* allocator, void* start, void* end, prf_u32 count) {
    PRF_ASSERT(allocator != NULL);
    PRF_ASSERT(start != NULL);
    PRF_ASSERT(end != NULL);
    ((ObjectLink*)end)->link = allocator->owner_free;
    allocator->owner_free = (ObjectLink*)start;
    allocator->nb_taken -= count;
}

// --- samples ---------------------------------------------------------------------------------

prf_error Sample_Constructor(void* object) {
    PRF_ASSERT(object != NULL);
    Sample* sample = (Sample*)object;
    memset(sample, 0, sizeof(Sample));
    // The colour's six digits are written when the tree is sent; the frame stays constant.
    sample->colour_text[0] = '#';
    sample->colour_text[7] = '\0';
    return PRF_ERROR_NONE;
}

void Sample_Destructor(void* object) {
    PRF_ASSERT(object != NULL);
}

// --- sample trees ----------------------------------------------------------------------------

prf_error SampleTree_Create(SampleTree** out) {
    PRF_ASSERT(out != NULL);
    *out = NULL;
    SampleTree* tree = (SampleTree*)prf_malloc(sizeof(SampleTree));
    if (tree == NULL)
        return PRF_ERROR_OUT_OF_MEMORY;
    tree->allocator = NULL;
    tree->root = NULL;
    tree->current_parent = NULL;

    prf_error error =
        ObjectPool_Create(&tree->allocator, sizeof(Sample), Sample_Constructor, Sample_Destructor);
    if (error != PRF_ERROR_NONE) {
        prf_free(tree);
        return error;
    }
    void* root = NULL;
    error = ObjectPool_Take(tree->allocator, &root);
    if (error != PRF_ERROR_NONE) {
        ObjectPool_Destroy(tree->allocator);
        prf_free(tree);
        return error;
    }
    tree->root = (Sample*)root;
    Sample_Prepare(tree->root, 0, NULL);
    tree->current_parent = tree->root;
    *out = tree;
    return PRF_ERROR_NONE;
}

void SampleTree_Destroy(SampleTree* tree) {
    PRF_ASSERT(tree != NULL);
    ObjectPool_Give(tree->allocator, tree->root);
    ObjectPool_Destroy(tree->allocator);
    prf_free(tree);
}

prf_error SampleTree_Open(SampleTree* tree, prf_u32 name_hash, prf_u32 flags, Sample** out) {
    PRF_ASSERT(tree != NULL);
    PRF_ASSERT(tree->current_parent != NULL);
    Sample* parent = tree->current_parent;

    if (flags & PRF_SAMPLE_FLAG_AGGREGATE) {
        // Re-entering a same-named sibling keeps hot loops to one sample; the search is linear
        // because aggregated parents have few distinct children.
        for (Sample* child = parent->first_child; child != NULL; child = child->next_sibling) {
            if (child->name_hash == name_hash) {
                child->call_count++;
                tree->current_parent = child;
                *out = child;
                return PRF_ERROR_NONE;
            }
        }
    }

    void* object = NULL;
    prf_error error = ObjectPool_Take(tree->allocator, &object);
    if (error != PRF_ERROR_NONE)
        return error; // the tree is unchanged
    Sample* sample = (Sample*)object;
    Sample_Prepare(sample, name_hash, parent);
    // The id depends on the path and on how many siblings were opened before, so the same call
    // path gets the same id in every tree (the root's count is reset when a tree finishes).
    sample->path_id = MixHash(MixHash(parent->path_id, name_hash), parent->nb_children);

    parent->nb_children++;
    if (parent->first_child != NULL) {
        PRF_ASSERT(parent->last_child != NULL);
        parent->last_child->next_sibling = sample;
    } else {
        parent->first_child = sample;
    }
    parent->last_child = sample;
    tree->current_parent = sample;
    *out = sample;
    return PRF_ERROR_NONE;
}

void SampleTree_Close(SampleTree* tree, Sample* sample) {
    PRF_ASSERT(tree != NULL);
    PRF_ASSERT(sample != NULL);
    PRF_ASSERT(sample != tree->root);
    tree->current_parent = sample->parent;
}

// Chains the tree under `sample` in pre-order through `link`, clearing the child fields as it
// goes, and gives the last sample. Iterative: a deeply recursive host makes deep trees, and
// this may run on the profiler thread's stack.
static Sample* chain_tree(Sample* sample, prf_u32* nb_samples) {
    PRF_ASSERT(sample != NULL);
    PRF_ASSERT(nb_samples != NULL);
    prf_u32 count = 0;
    Sample* current = sample;
    for (;;) {
        count++;
        Sample* first = current->first_child;
        current->first_child = NULL;
        current->last_child = NULL;
        current->nb_children = 0;
        if (first != NULL) {
            current->link = first;
            current = first;
            continue;
        }
        // A leaf: the next sample is the nearest following sibling on the way back up, but
        // never one of the top sample itself, which is not part of this tree.
        Sample* next = NULL;
        for (Sample* up = current; up != sample; up = up->parent) {
            if (up->next_sibling != NULL) {
                next = up->next_sibling;
                break;
            }
        }
        current->link = next;
        if (next == NULL)
            break;
        current = next;
    }
    *nb_samples = count;
    return current;
}

void ReleaseSampleTree(Sample* sample, ObjectPool* allocator) {
    PRF_ASSERT(sample != NULL);
    PRF_ASSERT(allocator != NULL);
    prf_u32 nb_samples = 0;
    Sample* last = chain_tree(sample, &nb_samples);
    // One compare-and-swap for the whole tree, whatever its size.
    if (nb_samples == 1)
        ObjectPool_Give(allocator, sample);
    else
        ObjectPool_GiveRange(allocator, sample, last, nb_samples);
}

void ReleaseSampleTreeOwn(Sample* sample, ObjectPool* allocator) {
    PRF_ASSERT(sample != NULL);
    PRF_ASSERT(allocator != NULL);
    if (sample->first_child == NULL) {
        ObjectPool_GiveOwn(allocator, sample, sample, 1);
        return;
    }
    prf_u32 nb_samples = 0;
    Sample* last = chain_tree(sample, &nb_samples);
    ObjectPool_GiveOwn(allocator, sample, last, nb_samples);
}
