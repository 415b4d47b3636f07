// vm_trace_bench.cpp - the cost of one trace print through /dev/qptrace,
// measured inside the test VM beside its baselines in the same run:
//   Print        TRACEIOPRINT of a 64-byte line (the request under test)
//   PrintLong    TRACEIOPRINT of a 200-byte line, whose request is above the
//                driver's 128-byte stack buffer and so allocates
//   NoOp         TRACEIODEFAULT, a request the driver carries out as nothing
//   TraceMarker  write of the same line to ftrace's trace_marker
//   DevNull      write of the same line to /dev/null
//   ReadBatches  all 8,191 complete lines of a full channel by read-lines
//                requests of TRACEIO_MAX_BATCH bytes
//   ReadSingly   the same lines by one read request each (what a reader
//                without batches does), with the line-range query first
// After the runs it prints the ratios print/no-op and print/trace_marker as
// "vmtest: INFO" lines for the VM harness, from the medians of repeated,
// randomly interleaved runs (--benchmark_repetitions,
// --benchmark_enable_random_interleaving), so that a busy host slows all
// four alike. Run as root with tracefs mounted on /sys/kernel/tracing.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <iomanip>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "traceio.h"
#include "traces.h"

namespace {

// 63 characters and a line feed.
const char bench_line[] = "vm_trace_bench: sixty-four bytes of trace text for one line....\n";
static_assert(sizeof bench_line == 65, "a 64-byte line");

int open_or_skip(benchmark::State& state, const char* path, int flags)
{
    int fd = open(path, flags | O_CLOEXEC);
    if (fd < 0)
        state.SkipWithError((std::string("cannot open ") + path).c_str());
    return fd;
}

int64_t bench_channel(int fd, const char* name = "bench")
{
    TRACEIOOPENRESULTS opened{};
    GenIoctlRequest req{TRACEIOOPEN, -1, reinterpret_cast<uintptr_t>(name), strlen(name) + 1,
                        reinterpret_cast<uintptr_t>(&opened), sizeof opened, 0};
    return ioctl(fd, TRACEIOCTL_SEND, &req) == 0 ? opened.channel : 0;
}

// One request; 1 when the driver carried it out.
int send_request(int fd, int code, const void* in, size_t in_size, void* out, size_t out_size,
                 uint64_t* out_used = nullptr)
{
    GenIoctlRequest req{code, -1, reinterpret_cast<uintptr_t>(in), in_size,
                        reinterpret_cast<uintptr_t>(out), out_size, 0};
    int done = ioctl(fd, TRACEIOCTL_SEND, &req) == 0 && req.error == 0;
    if (out_used)
        *out_used = req.outputSize;
    return done;
}

void request_loop(benchmark::State& state, int code, const void* in, size_t in_size)
{
    int fd = open_or_skip(state, "/dev/qptrace", O_RDWR);
    if (fd < 0)
        return;
    std::vector<char> input(static_cast<const char*>(in), static_cast<const char*>(in) + in_size);
    int64_t channel = bench_channel(fd);
    memcpy(input.data(), &channel, sizeof channel);
    for (auto _ : state) {
        GenIoctlRequest req{code, -1, reinterpret_cast<uintptr_t>(input.data()), input.size(), 0, 0, 0};
        if (ioctl(fd, TRACEIOCTL_SEND, &req) != 0 || req.error != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    close(fd);
}

void BM_Print(benchmark::State& state)
{
    char in[8 + sizeof bench_line];
    memcpy(in + 8, bench_line, sizeof bench_line);
    request_loop(state, TRACEIOPRINT, in, sizeof in);
}

// ---- a print beside a sleeping waiter ------------------------------------

void on_wake_signal(int) {}

// A child that, each time a byte comes down its token pipe, sleeps in a
// wait without timeout on channel "bench.sleeper" until SIGUSR1 ends it, and
// then answers a byte on its reply pipe; between the two it sits in the
// pipe read, where no channel knows of it.
struct Sleeper {
    pid_t pid = -1;
    int token_fd = -1, reply_fd = -1;

    bool start()
    {
        int token[2], reply[2];
        if (pipe(token) || pipe(reply))
            return false;
        pid = fork();
        if (pid == 0) {
            close(token[1]);
            close(reply[0]);
            struct sigaction action = {};
            action.sa_handler = on_wake_signal;
            sigaction(SIGUSR1, &action, nullptr);
            int fd = open("/dev/qptrace", O_RDWR | O_CLOEXEC);
            TRACEIOWAITPARAMS params{bench_channel(fd, "bench.sleeper"), uint64_t(1) << 40, -1};
            char byte;
            for (;;) {
                ssize_t got = read(token[0], &byte, 1);
                if (got == 0)
                    _exit(0);
                if (got < 0)
                    continue;
                TRACEIOWAITRESULTS res{};
                send_request(fd, TRACEIOWAIT, &params, sizeof params, &res, sizeof res);
                (void)!write(reply[1], "w", 1);
            }
        }
        close(token[0]);
        close(reply[1]);
        token_fd = token[1];
        reply_fd = reply[0];
        return pid > 0;
    }
    void sleep_now()
    {
        (void)!write(token_fd, "s", 1);
        usleep(20000); // in the wait by now
    }
    // Signals until the child says it is out of the wait: a signal that
    // came before it entered is lost on it.
    void wake_now()
    {
        pollfd reply = {reply_fd, POLLIN, 0};
        do
            kill(pid, SIGUSR1);
        while (poll(&reply, 1, 10) != 1);
        char byte;
        (void)!read(reply_fd, &byte, 1);
        usleep(20000); // back in its pipe read, as quiet as in the wait
    }
    ~Sleeper()
    {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        if (token_fd >= 0)
            close(token_fd);
        if (reply_fd >= 0)
            close(reply_fd);
    }
};

double seconds_now()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// Seconds for `count` prints of the 64-byte line.
double time_prints(int fd, const std::vector<char>& input, int count)
{
    double begin = seconds_now();
    for (int n = 0; n < count; n++)
        send_request(fd, TRACEIOPRINT, input.data(), input.size(), nullptr, 0);
    return seconds_now() - begin;
}

// The cost a sleeping reader puts on writers of other channels: blocks of
// prints with the waiter asleep and without, adjacent and in alternating
// order, so that a busy host slows both alike; the median of the rounds'
// ratios, or 0 when it cannot be measured.
double sleeper_ratio()
{
    const int rounds = 21, block = 2000;
    int fd = open("/dev/qptrace", O_RDWR | O_CLOEXEC);
    std::vector<char> input(8 + sizeof bench_line);
    int64_t channel = bench_channel(fd);
    memcpy(input.data(), &channel, 8);
    memcpy(input.data() + 8, bench_line, sizeof bench_line);
    Sleeper sleeper;
    if (fd < 0 || !sleeper.start())
        return 0;
    std::vector<double> ratios;
    for (int round = 0; round < rounds; round++) {
        double alone = 0, beside = 0;
        for (int half = 0; half < 2; half++) {
            bool asleep = (round + half) % 2 == 1;
            if (asleep) {
                sleeper.sleep_now();
                beside = time_prints(fd, input, block);
                sleeper.wake_now();
            } else {
                alone = time_prints(fd, input, block);
            }
        }
        ratios.push_back(beside / alone);
    }
    close(fd);
    std::sort(ratios.begin(), ratios.end());
    return ratios[ratios.size() / 2];
}

// A channel full of short lines: 8,191 complete ones and the line in
// progress.
int64_t full_channel(int fd)
{
    int64_t channel = bench_channel(fd, "bench.read");
    char in[8 + 64];
    memcpy(in, &channel, 8);
    for (int n = 0; n < TRACEBUFFER_INDEXSIZE; n++) {
        snprintf(in + 8, sizeof in - 8, "held line %d\n", n);
        send_request(fd, TRACEIOPRINT, in, 8 + strlen(in + 8) + 1, nullptr, 0);
    }
    return channel;
}

TRACEIOINFORESULTS channel_info(int fd, int64_t channel)
{
    TRACEIOINFORESULTS info{};
    send_request(fd, TRACEIOINFO, &channel, 8, &info, sizeof info);
    return info;
}

void BM_ReadBatches(benchmark::State& state)
{
    int fd = open_or_skip(state, "/dev/qptrace", O_RDWR);
    if (fd < 0)
        return;
    int64_t channel = full_channel(fd);
    std::vector<char> out(TRACEIO_MAX_BATCH);
    size_t requests = 0, lines = 0;
    for (auto _ : state) {
        TRACEIOINFORESULTS info = channel_info(fd, channel);
        requests++;
        for (uint64_t line = info.startLine; line < info.endLine;) {
            TRACEIOREADLINESPARAMS params{channel, line};
            TRACEIOREADLINESRESULTS head{};
            uint64_t used = 0;
            if (!send_request(fd, TRACEIOREADLINES, &params, sizeof params, out.data(), out.size(),
                              &used) || used < sizeof head) {
                state.SkipWithError("read-lines failed");
                break;
            }
            memcpy(&head, out.data(), sizeof head);
            requests++;
            lines += head.count;
            line = head.nextLine;
        }
    }
    state.counters["requests_per_8191_lines"] = double(requests) * 8191 / double(lines ? lines : 1);
    close(fd);
}

void BM_ReadSingly(benchmark::State& state)
{
    int fd = open_or_skip(state, "/dev/qptrace", O_RDWR);
    if (fd < 0)
        return;
    int64_t channel = full_channel(fd);
    char out[128];
    size_t requests = 0, lines = 0;
    for (auto _ : state) {
        TRACEIOINFORESULTS info = channel_info(fd, channel);
        requests++;
        for (uint64_t line = info.startLine; line < info.endLine; line++) {
            TRACEIOREADPARAMS params{channel, line};
            if (!send_request(fd, TRACEIOREAD, &params, sizeof params, out, sizeof out)) {
                state.SkipWithError("read failed");
                break;
            }
            requests++;
            lines++;
        }
    }
    state.counters["requests_per_8191_lines"] = double(requests) * 8191 / double(lines ? lines : 1);
    close(fd);
}

void BM_PrintLong(benchmark::State& state)
{
    char in[8 + 201];
    memset(in + 8, 'l', 199);
    in[8 + 199] = '\n';
    in[8 + 200] = 0;
    request_loop(state, TRACEIOPRINT, in, sizeof in);
}

void BM_NoOp(benchmark::State& state)
{
    char in[8] = {};
    request_loop(state, TRACEIODEFAULT, in, sizeof in);
}

void write_loop(benchmark::State& state, const char* path)
{
    int fd = open_or_skip(state, path, O_WRONLY);
    if (fd < 0)
        return;
    for (auto _ : state) {
        if (write(fd, bench_line, sizeof bench_line - 1) != sizeof bench_line - 1) {
            state.SkipWithError("write failed");
            break;
        }
    }
    close(fd);
}

void BM_TraceMarker(benchmark::State& state)
{
    write_loop(state, "/sys/kernel/tracing/trace_marker");
}

void BM_DevNull(benchmark::State& state)
{
    write_loop(state, "/dev/null");
}

BENCHMARK(BM_Print);
BENCHMARK(BM_PrintLong);
BENCHMARK(BM_NoOp);
BENCHMARK(BM_TraceMarker);
BENCHMARK(BM_DevNull);
BENCHMARK(BM_ReadBatches);
BENCHMARK(BM_ReadSingly);

// The console output as usual, and each benchmark's median time per
// iteration (or its single run's, without repetitions) kept for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // Plain text: no colour codes ahead of the ratio lines.
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
            bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
            if (!run.error_occurred && (median || single))
                ns_[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
    int PrintRatios() const
    {
        for (const char* name : {"BM_Print", "BM_PrintLong", "BM_NoOp", "BM_TraceMarker",
                                 "BM_DevNull", "BM_ReadBatches", "BM_ReadSingly"}) {
            if (!ns_.count(name)) {
                std::cout << "vmtest: FAIL bench: " << name << " did not run\n";
                return 1;
            }
        }
        double print = ns_.at("BM_Print");
        std::cout << std::fixed << std::setprecision(2)
                  << "vmtest: INFO ns per call: print " << print << ", no-op " << ns_.at("BM_NoOp")
                  << ", trace_marker " << ns_.at("BM_TraceMarker") << ", /dev/null "
                  << ns_.at("BM_DevNull") << "\n"
                  << "vmtest: INFO ratio print/no-op " << print / ns_.at("BM_NoOp")
                  << " (goal <= 1.5)\n"
                  << "vmtest: INFO ratio print/trace_marker " << print / ns_.at("BM_TraceMarker")
                  << " (goal <= 1.0)\n"
                  << "vmtest: INFO ratio print of 200 bytes/print of 64 "
                  << ns_.at("BM_PrintLong") / print << "\n"
                  << "vmtest: INFO reading 8,191 held lines: batches " << ns_.at("BM_ReadBatches") / 1000
                  << " us, one request per line " << ns_.at("BM_ReadSingly") / 1000
                  << " us, ratio single/batches " << ns_.at("BM_ReadSingly") / ns_.at("BM_ReadBatches")
                  << " (requests: see requests_per_8191_lines)\n"
                  << "vmtest: INFO ratio print with a waiter asleep on another channel/print "
                  << sleeper_ratio() << " (median of 21 paired blocks; goal <= 1.05)\n";
        std::cout << "vmtest: PASS bench" << std::endl;
        return 0;
    }

private:
    std::map<std::string, double> ns_;
};

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.PrintRatios();
}
