// Random open / aggregate-open / close / finish / release sequences on a sample tree, checked
// against a plain model: shape, names, call counts, path ids and the pool's counters.
#include "profiler/profiler_internal.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <vector>

namespace {

// The path id's mix, written out here so that the model does not share the library's.
uint32_t mix(uint32_t a, uint32_t b) {
    return (uint32_t)((a >> 2) + (uint32_t)(a * 64u) + 2654435769u + b) ^ a;
}

struct Node {
    uint32_t hash, path_id, call_count;
    uint32_t opened_children; // children made so far (the id's sibling count)
    std::vector<int> children;
};

void check_at(bool ok, int line) {
    if (!ok) {
        fprintf(stderr, "model mismatch at line %d\n", line);
        abort();
    }
}
#define check(ok) check_at((ok), __LINE__)

// Compares a finished tree with the model's subtree at `index`.
void compare(const std::vector<Node>& nodes, int index, const Sample* sample) {
    const Node& node = nodes[index];
    check(sample->name_hash == node.hash);
    check(sample->path_id == node.path_id);
    check(sample->call_count == node.call_count);
    check(sample->nb_children == node.opened_children);
    const Sample* child = sample->first_child;
    for (int child_index : node.children) {
        check(child != nullptr && child->parent == sample);
        compare(nodes, child_index, child);
        check(child->next_sibling != nullptr || sample->last_child == child);
        child = child->next_sibling;
    }
    check(child == nullptr);
}

uint32_t count_samples(const Sample* sample) {
    uint32_t count = 1;
    for (const Sample* child = sample->first_child; child; child = child->next_sibling)
        count += count_samples(child);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SampleTree* tree = nullptr;
    if (SampleTree_Create(&tree) != PRF_ERROR_NONE)
        return 0;
    const Node root = {0, 0, 1, 0, {}};
    std::vector<Node> nodes = {root};   // the model of the open tree; 0 is the root
    std::vector<int> model_open;        // indices, innermost last
    std::vector<Sample*> open, pending; // and the samples; finished trees not yet released
    uint32_t live = 1, high_water = 1;  // samples out of the pool, the root included
    const uint32_t names[] = {0x11111111u, 0x22222222u, 0x33333333u, 0xDEADBEEFu};
    // Closes the innermost sample; a finished top-level one is compared with the model, then
    // detached and the root reset, as the thread sampler does.
    auto close_innermost = [&] {
        Sample* sample = open.back();
        open.pop_back();
        model_open.pop_back();
        SampleTree_Close(tree, sample);
        if (tree->current_parent != tree->root)
            return;
        compare(nodes, nodes[0].children.back(), sample);
        tree->root->first_child = tree->root->last_child = nullptr;
        tree->root->nb_children = 0;
        nodes = {root};
        pending.push_back(sample);
    };

    for (size_t i = 0; i < size && i < 4096; ++i) {
        const uint32_t op = data[i] & 7u, hash = names[(data[i] >> 3) & 3u];
        if (op <= 3) { // open (3: aggregate)
            const uint32_t flags = op == 3 ? PRF_SAMPLE_FLAG_AGGREGATE : 0;
            Sample* sample = nullptr;
            check(SampleTree_Open(tree, hash, flags, &sample) == PRF_ERROR_NONE);
            const int parent = model_open.empty() ? 0 : model_open.back();
            int found = -1;
            for (int child : nodes[parent].children)
                if (flags != 0 && found < 0 && nodes[child].hash == hash)
                    found = child;
            if (found >= 0) {
                nodes[found].call_count++;
            } else {
                Node& p = nodes[parent];
                const uint32_t id = mix(mix(p.path_id, hash), p.opened_children++);
                found = (int)nodes.size();
                p.children.push_back(found);
                nodes.push_back({hash, id, 1, 0, {}});
                high_water = std::max(high_water, ++live);
            }
            model_open.push_back(found);
            open.push_back(sample);
            check(tree->current_parent == sample);
            continue;
        }
        if (op == 7 && !pending.empty()) { // release the last finished tree
            live -= count_samples(pending.back());
            ReleaseSampleTree(pending.back(), tree->allocator);
            pending.pop_back();
        }
        for (size_t pops = op == 6 ? open.size() : op < 6 && !open.empty(); pops > 0; --pops)
            close_innermost(); // one (4, 5) or all of them (6)
        check(ObjectPool_InUse(tree->allocator) == live);
        check(tree->allocator->nb_created == high_water);
        check(ObjectPool_Available(tree->allocator) + live == tree->allocator->nb_created);
    }

    while (!open.empty())
        close_innermost();
    for (Sample* top : pending)
        ReleaseSampleTree(top, tree->allocator);
    check(ObjectPool_InUse(tree->allocator) == 1);
    SampleTree_Destroy(tree);
    return 0;
}
