// The profiler's sample trees, object pool, hash table and name table.
#include "profiler/profiler_internal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Written out again here so that an error in the library's MixHash cannot hide itself.
uint32_t mix(uint32_t a, uint32_t b) {
    uint32_t shifted_right = a >> 2;
    uint32_t shifted_left = (uint32_t)((uint64_t)a * 64u);
    return (uint32_t)(shifted_right + shifted_left + 2654435769u + b) ^ a;
}

struct Tree {
    SampleTree* tree = nullptr;
    Tree() { EXPECT_EQ(SampleTree_Create(&tree), PRF_ERROR_NONE); }
    ~Tree() { SampleTree_Destroy(tree); }
    Sample* open(uint32_t hash, uint32_t flags = 0) {
        Sample* sample = nullptr;
        EXPECT_EQ(SampleTree_Open(tree, hash, flags, &sample), PRF_ERROR_NONE);
        return sample;
    }
    // Pops like the thread sampler does: a finished top-level sample is detached from the
    // root. Gives the finished sample, or null.
    Sample* close(Sample* sample) {
        SampleTree_Close(tree, sample);
        if (tree->current_parent != tree->root)
            return nullptr;
        tree->root->first_child = nullptr;
        tree->root->last_child = nullptr;
        tree->root->nb_children = 0;
        return sample;
    }
    void release(Sample* top) { ReleaseSampleTree(top, tree->allocator); }
};

void preorder(Sample* sample, std::vector<Sample*>* out) {
    out->push_back(sample);
    for (Sample* child = sample->first_child; child; child = child->next_sibling)
        preorder(child, out);
}

TEST(SampleTree, NestedScopesMakeOneTreeAndLeaveTheRootEmpty) {
    Tree t;
    EXPECT_EQ(t.tree->root->name_hash, 0u);
    EXPECT_EQ(t.tree->root->parent, nullptr);
    Sample* a = t.open(11);
    Sample* b = t.open(22);
    EXPECT_EQ(t.tree->current_parent, b);
    EXPECT_EQ(t.close(b), nullptr);
    EXPECT_EQ(t.tree->current_parent, a);
    EXPECT_EQ(t.close(a), a);
    EXPECT_EQ(t.tree->current_parent, t.tree->root);
    EXPECT_EQ(t.tree->root->first_child, nullptr);
    EXPECT_EQ(t.tree->root->nb_children, 0u);

    EXPECT_EQ(a->name_hash, 11u);
    EXPECT_EQ(a->parent, t.tree->root);
    EXPECT_EQ(a->nb_children, 1u);
    EXPECT_EQ(a->first_child, b);
    EXPECT_EQ(a->last_child, b);
    EXPECT_EQ(b->parent, a);
    EXPECT_EQ(b->first_child, nullptr);
    EXPECT_EQ(b->next_sibling, nullptr);
    EXPECT_EQ(b->call_count, 1u);
    EXPECT_STREQ(b->colour_text, "#");
    EXPECT_EQ(b->colour_text[7], '\0');
    t.release(a);
}

TEST(SampleTree, AggregationReentersTheSameNamedSibling) {
    Tree t;
    Sample* parent = t.open(1);
    Sample* first = t.open(5, PRF_SAMPLE_FLAG_AGGREGATE);
    t.close(first);
    Sample* other = t.open(6, PRF_SAMPLE_FLAG_AGGREGATE);
    t.close(other);
    for (int i = 0; i < 2; ++i) {
        Sample* again = t.open(5, PRF_SAMPLE_FLAG_AGGREGATE);
        EXPECT_EQ(again, first);
        EXPECT_EQ(t.tree->current_parent, first);
        t.close(again);
    }
    EXPECT_EQ(first->call_count, 3u);
    EXPECT_EQ(other->call_count, 1u);
    EXPECT_EQ(parent->nb_children, 2u);
    // Without the flag the same name makes a new sibling.
    Sample* plain = t.open(5);
    EXPECT_NE(plain, first);
    t.close(plain);
    EXPECT_EQ(parent->nb_children, 3u);
    EXPECT_EQ(parent->last_child, plain);
    t.release(t.close(parent));
}

