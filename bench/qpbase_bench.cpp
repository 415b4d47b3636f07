// malloc_dh + free_dh of 64-byte blocks with 10,000 blocks live, against the
// C library's malloc + free doing the same work in the same run. Each
// iteration frees one live block (slots taken in a shuffled order) and puts a
// new one in its place, so the heap stays at its size; the debug heap also
// runs its bounded link checks (20 links per allocation, 40 per free). The
// same pair with 100 live blocks shows the share of cache misses: there the
// links checked stay in the cache.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <random>
#include <vector>

#include "qpbase.h"

namespace {

constexpr size_t block_size = 64;

std::vector<size_t> shuffled_slots(size_t live_count)
{
    std::vector<size_t> slots(live_count);
    std::iota(slots.begin(), slots.end(), 0);
    std::shuffle(slots.begin(), slots.end(), std::mt19937(5));
    return slots;
}

template <typename Alloc, typename Free>
void replace_blocks(benchmark::State& state, Alloc alloc, Free release)
{
    const size_t live_count = static_cast<size_t>(state.range(0));
    std::vector<void*> live(live_count);
    for (void*& mem : live) {
        mem = alloc();
    }
    const std::vector<size_t> slots = shuffled_slots(live_count);
    size_t next = 0;
    for (auto _ : state) {
        size_t slot = slots[next];
        next = next + 1 == live_count ? 0 : next + 1;
        release(live[slot]);
        live[slot] = alloc();
        benchmark::DoNotOptimize(live[slot]);
    }
    for (void* mem : live) {
        release(mem);
    }
}

void BM_DebugHeap(benchmark::State& state)
{
    replace_blocks(
        state, [] { return malloc_d(block_size); }, [](void* mem) { free_d(mem); });
}
BENCHMARK(BM_DebugHeap)->Arg(10000)->Arg(100);

void BM_LibcHeap(benchmark::State& state)
{
    replace_blocks(
        state, [] { return malloc(block_size); }, [](void* mem) { free(mem); });
}
BENCHMARK(BM_LibcHeap)->Arg(10000)->Arg(100);

} // namespace
