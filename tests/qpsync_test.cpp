// Tests of base/qpsync.c: atomics, the hand-over lock, the ticket spin lock,
// recursive and pool locks, holds, wait queues, semaphores and clocks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qppin.h"
#include "qpsync.h"

namespace {

// The death-test pattern of an assertion report carrying exactly this text.
std::string assert_text(const char* text)
{
    std::string pattern = "ASSERT: .*\"";
    for (const char* c = text; *c; c++) {
        if (std::string("\\^$.|?*+()[]{}").find(*c) != std::string::npos) {
            pattern += '\\';
        }
        pattern += *c;
    }
    return pattern + "\"";
}

void* lock_word(sync_t* s)
{
    return __atomic_load_n(&s->list, __ATOMIC_ACQUIRE);
}

// Waits until the lock word changes from `before` (a new waiter pushed itself).
void wait_word_change(sync_t* s, void* before)
{
    while (lock_word(s) == before) {
        std::this_thread::yield();
    }
}

using steady = std::chrono::steady_clock;

long elapsed_ms(steady::time_point since)
{
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(steady::now() - since).count());
}

} // namespace

// The atomics return new values and report whether an exchange happened.
TEST(QpSyncAtomics, ReturnNewValuesAndExchangeResults)
{
    int value = 5;
    size_t size = 10;
    void* ptr = nullptr;
    EXPECT_EQ(sync_inc(&value), 6);
    EXPECT_EQ(sync_dec(&value), 5);
    EXPECT_TRUE(sync_xchg(&value, 5, 7));
    EXPECT_FALSE(sync_xchg(&value, 5, 8));
    EXPECT_EQ(value, 7);
    EXPECT_EQ(sync_add_size(&size, 5), 15u);
    EXPECT_EQ(sync_sub_size(&size, 15), 0u);
    EXPECT_TRUE(sync_xchg_size(&size, 0, 3));
    EXPECT_FALSE(sync_xchg_size(&size, 0, 4));
    EXPECT_TRUE(sync_xchg_ptr(&ptr, nullptr, &value));
    EXPECT_EQ(ptr, &value);
    EXPECT_NE(thread_self(), nullptr);
}

// Two waiters queued in order A, B get the lock in that order, each waking
// up already owning it; the word goes back to 0 at the end.
TEST(QpSyncLock, HandsOverInArrivalOrder)
{
    sync_t lock = SYNC_INIT;
    std::vector<char> order;
    std::atomic<int> owned_on_wake{0};
    sync_lock(&lock);
    EXPECT_TRUE(sync_is_locked(&lock));
    EXPECT_EQ(lock_word(&lock), thread_self());

    auto waiter = [&](char name) {
        sync_lock(&lock);
        owned_on_wake += sync_is_locked(&lock);
        order.push_back(name);
        sync_unlock(&lock);
    };
    void* before = lock_word(&lock);
    std::thread a(waiter, 'A');
    wait_word_change(&lock, before);
    before = lock_word(&lock);
    std::thread b(waiter, 'B');
    wait_word_change(&lock, before);
    // A third, late thread queues behind both.
    before = lock_word(&lock);
    std::thread c(waiter, 'C');
    wait_word_change(&lock, before);

    order.push_back('M');
    sync_unlock(&lock);
    EXPECT_FALSE(sync_is_locked(&lock));
    a.join();
    b.join();
    c.join();
    EXPECT_EQ(std::string(order.begin(), order.end()), "MABC");
    EXPECT_EQ(owned_on_wake.load(), 3);
    EXPECT_EQ(lock_word(&lock), nullptr);
    sync_term(&lock);
}

// Misuse of a lock stops the program with the condition's text.
TEST(QpSyncLockDeathTest, MisuseIsAnAssertion)
{
    EXPECT_DEATH(
        {
            sync_t lock;
            sync_init(&lock);
            sync_lock(&lock);
            sync_lock(&lock);
        },
        assert_text("s->owner != self"));
    EXPECT_DEATH(
        {
            sync_t lock;
            sync_init(&lock);
            sync_unlock(&lock);
        },
        assert_text("s->owner == self"));
    EXPECT_DEATH(
        {
            sync_t lock;
            sync_init(&lock);
            sync_lock(&lock);
            sync_term(&lock);
        },
        assert_text("!s->owner"));
    EXPECT_DEATH(
        {
            mux_t mux;
            mux_init(&mux);
            mux_unlock(&mux);
        },
        assert_text("m->sync.owner == thread_self_() && m->count"));
}

