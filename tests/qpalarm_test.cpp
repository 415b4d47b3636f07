// Tests of the alarms: delivery order and timing, cancellation, signal-time
// scheduling, alarm pins and pin timeouts, delivery at exit, and a stress
// run of many threads scheduling and cancelling at once.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "qpalarm.h"
#include "qperr.h"
#include "qpsync.h"

// The stack sizes come from one definition: both headers together compile.
static_assert(thread_stack_size_medium == 0x60000 && thread_stack_size_small == 0x30000,
              "the thread stack sizes");

namespace {

// Collects the ids of delivered alarms in delivery order.
struct Recorder {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<int> ids;

    void add(int id)
    {
        std::lock_guard<std::mutex> guard(lock);
        ids.push_back(id);
        changed.notify_all();
    }
    // The ids once count have arrived, or what came within the time.
    std::vector<int> wait_for(size_t count, int msecs = 5000)
    {
        std::unique_lock<std::mutex> guard(lock);
        changed.wait_for(guard, std::chrono::milliseconds(msecs),
                         [&] { return ids.size() >= count; });
        return ids;
    }
};

struct TestAlarm {
    alarm_t alarm;
    int id = 0;
    Recorder* recorder = nullptr;
};

TestAlarm* test_alarm_of(alarm_t* alarm)
{
    return reinterpret_cast<TestAlarm*>(reinterpret_cast<char*>(alarm) -
                                        offsetof(TestAlarm, alarm));
}

void record_handler(alarm_t* alarm)
{
    TestAlarm* ta = test_alarm_of(alarm);
    ta->recorder->add(ta->id);
    alarm_handler_complete(alarm);
}

void schedule(TestAlarm* ta, Recorder* recorder, int id, uint64_t when)
{
    ta->id = id;
    ta->recorder = recorder;
    alarm_init(&ta->alarm);
    ASSERT_EQ(alarm_schedule_(&ta->alarm, record_handler, when), 1);
}

// Holds the alarm thread inside a handler until released, so that what is
// scheduled meanwhile is decided before any of it is delivered.
struct Blocker {
    alarm_t alarm;
    std::atomic<int> state{0}; // 0 idle, 1 inside the handler, 2 released

    static void handler(alarm_t* alarm)
    {
        Blocker* b = reinterpret_cast<Blocker*>(alarm);
        b->state.store(1);
        while (b->state.load() != 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        alarm_handler_complete(alarm);
    }
    void hold()
    {
        alarm_init(&alarm);
        alarm_schedule_2(&alarm, handler, alarm_now());
        while (state.load() != 1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    void release()
    {
        state.store(2);
        alarm_wait_complete(&alarm);
    }
};

// Alarms due at the same time go out in scheduling order; different times
// go out by time.
TEST(Alarm, EqualTimesInSchedulingOrder)
{
    Recorder recorder;
    TestAlarm alarms[6];
    Blocker blocker;
    blocker.hold();
    uint64_t now = alarm_now();
    const int offsets[6] = {20, 10, 20, 10, 20, 0};
    for (int i = 0; i < 6; ++i)
        schedule(&alarms[i], &recorder, i, now + offsets[i]);
    blocker.release();
    EXPECT_EQ(recorder.wait_for(6), (std::vector<int>{5, 1, 3, 0, 2, 4}));
    for (TestAlarm& ta : alarms)
        alarm_wait_complete(&ta.alarm); // the alarms live on this stack
}

// An alarm whose time has passed is delivered at once, and so is one
// scheduled earlier than everything pending: it wakes the waiting thread.
TEST(Alarm, PastDueAndEarlierAlarmsWakeTheThread)
{
    Recorder recorder;
    TestAlarm late, early, past;
    schedule(&late, &recorder, 1, alarm_now() + 60000);
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // thread waits for `late`

    auto start = std::chrono::steady_clock::now();
    schedule(&early, &recorder, 2, alarm_now() + 30);
    EXPECT_EQ(recorder.wait_for(1, 2000), std::vector<int>{2});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(29));
    EXPECT_LT(took, std::chrono::milliseconds(1500));

    start = std::chrono::steady_clock::now();
    schedule(&past, &recorder, 3, alarm_now() > 1000 ? alarm_now() - 1000 : 0);
    EXPECT_EQ(recorder.wait_for(2, 2000), (std::vector<int>{2, 3}));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(alarm_cancel(&late.alarm), 1);
    alarm_wait_complete(&early.alarm);
    alarm_wait_complete(&past.alarm);
}

// Cancel returns 1 for a scheduled alarm, whose handler then never runs,
// and 0 once the alarm has been delivered or was never scheduled.
TEST(Alarm, CancelBeforeAndAfterDelivery)
{
    Recorder recorder;
    TestAlarm pending, delivered;
    alarm_t never;
    alarm_init(&never);
    EXPECT_EQ(alarm_cancel(&never), 0);

    schedule(&pending, &recorder, 1, alarm_now() + 30);
    EXPECT_EQ(alarm_cancel(&pending.alarm), 1);
    EXPECT_EQ(pending.alarm.handler, nullptr);
    EXPECT_EQ(alarm_cancel(&pending.alarm), 0);

    schedule(&delivered, &recorder, 2, alarm_now());
    EXPECT_EQ(recorder.wait_for(1), std::vector<int>{2});
    alarm_wait_complete(&delivered.alarm);
    EXPECT_EQ(alarm_cancel(&delivered.alarm), 0);

    // a cancelled alarm can be scheduled again
    ASSERT_EQ(alarm_schedule_(&pending.alarm, record_handler, alarm_now()), 1);
    EXPECT_EQ(recorder.wait_for(2), (std::vector<int>{2, 1}));
    alarm_wait_complete(&pending.alarm);
}

TestAlarm sig_alarm;

void on_sigusr1(int)
{
    alarm_schedule_sig(&sig_alarm.alarm, record_handler);
}

// Signals arriving before the alarm is delivered coalesce into one
// delivery.
TEST(Alarm, SignalsCoalesce)
{
    Recorder recorder;
    alarm_initializer();
    sig_alarm.id = 7;
    sig_alarm.recorder = &recorder;
    alarm_init(&sig_alarm.alarm);
    struct sigaction action = {}, old_action;
    action.sa_handler = on_sigusr1;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old_action), 0);

