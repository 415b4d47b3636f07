// Tests of the descriptor utilities, the readiness waits, the synchronous
// transfers, the poll set and the asynchronous workers.
#include "ipctest.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <pty.h>
#include <random>
#include <set>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <vector>

#include "qperr.h"
#include "qptraces.h"

namespace {

bool is_cloexec(int fd)
{
    return (fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

struct socket_pair {
    int a = -1, b = -1;
    socket_pair() { EXPECT_EQ(0, file_create_socket(&a, &b)); }
    ~socket_pair() { close_both(); }
    void close_a() { fd_close(a), a = -1; }
    void close_b() { fd_close(b), b = -1; }
    void close_both() { close_a(), close_b(); }
};

// Socket pairs, one-way pipes and duplicates are close-on-exec and above the
// standard slots; a one-way pipe carries data only from its write end.
TEST(QpDescriptors, PairsPipesAndDuplicates)
{
    socket_pair pair;
    EXPECT_GT(pair.a, 2);
    EXPECT_TRUE(is_cloexec(pair.a) && is_cloexec(pair.b));
    EXPECT_EQ(1, write(pair.a, "x", 1));
    char c = 0;
    EXPECT_EQ(1, read(pair.b, &c, 1));

    int r, w;
    ASSERT_EQ(0, file_create_pipe(&r, &w));
    EXPECT_TRUE(is_cloexec(r) && is_cloexec(w));
    EXPECT_EQ(1, write(w, "y", 1));
    EXPECT_EQ(1, read(r, &c, 1));
    EXPECT_EQ('y', c);
    EXPECT_EQ(-1, send(r, "z", 1, MSG_NOSIGNAL)); // the read end cannot write
    EXPECT_EQ(EPIPE, errno);
    fd_close(w);
    EXPECT_EQ(0, read(r, &c, 1)); // end of data once the writer is gone
    fd_close(r);

    int dup = 5;
    EXPECT_EQ(err_bad_parameter, file_duplicate(&dup, -1));
    EXPECT_EQ(-1, dup);
    ASSERT_EQ(0, file_duplicate(&dup, pair.a));
    EXPECT_TRUE(is_cloexec(dup));
    EXPECT_NE(pair.a, dup);
    fd_close(dup);
}

// The blocking flags toggle O_NONBLOCK; -1 is ignored.
TEST(QpDescriptors, BlockingFlags)
{
    socket_pair pair;
    fd_set_non_blocking(pair.a);
    EXPECT_TRUE(fcntl(pair.a, F_GETFL) & O_NONBLOCK);
    fd_set_blocking(pair.a);
    EXPECT_FALSE(fcntl(pair.a, F_GETFL) & O_NONBLOCK);
    fd_set_blocking(-1);
    fd_set_non_blocking(-1);
    fd_set_cloexec(-1);
}

// Closed standard slots get /dev/null with the right direction; closing a
// standard stream leaves /dev/null in its place.
void close_and_prep_standard_slots()
{
    close(0);
    close(2);
    file_prep_stdio();
    int in_mode = fcntl(0, F_GETFL) & O_ACCMODE, err_mode = fcntl(2, F_GETFL) & O_ACCMODE;
    file_close_stdout();
    struct stat st, null_st;
    stat("/dev/null", &null_st);
    fstat(1, &st);
    bool ok = in_mode == O_RDONLY && err_mode == O_WRONLY && st.st_rdev == null_st.st_rdev &&
              !(fcntl(1, F_GETFD) & FD_CLOEXEC);
    _exit(ok ? 0 : 1);
}

TEST(QpDescriptorsDeathTest, StandardSlots)
{
    EXPECT_EXIT(close_and_prep_standard_slots(), testing::ExitedWithCode(0), "");
}

// Echo off clears ECHO and ECHONL once (17 the second time); echo on sets
// them back once; a descriptor that is no terminal reports the error.
TEST(QpDescriptors, EchoOffAndOn)
{
    int master, slave;
    ASSERT_TRUE(open_echoing_pty(&master, &slave));
    struct termios tio;
    EXPECT_EQ(0, file_echo_off(slave, 0));
    tcgetattr(slave, &tio);
    EXPECT_FALSE(tio.c_lflag & (ECHO | ECHONL));
    EXPECT_EQ(err_exists, file_echo_off(slave, 0));
    EXPECT_EQ(0, file_echo_on(slave, 0));
    tcgetattr(slave, &tio);
    EXPECT_TRUE((tio.c_lflag & ECHO) && (tio.c_lflag & ECHONL));
    EXPECT_EQ(err_exists, file_echo_on(slave, 0));
    close(master);
    close(slave);
    socket_pair pair;
    EXPECT_EQ(ENOTTY, file_echo_off(pair.a, 0));
}

// A readiness wait ends with 0 when ready, 110 at its timeout, 125 when its
// cancel pin fires (also one fired before), 9 for descriptor -1.
TEST(QpWaitReady, ReadyTimeoutCancel)
{
    socket_pair pair;
    pin_t cancel;
    pin_init(&cancel);
    EXPECT_EQ(0, fd_wait_ready(pair.a, &cancel.vtbl, 1000, qp_io_direction_send));
    int64_t start = now_msecs();
    EXPECT_EQ(err_timeout, fd_wait_ready(pair.a, &cancel.vtbl, 100, qp_io_direction_recv));
    int64_t took = now_msecs() - start;
    EXPECT_GE(took, 95);
    EXPECT_LT(took, 2000);
    std::thread canceller([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        pin_signal(&cancel);
    });
    EXPECT_EQ(err_cancelled, fd_wait_ready(pair.a, &cancel.vtbl, -1, qp_io_direction_recv));
    canceller.join();
    EXPECT_EQ(err_cancelled, fd_wait_ready(pair.a, &cancel.vtbl, -1, qp_io_direction_recv));
    EXPECT_EQ(err_bad_fd, fd_wait_ready(-1, nullptr, 10, qp_io_direction_recv));
    EXPECT_EQ(1, write(pair.b, "x", 1));
    EXPECT_EQ(0, fd_wait_ready(pair.a, nullptr, -1, qp_io_direction_recv));
    pin_term(&cancel);
}

// A prepared wait is reusable and keeps its cancel pipe between waits.
TEST(QpWaitReady, PreparedWaitRepeats)
{
    socket_pair pair;
    pin_t cancel;
    pin_init(&cancel);
    file_wait_ready_t w;
    ASSERT_EQ(0, file_wait_ready_init(&w, pair.a, qp_io_direction_recv, &cancel.vtbl, 20));
    for (int i = 0; i < 3; i++)
        EXPECT_EQ(err_timeout, file_wait_ready(&w));
    EXPECT_EQ(1, write(pair.b, "x", 1));
    EXPECT_EQ(0, file_wait_ready(&w));
    file_wait_ready_term(&w);
    pin_term(&cancel);
}

// Synchronous receive: what arrived below the minimum is reported with the
// reason (32 at end of data), a short part at or above it ends the call.
TEST(QpTransfer, SynchronousRecvAndSend)
{
    socket_pair pair;
    char buf[16];
    size_t got = 99;
    ASSERT_EQ(0, fd_send(pair.b, 0, nullptr, -1, "abc", 3, &got));
    EXPECT_EQ(3u, got);
    EXPECT_EQ(0, fd_recv(pair.a, 0, nullptr, -1, buf, 1, sizeof(buf), &got));
    EXPECT_EQ(3u, got);
    ASSERT_EQ(0, fd_send(pair.b, 0, nullptr, -1, "abc", 3, &got));
    pair.close_b();
    EXPECT_EQ(err_broken_pipe, fd_recv(pair.a, 0, nullptr, -1, buf, 8, 8, &got));
    EXPECT_EQ(3u, got);
    EXPECT_EQ(err_broken_pipe, fd_recv(pair.a, 0, nullptr, -1, buf, 1, 8, &got));
    EXPECT_EQ(0u, got);
    EXPECT_EQ(err_bad_fd, fd_recv(-1, 0, nullptr, -1, buf, 1, 8, &got));
}

// A send larger than the socket buffer completes while a reader drains it;
// a timeout below the minimum is reported.
TEST(QpTransfer, LargeSendAndTimeout)
{
    socket_pair pair;
    std::vector<char> data(4 << 20, 'q'), back(data.size());
    size_t got = 0, sent = 0;
    std::thread reader([&] {
        EXPECT_EQ(0, fd_recv(pair.b, 0, nullptr, 5000, back.data(), back.size(), back.size(), &got));
    });
    EXPECT_EQ(0, fd_send(pair.a, 0, nullptr, 5000, data.data(), data.size(), &sent));
    reader.join();
    EXPECT_EQ(data.size(), sent);
    EXPECT_EQ(data.size(), got);
    EXPECT_TRUE(data == back);
    char c;
    EXPECT_EQ(err_timeout, fd_recv(pair.a, 0, nullptr, 50, &c, 1, 1, &got));
}

// ---- poll set ------------------------------------------------------------------

// A set with more entries than its table asks for another pass after
// growing; then every entry is checked by its position.
TEST(QpPollSet, GrowsAndChecks)
{
    std::vector<socket_pair> pairs(5);
    fd_wait_t set;
    fd_wait_init(&set);
    uint64_t deadline = UINT64_MAX;
    int err;
    std::vector<unsigned> pos(5);
    ASSERT_EQ(1, write(pairs[3].b, "x", 1));
    do {
        fd_wait_reset(&set);
        for (int i = 0; i < 5; i++)
            pos[i] = fd_wait_add(&set, pairs[i].a, qp_io_direction_recv);
        err = fd_wait_wait(&set, &deadline, 1000);
    } while (err == err_retry);
    EXPECT_EQ(0, err);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(i == 3, fd_wait_check(&set, pos[i], pairs[i].a, qp_io_direction_recv) != 0) << i;
    deadline = UINT64_MAX;
    fd_wait_reset(&set);
    pos[0] = fd_wait_add(&set, pairs[0].a, qp_io_direction_recv);
    EXPECT_EQ(err_timeout, fd_wait_wait(&set, &deadline, 10));
    EXPECT_NE(UINT64_MAX, deadline);
    fd_wait_term(&set);
}

// ---- asynchronous transfers ---------------------------------------------------------

// A receive that gets 3 of 8 bytes and then end of data completes with 0
// and 3; one that gets nothing completes with 32 and 0.
TEST(QpAsync, PartialAndEmptyReceive)
{
    socket_pair pair;
    char buf[8];
    completion_recorder partial;
    fd_recv_async(pair.a, 0, nullptr, -1, completion_recorder::complete, &partial, buf, 8, 8);
    ASSERT_EQ(3, write(pair.b, "abc", 3));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pair.close_b();
    ASSERT_TRUE(partial.wait());
    EXPECT_EQ(0, partial.err);
    EXPECT_EQ(3u, partial.size);
    EXPECT_EQ(0, memcmp(buf, "abc", 3));

    socket_pair empty;
    completion_recorder nothing;
    fd_recv_async(empty.a, 0, nullptr, -1, completion_recorder::complete, &nothing, buf, 8, 8);
    empty.close_b();
    ASSERT_TRUE(nothing.wait());
    EXPECT_EQ(err_broken_pipe, nothing.err);
    EXPECT_EQ(0u, nothing.size);
}

// A zero-byte send completes at once on the caller's thread with 0; a
// descriptor of -1 fails at once with 9.
TEST(QpAsync, ImmediateCompletions)
{
    socket_pair pair;
    completion_recorder zero, bad;
    fd_send_async(pair.a, 0, nullptr, -1, completion_recorder::complete, &zero, "", 0);
    EXPECT_EQ(1, zero.calls_now());
    EXPECT_EQ(0, zero.err);
    EXPECT_EQ(0u, zero.size);
    EXPECT_EQ(std::this_thread::get_id(), zero.thread);
    char c;
    fd_recv_async(-1, 0, nullptr, -1, completion_recorder::complete, &bad, &c, 1, 1);
    EXPECT_EQ(1, bad.calls_now());
    EXPECT_EQ(err_bad_fd, bad.err);
}

// Queued I/Os end by their own deadlines (110) and cancel pins (125) while
// the others on the same worker stay queued and complete normally.
TEST(QpAsync, DeadlinesAndCancelPinsOnQueuedIos)
{
    std::vector<socket_pair> pairs(4);
    pin_t cancel;
    pin_init(&cancel);
    char bufs[4][4];
    completion_recorder short_timeout, long_timeout, cancelled, normal;
    int64_t start = now_msecs();
    fd_recv_async(pairs[0].a, 0, nullptr, 100, completion_recorder::complete, &short_timeout, bufs[0], 1, 4);
    fd_recv_async(pairs[1].a, 0, nullptr, 400, completion_recorder::complete, &long_timeout, bufs[1], 1, 4);
    fd_recv_async(pairs[2].a, 0, &cancel.vtbl, -1, completion_recorder::complete, &cancelled, bufs[2], 1, 4);
    fd_recv_async(pairs[3].a, 0, &cancel.vtbl, -1, completion_recorder::complete, &normal, bufs[3], 1, 4);
    ASSERT_EQ(1, write(pairs[3].b, "n", 1));
    ASSERT_TRUE(normal.wait());
    EXPECT_EQ(0, normal.err);
    EXPECT_EQ(1u, normal.size);
    ASSERT_TRUE(short_timeout.wait());
    int64_t short_took = now_msecs() - start;
    EXPECT_EQ(err_timeout, short_timeout.err);
    EXPECT_GE(short_took, 95);
    EXPECT_EQ(0, long_timeout.calls_now());
    EXPECT_EQ(0, cancelled.calls_now());
    pin_signal(&cancel);
    ASSERT_TRUE(cancelled.wait());
    EXPECT_EQ(err_cancelled, cancelled.err);
    ASSERT_TRUE(long_timeout.wait());
    EXPECT_EQ(err_timeout, long_timeout.err);
    EXPECT_GE(now_msecs() - start, 395);
    pin_term(&cancel);
}

// A send to a peer that never reads stays queued until its cancel pin
// fires; the part already moved is reported with error 0.
TEST(QpAsync, SendBlockedUntilCancelled)
{
    socket_pair pair;
    pin_t cancel;
    pin_init(&cancel);
    std::vector<char> data(8 << 20, 'd');
    completion_recorder sent;
    fd_send_async(pair.a, 0, &cancel.vtbl, -1, completion_recorder::complete, &sent, data.data(), data.size());
    EXPECT_FALSE(sent.wait(200));
    pin_signal(&cancel);
    ASSERT_TRUE(sent.wait());
    EXPECT_EQ(0, sent.err);
    EXPECT_GT(sent.size, 0u);
    EXPECT_LT(sent.size, data.size());
    pin_term(&cancel);
}

// More than 200 pending I/Os are spread over a second worker, and each
// completes once.
TEST(QpAsync, MoreThan200IosUseASecondWorker)
{
    const int count = 260;
    std::vector<socket_pair> pairs(count);
    std::vector<completion_recorder> done(count);
    std::vector<char> bufs(count);
    for (int i = 0; i < count; i++)
        fd_recv_async(pairs[i].a, 0, nullptr, 10000, completion_recorder::complete, &done[i], &bufs[i], 1, 1);
    for (int i = 0; i < count; i++)
        ASSERT_EQ(1, write(pairs[i].b, "w", 1));
    std::set<std::thread::id> workers;
    for (int i = 0; i < count; i++) {
        ASSERT_TRUE(done[i].wait()) << i;
        EXPECT_EQ(0, done[i].err);
        EXPECT_EQ(1, done[i].calls);
        workers.insert(done[i].thread);
    }
    EXPECT_GE(workers.size(), 2u);
}

// A completion may queue the next I/O itself; a chain of receives on one
// socket delivers the bytes in order.
struct chain_state {
    int fd;
    char buf[1];
    std::string seen;
    completion_recorder finished;
};

void chain_step(void* param, int err, size_t size)
{
    auto* state = static_cast<chain_state*>(param);
    if (err || size != 1) {
        completion_recorder::complete(&state->finished, err, state->seen.size());
        return;
    }
    state->seen += state->buf[0];
    fd_recv_async(state->fd, 0, nullptr, 5000, chain_step, state, state->buf, 1, 1);
}

TEST(QpAsync, CompletionQueuesTheNextIo)
{
    socket_pair pair;
    chain_state state;
    state.fd = pair.a;
    fd_recv_async(pair.a, 0, nullptr, 5000, chain_step, &state, state.buf, 1, 1);
    ASSERT_EQ(5, write(pair.b, "hello", 5));
    pair.close_b();
    ASSERT_TRUE(state.finished.wait());
    EXPECT_EQ(err_broken_pipe, state.finished.err);
    EXPECT_EQ("hello", state.seen);
}

// With a trace API attached, a receive writes its steps on "qppacket".
void trace_one_receive()
{
    trbuffer_initializer();
    traceExports = &traceexports1;
    traceClient = traceexports1.trattach();
    socket_pair pair;
    completion_recorder done;
    char c;
    fd_recv_async(pair.a, 0, nullptr, -1, completion_recorder::complete, &done, &c, 1, 1);
    if (write(pair.b, "x", 1) != 1 || !done.wait())
        _exit(1);
    TRCHANNEL channel = tropen("qppacket");
    size_t start = 0, end = 0;
    TraceInfo(nullptr, channel, &start, &end, nullptr);
    std::string text;
    for (size_t line = start; line < end; line++) {
        char out[512];
        TraceRead(nullptr, channel, line, out, sizeof(out));
        text += out;
    }
    bool ok = true;
    for (const char* step : {" fd_recv_async recv io=0x", " poll fd_count=", " poll res=", " ready io=0x",
                             " transfer io=0x", " complete io=0x", " err=0 siz=1"})
        ok = ok && text.find(step) != std::string::npos;
    if (!ok)
        fprintf(stderr, "%s", text.c_str());
    _exit(ok ? 0 : 2);
}

TEST(QpAsyncDeathTest, TraceLines)
{
    EXPECT_EXIT(trace_one_receive(), testing::ExitedWithCode(0), "");
}

// Stress: threads issue sends and receives over socket pairs with random
// cancels and timeouts; every completion runs exactly once and no
// descriptor stays open.
TEST(QpAsyncStress, RandomCancelsAndTimeouts)
{
    const int thread_count = 6, rounds = 400;
    int fds_before = open_fd_count();
    std::atomic<int> completions{0}, issued{0}, twice{0};
    auto worker = [&](unsigned seed) {
        std::mt19937 random(seed);
        for (int round = 0; round < rounds; round++) {
            socket_pair pair;
            pin_t cancel;
            pin_init(&cancel);
            struct call {
                std::atomic<int> count{0};
                std::atomic<int>* total;
                std::atomic<int>* twice;
                char buf[256];
            } recv_call, send_call;
            for (call* c : {&recv_call, &send_call}) {
                c->total = &completions;
                c->twice = &twice;
            }
            auto complete = [](void* param, int, size_t) {
                call* c = static_cast<call*>(param);
                std::atomic<int>* total = c->total;
                std::atomic<int>* twice = c->twice;
                total->fetch_add(1);
                if (c->count.fetch_add(1) != 0) // the last use of c: its owner may go now
                    twice->fetch_add(1);
            };
            int recv_timeout = static_cast<int>(random() % 30) - 1;
            size_t size = 1 + random() % sizeof(send_call.buf);
            issued += 2;
            fd_recv_async(pair.a, 0, &cancel.vtbl, recv_timeout, complete, &recv_call, recv_call.buf,
                          size, size);
            if (random() % 3 == 0)
                pin_signal(&cancel);
            fd_send_async(pair.b, 0, &cancel.vtbl, static_cast<int>(random() % 30), complete,
                          &send_call, send_call.buf, size);
            if (random() % 2)
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            pin_signal(&cancel);
            while (recv_call.count.load() == 0 || send_call.count.load() == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            pin_term(&cancel);
        }
    };
    std::vector<std::thread> threads;
    for (int i = 0; i < thread_count; i++)
        threads.emplace_back(worker, 1234u + static_cast<unsigned>(i));
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(issued.load(), completions.load());
    EXPECT_EQ(0, twice.load());
    EXPECT_EQ(fds_before, open_fd_count());
}

} // namespace
