// Benchmarks of the remote protocol against a baseline measured in the same
// run: a synchronous remote_send round trip of 64 bytes over a socket pair
// (serialized mode) against a plain blocking write + read round trip with an
// echo thread on the same kind of pair; the same send with one descriptor
// attached; and the value packing of "iilz" there and back.
#include <benchmark/benchmark.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "qpremote.h"
#include "qpsocket.h"

namespace {

constexpr size_t message_size = 64;

bool read_exact(int fd, void* data, size_t size)
{
    size_t done = 0;
    while (done < size) {
        ssize_t n = read(fd, (char*)data + done, size - done);
        if (n <= 0) {
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

// Baseline: write 64 bytes, an echo thread reads and writes them back, read
// 64 bytes.
void BM_PlainWriteReadRoundTrip(benchmark::State& state)
{
    int fds[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, fds);
    std::thread echo([fd = fds[1]] {
        char buf[message_size];
        while (read_exact(fd, buf, sizeof buf) && write(fd, buf, sizeof buf) == sizeof buf) {
        }
    });
    char out[message_size] = {1}, in[message_size];
    for (auto _ : state) {
        if (write(fds[0], out, sizeof out) != sizeof out || !read_exact(fds[0], in, sizeof in)) {
            state.SkipWithError("transfer failed");
            break;
        }
    }
    shutdown(fds[0], SHUT_RDWR);
    echo.join();
    close(fds[0]);
    close(fds[1]);
}
BENCHMARK(BM_PlainWriteReadRoundTrip)->UseRealTime();

// The serving end answers with its input and closes any descriptor.
const remote_receive_i_vtbl_t echo_vtbl = {
    [](remote_receive_i*) {},
    [](remote_receive_i*, int) {},
    [](remote_receive_i*, int, size_t*, size_t*) {},
    [](remote_receive_i*, remote_req_i* req) {
        fd_close((*req)->input_fd(req, 0));
        (*req)->complete(req, 0, 0, (*req)->input(req), (*req)->input_size(req));
    },
};

void remote_round_trips(benchmark::State& state, bool with_fd)
{
    remote_receive_i echo = &echo_vtbl;
    remote_receive_i* receive = &echo;
    int server_fd, client_fd;
    file_create_socket(&server_fd, &client_fd);
    int fd_flags = with_fd ? remote_flag_receive_fd | remote_flag_send_fd : 0;
    remote_i *server, *client;
    remote_factory_d(&server, nullptr, remote_flag_receive | remote_flag_serialize | fd_flags,
                     &server_fd, nullptr, &receive);
    remote_factory_d(&client, nullptr, remote_flag_send | remote_flag_serialize | fd_flags,
                     &client_fd, nullptr, nullptr);
    int pipe_fds[2];
    file_create_pipe(&pipe_fds[0], &pipe_fds[1]);
    int in_fds[remote_max_fd_count] = {pipe_fds[1], -1, -1, -1, -1, -1, -1, -1};
    char out[message_size] = {1}, in[message_size];
    for (auto _ : state) {
        size_t size = 0;
        int err = remote_send(client, nullptr, sync_timeout_none, 1, out, sizeof out,
                              with_fd ? in_fds : nullptr, nullptr, in, sizeof in, &size, nullptr);
        if (err || size != sizeof in) {
            state.SkipWithError("send failed");
            break;
        }
    }
    (*client)->release(client);
    (*server)->release(server);
    fd_close(pipe_fds[0]);
    fd_close(pipe_fds[1]);
    while (__atomic_load_n(&g_qp_remote_count, __ATOMIC_ACQUIRE)) {
        std::this_thread::yield();
    }
}

void BM_RemoteSendRoundTrip(benchmark::State& state)
{
    remote_round_trips(state, false);
}
BENCHMARK(BM_RemoteSendRoundTrip)->UseRealTime();

void BM_RemoteSendRoundTripWithFd(benchmark::State& state)
{
    remote_round_trips(state, true);
}
BENCHMARK(BM_RemoteSendRoundTripWithFd)->UseRealTime();

void BM_PackUnpackIilz(benchmark::State& state)
{
    unsigned char buffer[64];
    char text[32];
    for (auto _ : state) {
        size_t size;
        remote_pack_vals_2(buffer, sizeof buffer, &size, "iilz", 1, 2, (int64_t)3, "name=value");
        qp_mp2_t pool;
        qp_mp2_init(&pool, text, sizeof text);
        int a, b;
        int64_t c;
        char* z;
        remote_unpack_vals_d(&pool.vtbl, buffer, size, "iilz", &a, &b, &c, &z);
        benchmark::DoNotOptimize(z);
        qp_mp2_reset(&pool.base);
    }
}
BENCHMARK(BM_PackUnpackIilz);

} // namespace