    Blocker blocker;
    blocker.hold();
    raise(SIGUSR1);
    raise(SIGUSR1);
    blocker.release();
    EXPECT_EQ(recorder.wait_for(1), std::vector<int>{7});
    alarm_wait_complete(&sig_alarm.alarm);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(recorder.wait_for(1, 0).size(), 1u);
    ASSERT_EQ(sigaction(SIGUSR1, &old_action, nullptr), 0);
}

// A signal that arrives while the alarm's handler is running schedules it
// again, and completing the first delivery does not lose the second.
TEST(Alarm, SignalDuringDeliveryIsDeliveredAgain)
{
    static std::atomic<int> runs{0};
    static std::atomic<bool> go{false};
    static alarm_t alarm;
    struct Local {
        static void handler(alarm_t* a)
        {
            if (runs.fetch_add(1) == 0) {
                while (!go.load())
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            alarm_handler_complete(a);
        }
    };
    runs.store(0);
    go.store(false);
    alarm_init(&alarm);
    ASSERT_EQ(alarm_schedule_sig(&alarm, Local::handler), 1);
    while (runs.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_EQ(alarm_schedule_sig(&alarm, Local::handler), 1); // handler is running
    go.store(true);
    for (int i = 0; i < 2000 && runs.load() < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    alarm_wait_complete(&alarm);
    EXPECT_EQ(runs.load(), 2);
}

// An alarm pin fires at its time; terminated earlier, it never fires.
TEST(Alarm, AlarmPins)
{
    alarm_pin_t soon, later;
    alarm_pin_init(&soon, alarm_now() + 20);
    alarm_pin_init(&later, alarm_now() + 60000);
    EXPECT_EQ(pin_wait(&soon.pin.vtbl, nullptr, 5000), 1);
    EXPECT_EQ(pin_poll(&later.pin), 0);
    alarm_pin_term(&later);
    alarm_pin_term(&soon);
}

// A pin timeout of 100 ms over a pin that never fires ends a cancellable
// wait after about 100 ms, and its term turns err_cancelled into
// err_timeout; when the pin itself fires, the error stays; with no timeout
// the result is the pin itself.
TEST(Alarm, PinTimeout)
{
    pin_t never;
    pin_init(&never);
    sema_t sema;
    sema_init(&sema, 0);

    pin_timeout_t pt;
    auto start = std::chrono::steady_clock::now();
    pin_timeout_init(&pt, &never.vtbl, 100);
    int err = sema_wait(&sema, pt.pin, -1) ? 0 : err_cancelled;
    auto took = std::chrono::steady_clock::now() - start;
    pin_timeout_term(&pt, &err);
    EXPECT_EQ(err, err_timeout);
    EXPECT_GE(took, std::chrono::milliseconds(99));
    EXPECT_LT(took, std::chrono::milliseconds(2000));

    pin_t fires;
    pin_init(&fires);
    pin_timeout_init(&pt, &fires.vtbl, 60000);
    pin_signal(&fires);
    err = sema_wait(&sema, pt.pin, -1) ? 0 : err_cancelled;
    pin_timeout_term(&pt, &err);
    EXPECT_EQ(err, err_cancelled);

    pin_timeout_init(&pt, &never.vtbl, -1);
    EXPECT_EQ(pt.pin, &never.vtbl);
    pin_timeout_term(&pt, &err);
    pin_timeout_init(&pt, &never.vtbl, 0x7FFFFFFF);
    EXPECT_EQ(pt.pin, &never.vtbl);
    pin_timeout_term(&pt, &err);

    pin_timeout_init(&pt, nullptr, 10); // the alarm pin alone
    EXPECT_EQ(pin_wait(pt.pin, nullptr, 5000), 1);
    err = err_cancelled;
    pin_timeout_term(&pt, &err);
    EXPECT_EQ(err, err_timeout);

    pin_term(&fires);
    pin_term(&never);
    sema_term(&sema);
}

// Signal-time scheduling from another thread, over and over while the
// handler runs and completes: every round trip ends delivered, and under
// the thread sanitizer the handler's completion check races with nothing.
TEST(Alarm, RescheduleWhileCompleting)
{
    static std::atomic<int> runs{0};
    static alarm_t alarm;
    struct Local {
        static void handler(alarm_t* a)
        {
            runs.fetch_add(1);
            alarm_handler_complete(a);
        }
    };
    runs.store(0);
    alarm_init(&alarm);
    const int rounds = 2000;
    for (int i = 0; i < rounds; ++i) {
        ASSERT_EQ(alarm_schedule_sig(&alarm, Local::handler), 1);
        if (i % 16 == 0)
            alarm_wait_complete(&alarm);
    }
    alarm_wait_complete(&alarm);
    EXPECT_GE(runs.load(), rounds / 16);
    EXPECT_LE(runs.load(), rounds);
}

// A pin timeout whose result pin was overwritten is stopped with the
// documented text.
TEST(AlarmDeathTest, PinTimeoutTermChecksItsPin)
{
    pin_t never;
    pin_init(&never);
    EXPECT_DEATH(
        {
            pin_timeout_t pt;
            pin_timeout_init(&pt, nullptr, 60000);
            pt.pin = &never.vtbl;
            pin_timeout_term(&pt, nullptr);
        },
        "pt->pin == pin_buf_output\\(&pt->buf\\) \\|\\| "
        "pt->pin == pin_vtbl\\(&pt->timeout_pin.pin\\)");
    pin_term(&never);
}

// Exit-time state of the child in HandlersRunOnceAtExit.
std::atomic<int> exit_runs[3];
alarm_t exit_alarms[3];
alarm_t refused_alarm;
std::atomic<int> refused_runs{0};

void exit_handler(alarm_t* alarm)
{
    exit_runs[alarm - exit_alarms].fetch_add(1);
    alarm_handler_complete(alarm);
}

void refused_handler(alarm_t* alarm)
{
    refused_runs.fetch_add(1);
    alarm_handler_complete(alarm);
}

// Registered before the alarm machinery, so it runs after its terminator.
void check_after_alarms()
{
    for (auto& runs : exit_runs)
        if (runs.load() != 1)
            _exit(3);
    alarm_init(&refused_alarm);
    if (alarm_schedule_(&refused_alarm, refused_handler, 0) != 0)
        _exit(4);
    alarm_schedule_2(&refused_alarm, refused_handler, 0);
    _exit(refused_runs.load() == 1 ? 0 : 5);
}

// At exit every alarm still scheduled has its handler run once, and later
// scheduling is refused, the inline form running the handler at once.
TEST(AlarmDeathTest, HandlersRunOnceAtExit)
{
    EXPECT_EXIT(
        {
            atexit(check_after_alarms);
            for (int i = 0; i < 3; ++i) {
                alarm_init(&exit_alarms[i]);
                alarm_schedule_2(&exit_alarms[i], exit_handler, alarm_now() + 50 * i);
            }
            exit(0);
        },
        testing::ExitedWithCode(0), "");
}

// Many threads schedule thousands of alarms and cancel about half of them:
// every handler runs exactly once unless its cancel returned 1.
TEST(Alarm, StressScheduleAndCancel)
{
    struct StressAlarm {
        alarm_t alarm;
        std::atomic<int> runs{0};
        bool cancelled = false;
    };
    struct Local {
        static void handler(alarm_t* alarm)
        {
            reinterpret_cast<StressAlarm*>(alarm)->runs.fetch_add(1);
            alarm_handler_complete(alarm);
        }
    };
    const int thread_count = 4, per_thread = 2500;
    std::vector<std::vector<StressAlarm>> alarms(thread_count);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        alarms[t] = std::vector<StressAlarm>(per_thread);
        threads.emplace_back([&, t] {
            std::mt19937 rng(t + 1);
            std::vector<StressAlarm>& mine = alarms[t];
            for (int i = 0; i < per_thread; ++i) {
                alarm_init(&mine[i].alarm);
                ASSERT_EQ(alarm_schedule_(&mine[i].alarm, Local::handler,
                                          alarm_now() + rng() % 15),
                          1);
                if (i % 64 == 63)
                    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 500));
                StressAlarm& victim = mine[rng() % (i + 1)];
                if (!victim.cancelled && alarm_cancel(&victim.alarm))
                    victim.cancelled = true;
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    int delivered = 0, cancelled = 0;
    for (auto& mine : alarms) {
        for (StressAlarm& sa : mine) {
            alarm_wait_complete(&sa.alarm);
            ASSERT_EQ(sa.runs.load(), sa.cancelled ? 0 : 1);
            (sa.cancelled ? cancelled : delivered) += 1;
        }
    }
    EXPECT_GT(cancelled, 0);
    EXPECT_GT(delivered, 0);
}

} // namespace