// A shape given as (depth, name) in pre-order; each sample's id comes from the model.
TEST(SampleTree, PathIdsAndDigestMatchAnIndependentComputation) {
    struct Step {
        int depth;
        uint32_t hash;
    };
    const Step shape[] = {{0, 100}, {1, 7}, {2, 9}, {2, 9}, {1, 7},
                          {1, 8},   {2, 9}, {3, 1}, {3, 1}, {1, 7}};
    Tree t;
    for (int round = 0; round < 2; ++round) {
        std::vector<Sample*> open;
        std::vector<uint32_t> expected_ids;
        std::vector<uint32_t> model_parent_ids{0};
        std::vector<uint32_t> model_counts{0};
        for (const Step& step : shape) {
            while ((int)open.size() > step.depth) {
                t.close(open.back());
                open.pop_back();
                model_parent_ids.pop_back();
                model_counts.pop_back();
            }
            uint32_t id = mix(mix(model_parent_ids.back(), step.hash), model_counts.back());
            model_counts.back()++;
            model_parent_ids.push_back(id);
            model_counts.push_back(0);
            expected_ids.push_back(id);
            open.push_back(t.open(step.hash));
        }
        while (open.size() > 1) {
            t.close(open.back());
            open.pop_back();
        }
        Sample* top = t.close(open.back());
        ASSERT_NE(top, nullptr);
        std::vector<Sample*> order;
        preorder(top, &order);
        ASSERT_EQ(order.size(), expected_ids.size());
        uint32_t digest = 0, expected_digest = 0;
        for (size_t i = 0; i < order.size(); ++i) {
            EXPECT_EQ(order[i]->path_id, expected_ids[i]) << "sample " << i;
            digest = mix(digest, order[i]->path_id);
            expected_digest = mix(expected_digest, expected_ids[i]);
        }
        EXPECT_EQ(digest, expected_digest);
        // Same-named siblings are told apart; the same path repeats across trees.
        EXPECT_NE(order[1]->path_id, order[4]->path_id);
        EXPECT_NE(order[2]->path_id, order[3]->path_id);
        EXPECT_EQ(top->path_id, mix(mix(0, 100), 0));
        t.release(top);
    }
}

TEST(SampleTree, ReleaseChainsInPreorderAndThePoolIsReused) {
    Tree t;
    ObjectPool* pool = t.tree->allocator;
    auto build = [&] {
        Sample* top = t.open(1);
        for (uint32_t i = 0; i < 4; ++i) {
            Sample* child = t.open(10 + i);
            for (uint32_t j = 0; j < i; ++j)
                t.close(t.open(20 + j));
            t.close(child);
        }
        return t.close(top);
    };
    Sample* top = build();
    std::vector<Sample*> order;
    preorder(top, &order);
    ASSERT_EQ(order.size(), 11u);
    EXPECT_EQ(ObjectPool_InUse(pool), 12u); // and the root
    const uint32_t created = pool->nb_created;
    t.release(top);
    EXPECT_EQ(ObjectPool_InUse(pool), 1u);
    EXPECT_EQ(ObjectPool_Available(pool), created - 1);
    for (Sample* sample : order) {
        EXPECT_EQ(sample->first_child, nullptr);
        EXPECT_EQ(sample->last_child, nullptr);
        EXPECT_EQ(sample->nb_children, 0u);
    }
    // The chain went back as one range in pre-order, so it comes out again in that order.
    std::vector<void*> taken;
    for (size_t i = 0; i < order.size(); ++i) {
        void* object = nullptr;
        ASSERT_EQ(ObjectPool_Take(pool, &object), PRF_ERROR_NONE);
        EXPECT_EQ(object, order[i]) << i;
        EXPECT_EQ(((Sample*)object)->link, nullptr);
        taken.push_back(object);
    }
    for (void* object : taken)
        ObjectPool_Give(pool, object);

    for (int round = 0; round < 100; ++round)
        t.release(build());
    EXPECT_EQ(pool->nb_created, created);
    EXPECT_EQ(ObjectPool_InUse(pool), 1u);

    // A single sample goes back on its own.
    t.release(t.close(t.open(3)));
    EXPECT_EQ(ObjectPool_Available(pool), created - 1);
}

TEST(SampleTree, DeepTreeReleasesWithoutRecursion) {
    Tree t;
    const int depth = 200000;
    std::vector<Sample*> open;
    for (int i = 0; i < depth; ++i)
        open.push_back(t.open((uint32_t)i + 1));
    Sample* top = nullptr;
    while (!open.empty()) {
        top = t.close(open.back());
        open.pop_back();
    }
    ASSERT_NE(top, nullptr);
    t.release(top);
    EXPECT_EQ(ObjectPool_InUse(t.tree->allocator), 1u);
    EXPECT_EQ(ObjectPool_Available(t.tree->allocator), (uint32_t)depth);
}

