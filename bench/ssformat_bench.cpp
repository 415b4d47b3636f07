// ss8formatn against the C library's snprintf on the same directive mix, a
// string, a decimal and a zero-padded hex number, in the same run. Values
// vary per iteration so that the digit count changes as it does in real
// trace lines.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "ssformat.h"

namespace {

const char kFormat[] = "%s=%d (%08X)\n";
const char kName[] = "channel";

unsigned NextValue(unsigned value)
{
    return value * 2654435761u + 12345u;
}

// One formatted line per iteration through `format` (dest, size, ...).
template <typename Format>
void FormatLines(benchmark::State& state, Format format)
{
    char buf[64];
    unsigned value = 1;
    for (auto _ : state) {
        value = NextValue(value);
        auto length = format(buf, sizeof buf, kFormat, kName, (int)(value >> 8), value);
        benchmark::DoNotOptimize(length);
        benchmark::DoNotOptimize(buf);
    }
}

void BM_ss8formatn(benchmark::State& state)
{
    FormatLines(state, ss8formatn);
}
BENCHMARK(BM_ss8formatn);

void BM_snprintf(benchmark::State& state)
{
    FormatLines(state, snprintf);
}
BENCHMARK(BM_snprintf);

} // namespace
