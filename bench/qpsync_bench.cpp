// Benchmarks of the sync primitives against their POSIX baselines, measured
// in the same run: uncontended lock/unlock, a two-thread ping-pong through
// holds against one through a condition-variable pair, and an uncontended
// semaphore signal/wait.
#include <benchmark/benchmark.h>

#include <pthread.h>

#include <atomic>
#include <thread>

#include "qpsync.h"

namespace {

void BM_SyncLockUnlock(benchmark::State& state)
{
    sync_t lock = SYNC_INIT;
    for (auto _ : state) {
        sync_lock(&lock);
        benchmark::ClobberMemory();
        sync_unlock(&lock);
    }
    sync_term(&lock);
}
BENCHMARK(BM_SyncLockUnlock);

void BM_PthreadMutexLockUnlock(benchmark::State& state)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        benchmark::ClobberMemory();
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_PthreadMutexLockUnlock);

// One round trip per iteration: signal the partner's hold, wait for ours.
void BM_HoldPingPong(benchmark::State& state)
{
    hold_t ping, pong;
    std::atomic<bool> stop{false};
    hold_init(&ping);
    hold_init(&pong);
    std::thread partner([&] {
        for (;;) {
            hold_wait(&ping, -1);
            if (stop.load()) {
                break;
            }
            hold_signal(&pong);
        }
    });
    for (auto _ : state) {
        hold_signal(&ping);
        hold_wait(&pong, -1);
    }
    stop = true;
    hold_signal(&ping);
    partner.join();
    hold_term(&ping);
    hold_term(&pong);
}
BENCHMARK(BM_HoldPingPong)->UseRealTime();

// The same round trip with a mutex, a condition per direction and a turn.
void BM_CondPingPong(benchmark::State& state)
{
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t to_partner = PTHREAD_COND_INITIALIZER, to_main = PTHREAD_COND_INITIALIZER;
    int turn = 0; // 1: partner's turn, 0: main's turn
    bool stop = false;
    std::thread partner([&] {
        pthread_mutex_lock(&mutex);
        for (;;) {
            while (turn != 1) {
                pthread_cond_wait(&to_partner, &mutex);
            }
            if (stop) {
                break;
            }
            turn = 0;
            pthread_cond_signal(&to_main);
        }
        pthread_mutex_unlock(&mutex);
    });
    for (auto _ : state) {
        pthread_mutex_lock(&mutex);
        turn = 1;
        pthread_cond_signal(&to_partner);
        while (turn != 0) {
            pthread_cond_wait(&to_main, &mutex);
        }
        pthread_mutex_unlock(&mutex);
    }
    pthread_mutex_lock(&mutex);
    stop = true;
    turn = 1;
    pthread_cond_signal(&to_partner);
    pthread_mutex_unlock(&mutex);
    partner.join();
    pthread_cond_destroy(&to_partner);
    pthread_cond_destroy(&to_main);
    pthread_mutex_destroy(&mutex);
}
BENCHMARK(BM_CondPingPong)->UseRealTime();

void BM_SemaSignalWait(benchmark::State& state)
{
    sema_t sema;
    sema_init(&sema, 0);
    for (auto _ : state) {
        sema_signal(&sema);
        benchmark::DoNotOptimize(sema_wait(&sema, nullptr, -1));
    }
    sema_term(&sema);
}
BENCHMARK(BM_SemaSignalWait);

} // namespace
