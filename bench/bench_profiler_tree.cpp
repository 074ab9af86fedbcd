// The sample tree's hot path: one push and pop on a warm tree, and freeing a sent tree.
#include <benchmark/benchmark.h>

#include "profiler/profiler_internal.h"

#include <memory>
#include <vector>

namespace {

// What scope_begin + scope_end cost in the tree when the scope is top-level: open, close,
// detach from the root and give the one sample back (the queue hand-off is measured apart).
void push_pop_qv(benchmark::State& state) {
    SampleTree* tree = nullptr;
    SampleTree_Create(&tree);
    for (auto _ : state) {
        Sample* sample = nullptr;
        SampleTree_Open(tree, 0x1234u, 0, &sample);
        SampleTree_Close(tree, sample);
        tree->root->first_child = nullptr;
        tree->root->last_child = nullptr;
        tree->root->nb_children = 0;
        ReleaseSampleTree(sample, tree->allocator);
        benchmark::DoNotOptimize(sample);
    }
    SampleTree_Destroy(tree);
}

// A nested scope re-entered under an open parent with the aggregate flag: no pool traffic.
void push_pop_aggregate_qv(benchmark::State& state) {
    SampleTree* tree = nullptr;
    SampleTree_Create(&tree);
    Sample* frame = nullptr;
    SampleTree_Open(tree, 1, 0, &frame);
    for (auto _ : state) {
        Sample* sample = nullptr;
        SampleTree_Open(tree, 0x1234u, PRF_SAMPLE_FLAG_AGGREGATE, &sample);
        SampleTree_Close(tree, sample);
        benchmark::DoNotOptimize(sample);
    }
    SampleTree_Close(tree, frame);
    tree->root->first_child = nullptr;
    tree->root->last_child = nullptr;
    tree->root->nb_children = 0;
    ReleaseSampleTree(frame, tree->allocator);
    SampleTree_Destroy(tree);
}

// The floor: a push and a pop on a warm vector.
void push_pop_vector(benchmark::State& state) {
    std::vector<int> stack;
    stack.reserve(64);
    for (auto _ : state) {
        stack.push_back(1);
        benchmark::DoNotOptimize(stack.data());
        stack.pop_back();
        benchmark::ClobberMemory();
    }
}

// A 64-sample tree: 8 children of the top, each with 7 children.
Sample* build_64(SampleTree* tree) {
    Sample* top = nullptr;
    SampleTree_Open(tree, 1, 0, &top);
    for (prf_u32 i = 0; i < 9; ++i) {
        Sample* child = nullptr;
        SampleTree_Open(tree, 10 + i, 0, &child);
        for (prf_u32 j = 0; j < (i < 8 ? 6u : 0u); ++j) {
            Sample* leaf = nullptr;
            SampleTree_Open(tree, 20 + j, 0, &leaf);
            SampleTree_Close(tree, leaf);
        }
        SampleTree_Close(tree, child);
    }
    SampleTree_Close(tree, top);
    tree->root->first_child = nullptr;
    tree->root->last_child = nullptr;
    tree->root->nb_children = 0;
    return top;
}

// Trees are built in batches outside the timing, so each iteration is one release.
const int kBatch = 256;

void release_64_qv(benchmark::State& state) {
    SampleTree* tree = nullptr;
    SampleTree_Create(&tree);
    std::vector<Sample*> trees;
    for (auto _ : state) {
        if (trees.empty()) {
            state.PauseTiming();
            for (int i = 0; i < kBatch; ++i)
                trees.push_back(build_64(tree));
            state.ResumeTiming();
        }
        ReleaseSampleTree(trees.back(), tree->allocator);
        trees.pop_back();
    }
    for (Sample* top : trees)
        ReleaseSampleTree(top, tree->allocator);
    SampleTree_Destroy(tree);
}

// The same tree's shape as heap nodes freed one by one.
struct Node {
    std::vector<std::unique_ptr<Node>> children;
};

std::unique_ptr<Node> build_nodes() {
    auto top = std::make_unique<Node>();
    for (int i = 0; i < 9; ++i) {
        auto child = std::make_unique<Node>();
        for (int j = 0; j < (i < 8 ? 6 : 0); ++j)
            child->children.push_back(std::make_unique<Node>());
        top->children.push_back(std::move(child));
    }
    return top;
}

void release_64_delete(benchmark::State& state) {
    std::vector<std::unique_ptr<Node>> trees;
    for (auto _ : state) {
        if (trees.empty()) {
            state.PauseTiming();
            for (int i = 0; i < kBatch; ++i)
                trees.push_back(build_nodes());
            state.ResumeTiming();
        }
        trees.back().reset();
        trees.pop_back();
    }
}

} // namespace

BENCHMARK(push_pop_qv)->Name("sample_push_pop/qv_sys");
BENCHMARK(push_pop_vector)->Name("sample_push_pop/vector_floor");
BENCHMARK(push_pop_aggregate_qv)->Name("sample_push_pop_aggregate/qv_sys");
BENCHMARK(push_pop_vector)->Name("sample_push_pop_aggregate/vector_floor");
BENCHMARK(release_64_qv)->Name("release_64_sample_tree/qv_sys");
BENCHMARK(release_64_delete)->Name("release_64_sample_tree/delete_nodes");