// The ticket word keeps its layout: next ticket in bits 20-30, serving in
// 8-18, the carry bits 19 and 31 stay clear across the 11-bit wrap.
TEST(QpSyncSpinner, TicketLayoutAndWrap)
{
    spinner_t spin = SPINNER_INIT;
    spinner_lock(&spin);
    EXPECT_EQ(spin.sync.state, 0x100000u);
    EXPECT_TRUE(sync_is_locked(&spin.sync));
    spinner_unlock(&spin);
    EXPECT_EQ(spin.sync.state, 0x100100u);
    for (int i = 1; i < 2048; i++) {
        spinner_lock(&spin);
        spinner_unlock(&spin);
        ASSERT_EQ(spin.sync.state & 0x80080000u, 0u) << i;
    }
    EXPECT_EQ(spin.sync.state, 0u); // both tickets wrapped to 0
    spinner_term(&spin);
}

// Spin lock, recursive lock and pool lock each exclude other threads.
TEST(QpSyncLock, SpinMuxAndPoolLocksExclude)
{
    constexpr int threads = 4, rounds = 20000;
    spinner_t spin = SPINNER_INIT;
    mux_t mux = MUX_INIT;
    int key = 0;
    long spin_count = 0, mux_count = 0, pool_count = 0;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; t++) {
        workers.emplace_back([&] {
            for (int i = 0; i < rounds; i++) {
                spinner_lock(&spin);
                spin_count++;
                spinner_unlock(&spin);
                mux_lock(&mux);
                mux_lock(&mux);
                EXPECT_TRUE(mux_is_locked(&mux));
                mux_count++;
                mux_unlock(&mux);
                mux_unlock(&mux);
                mux_pool_key_lock(&key);
                pool_count++;
                mux_pool_key_unlock(&key);
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(spin_count, long(threads) * rounds);
    EXPECT_EQ(mux_count, long(threads) * rounds);
    EXPECT_EQ(pool_count, long(threads) * rounds);
    EXPECT_FALSE(mux_is_locked(&mux));
    mux_term(&mux);
}

// A signal before the wait is kept; a wait of 0 ms on an idle hold returns
// at once; a timed-out wait leaves the hold ready for a later signal.
TEST(QpSyncHold, SignalBeforeWaitTimeoutsAndLateSignal)
{
    hold_t hold;
    hold_init(&hold);
    hold_signal(&hold);
    EXPECT_EQ(hold_wait(&hold, -1), 1);
    EXPECT_EQ(hold_wait(&hold, 0), 0);

    auto start = steady::now();
    EXPECT_EQ(hold_wait(&hold, 40), 0);
    EXPECT_GE(elapsed_ms(start), 40);
    hold_signal(&hold); // after the timeout: kept for the next wait
    EXPECT_EQ(hold_wait(&hold, 0), 1);
    hold_term(&hold);
}

// A waiter asleep in hold_wait is woken by a signal from another thread,
// with and without a timeout.
TEST(QpSyncHold, SignalWakesSleepingWaiter)
{
    for (int timeout : {-1, 5000}) {
        hold_t hold;
        hold_init(&hold);
        std::thread signaller([&] {
            while (__atomic_load_n(&hold.count, __ATOMIC_ACQUIRE) != -1) {
                std::this_thread::yield();
            }
            hold_signal(&hold);
        });
        EXPECT_EQ(hold_wait(&hold, timeout), 1);
        signaller.join();
        hold_term(&hold);
    }
}

TEST(QpSyncHoldDeathTest, DoubleSignalAndDoubleTerm)
{
    EXPECT_DEATH(
        {
            hold_t hold;
            hold_init(&hold);
            hold_signal(&hold);
            hold_signal(&hold);
        },
        assert_text("h->count != 1"));
    EXPECT_DEATH(
        {
            hold_t hold;
            hold_init(&hold);
            hold_term(&hold);
            hold_term(&hold);
        },
        assert_text("h->count >= -1 && h->count <= 1"));
}

// Links leave the queue in FIFO order; corrupted links and double queuing
// are caught.
TEST(QpSyncWaitQueue, FifoAndCorruptionChecks)
{
    qp_wait_queue_t q;
    qp_wait_link_t links[3];
    wait_queue_init(&q);
    sync_lock(&q.sync);
    for (auto& link : links) {
        wait_queue_link_init(&link, &q);
        wait_queue_link_last(&q, &link);
    }
    wait_queue_unlink(&q, &links[1]);
    EXPECT_EQ(wait_queue_signal_first(&q), &links[0]);
    EXPECT_EQ(links[0].signalled, 1);
    EXPECT_EQ(hold_wait(&links[0].hold, 0), 1);
    EXPECT_EQ(wait_queue_unlink_first(&q), &links[2]);
    EXPECT_EQ(wait_queue_signal_first(&q), nullptr);
    sync_unlock(&q.sync);
    for (auto& link : links) {
        wait_link_term(&link);
    }
    wait_queue_term(&q);

    EXPECT_DEATH(
        {
            wait_queue_init(&q);
            sync_lock(&q.sync);
            wait_queue_link_init(&links[0], &q);
            wait_queue_link_last(&q, &links[0]);
            wait_queue_link_last(&q, &links[0]);
        },
        assert_text("link->signalled"));
    EXPECT_DEATH(
        {
            wait_queue_init(&q);
            sync_lock(&q.sync);
            wait_queue_link_init(&links[0], &q);
            wait_queue_link_init(&links[1], &q);
            wait_queue_link_last(&q, &links[0]);
            wait_queue_link_last(&q, &links[1]);
            links[0].next = &links[2];
            wait_queue_unlink(&q, &links[1]);
        },
        assert_text("link->prev->next == link"));
    EXPECT_DEATH(
        {
            wait_queue_init(&q);
            wait_queue_link_init(&links[0], &q);
            wait_queue_link_last(&q, &links[0]);
        },
        assert_text("sync_is_locked(&q->sync)"));
}

// Units are taken lock-free while the count is positive; a cancel pin that
// is already signalled, or a timeout, returns 0 and leaves the count as it
// was.
TEST(QpSyncSema, LockFreeUnitsCancelAndTimeout)
{
    sema_t sema;
    pin_t cancel;
    sema_init(&sema, 2);
    pin_init(&cancel);
    EXPECT_EQ(sema_wait(&sema, nullptr, 0), 1);
    EXPECT_EQ(sema_wait(&sema, nullptr, 0), 1);
    EXPECT_EQ(sema.count, 0);
    EXPECT_EQ(sema_wait(&sema, nullptr, 0), 0);
    EXPECT_EQ(sema.count, 0);

    pin_signal(&cancel);
    auto start = steady::now();
    EXPECT_EQ(sema_wait(&sema, &cancel.vtbl, -1), 0);
    EXPECT_LT(elapsed_ms(start), 1000);
    EXPECT_EQ(sema.count, 0);

    EXPECT_EQ(sema_wait(&sema, nullptr, 30), 0);
    EXPECT_EQ(sema.count, 0);
    sema_signal(&sema);
    EXPECT_EQ(sema.count, 1);
    EXPECT_EQ(sema_wait(&sema, &cancel.vtbl, -1), 1);
    pin_term(&cancel);
    sema_term(&sema);
}

// Sleeping waiters are woken one unit each, and a cancel pin fired while a
// waiter sleeps ends only that wait.
TEST(QpSyncSema, WakesWaitersAndCancelsSleepingOne)
{
    sema_t sema;
    pin_t cancel;
    std::atomic<int> acquired{0}, cancelled{0};
    sema_init(&sema, 0);
    pin_init(&cancel);
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; i++) {
        waiters.emplace_back([&] { acquired += sema_wait(&sema, nullptr, -1); });
    }
    std::thread cancellable([&] { cancelled += !sema_wait(&sema, &cancel.vtbl, -1); });
    while (__atomic_load_n(&sema.count, __ATOMIC_ACQUIRE) != -4) {
        std::this_thread::yield();
    }
    pin_signal(&cancel);
    cancellable.join();
    EXPECT_EQ(cancelled.load(), 1);
    EXPECT_EQ(sema.count, -3);
    for (int i = 0; i < 3; i++) {
        sema_signal(&sema);
    }
    for (auto& w : waiters) {
        w.join();
    }
    EXPECT_EQ(acquired.load(), 3);
    EXPECT_EQ(sema.count, 0);
    pin_term(&cancel);
    sema_term(&sema);
}

// Waiters that time out while producers signal lock-free lose no unit and
// take none twice; the count ends at 0. Under the thread sanitizer this also
// checks that the timed-out path reads the count atomically.
TEST(QpSyncSema, TimeoutsRacingSignalsKeepEveryUnit)
{
    const int units_per_producer = 5000, producer_count = 2;
    const int total = units_per_producer * producer_count;
    sema_t sema;
    std::atomic<int> taken{0};
    sema_init(&sema, 0);
    std::vector<std::thread> threads;
    for (int c = 0; c < 3; c++) {
        threads.emplace_back([&] {
            for (int i = 0; taken.load() < total; i++) {
                taken += sema_wait(&sema, nullptr, i % 3);
            }
        });
    }
    for (int p = 0; p < producer_count; p++) {
        threads.emplace_back([&] {
            for (int i = 0; i < units_per_producer; i++) {
                sema_signal(&sema);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(taken.load(), total);
    EXPECT_EQ(sema.count, 0);
    sema_term(&sema);
}

// The 1601-based clock converts both ways and agrees with the seconds
// clock; the eighth-second counter advances 8 per second.
TEST(QpSyncClock, ConversionsAndCounters)
{
    for (int64_t s : {int64_t(0), int64_t(1), int64_t(1700000000), int64_t(-11644473600)}) {
        EXPECT_EQ(time_100nsec_to_sec(time_sec_to_100nsec(s)), s);
    }
    EXPECT_EQ(time_sec_to_100nsec(0), 116444736000000000ll);
    int64_t sec = 0;
    int usec = time_usec(&sec);
    EXPECT_GE(usec, 0);
    EXPECT_LT(usec, 1000000);
    EXPECT_LE(std::abs(time_100nsec_to_sec(time_100nsec()) - sec), 1);
    EXPECT_LE(std::abs(time_sec() - sec), 1);

    uint64_t eighths = counter_125msec(), msec = counter_msec(), usec0 = counter_usec();
    thread_wait(260);
    uint64_t advanced = counter_125msec() - eighths;
    EXPECT_GE(advanced, 2u);
    EXPECT_LE(advanced, 4u);
    EXPECT_GE(counter_msec() - msec, 260u);
    EXPECT_GE(counter_usec() - usec0, 260000u);
    EXPECT_LE(counter_sec(), counter_msec() / 1000 + 1);
}

namespace {

// In a child process: after the global state is freed (as at exit), holds,
// contended locks and pin waits with timeouts still work.
void use_after_terminator()
{
    sync_t lock;
    sync_init(&lock);
    sync_lock(&lock); // creates the state if no earlier test did
    sync_unlock(&lock);
    qpsync_terminator();

    hold_t hold;
    hold_init(&hold);
    bool ok = hold_wait(&hold, 10) == 0;
    hold_term(&hold);

    long counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; t++) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; i++) {
                sync_lock(&lock);
                counter++;
                sync_unlock(&lock);
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    pin_t pin;
    pin_init(&pin);
    ok = ok && counter == 6000 && pin_wait(&pin.vtbl, nullptr, 10) == 0;
    pin_term(&pin);
    exit(ok ? 0 : 1);
}

} // namespace

TEST(QpSyncGlobalDeathTest, PrimitivesWorkAfterTerminator)
{
    EXPECT_EXIT(use_after_terminator(), testing::ExitedWithCode(0), "");
}
