// client_bench.cpp - the cost of a formatted trace print through the client
// library against its baseline, both in one boot of the test VM:
//   Trprintf  trprintf(channel, "%s %d\n", ...) through the wrappers, the
//             attached libqptrace1.so and its one send request
//   RawPrint  the send request of the same text, built once, issued
//             directly on the device
//   Format    the formatting alone (ss8formatvn into a stack buffer), to
//             tell the engine's share of the difference
// It prints the ratio of the medians of repeated, randomly interleaved runs
// as a "vmtest: INFO" line (goal: at most 1.2). Run as root with the driver
// loaded and the library installed at /usr/local/lib.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "qptrace.h"
#include "ssformat.h"
#include "traceio.h"

namespace {

const char benchWord[] = "client_bench";
const int benchNumber = 12345;
const char benchText[] = "client_bench 12345\n";

TRCHANNEL benchChannel;

void BM_Trprintf(benchmark::State& state)
{
    if (!benchChannel) {
        state.SkipWithError("not attached");
        return;
    }
    for (auto _ : state)
        trprintf(benchChannel, "%s %d\n", benchWord, benchNumber);
}

void BM_RawPrint(benchmark::State& state)
{
    int fd = open("/dev/qptrace", O_RDWR | O_CLOEXEC);
    char record[8 + sizeof benchText];
    int64_t channel = int64_t(intptr_t(benchChannel));
    if (fd < 0) {
        state.SkipWithError("no device");
        return;
    }
    memcpy(record, &channel, sizeof channel);
    memcpy(record + 8, benchText, sizeof benchText);
    for (auto _ : state) {
        GenIoctlRequest request{TRACEIOPRINT, -1, uintptr_t(record), sizeof record, 0, 0, 0};
        if (ioctl(fd, TRACEIOCTL_SEND, &request) != 0 || request.error != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    close(fd);
}

size_t format_text(char* text, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    size_t length = ss8formatvn(text, size, format, args);
    va_end(args);
    return length;
}

void BM_Format(benchmark::State& state)
{
    char text[300];
    for (auto _ : state) {
        benchmark::DoNotOptimize(format_text(text, sizeof text, "%s %d\n", benchWord, benchNumber));
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_Trprintf);
BENCHMARK(BM_RawPrint);
BENCHMARK(BM_Format);

// Keeps the median of each benchmark beside the usual console output.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    MedianReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred || run.run_type != Run::RT_Aggregate ||
                run.aggregate_name != "median")
                continue;
            if (run.run_name.function_name == "BM_Trprintf")
                trprintfNs = run.GetAdjustedRealTime();
            if (run.run_name.function_name == "BM_RawPrint")
                rawNs = run.GetAdjustedRealTime();
            if (run.run_name.function_name == "BM_Format")
                formatNs = run.GetAdjustedRealTime();
        }
    }
    double trprintfNs = 0;
    double rawNs = 0;
    double formatNs = 0;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    benchChannel = tropen("client.bench");
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (!reporter.trprintfNs || !reporter.rawNs) {
        printf("vmtest: FAIL client-bench: no medians (run with --benchmark_repetitions)\n");
        return 1;
    }
    printf("vmtest: INFO client ns per print: trprintf %.1f, raw ioctl %.1f, formatting %.1f\n",
           reporter.trprintfNs, reporter.rawNs, reporter.formatNs);
    printf("vmtest: INFO client ratio trprintf/raw %.3f (goal <= 1.2)\n",
           reporter.trprintfNs / reporter.rawNs);
    printf("vmtest: PASS client-bench\n");
    return 0;
}
