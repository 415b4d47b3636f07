// Benchmarks of the local plumbing, baselines measured in the same run: a
// 64-byte round trip over a socket pair through the asynchronous workers
// against the same round trip with plain blocking write/read, both against
// one echo thread doing blocking read/write; and descriptor passing round
// trips (send, receive, acknowledge).
#include <benchmark/benchmark.h>

#include <atomic>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "qpsocket.h"

namespace {

const size_t message_size = 64;

// Reads whole messages and writes them back until the end of data.
void echo(int fd)
{
    char buf[message_size];
    for (;;) {
        size_t got = 0;
        while (got < message_size) {
            ssize_t n = read(fd, buf + got, message_size - got);
            if (n <= 0)
                return;
            got += static_cast<size_t>(n);
        }
        if (write(fd, buf, message_size) != static_cast<ssize_t>(message_size))
            return;
    }
}

struct echo_pair {
    int client = -1, server = -1;
    std::thread echoer;
    echo_pair()
    {
        file_create_socket(&client, &server);
        echoer = std::thread(echo, server);
    }
    ~echo_pair()
    {
        shutdown(client, SHUT_RDWR);
        echoer.join();
        fd_close(client);
        fd_close(server);
    }
};

void BM_BlockingRoundTrip64(benchmark::State& state)
{
    echo_pair pair;
    char out[message_size] = {1}, in[message_size];
    for (auto _ : state) {
        if (write(pair.client, out, message_size) != static_cast<ssize_t>(message_size))
            state.SkipWithError("write");
        size_t got = 0;
        while (got < message_size) {
            ssize_t n = read(pair.client, in + got, message_size - got);
            if (n <= 0) {
                state.SkipWithError("read");
                break;
            }
            got += static_cast<size_t>(n);
        }
    }
}
BENCHMARK(BM_BlockingRoundTrip64)->UseRealTime();

void count_sent(void* param, int err, size_t)
{
    if (!err)
        static_cast<std::atomic<int>*>(param)->fetch_add(1, std::memory_order_relaxed);
}

void signal_received(void* param, int, size_t)
{
    sema_signal(static_cast<sema_t*>(param));
}

// The caller waits for the answer only: the worker completes the send
// before it can see the answer to it.
void BM_AsyncRoundTrip64(benchmark::State& state)
{
    echo_pair pair;
    char out[message_size] = {1}, in[message_size];
    std::atomic<int> sent{0};
    sema_t received;
    sema_init(&received, 0);
    for (auto _ : state) {
        fd_send_async(pair.client, 0, nullptr, -1, count_sent, &sent, out, message_size);
        fd_recv_async(pair.client, 0, nullptr, -1, signal_received, &received, in, message_size,
                      message_size);
        sema_wait(&received, nullptr, -1);
    }
    if (sent.load() != static_cast<int>(state.iterations()))
        state.SkipWithError("send");
    sema_term(&received);
}
BENCHMARK(BM_AsyncRoundTrip64)->UseRealTime();

// One descriptor per iteration, passed and acknowledged.
void BM_FdPassingRoundTrip(benchmark::State& state)
{
    int a, b;
    file_create_socket(&a, &b);
    std::thread receiver([b] {
        for (;;) {
            int fd;
            if (file_receive_fd_v1(b, 0, nullptr, &fd))
                return;
            fd_close(fd);
        }
    });
    for (auto _ : state)
        if (file_send_fd_v1(a, 0, nullptr, a))
            state.SkipWithError("send");
    shutdown(a, SHUT_RDWR);
    receiver.join();
    fd_close(a);
    fd_close(b);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_FdPassingRoundTrip)->UseRealTime();

} // namespace
