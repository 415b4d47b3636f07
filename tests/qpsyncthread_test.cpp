// Tests of base/qpsyncthread.c: tracked threads and their reaping, fast
// threads, collection at exit, queued procedure calls; and a bounded stress
// test of one lock, one semaphore and one pin under many threads.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "../base/qpsyncint.h"

namespace {

struct start_record {
    std::atomic<int> mains{0};
    std::atomic<int> terminators{0};
    std::atomic<void*> thread{nullptr};
};

void count_main(void* param)
{
    auto* r = static_cast<start_record*>(param);
    r->thread = thread_self();
    r->mains++;
}

void count_terminator(void* param)
{
    static_cast<start_record*>(param)->terminators++;
}

int listed_threads()
{
    sync_global_t* g = sync_global_get();
    sync_lock(&g->thread_ref_lock);
    int count = g->thread_ref_count;
    sync_unlock(&g->thread_ref_lock);
    return count;
}

template <class Done> void wait_until(Done done)
{
    while (!done()) {
        thread_wait(1);
    }
}

} // namespace

// A started thread runs its main, then its terminator with the second
// parameter.
TEST(QpThread, StartRunsMainThenTerminator)
{
    start_record main_record, term_record;
    ASSERT_EQ(thread_start_2(count_main, &main_record, count_terminator, &term_record,
                             thread_stack_size_small),
              1);
    wait_until([&] { return term_record.terminators.load() == 1; });
    EXPECT_EQ(main_record.mains.load(), 1);
    EXPECT_NE(main_record.thread.load(), thread_self());
}

namespace {

pin_t reap_gate;

void gated_main(void* param)
{
    pin_wait(&reap_gate.vtbl, nullptr, -1);
    count_main(param);
}

} // namespace

// A thread that cannot be created reports 0 and leaves a finished record
// behind, which the next reaping or the collection frees.
TEST(QpThread, CreationFailureIsReportedAndRecorded)
{
    start_record record;
    sync_global_t* g = sync_global_get();
    sync_lock(&g->thread_ref_lock);
    int finished_before = g->thread_finished_count;
    sync_unlock(&g->thread_ref_lock);
    EXPECT_EQ(thread_start_2(count_main, &record, nullptr, nullptr, size_t(1) << 46), 0);
    sync_lock(&g->thread_ref_lock);
    EXPECT_EQ(g->thread_finished_count, finished_before + 1);
    EXPECT_EQ(g->thread_ref_first->thread, 0u);
    sync_unlock(&g->thread_ref_lock);
    EXPECT_EQ(record.mains.load(), 0);
}

// Finished threads are joined and freed by a later start once more than
// half of the list has finished.
TEST(QpThread, LaterStartReapsFinishedThreads)
{
    constexpr int count = 24;
    start_record record;
    pin_init(&reap_gate);
    for (int i = 0; i < count; i++) {
        ASSERT_EQ(thread_start(gated_main, &record), 1);
    }
    int before = listed_threads();
    EXPECT_GE(before, count);
    pin_signal(&reap_gate); // all finish; none is reaped before the next start
    sync_global_t* g = sync_global_get();
    wait_until([&] {
        sync_lock(&g->thread_ref_lock);
        int finished = g->thread_finished_count;
        sync_unlock(&g->thread_ref_lock);
        return finished >= count;
    });
    ASSERT_EQ(thread_start(count_main, &record), 1);
    EXPECT_LE(listed_threads(), before - count + 1);
    wait_until([&] { return record.mains.load() == count + 1; });
    pin_term(&reap_gate);
}

// An idle fast thread is reused for the next start.
TEST(QpThread, FastThreadIsReused)
{
    start_record first, second;
    ASSERT_EQ(thread_start_fast(count_main, &first), 1);
    wait_until([&] { return first.mains.load() == 1; });
    thread_wait(50); // lets it park
    ASSERT_EQ(thread_start_fast(count_main, &second), 1);
    wait_until([&] { return second.mains.load() == 1; });
    EXPECT_EQ(first.thread.load(), second.thread.load());
}

namespace {

void block_in_pin_wait(void*)
{
    pin_wait(procsig_pin(0), nullptr, -1);
}

void block_in_sleep(void*)
{
    for (;;) {
        thread_wait(1000);
    }
}

void wait_for_collection(void* param)
{
    pin_wait(procsig_pin(FILE_SIGNAL_COLLECTING), nullptr, -1);
    static_cast<start_record*>(param)->mains++;
}

// Runs in a child process: threads that block forever are joined only when
// started cancel-on-collect; a thread that ends on FILE_SIGNAL_COLLECTING
// runs to its end; parked fast threads are released.
void collect_in_child()
{
    start_record record, fast;
    thread_start_cancel_on_collect(block_in_pin_wait, nullptr);
    thread_start_cancel_on_collect(block_in_sleep, nullptr);
    thread_start_2(wait_for_collection, &record, count_terminator, &record, 0);
    thread_start_fast(count_main, &fast);
    thread_wait(50);
    thread_collect_all();
    bool ok = record.mains.load() == 1 && record.terminators.load() == 1 &&
              fast.mains.load() == 1 && listed_threads() == 0 &&
              pin_i_poll(procsig_pin(FILE_SIGNAL_COLLECTED));
    exit(ok ? 0 : 1);
}

} // namespace

