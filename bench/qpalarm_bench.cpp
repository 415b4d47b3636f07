// Schedule + cancel of one alarm that never comes due, with a schedule that
// is empty or holds 1000 other far alarms. Baseline in the same run: the
// plain alternative, a std::multimap keyed by time under a std::mutex (no
// signal masking, allocating a node per entry).
#include <benchmark/benchmark.h>

#include <map>
#include <mutex>
#include <vector>

#include "qpalarm.h"

namespace {

const uint64_t far_away = uint64_t(1) << 60;

void never_runs(alarm_t* alarm)
{
    alarm_handler_complete(alarm);
}

void BM_alarm_schedule_cancel(benchmark::State& state)
{
    std::vector<alarm_t> others(size_t(state.range(0)));
    for (size_t i = 0; i < others.size(); ++i) {
        alarm_init(&others[i]);
        alarm_schedule_2(&others[i], never_runs, far_away + i);
    }
    alarm_t alarm;
    alarm_init(&alarm);
    uint64_t when = far_away;
    for (auto _ : state) {
        alarm_schedule_2(&alarm, never_runs, when + (when & 1023));
        benchmark::DoNotOptimize(alarm_cancel(&alarm));
        ++when;
    }
    for (alarm_t& other : others)
        alarm_cancel(&other);
}

void BM_mutex_multimap_insert_erase(benchmark::State& state)
{
    std::mutex lock;
    std::multimap<uint64_t, void*> schedule;
    for (int64_t i = 0; i < state.range(0); ++i)
        schedule.emplace(far_away + uint64_t(i), nullptr);
    uint64_t when = far_away;
    int entry = 0;
    for (auto _ : state) {
        std::multimap<uint64_t, void*>::iterator it;
        {
            std::lock_guard<std::mutex> guard(lock);
            it = schedule.emplace(when + (when & 1023), &entry);
        }
        {
            std::lock_guard<std::mutex> guard(lock);
            schedule.erase(it);
        }
        ++when;
    }
}

BENCHMARK(BM_mutex_multimap_insert_erase)->Arg(0)->Arg(1000);
BENCHMARK(BM_alarm_schedule_cancel)->Arg(0)->Arg(1000);

} // namespace