// Returns come from another thread while the owner keeps taking.
TEST(ObjectPool, RangesGivenFromAnotherThreadWhileTheOwnerTakes) {
    ObjectPool* pool = nullptr;
    ASSERT_EQ(ObjectPool_Create(&pool, sizeof(Sample), Sample_Constructor, Sample_Destructor),
              PRF_ERROR_NONE);
    struct Chain {
        void* first;
        void* last;
        uint32_t count;
    };
    std::mutex mutex;
    std::vector<Chain> handed;
    std::atomic<bool> done{false};
    std::thread giver([&] {
        for (;;) {
            std::vector<Chain> chains;
            {
                std::lock_guard<std::mutex> lock(mutex);
                chains.swap(handed);
            }
            for (const Chain& chain : chains) {
                if (chain.count == 1)
                    ObjectPool_Give(pool, chain.first);
                else
                    ObjectPool_GiveRange(pool, chain.first, chain.last, chain.count);
            }
            if (chains.empty()) {
                if (done.load())
                    break;
                std::this_thread::yield();
            }
        }
    });
    for (int round = 0; round < 3000; ++round) {
        const uint32_t count = 1 + round % 7;
        Sample* objects[8];
        for (uint32_t i = 0; i < count; ++i) {
            void* object = nullptr;
            ASSERT_EQ(ObjectPool_Take(pool, &object), PRF_ERROR_NONE);
            objects[i] = (Sample*)object;
            objects[i]->name_hash = 0xC0DE; // a write that would race with a double hand-out
        }
        for (uint32_t i = 0; i + 1 < count; ++i)
            objects[i]->link = objects[i + 1];
        std::lock_guard<std::mutex> lock(mutex);
        handed.push_back({objects[0], objects[count - 1], count});
    }
    done = true;
    giver.join();
    EXPECT_EQ(ObjectPool_InUse(pool), 0u);
    EXPECT_EQ(ObjectPool_Available(pool), pool->nb_created);
    EXPECT_LE(pool->nb_created, 3000u * 7);
    ObjectPool_Destroy(pool);
}

prf_error failing_constructor(void* object) {
    Sample_Constructor(object);
    return PRF_ERROR_OUT_OF_MEMORY;
}

TEST(ObjectPool, AFailingConstructorTakesNothing) {
    ObjectPool* pool = nullptr;
    ASSERT_EQ(ObjectPool_Create(&pool, sizeof(Sample), failing_constructor, Sample_Destructor),
              PRF_ERROR_NONE);
    void* object = (void*)1;
    EXPECT_EQ(ObjectPool_Take(pool, &object), PRF_ERROR_OUT_OF_MEMORY);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(pool->nb_created, 0u);
    EXPECT_EQ(pool->first_free, nullptr);
    ObjectPool_Destroy(pool);
}

TEST(HashTable, GrowsPastTwoThirdsByFourThenByTwo) {
    struct Case {
        uint32_t initial, fits, grown;
    };
    const Case cases[] = {{1024, 682, 4096}, {16384, 10922, 65536}, {32768, 21845, 65536}};
    for (const Case& c : cases) {
        HashTable table;
        ASSERT_EQ(HashTable_Create(&table, c.initial), PRF_ERROR_NONE);
        for (uint32_t key = 1; key <= c.fits; ++key)
            ASSERT_EQ(HashTable_Put(&table, key * 2654435761u | 1u, key), PRF_ERROR_NONE);
        EXPECT_EQ(table.max_nb_slots, c.initial);
        EXPECT_EQ(table.nb_slots, c.fits);
        ASSERT_EQ(HashTable_Put(&table, 0xFFFFFFFEu, 7), PRF_ERROR_NONE);
        EXPECT_EQ(table.max_nb_slots, c.grown);
        EXPECT_EQ(table.nb_slots, c.fits + 1);
        for (uint32_t key = 1; key <= c.fits; ++key)
            ASSERT_EQ(HashTable_Get(&table, key * 2654435761u | 1u), key);
        EXPECT_EQ(HashTable_Get(&table, 0xFFFFFFFEu), 7u);
        HashTable_Destroy(&table);
    }
}

TEST(HashTable, ReplacesInPlaceAndProbesAcrossTheEnd) {
    HashTable table;
    ASSERT_EQ(HashTable_Create(&table, 8), PRF_ERROR_NONE);
    // 7, 15 and 23 all start at slot 7: the second and third wrap to slots 0 and 1.
    ASSERT_EQ(HashTable_Put(&table, 7, 70), PRF_ERROR_NONE);
    ASSERT_EQ(HashTable_Put(&table, 15, 150), PRF_ERROR_NONE);
    ASSERT_EQ(HashTable_Put(&table, 23, 230), PRF_ERROR_NONE);
    EXPECT_EQ(table.slots[0].key, 15u);
    EXPECT_EQ(table.slots[1].key, 23u);
    ASSERT_EQ(HashTable_Put(&table, 15, 151), PRF_ERROR_NONE);
    EXPECT_EQ(table.nb_slots, 3u);
    EXPECT_EQ(HashTable_Get(&table, 15), 151u);
    EXPECT_EQ(HashTable_Get(&table, 23), 230u);
    EXPECT_EQ(HashTable_Get(&table, 31), PRF_NOT_FOUND);
    EXPECT_EQ(HashTable_Get(&table, 6), PRF_NOT_FOUND);
    HashTable_Destroy(&table);
}