TEST(QpThreadDeathTest, CollectionCancelsOnlyCancelOnCollectThreads)
{
    EXPECT_EXIT(collect_in_child(), testing::ExitedWithCode(0), "");
}

namespace {

void exit_from_thread(void*)
{
    exit(0);
}

void start_thread_that_exits()
{
    thread_start(exit_from_thread, nullptr);
    for (;;) {
        thread_wait(1000);
    }
}

} // namespace

// exit() on a tracked thread collects the other threads but not itself.
TEST(QpThreadDeathTest, ExitOnTrackedThreadDoesNotJoinItself)
{
    EXPECT_EXIT(start_thread_that_exits(), testing::ExitedWithCode(0), "");
}

namespace {

struct chain_link {
    thread_queued_proc_t link;
    int index;
};

struct chain_state {
    std::vector<chain_link> links;
    std::vector<int> order;
    uintptr_t lowest = UINTPTR_MAX, highest = 0;
};
chain_state* chain;

void chain_proc(thread_queued_proc_t* link)
{
    auto at = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    chain->lowest = std::min(chain->lowest, at);
    chain->highest = std::max(chain->highest, at);
    int index = reinterpret_cast<chain_link*>(link)->index;
    chain->order.push_back(index);
    if (index + 1 < int(chain->links.size())) {
        thread_queued_proc_call(&chain->links[index + 1].link, chain_proc);
    }
}

} // namespace

// A chain of 100,000 calls, each queued from inside the previous one, runs
// in order on one stack depth.
TEST(QpQueuedProc, DeepChainRunsIteratively)
{
    chain_state state;
    state.links.resize(100000);
    for (int i = 0; i < int(state.links.size()); i++) {
        state.links[i].index = i;
    }
    chain = &state;
    thread_queued_proc_call(&state.links[0].link, chain_proc);
    chain = nullptr;
    ASSERT_EQ(state.order.size(), state.links.size());
    for (int i = 0; i < int(state.order.size()); i++) {
        ASSERT_EQ(state.order[i], i);
    }
    EXPECT_EQ(state.highest - state.lowest, 0u);
}

namespace {

std::vector<int>* fence_order;
thread_queued_proc_t fence_links[3];

void fence_record(thread_queued_proc_t* link)
{
    fence_order->push_back(int(link - fence_links));
}

void fence_outer(thread_queued_proc_t* link)
{
    fence_record(link);
    thread_queued_proc_call(&fence_links[1], fence_record); // queued: runs later
    qp_tqp_thread_t* top = thread_queued_proc_fence_start();
    EXPECT_NE(top, nullptr);
    thread_queued_proc_call(&fence_links[2], fence_record); // fenced: runs now
    thread_queued_proc_fence_end(top);
    fence_order->push_back(9);
}

} // namespace

// Inside a fence a queued call runs at once in a loop of its own; outside
// it is queued behind the running call.
TEST(QpQueuedProc, FenceRunsNestedCallsAtOnce)
{
    std::vector<int> order;
    fence_order = &order;
    thread_queued_proc_call(&fence_links[0], fence_outer);
    fence_order = nullptr;
    EXPECT_EQ(order, (std::vector<int>{0, 2, 9, 1}));
    EXPECT_EQ(thread_queued_proc_fence_start(), nullptr);
    EXPECT_DEATH(thread_queued_proc_fence_end_(nullptr), "ASSERT: .*\"top\"");
}

// Many threads hammer one lock, one semaphore used as a mutex and one pin
// for a bounded time; every critical section checks that it is alone.
TEST(QpSyncStress, LockSemaphoreAndPin)
{
    constexpr int threads = 8;
    const auto stop_at = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    sync_t lock = SYNC_INIT;
    sema_t sema;
    pin_t pin;
    long locked_count = 0;
    std::atomic<int> inside_lock{0}, inside_sema{0}, faults{0};
    std::atomic<long> rounds{0}, fired{0};
    sema_init(&sema, 1);
    pin_init(&pin);

    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&, t] {
            unsigned seed = unsigned(t) * 2654435761u;
            while (std::chrono::steady_clock::now() < stop_at) {
                seed = seed * 1103515245u + 12345u;
                sync_lock(&lock);
                faults += inside_lock++ != 0;
                locked_count++;
                inside_lock--;
                sync_unlock(&lock);

                if (sema_wait(&sema, nullptr, (seed >> 8) % 3 ? -1 : 1)) {
                    faults += inside_sema++ != 0;
                    inside_sema--;
                    sema_signal(&sema);
                }

                switch ((seed >> 16) % 4) {
                case 0: pin_signal(&pin); break;
                case 1: pin_reset(&pin); break;
                default: fired += pin_wait(&pin.vtbl, nullptr, 1); break;
                }
                rounds++;
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(faults.load(), 0);
    EXPECT_EQ(locked_count, rounds.load());
    EXPECT_EQ(sema.count, 1);
    EXPECT_GT(fired.load(), 0);
    EXPECT_EQ(pin.first_wire, nullptr);
    pin_term(&pin);
    sema_term(&sema);
    sync_term(&lock);
}
