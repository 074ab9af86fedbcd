// Random open / aggregate-open / close / finish / release sequences on a sample tree, checked
// against a plain model: shape, names, call counts, path ids and the pool's counters.
#include "profiler/profiler_internal.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <vector>

namespace {

uint32_t mix(uint32_t a, uint32_t b) {
    return (uint32_t)((a >> 2) + (uint32_t)(a * 64u) + 2654435769u + b) ^ a;
}

struct Node {
    uint32_t hash;
    uint32_t path_id;
    uint32_t call_count;
    uint32_t opened_children; // children made so far (the id's sibling count)
    std::vector<int> children;
};

struct Model {
    std::vector<Node> nodes; // 0 is the root
    std::vector<int> open;   // indices, innermost last
    Model() { reset_root(); }
    void reset_root() {
        nodes.clear();
        nodes.push_back({0, 0, 1, 0, {}});
    }
    int current() const { return open.empty() ? 0 : open.back(); }
};

void check_at(bool ok, int line) {
    if (!ok) {
        fprintf(stderr, "model mismatch at line %d\n", line);
        abort();
    }
}
#define check(ok) check_at((ok), __LINE__)

// Compares a finished tree with the model's subtree at `index`.
uint32_t compare(const Model& model, int index, const Sample* sample) {
    const Node& node = model.nodes[index];
    check(sample->name_hash == node.hash);
    check(sample->path_id == node.path_id);
    check(sample->call_count == node.call_count);
    check(sample->nb_children == node.opened_children);
    uint32_t count = 1;
    const Sample* child = sample->first_child;
    for (int child_index : node.children) {
        check(child != nullptr);
        check(child->parent == sample);
        count += compare(model, child_index, child);
        if (child->next_sibling == nullptr)
            check(sample->last_child == child);
        child = child->next_sibling;
    }
    check(child == nullptr);
    return count;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SampleTree* tree = nullptr;
    if (SampleTree_Create(&tree) != PRF_ERROR_NONE)
        return 0;
    Model model;
    std::vector<Sample*> open;
    std::vector<Sample*> pending; // finished trees not yet released
    uint32_t live = 1;            // samples out of the pool, the root included
    uint32_t high_water = 1;
    const uint32_t names[] = {0x11111111u, 0x22222222u, 0x33333333u, 0xDEADBEEFu};

    for (size_t i = 0; i < size && i < 4096; ++i) {
        const uint8_t byte = data[i];
        const uint32_t op = byte & 7u;
        const uint32_t hash = names[(byte >> 3) & 3u];
        if (op <= 3) {
            const uint32_t flags = op == 3 ? PRF_SAMPLE_FLAG_AGGREGATE : 0;
            Sample* sample = nullptr;
            check(SampleTree_Open(tree, hash, flags, &sample) == PRF_ERROR_NONE);
            const int parent = model.current();
            int found = -1;
            if (flags)
                for (int child : model.nodes[parent].children)
                    if (model.nodes[child].hash == hash) {
                        found = child;
                        break;
                    }
            if (found >= 0) {
                model.nodes[found].call_count++;
            } else {
                Node& p = model.nodes[parent];
                const uint32_t id = mix(mix(p.path_id, hash), p.opened_children);
                p.opened_children++;
                found = (int)model.nodes.size();
                model.nodes[parent].children.push_back(found);
                model.nodes.push_back({hash, id, 1, 0, {}});
                live++;
                if (live > high_water)
                    high_water = live;
            }
            model.open.push_back(found);
            open.push_back(sample);
            check(tree->current_parent == sample);
            continue;
        }
        // Close one (4, 5) or everything (6): finishing pops to the top.
        if (op == 7) {
            if (!pending.empty()) {
                Sample* top = pending.back();
                pending.pop_back();
                std::vector<const Sample*> stack{top};
                uint32_t count = 0;
                while (!stack.empty()) {
                    const Sample* s = stack.back();
                    stack.pop_back();
                    count++;
                    for (const Sample* c = s->first_child; c; c = c->next_sibling)
                        stack.push_back(c);
                }
                ReleaseSampleTree(top, tree->allocator);
                live -= count;
            }
        } else {
            size_t pops = op == 6 ? open.size() : (open.empty() ? 0 : 1);
            while (pops-- > 0) {
                Sample* sample = open.back();
                open.pop_back();
                model.open.pop_back();
                SampleTree_Close(tree, sample);
                if (tree->current_parent != tree->root)
                    continue;
                // A finished top-level sample: detach it and reset the root, as the thread
                // sampler does.
                const uint32_t count = compare(model, model.nodes[0].children.back(), sample);
                (void)count;
                tree->root->first_child = nullptr;
                tree->root->last_child = nullptr;
                tree->root->nb_children = 0;
                model.reset_root();
                pending.push_back(sample);
            }
        }
        check(ObjectPool_InUse(tree->allocator) == live);
        if (live > high_water)
            high_water = live;
        check(tree->allocator->nb_created == high_water);
        check(ObjectPool_Available(tree->allocator) + ObjectPool_InUse(tree->allocator) ==
              tree->allocator->nb_created);
    }

    while (!open.empty()) {
        Sample* sample = open.back();
        open.pop_back();
        SampleTree_Close(tree, sample);
        if (tree->current_parent == tree->root) {
            tree->root->first_child = nullptr;
            tree->root->last_child = nullptr;
            tree->root->nb_children = 0;
            pending.push_back(sample);
        }
    }
    for (Sample* top : pending)
        ReleaseSampleTree(top, tree->allocator);
    check(ObjectPool_InUse(tree->allocator) == 1);
    SampleTree_Destroy(tree);
    return 0;
}
