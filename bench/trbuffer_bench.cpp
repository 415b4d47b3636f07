// Benchmarks of the trace core, each against a baseline in the same run:
//   Print     TracePrint of a 64-byte line vs. spin lock + memchr + memcpy
//             of the same bytes into a ring + unlock (goal: at most 2x);
//             PrintBaselineClock adds the one clock read and stamp encoding
//             that every new line needs, to show what the clock costs;
//   Printf    TraceVprintf of "%s %d %08X\n" vs. snprintf + that baseline
//             (goal: at most 1.5x);
//   ReadBack  TraceRead of 8,192 lines (lines per second).
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "traces.h"

namespace {

const char kLine[] = "bench line of sixty-four bytes: 0123456789abcdefghijklmnopqrstu\n";
static_assert(sizeof kLine - 1 == 64, "a 64-byte line");

TRCHANNEL BenchChannel(const char* name)
{
    trbuffer_initializer();
    return TraceOpen(nullptr, name);
}

// The least a ring append must do: lock, find the line end, copy, unlock.
struct BaselineRing {
    spinner_t lock = SPINNER_INIT;
    std::vector<char> ring = std::vector<char>(TRACEBUFFER_DATASIZE);
    size_t pos = 0;
    BaselineRing() { spinner_init(&lock); }
    ~BaselineRing() { spinner_term(&lock); }
    void append(const char* text, size_t len)
    {
        spinner_lock(&lock);
        const void* lineFeed = std::memchr(text, '\n', len);
        benchmark::DoNotOptimize(lineFeed);
        size_t at = pos & (TRACEBUFFER_DATASIZE - 1);
        if (at + len > TRACEBUFFER_DATASIZE)
            at = 0;
        std::memcpy(ring.data() + at, text, len);
        pos = at + len;
        spinner_unlock(&lock);
    }
};

void BM_PrintBaseline(benchmark::State& state)
{
    BaselineRing ring;
    for (auto _ : state)
        ring.append(kLine, sizeof kLine - 1);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintBaseline);

void BM_PrintBaselineClock(benchmark::State& state)
{
    BaselineRing ring;
    char stamp[TRACESTAMP_CODEDLEN];
    for (auto _ : state) {
        TraceEncodeTimeStamp(counter_usec(), stamp);
        benchmark::DoNotOptimize(stamp);
        ring.append(kLine, sizeof kLine - 1);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintBaselineClock);

void BM_Print(benchmark::State& state)
{
    TRCHANNEL channel = BenchChannel("bench.print");
    for (auto _ : state)
        TracePrint(nullptr, channel, kLine);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Print);

void Vprintf(TRCHANNEL channel, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    TraceVprintf(nullptr, channel, format, args);
    va_end(args);
}

void BM_PrintfBaseline(benchmark::State& state)
{
    BaselineRing ring;
    char text[300];
    int value = 0;
    for (auto _ : state) {
        int len = std::snprintf(text, sizeof text, "%s %d %08X\n", "printf", value, unsigned(value));
        ring.append(text, size_t(len));
        value++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PrintfBaseline);

void BM_Printf(benchmark::State& state)
{
    TRCHANNEL channel = BenchChannel("bench.printf");
    int value = 0;
    for (auto _ : state) {
        Vprintf(channel, "%s %d %08X\n", "printf", value, unsigned(value));
        value++;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Printf);

void BM_ReadBack8192(benchmark::State& state)
{
    TRCHANNEL channel = BenchChannel("bench.read");
    for (int i = 0; i < 8192; i++)
        TracePrint(nullptr, channel, kLine);
    size_t start, end;
    TraceInfo(nullptr, channel, &start, &end, nullptr);
    char out[256];
    for (auto _ : state) {
        for (size_t line = start; line < end; line++)
            benchmark::DoNotOptimize(TraceRead(nullptr, channel, line, out, sizeof out));
    }
    state.SetItemsProcessed(state.iterations() * int64_t(end - start));
}
BENCHMARK(BM_ReadBack8192);

} // namespace