TEST(NameTable, TheFirstNameStaysAndLongNamesAreCut) {
    NameTable* names = nullptr;
    ASSERT_EQ(NameTable_Create(&names), PRF_ERROR_NONE);
    EXPECT_EQ(NameTable_Lookup(names, 42), nullptr);
    ASSERT_EQ(NameTable_Add(names, 42, "first"), PRF_ERROR_NONE);
    ASSERT_EQ(NameTable_Add(names, 42, "second"), PRF_ERROR_NONE);
    EXPECT_STREQ(NameTable_Lookup(names, 42), "first");
    const std::string longer(3000, 'x');
    ASSERT_EQ(NameTable_Add(names, 43, longer.c_str()), PRF_ERROR_NONE);
    EXPECT_EQ(std::string(NameTable_Lookup(names, 43)), std::string(2048, 'x'));

    char out[4] = {'?', '?', '?', '?'};
    EXPECT_EQ(NameTable_CopyName(names, 42, out, sizeof out), 3u);
    EXPECT_STREQ(out, "fir");
    EXPECT_EQ(NameTable_CopyName(names, 42, out, 0), 0u);
    EXPECT_EQ(NameTable_CopyName(names, 44, out, sizeof out), PRF_NOT_FOUND);
    NameTable_Destroy(names);
}

std::string name_of(uint32_t i) {
    // Varied lengths so that names straddle the granule boundaries.
    return "scope_" + std::to_string(i) + std::string(i % 61, (char)('a' + i % 26));
}
uint32_t hash_of(uint32_t i) {
    return (i + 1) * 2654435761u | 1u;
}

// The profiler thread reads names while their owner inserts and grows both stores.
TEST(NameTable, AReaderSeesOnlyWholeNamesWhileTheOwnerGrows) {
    NameTable* names = nullptr;
    ASSERT_EQ(NameTable_Create(&names), PRF_ERROR_NONE);
    const uint32_t count = 12000; // slots 1024 -> 4096 -> 16384, bytes ~ 25 granules
    std::atomic<uint32_t> inserted{0};
    std::atomic<bool> bad{false};
    std::atomic<uint32_t> found{0};
    std::atomic<bool> reading{false};
    std::thread reader([&] {
        reading = true;
        uint32_t probe = 0;
        char out[128];
        for (;;) {
            const uint32_t limit = inserted.load(std::memory_order_acquire);
            const bool finished = limit == count;
            for (int k = 0; k < 64; ++k) {
                // Mostly names already in, some that may be arriving right now.
                probe = probe * 1103515245u + 12345u;
                const uint32_t i = (probe >> 8) % (limit + 64 < count ? limit + 64 : count);
                const uint32_t got = NameTable_CopyName(names, hash_of(i), out, sizeof out);
                if (got == PRF_NOT_FOUND) {
                    if (i < limit)
                        bad = true; // published before this pass began
                    continue;
                }
                found.fetch_add(1, std::memory_order_relaxed);
                if (got != name_of(i).size() || name_of(i) != out)
                    bad = true;
            }
            if (finished)
                break;
        }
    });
    while (!reading.load())
        std::this_thread::yield();
    for (uint32_t i = 0; i < count; ++i) {
        if (i % 64 == 0)
            std::this_thread::yield(); // let the reader in between growths
        ASSERT_EQ(NameTable_Add(names, hash_of(i), name_of(i).c_str()), PRF_ERROR_NONE);
        inserted.store(i + 1, std::memory_order_release);
    }
    reader.join();
    EXPECT_FALSE(bad.load());
    EXPECT_GT(found.load(), 0u);
    for (uint32_t i = 0; i < count; i += 97)
        EXPECT_EQ(name_of(i), NameTable_Lookup(names, hash_of(i)));
    NameTable_Destroy(names);
}

#if defined(__linux__)
TEST(SampleTreeDeathTest, ClosingTheRootStops) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SampleTree* tree = nullptr;
            SampleTree_Create(&tree);
            SampleTree_Close(tree, tree->root);
        },
        "sample != tree->root");
    EXPECT_DEATH(
        {
            HashTable table;
            HashTable_Create(&table, 16);
            HashTable_Put(&table, 5, PRF_NOT_FOUND);
        },
        "value != PRF_NOT_FOUND");
}
#endif

} // namespace
