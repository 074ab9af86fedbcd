// The profiler's sample trees, object pool, hash table and name table.
#include "profiler/profiler_internal.h"

#include "support/test_support.h"

namespace {

struct Tree {
    SampleTree* tree = nullptr;
    Tree() { EXPECT_EQ(SampleTree_Create(&tree), PRF_ERROR_NONE); }
    ~Tree() { SampleTree_Destroy(tree); }
    Sample* open(uint32_t hash, uint32_t flags = 0) {
        Sample* sample = nullptr;
        EXPECT_EQ(SampleTree_Open(tree, hash, flags, &sample), PRF_ERROR_NONE);
        return sample;
    }
    // Like the thread sampler, detaches a finished top-level sample and gives it; else null.
    Sample* close(Sample* sample) {
        SampleTree_Close(tree, sample);
        if (tree->current_parent != tree->root)
            return nullptr;
        tree->root->first_child = tree->root->last_child = nullptr;
        tree->root->nb_children = 0;
        return sample;
    }
};

TEST(SampleTree, AggregationReentersOnlyTheSameNamedSiblingAndADeepTreeIsFreedAndReused) {
    Tree t;
    Sample* parent = t.open(1);
    auto visit = [&](uint32_t hash, uint32_t flags = PRF_SAMPLE_FLAG_AGGREGATE) {
        Sample* sample = t.open(hash, flags);
        t.close(sample);
        return sample;
    };
    Sample* first = visit(5);
    Sample* other = visit(6);
    EXPECT_EQ(visit(5), first);
    EXPECT_EQ(first->call_count, 2u);
    EXPECT_EQ(other->call_count, 1u);
    EXPECT_NE(visit(5, 0), first); // without the flag the same name makes a new sibling
    EXPECT_EQ(parent->nb_children, 3u);
    ReleaseSampleTree(t.close(parent), t.tree->allocator);

    for (int round = 0; round < 2; ++round) {
        std::vector<Sample*> open;
        for (uint32_t i = 0; i < 200000; ++i)
            open.push_back(t.open(i + 1));
        Sample* top = nullptr;
        for (; !open.empty(); open.pop_back())
            top = t.close(open.back());
        ASSERT_NE(top, nullptr);
        ReleaseSampleTree(top, t.tree->allocator);
        EXPECT_EQ(ObjectPool_InUse(t.tree->allocator), 1u); // the root
        EXPECT_EQ(t.tree->allocator->nb_created, 200001u);  // the second round made none
    }
}

TEST(HashTable, GrowsPastTwoThirdsByFourThenByTwo) {
    const uint32_t cases[][3] = {{1024, 682, 4096}, {16384, 10922, 65536}, {32768, 21845, 65536}};
    for (const auto& [initial, fits, grown] : cases) {
        HashTable table;
        ASSERT_EQ(HashTable_Create(&table, initial), PRF_ERROR_NONE);
        for (uint32_t key = 1; key <= fits; ++key)
            ASSERT_EQ(HashTable_Put(&table, key * 2654435761u | 1u, key), PRF_ERROR_NONE);
        EXPECT_EQ(table.max_nb_slots, initial);
        ASSERT_EQ(HashTable_Put(&table, 0xFFFFFFFEu, 7), PRF_ERROR_NONE);
        EXPECT_EQ(table.max_nb_slots, grown);
        for (uint32_t key = 1; key <= fits; ++key)
            ASSERT_EQ(HashTable_Get(&table, key * 2654435761u | 1u), key);
        EXPECT_EQ(HashTable_Get(&table, 0xFFFFFFFEu), 7u);
        HashTable_Destroy(&table);
    }
}

// Varied lengths so that names straddle the granule boundaries.
std::string name_of(uint32_t i) {
    return "scope_" + std::to_string(i) + std::string(i % 61, (char)('a' + i % 26));
}

// The profiler thread reads names while their owner inserts and grows both stores.
TEST(NameTable, FirstNameStaysLongNamesAreCutAndAReaderSeesOnlyWholeNamesWhileTheOwnerGrows) {
    NameTable* names = nullptr;
    ASSERT_EQ(NameTable_Create(&names), PRF_ERROR_NONE);
    EXPECT_EQ(NameTable_Lookup(names, 42), nullptr);
    ASSERT_EQ(NameTable_Add(names, 42, "first"), PRF_ERROR_NONE);
    ASSERT_EQ(NameTable_Add(names, 42, "second"), PRF_ERROR_NONE);
    EXPECT_STREQ(NameTable_Lookup(names, 42), "first");
    ASSERT_EQ(NameTable_Add(names, 43, std::string(3000, 'x').c_str()), PRF_ERROR_NONE);
    EXPECT_EQ(std::string(NameTable_Lookup(names, 43)), std::string(2048, 'x'));
    char small[4] = {'?', '?', '?', '?'};
    EXPECT_EQ(NameTable_CopyName(names, 42, small, sizeof small), 3u);
    EXPECT_STREQ(small, "fir");
    EXPECT_EQ(NameTable_CopyName(names, 42, small, 0), 0u);
    EXPECT_EQ(NameTable_CopyName(names, 44, small, sizeof small), PRF_NOT_FOUND);

    const uint32_t count = 12000; // slots 1024 -> 4096 -> 16384, bytes ~ 25 granules
    auto hash_of = [](uint32_t i) { return (i + 1) * 2654435761u | 1u; };
    std::atomic<uint32_t> inserted{0};
    bool bad = false; // read after the join
    std::thread reader([&] {
        uint32_t probe = 0;
        char out[128];
        for (bool finished = false; !finished;) {
            const uint32_t limit = inserted.load(std::memory_order_acquire);
            finished = limit == count;
            // Mostly names already in, some that may be arriving right now; one published
            // before this pass began must be found, and whole.
            for (int k = 0; k < 64; ++k) {
                probe = probe * 1103515245u + 12345u;
                const uint32_t i = (probe >> 8) % std::min(limit + 64, count);
                const uint32_t got = NameTable_CopyName(names, hash_of(i), out, sizeof out);
                bad |= got == PRF_NOT_FOUND ? i < limit
                                            : got != name_of(i).size() || name_of(i) != out;
            }
        }
    });
    for (uint32_t i = 0; i < count; ++i) {
        if (i % 64 == 0)
            std::this_thread::yield(); // let the reader in between growths
        ASSERT_EQ(NameTable_Add(names, hash_of(i), name_of(i).c_str()), PRF_ERROR_NONE);
        inserted.store(i + 1, std::memory_order_release);
    }
    reader.join();
    EXPECT_FALSE(bad);
    for (uint32_t i = 0; i < count; i += 97)
        EXPECT_EQ(name_of(i), NameTable_Lookup(names, hash_of(i)));
    NameTable_Destroy(names);
}

#if defined(__linux__)
TEST(SampleTreeDeathTest, ClosingTheRootStopsTheProcess) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Tree t;
    EXPECT_DEATH(SampleTree_Close(t.tree, t.tree->root), "");
}
#endif

} // namespace
