// Insert + remove in a tree of 10^5 links: rblink against std::multiset.
// Each iteration takes one element out (in a shuffled order) and puts it
// back under a new random key, so the tree stays at its size and the work
// spreads over every depth. Both trees see the same keys and order.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <set>
#include <vector>

#include "rblink.h"

namespace {

struct Item {
    int key;
    rblink_t link;
};

int by_key(const void* param, const rblink_t* link)
{
    int key = *static_cast<const int*>(param);
    int other = reinterpret_cast<const Item*>(reinterpret_cast<const char*>(link) -
                                              offsetof(Item, link))
                    ->key;
    return (key > other) - (key < other);
}

struct Workload {
    std::vector<int> initial_keys;
    std::vector<int> new_keys;   // cycled through by the iterations
    std::vector<size_t> victims; // which element to move next
};

Workload make_workload(size_t count)
{
    Workload w;
    std::mt19937 rng(42);
    w.initial_keys.resize(count);
    for (int& key : w.initial_keys)
        key = int(rng());
    w.new_keys.resize(1 << 16);
    for (int& key : w.new_keys)
        key = int(rng());
    w.victims.resize(count);
    std::iota(w.victims.begin(), w.victims.end(), 0);
    std::shuffle(w.victims.begin(), w.victims.end(), rng);
    return w;
}

void BM_rblink_insert_remove(benchmark::State& state)
{
    const size_t count = size_t(state.range(0));
    Workload w = make_workload(count);
    std::vector<Item> items(count);
    rblink_t* root = nullptr;
    for (size_t i = 0; i < count; ++i) {
        items[i].key = w.initial_keys[i];
        rblink_find_insert(&root, by_key, &items[i].key, &items[i].link);
    }
    size_t step = 0;
    for (auto _ : state) {
        Item& item = items[w.victims[step % count]];
        rblink_remove(&root, &item.link);
        item.key = w.new_keys[step & (w.new_keys.size() - 1)];
        rblink_find_insert(&root, by_key, &item.key, &item.link);
        ++step;
    }
    benchmark::DoNotOptimize(root);
    for (Item& item : items)
        rblink_remove(&root, &item.link);
}

void BM_multiset_insert_erase(benchmark::State& state)
{
    const size_t count = size_t(state.range(0));
    Workload w = make_workload(count);
    std::multiset<int> tree;
    std::vector<std::multiset<int>::iterator> items(count);
    for (size_t i = 0; i < count; ++i)
        items[i] = tree.insert(w.initial_keys[i]);
    size_t step = 0;
    for (auto _ : state) {
        auto& item = items[w.victims[step % count]];
        tree.erase(item);
        item = tree.insert(w.new_keys[step & (w.new_keys.size() - 1)]);
        ++step;
    }
    benchmark::DoNotOptimize(tree.size());
}

BENCHMARK(BM_multiset_insert_erase)->Arg(100000);
BENCHMARK(BM_rblink_insert_remove)->Arg(100000);

} // namespace
