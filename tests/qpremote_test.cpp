// Tests of the remote request protocol. The wire is checked byte by byte
// against a raw peer on a socket pair (plain reads, writes and SCM_RIGHTS
// messages written here, not this library); the library then talks to
// itself for the synchronous forms and the formatted send.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qperr.h"
#include "qppin.h"
#include "qpremote.h"
#include "qpsocket.h"
#include "qpremote_testutil.h"

namespace {

constexpr int wait_msecs = 5000;

// ---- the raw peer ------------------------------------------------------------

// Reads exactly size bytes (false on end of data or after the wait).
bool read_exact(int fd, void* data, size_t size, int msecs = wait_msecs)
{
    size_t done = 0;
    while (done < size) {
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, msecs) != 1) {
            return false;
        }
        ssize_t n = read(fd, (char*)data + done, size - done);
        if (n <= 0) {
            return false;
        }
        done += (size_t)n;
    }
    return true;
}

void write_all(int fd, const void* data, size_t size)
{
    ASSERT_EQ((ssize_t)size, write(fd, data, size));
}

// Whether nothing arrives within msecs.
bool quiet(int fd, int msecs)
{
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, msecs) == 0;
}

// True once the peer has closed its end.
bool closed_by_peer(int fd, int msecs = wait_msecs)
{
    char byte;
    pollfd p = {fd, POLLIN, 0};
    return poll(&p, 1, msecs) == 1 && read(fd, &byte, 1) == 0;
}

struct Packet {
    remote_packet_t header{};
    std::vector<unsigned char> data; // padded
};

// One packet as the library wrote it.
bool read_packet(int fd, Packet* p)
{
    if (!read_exact(fd, &p->header, sizeof p->header)) {
        return false;
    }
    p->data.assign((p->header.data_size + 15) & ~15u, 0xEE);
    return p->data.empty() || read_exact(fd, p->data.data(), p->data.size());
}

void write_packet(int fd, const remote_packet_t& h, const void* data = nullptr)
{
    std::vector<unsigned char> bytes(sizeof h + ((h.data_size + 15) & ~15u), 0);
    memcpy(bytes.data(), &h, sizeof h);
    if (h.data_size) {
        memcpy(bytes.data() + sizeof h, data, h.data_size);
    }
    write_all(fd, bytes.data(), bytes.size());
}

remote_packet_t result_header(uint64_t cookie, int perr = 0, int result = 0, uint32_t size = 0)
{
    remote_packet_t h{};
    h.cookie = cookie;
    h.flags = remote_packet_flag_result;
    h.perr = perr;
    h.result = result;
    h.data_size = size;
    return h;
}

remote_packet_t request_header(uint64_t cookie, int code, uint32_t size, uint32_t max_output,
                               uint8_t fd_mask = 0)
{
    remote_packet_t h{};
    h.cookie = cookie;
    h.code = code;
    h.data_size = size;
    h.max_output_size = max_output;
    h.fd_mask = fd_mask;
    return h;
}

// One descriptor as the descriptor channel carries it: one byte 0 with an
// SCM_RIGHTS message, then the receiver's one-byte acknowledgement.
void raw_send_fd(int channel, int fd)
{
    char byte = 0;
    iovec iov = {&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(c), &fd, sizeof fd);
    ASSERT_EQ(1, sendmsg(channel, &msg, MSG_NOSIGNAL));
    char ack;
    ASSERT_TRUE(read_exact(channel, &ack, 1));
}

// Receives one descriptor and acknowledges it; -1 when none came.
int raw_receive_fd(int channel)
{
    char byte;
    iovec iov = {&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    pollfd p = {channel, POLLIN, 0};
    if (poll(&p, 1, wait_msecs) != 1 || recvmsg(channel, &msg, MSG_CMSG_CLOEXEC) != 1) {
        return -1;
    }
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    int fd = -1;
    if (c && c->cmsg_type == SCM_RIGHTS) {
        memcpy(&fd, CMSG_DATA(c), sizeof fd);
    }
    char ack = 0;
    EXPECT_EQ(1, write(channel, &ack, 1));
    return fd;
}

// ---- completions -------------------------------------------------------------

struct Completion {
    int calls = 0;
    int err = -1;
    int result = 0;
    std::string output;
    bool output_null = true;
    bool zero_tail = false; // the 11 bytes after the output are zero
    int fds[remote_max_fd_count];
};

// Records completions by parameter and counts every call.
struct CompletionParam;

struct Completions {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Completion> slots;
    std::vector<CompletionParam> params; // one per slot: the completion's parameter
    int total = 0;
    bool take_fds = false;

    explicit Completions(size_t count);

    static void complete(void* param, int err, int result, void* output, size_t output_size,
                         int* output_fds);

    bool wait_total(int count, int msecs = wait_msecs)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(msecs),
                                [&] { return total >= count; });
    }
};

struct CompletionParam {
    Completions* all;
    size_t index;
};

Completions::Completions(size_t count) : slots(count)
{
    for (size_t i = 0; i < count; i++) {
        params.push_back({this, i});
    }
}

void Completions::complete(void* param, int err, int result, void* output, size_t output_size,
                           int* output_fds)
{
    CompletionParam* p = (CompletionParam*)param;
    std::lock_guard<std::mutex> guard(p->all->lock);
    Completion& c = p->all->slots[p->index];
    c.calls++;
    c.err = err;
    c.result = result;
    c.output_null = output == nullptr;
    c.output.assign((const char*)output, output ? output_size : 0);
    c.zero_tail = output && std::string((const char*)output + output_size, remote_zero_tail_size) ==
                                std::string(remote_zero_tail_size, '\0');
    for (int i = 0; i < remote_max_fd_count; i++) {
        c.fds[i] = output_fds[i];
        if (p->all->take_fds) {
            output_fds[i] = -1;
        }
    }
    p->all->total++;
    p->all->changed.notify_all();
}

// A connection of the library on one end of a socket pair and the raw
// peer on the other.
struct Pair {
    int peer = -1;
    remote_i* rm = nullptr;

    explicit Pair(int flags, remote_receive_i* receive = nullptr)
    {
        int mine = -1;
        EXPECT_EQ(0, file_create_socket(&mine, &peer));
        EXPECT_EQ(0, remote_factory_d(&rm, nullptr, flags, &mine, nullptr,
                                      receive ? &receive : nullptr));
        EXPECT_EQ(-1, mine);
    }
    ~Pair()
    {
        if (rm) {
            (*rm)->release(rm);
        }
        fd_close(peer);
    }
    void send(Completions& all, size_t index, int code, const std::string& input = "",
              int timeout = sync_timeout_none, const int* fds = nullptr, size_t max_output = 256)
    {
        (*rm)->send_async(rm, nullptr, timeout, code, input.data(), input.size(), fds,
                          max_output, Completions::complete, &all.params[index]);
    }
};

constexpr int send_flags = remote_flag_send;

// ---- wire format of requests -------------------------------------------------

// A request without data is one 32-byte write: cookie 1, the code, the
// output limit, everything else zero.
TEST(RemoteWire, EmptyRequestIsOneHeader)
{
    Pair pair(send_flags);
    Completions all(1);
    pair.send(all, 0, 0x01020304, "", sync_timeout_none, nullptr, 77);

    unsigned char bytes[64];
    pollfd p = {pair.peer, POLLIN, 0};
    ASSERT_EQ(1, poll(&p, 1, wait_msecs));
    ASSERT_EQ(32, read(pair.peer, bytes, sizeof bytes));
    const unsigned char expected[32] = {1, 0, 0, 0, 0, 0, 0, 0, 0, 0,  0, 0, 0, 0, 0, 0,
                                        4, 3, 2, 1, 77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, memcmp(expected, bytes, 32));
    write_packet(pair.peer, result_header(1, 0, 5));
    ASSERT_TRUE(all.wait_total(1));
    EXPECT_EQ(0, all.slots[0].err);
    EXPECT_EQ(5, all.slots[0].result);
}

// One byte of data is padded with zeros to 16.
TEST(RemoteWire, DataPaddedTo16)
{
    Pair pair(send_flags);
    Completions all(1);
    pair.send(all, 0, 9, "x");

    unsigned char bytes[64];
    ASSERT_TRUE(read_exact(pair.peer, bytes, 48));
    EXPECT_TRUE(quiet(pair.peer, 50));
    remote_packet_t h;
    memcpy(&h, bytes, sizeof h);
    EXPECT_EQ(1u, h.data_size);
    EXPECT_EQ('x', bytes[32]);
    for (int i = 33; i < 48; i++) {
        EXPECT_EQ(0, bytes[i]) << i;
    }
    write_packet(pair.peer, result_header(1));
    ASSERT_TRUE(all.wait_total(1));
}

// Cookies count 1, 2, 3 per connection; results answered out of order
// (and arriving in one piece) complete the right requests with their own
// result and data, and each exactly once.
TEST(RemoteWire, CookiesAndOutOfOrderResults)
{
    Pair pair(send_flags);
    Completions all(3);
    for (size_t i = 0; i < 3; i++) {
        pair.send(all, i, 100 + (int)i, std::string(i * 20, 'a'));
    }
    for (uint64_t cookie = 1; cookie <= 3; cookie++) {
        Packet p;
        ASSERT_TRUE(read_packet(pair.peer, &p));
        EXPECT_EQ(cookie, p.header.cookie);
        EXPECT_EQ(99 + (int)cookie, p.header.code);
        EXPECT_EQ((cookie - 1) * 20, p.header.data_size);
    }
    // All three in one write: the reader takes them apart.
    std::string stream;
    const uint64_t order[3] = {3, 1, 2};
    for (uint64_t cookie : order) {
        std::string answer = "answer " + std::to_string(cookie);
        remote_packet_t h = result_header(cookie, 0, (int)cookie * 10, (uint32_t)answer.size());
        stream.append((const char*)&h, sizeof h);
        stream += answer;
        stream.append(16 - answer.size() % 16, '\0');
    }
    write_all(pair.peer, stream.data(), stream.size());
    ASSERT_TRUE(all.wait_total(3));
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(1, all.slots[i].calls);
        EXPECT_EQ(0, all.slots[i].err);
        EXPECT_EQ((int)(i + 1) * 10, all.slots[i].result);
        EXPECT_EQ("answer " + std::to_string(i + 1), all.slots[i].output);
        EXPECT_TRUE(all.slots[i].zero_tail);
    }
}

// The result's portable error reaches the completion through perr_to_err;
// an unknown portable code becomes err_unsuccessful. Without
// remote_flag_err_output an error answer delivers no data.
TEST(RemoteWire, PortableErrorOfTheAnswer)
{
    Pair pair(send_flags);
    Completions all(2);
    pair.send(all, 0, 1);
    pair.send(all, 1, 2);
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    ASSERT_TRUE(read_packet(pair.peer, &p));
    write_packet(pair.peer, result_header(1, perr_timeout, 7, 4), "data");
    write_packet(pair.peer, result_header(2, 99));
    ASSERT_TRUE(all.wait_total(2));
    EXPECT_EQ(err_timeout, all.slots[0].err);
    EXPECT_EQ(0, all.slots[0].result);
    EXPECT_TRUE(all.slots[0].output_null);
    EXPECT_EQ(err_unsuccessful, all.slots[1].err);
}

// With remote_flag_err_output an error answer still delivers its data and
// result value.
TEST(RemoteWire, ErrOutputDeliversData)
{
    Pair pair(send_flags | remote_flag_err_output);
    Completions all(1);
    pair.send(all, 0, 1);
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    write_packet(pair.peer, result_header(1, perr_bad_format, 42, 4), "oops");
    ASSERT_TRUE(all.wait_total(1));
    EXPECT_EQ(err_bad_format, all.slots[0].err);
    EXPECT_EQ(42, all.slots[0].result);
    EXPECT_EQ("oops", all.slots[0].output);
}

// Descriptors follow the whole packet on the main connection (serialized
// mode), one transfer per set bit in ascending order; the caller keeps its
// own descriptors. Result descriptors arrive in the completion.
TEST(RemoteWire, DescriptorsFollowThePacketInBitOrder)
{
    Pair pair(send_flags | remote_flag_serialize | remote_flag_send_fd | remote_flag_receive_fd);
    int a[2], b[2];
    ASSERT_EQ(0, file_create_pipe(&a[0], &a[1]));
    ASSERT_EQ(0, file_create_pipe(&b[0], &b[1]));
    int fds[remote_max_fd_count] = {-1, a[1], -1, -1, -1, b[1], -1, -1};
    Completions all(1);
    all.take_fds = true;
    pair.send(all, 0, 5, "with fds", sync_timeout_none, fds);

    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    EXPECT_EQ(0x22, p.header.fd_mask);
    int first = raw_receive_fd(pair.peer);
    int second = raw_receive_fd(pair.peer);
    EXPECT_EQ(inode_of(a[1]), inode_of(first));
    EXPECT_EQ(inode_of(b[1]), inode_of(second));
    close(first);
    close(second);

    // The answer carries one descriptor in slot 3.
    remote_packet_t h = result_header(1);
    h.fd_mask = 1 << 3;
    write_packet(pair.peer, h);
    raw_send_fd(pair.peer, a[0]);
    ASSERT_TRUE(all.wait_total(1));
    EXPECT_EQ(0, all.slots[0].err);
    for (int i = 0; i < remote_max_fd_count; i++) {
        if (i == 3) {
            EXPECT_EQ(inode_of(a[0]), inode_of(all.slots[0].fds[i]));
        } else {
            EXPECT_EQ(-1, all.slots[0].fds[i]);
        }
    }
    fd_close(all.slots[0].fds[3]);
    for (int fd : {a[0], a[1], b[0], b[1]}) {
        fd_close(fd);
    }
}

// ---- cancellation and time-outs ------------------------------------------------

// Cancelling a connection with three requests waiting completes each
// exactly once with err_cancelled; the peer then sees the end.
TEST(RemoteCancel, ThreeWaitingRequests)
{
    Pair pair(send_flags);
    Completions all(3);
    for (size_t i = 0; i < 3; i++) {
        pair.send(all, i, 1);
    }
    Packet p;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(read_packet(pair.peer, &p));
    }
    (*pair.rm)->cancel(pair.rm);
    ASSERT_TRUE(all.wait_total(3));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const Completion& c : all.slots) {
        EXPECT_EQ(1, c.calls);
        EXPECT_EQ(err_cancelled, c.err);
    }
    // A request after the cancellation completes at once, unsent.
    Completions late(1);
    pair.send(late, 0, 1);
    ASSERT_TRUE(late.wait_total(1));
    EXPECT_EQ(err_cancelled, late.slots[0].err);
    (*pair.rm)->release(pair.rm);
    pair.rm = nullptr;
    EXPECT_TRUE(closed_by_peer(pair.peer));
}

// A caller's cancel pin cancels its own request only.
TEST(RemoteCancel, CallersPin)
{
    Pair pair(send_flags);
    pin_t cancel;
    pin_init(&cancel);
    Completions all(2);
    (*pair.rm)->send_async(pair.rm, &cancel.vtbl, sync_timeout_none, 1, nullptr, 0, nullptr, 0,
                           Completions::complete, &all.params[0]);
    (*pair.rm)->send_async(pair.rm, nullptr, sync_timeout_none, 2, nullptr, 0, nullptr, 0,
                           Completions::complete, &all.params[1]);
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    ASSERT_TRUE(read_packet(pair.peer, &p));
    pin_signal(&cancel);
    ASSERT_TRUE(all.wait_total(1));
    EXPECT_EQ(err_cancelled, all.slots[0].err);
    write_packet(pair.peer, result_header(1)); // late: discarded
    write_packet(pair.peer, result_header(2, 0, 3));
    ASSERT_TRUE(all.wait_total(2));
    EXPECT_EQ(0, all.slots[1].err);
    EXPECT_EQ(3, all.slots[1].result);
    EXPECT_EQ(1, all.slots[0].calls);
    pin_term(&cancel);
}

// A time-out completes with err_timeout; its late result is discarded and
// the connection goes on.
TEST(RemoteCancel, TimeoutAndLateResult)
{
    Pair pair(send_flags);
    Completions all(2);
    pair.send(all, 0, 1, "", 100);
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    ASSERT_TRUE(all.wait_total(1));
    EXPECT_EQ(err_timeout, all.slots[0].err);
    write_packet(pair.peer, result_header(1, 0, 1, 3), "old");
    pair.send(all, 1, 2);
    ASSERT_TRUE(read_packet(pair.peer, &p));
    EXPECT_EQ(2u, p.header.cookie);
    write_packet(pair.peer, result_header(2, 0, 2));
    ASSERT_TRUE(all.wait_total(2));
    EXPECT_EQ(0, all.slots[1].err);
    EXPECT_EQ(2, all.slots[1].result);
    EXPECT_EQ(1, all.slots[0].calls);
}

// The connection's own cancel pin ends it like cancel does.
TEST(RemoteCancel, ConnectionPin)
{
    pin_t cancel;
    pin_init(&cancel);
    int mine, peer;
    ASSERT_EQ(0, file_create_socket(&mine, &peer));
    remote_i* rm;
    ASSERT_EQ(0, remote_factory_d(&rm, &cancel.vtbl, send_flags, &mine, nullptr, nullptr));
    Completions all(1);
    (*rm)->send_async(rm, nullptr, sync_timeout_none, 1, nullptr, 0, nullptr, 0,
                      Completions::complete, &all.params[0]);
    pin_signal(&cancel);
    ASSERT_TRUE(all.wait_total(1));
    EXPECT_EQ(err_cancelled, all.slots[0].err);
    (*rm)->release(rm);
    fd_close(peer);
    pin_term(&cancel);
}

// Keep-alives: after the (shortened) interval of silence a keep-alive
// request goes out, counted with the other cookies; an answered keep-alive
// keeps the connection.
TEST(RemoteKeepalive, SentAfterSilence)
{
    remote_keepalive_set_intervals_(60, 20);
    Pair pair(send_flags | remote_flag_keepalive);
    Completions all(1);
    pair.send(all, 0, 5);
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    EXPECT_EQ(1u, p.header.cookie);
    write_packet(pair.peer, result_header(1));
    for (uint64_t cookie = 2; cookie <= 3; cookie++) {
        ASSERT_TRUE(read_packet(pair.peer, &p));
        EXPECT_EQ(cookie, p.header.cookie);
        EXPECT_EQ(remote_packet_flag_keepalive, p.header.flags);
        EXPECT_EQ(0u, p.header.data_size);
        EXPECT_EQ(0u, p.header.max_output_size);
        write_packet(pair.peer, result_header(cookie));
    }
    remote_keepalive_set_intervals_(0, 0);
    ASSERT_TRUE(all.wait_total(1));
}

// A keep-alive request is answered at once with an empty success.
TEST(RemoteKeepalive, Answered)
{
    Pair pair(remote_flag_receive);
    remote_packet_t h = request_header(1, 0, 0, 0);
    h.flags = remote_packet_flag_keepalive;
    write_packet(pair.peer, h);
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    remote_packet_t expected = result_header(1);
    EXPECT_EQ(0, memcmp(&expected, &p.header, sizeof expected));
}

// A receiving end without a receive interface answers every request with
// the portable "not implemented".
TEST(RemoteReceive, DefaultInterfaceAnswersNotImplemented)
{
    Pair pair(remote_flag_receive);
    write_packet(pair.peer, request_header(4, 12, 3, 64), "abc");
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    remote_packet_t expected = result_header(4, perr_not_implemented);
    EXPECT_EQ(0, memcmp(&expected, &p.header, sizeof expected));
}

// ---- the receive side --------------------------------------------------------------

// A receive interface that records what dispatch gets and answers with a
// fixed output and an output descriptor.
struct Receiver {
    remote_receive_i vtbl;
    std::mutex lock;
    std::condition_variable changed;
    size_t max_input = remote_max_data_size;
    int dispatched = 0;
    int released = 0;
    int cancelled_with = -1;
    int code = 0;
    std::string input;
    bool input_terminated = false;
    bool scratch_usable = false;
    int input_fd = -1;
    int answer_fd = -1;
    bool answer_later = false;
    remote_req_i* held = nullptr;

    Receiver();
    bool wait(const std::function<bool()>& done)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, std::chrono::milliseconds(wait_msecs), done);
    }
};

Receiver* receiver_of(remote_receive_i* r)
{
    return (Receiver*)((char*)r - offsetof(Receiver, vtbl));
}

const remote_receive_i_vtbl_t receiver_vtbl = {
    [](remote_receive_i* r) {
        Receiver* rv = receiver_of(r);
        std::lock_guard<std::mutex> guard(rv->lock);
        rv->released++;
        rv->changed.notify_all();
    },
    [](remote_receive_i* r, int err) {
        Receiver* rv = receiver_of(r);
        std::lock_guard<std::mutex> guard(rv->lock);
        rv->cancelled_with = err;
    },
    [](remote_receive_i* r, int, size_t* max_input, size_t*) {
        Receiver* rv = receiver_of(r);
        if (rv->max_input < *max_input) {
            *max_input = rv->max_input;
        }
    },
    [](remote_receive_i* r, remote_req_i* req) {
        Receiver* rv = receiver_of(r);
        std::unique_lock<std::mutex> guard(rv->lock);
        rv->dispatched++;
        rv->code = (*req)->code(req);
        const char* in = (const char*)(*req)->input(req);
        size_t size = (*req)->input_size(req);
        rv->input.assign(in, size);
        rv->input_terminated = true;
        for (size_t i = 0; i < remote_zero_tail_size; i++) {
            rv->input_terminated = rv->input_terminated && in[size + i] == 0;
        }
        char* scratch = (char*)(*req)->scratch(req);
        memset(scratch, 0x5A, remote_req_scratch_size);
        rv->scratch_usable = ((uintptr_t)scratch & 15) == 0;
        rv->input_fd = (*req)->input_fd(req, 2);
        EXPECT_EQ(-1, (*req)->input_fd(req, 2)); // taken once
        rv->changed.notify_all();
        if (rv->answer_later) {
            rv->held = req;
            return;
        }
        guard.unlock();
        if (rv->answer_fd != -1) {
            int fd = -1;
            EXPECT_EQ(0, file_duplicate(&fd, rv->answer_fd));
            (*req)->output_fd(req, 6, &fd);
            EXPECT_EQ(-1, fd);
        }
        ASSERT_GE((*req)->max_output_size(req), 6u);
        (*req)->complete(req, err_exists, 0x7777, "output", 6);
    },
};

Receiver::Receiver() : vtbl(&receiver_vtbl) {}

constexpr int daemon_flags = remote_flag_receive | remote_flag_receive_fd | remote_flag_send_fd |
                             remote_flag_serialize | remote_flag_server;

// Dispatch gets the code, the input (followed by zero bytes), the input
// descriptor and the scratch; the answer's bytes, padding and descriptor
// are exact.
TEST(RemoteReceive, DispatchAndAnswerBytes)
{
    Receiver rv;
    int pipe_fds[2];
    ASSERT_EQ(0, file_create_pipe(&pipe_fds[0], &pipe_fds[1]));
    rv.answer_fd = pipe_fds[0];
    {
        Pair pair(daemon_flags, &rv.vtbl);
        // Padding bytes that are not zero must not leak into the input's tail.
        remote_packet_t h = request_header(7, 33, 5, 100, 1 << 2);
        unsigned char bytes[48];
        memcpy(bytes, &h, 32);
        memcpy(bytes + 32, "hello", 5);
        memset(bytes + 37, 0xCC, 11);
        write_all(pair.peer, bytes, sizeof bytes);
        raw_send_fd(pair.peer, pipe_fds[1]);
        ASSERT_TRUE(rv.wait([&] { return rv.dispatched == 1; }));
        EXPECT_EQ(33, rv.code);
        EXPECT_EQ("hello", rv.input);
        EXPECT_TRUE(rv.input_terminated);
        EXPECT_TRUE(rv.scratch_usable);
        EXPECT_EQ(inode_of(pipe_fds[1]), inode_of(rv.input_fd));

        unsigned char answer[48];
        ASSERT_TRUE(read_exact(pair.peer, answer, sizeof answer));
        remote_packet_t expected = result_header(7, perr_exists, 0x7777, 6);
        expected.fd_mask = 1 << 6;
        EXPECT_EQ(0, memcmp(&expected, answer, 32));
        EXPECT_EQ(0, memcmp("output\0\0\0\0\0\0\0\0\0\0", answer + 32, 16));
        int fd = raw_receive_fd(pair.peer);
        EXPECT_EQ(inode_of(pipe_fds[0]), inode_of(fd));
        close(fd);
    }
    EXPECT_TRUE(rv.wait([&] { return rv.released == 1; }));
    EXPECT_EQ(err_cancelled, rv.cancelled_with);
    EXPECT_TRUE(all_connections_gone());
    fd_close(rv.input_fd);
    fd_close(pipe_fds[0]);
    fd_close(pipe_fds[1]);
}

// max_sizes lowering the input limit refuses a larger request: the
// connection ends without dispatching it. A request within the limit goes.
TEST(RemoteReceive, MaxSizesRefuseLargerInput)
{
    for (uint32_t size : {8u, 9u}) {
        Receiver rv;
        rv.max_input = 8;
        auto pair = std::make_unique<Pair>(daemon_flags, &rv.vtbl);
        write_packet(pair->peer, request_header(1, 1, size, 16), "123456789");
        if (size == 8) {
            Packet p;
            ASSERT_TRUE(read_packet(pair->peer, &p));
            EXPECT_EQ(1, rv.dispatched);
        } else {
            ASSERT_TRUE(rv.wait([&] { return rv.released == 1; }));
            EXPECT_EQ(0, rv.dispatched);
        }
        pair.reset();
        ASSERT_TRUE(all_connections_gone());
    }
}

// A result written after the connection was released is dropped, and the
// request's descriptors are closed (the leak check sees them otherwise).
TEST(RemoteReceive, AnswerAfterTheEnd)
{
    Receiver rv;
    rv.answer_later = true;
    Pair* pair = new Pair(daemon_flags, &rv.vtbl);
    write_packet(pair->peer, request_header(1, 1, 0, 16));
    ASSERT_TRUE(rv.wait([&] { return rv.dispatched == 1; }));
    (*pair->rm)->release(pair->rm);
    pair->rm = nullptr;
    ASSERT_TRUE(rv.wait([&] { return rv.released == 1; }));
    (*rv.held)->complete(rv.held, 0, 0, "late", 4);
    delete pair;
    EXPECT_TRUE(all_connections_gone());
}

// ---- bad input ------------------------------------------------------------------------

// Each protocol violation cancels the connection with every waiting
// request completing once with err_cancelled.
TEST(RemoteBadInput, ViolationsCancel)
{
    struct Case {
        const char* what;
        int flags;
        remote_packet_t header;
        std::string data;
    };
    remote_packet_t unknown_cookie = result_header(99);
    remote_packet_t oversize_result = result_header(1, 0, 0, 300);
    remote_packet_t fds_not_announced = result_header(1);
    fds_not_announced.fd_mask = 1;
    remote_packet_t request_to_sender = request_header(1, 1, 0, 0);
    remote_packet_t huge = request_header(1, 1, 0x40000001u, 0);
    remote_packet_t bad_flags = result_header(1);
    bad_flags.flags = 0x81;
    remote_packet_t cookie_zero = request_header(0, 1, 0, 0);
    const Case cases[] = {
        {"unknown cookie", send_flags, unknown_cookie, ""},
        {"result above max output", send_flags, oversize_result, std::string(300, 'r')},
        {"descriptors not announced", send_flags, fds_not_announced, ""},
        {"request to a sending end", send_flags, request_to_sender, ""},
        {"data above 1 GiB", send_flags | remote_flag_receive, huge, ""},
        {"unknown flags", send_flags, bad_flags, ""},
        {"cookie 0", send_flags | remote_flag_receive, cookie_zero, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Pair pair(c.flags);
        Completions all(2);
        pair.send(all, 0, 1);
        pair.send(all, 1, 2);
        Packet p;
        ASSERT_TRUE(read_packet(pair.peer, &p));
        ASSERT_TRUE(read_packet(pair.peer, &p));
        if (c.data.size() < c.header.data_size) {
            write_all(pair.peer, &c.header, sizeof c.header); // the data never comes
        } else {
            write_packet(pair.peer, c.header, c.data.data());
        }
        ASSERT_TRUE(all.wait_total(2));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(1, all.slots[1].calls);
        EXPECT_EQ(err_cancelled, all.slots[1].err);
        EXPECT_EQ(1, all.slots[0].calls);
        EXPECT_NE(0, all.slots[0].err);
    }
}

// A peer that closes in mid-packet (a short header, then the end) breaks
// the connection.
TEST(RemoteBadInput, PeerClosesMidPacket)
{
    Pair pair(send_flags);
    Completions all(1);
    pair.send(all, 0, 1);
    Packet p;
    ASSERT_TRUE(read_packet(pair.peer, &p));
    remote_packet_t h = result_header(1);
    write_all(pair.peer, &h, 20);
    shutdown(pair.peer, SHUT_WR);
    ASSERT_TRUE(all.wait_total(1));
    EXPECT_EQ(err_cancelled, all.slots[0].err);
}

// A peer that announces far more data than it sends holds no memory for
// it: the buffer grows only as the data arrives.
std::atomic<size_t> largest_allocation;
void note_allocation(const char*, int, void*, size_t size)
{
    size_t seen = largest_allocation.load();
    while (size > seen && !largest_allocation.compare_exchange_weak(seen, size)) {
    }
}

TEST(RemoteBadInput, AnnouncedDataIsNotAllocatedAhead)
{
    Receiver rv;
    {
        Pair pair(remote_flag_receive, &rv.vtbl);
        largest_allocation = 0;
        debugheap_trace = note_allocation;
        remote_packet_t h = request_header(1, 1, 0x20000000, 0);
        write_all(pair.peer, &h, sizeof h);
        write_all(pair.peer, std::string(200000, 'd').data(), 200000);
        shutdown(pair.peer, SHUT_WR);
        ASSERT_TRUE(rv.wait([&] { return rv.released == 1; }));
        debugheap_trace = nullptr;
        EXPECT_LT(largest_allocation.load(), (size_t)0x80000);
        EXPECT_EQ(0, rv.dispatched);
    }
    EXPECT_TRUE(all_connections_gone());
}

// ---- parameters ------------------------------------------------------------------------------

// The factory's parameter rules; on error what was handed over is released.
TEST(RemoteFactory, ParameterRules)
{
    struct Case {
        int flags;
        bool fd;
        bool receive;
    };
    const Case cases[] = {
        {0, true, false},
        {remote_flag_serialize | remote_flag_receive | remote_flag_send, true, false},
        {remote_flag_send, false, false},
        {remote_flag_send, true, true},
        {remote_flag_send | remote_flag_keepalive | remote_flag_serialize, true, false},
        {remote_flag_send | remote_flag_keepalive | remote_flag_send_fd, true, false},
    };
    for (const Case& c : cases) {
        int a = -1, b = -1;
        ASSERT_EQ(0, file_create_socket(&a, &b));
        Receiver rv;
        remote_receive_i* receive = &rv.vtbl;
        remote_i* rm = (remote_i*)1;
        int* fd = c.fd ? &a : nullptr;
        EXPECT_EQ(err_bad_parameter,
                  remote_factory_d(&rm, nullptr, c.flags, fd, nullptr, c.receive ? &receive : nullptr))
            << c.flags;
        EXPECT_EQ(nullptr, rm);
        if (c.fd) {
            EXPECT_EQ(-1, a);
        }
        if (c.receive) {
            EXPECT_EQ(nullptr, receive);
            EXPECT_EQ(1, rv.released);
        }
        fd_close(a);
        fd_close(b);
    }
}

// Sending without remote_flag_send, with descriptors but no descriptor
// flag, or above 1 GiB completes at once with the error.
TEST(RemoteFactory, SendRefusals)
{
    {
        Pair pair(remote_flag_receive);
        Completions all(1);
        pair.send(all, 0, 1);
        ASSERT_TRUE(all.wait_total(1));
        EXPECT_EQ(err_not_implemented, all.slots[0].err);
    }
    Pair pair(send_flags);
    Completions all(2);
    int fds[remote_max_fd_count] = {pair.peer, -1, -1, -1, -1, -1, -1, -1};
    pair.send(all, 0, 1, "", sync_timeout_none, fds);
    (*pair.rm)->send_async(pair.rm, nullptr, sync_timeout_none, 1, "", (size_t)remote_max_data_size + 1,
                           nullptr, 0, Completions::complete, &all.params[1]);
    ASSERT_TRUE(all.wait_total(2));
    EXPECT_EQ(err_bad_parameter, all.slots[0].err);
    EXPECT_EQ(err_bad_parameter, all.slots[1].err);
    EXPECT_TRUE(quiet(pair.peer, 20));
}

// ---- both ends in this library -------------------------------------------------------------

// An echo receiver: the answer is the input, its result the code.
struct Echo {
    remote_receive_i vtbl;
    static const remote_receive_i_vtbl_t table;
    Echo() : vtbl(&table) {}
};

const remote_receive_i_vtbl_t Echo::table = {
    [](remote_receive_i*) {},
    [](remote_receive_i*, int) {},
    [](remote_receive_i*, int, size_t*, size_t*) {},
    [](remote_receive_i*, remote_req_i* req) {
        size_t size = (*req)->input_size(req);
        if (size > (*req)->max_output_size(req)) {
            size = (*req)->max_output_size(req);
        }
        for (int i = 0; i < remote_max_fd_count; i++) {
            int fd = (*req)->input_fd(req, i);
            if (fd != -1) {
                (*req)->output_fd(req, remote_max_fd_count - 1 - i, &fd);
            }
        }
        (*req)->complete(req, 0, (*req)->code(req), (*req)->input(req), size);
    },
};

// remote_send_single against a serving connection: one request with a
// descriptor, the answer copied and its descriptor moved to the caller.
TEST(RemoteSync, SendSingleWithDescriptors)
{
    Echo echo;
    remote_receive_i* receive = &echo.vtbl;
    int server_fd, client_fd;
    ASSERT_EQ(0, file_create_socket(&server_fd, &client_fd));
    remote_i* server;
    ASSERT_EQ(0, remote_factory_d(&server, nullptr, daemon_flags, &server_fd, nullptr, &receive));

    int p[2];
    ASSERT_EQ(0, file_create_pipe(&p[0], &p[1]));
    int in_fds[remote_max_fd_count] = {-1, p[1], -1, -1, -1, -1, -1, -1};
    int out_fds[remote_max_fd_count];
    char output[64] = {};
    size_t output_size = 0;
    int result = 0;
    ASSERT_EQ(0, remote_send_single(&client_fd, nullptr, wait_msecs, 77, "ping", 4, in_fds,
                                    &result, output, sizeof output, &output_size, out_fds));
    EXPECT_EQ(-1, client_fd);
    EXPECT_EQ(77, result);
    EXPECT_EQ(std::string("ping"), std::string(output, output_size));
    EXPECT_EQ(inode_of(p[1]), inode_of(out_fds[6]));
    fd_close(out_fds[6]);
    (*server)->release(server);
    EXPECT_TRUE(all_connections_gone());
    fd_close(p[0]);
    fd_close(p[1]);
}

// A one-shot send on a descriptor that cannot make a connection clears
// the outputs.
TEST(RemoteSync, SendSingleWithoutDescriptor)
{
    int fd = -1;
    int out_fds[remote_max_fd_count] = {5, 5, 5, 5, 5, 5, 5, 5};
    size_t output_size = 9;
    int result = 9;
    EXPECT_EQ(err_bad_parameter, remote_send_single(&fd, nullptr, 100, 1, nullptr, 0, nullptr,
                                                    &result, nullptr, 0, &output_size, out_fds));
    EXPECT_EQ(0u, output_size);
    EXPECT_EQ(0, result);
    for (int out : out_fds) {
        EXPECT_EQ(-1, out);
    }
}

// Full duplex: both ends send and receive on one connection.
TEST(RemoteSync, BothWays)
{
    Echo echo_a, echo_b;
    remote_receive_i* ra = &echo_a.vtbl;
    remote_receive_i* rb = &echo_b.vtbl;
    int fa, fb;
    ASSERT_EQ(0, file_create_socket(&fa, &fb));
    remote_i *a, *b;
    const int flags = remote_flag_send | remote_flag_receive;
    ASSERT_EQ(0, remote_factory_d(&a, nullptr, flags, &fa, nullptr, &ra));
    ASSERT_EQ(0, remote_factory_d(&b, nullptr, flags, &fb, nullptr, &rb));
    std::string big(100000, 'z');
    std::vector<char> out(big.size());
    size_t size = 0;
    int result = 0;
    ASSERT_EQ(0, remote_send(a, nullptr, wait_msecs, 1, big.data(), big.size(), nullptr, &result,
                             out.data(), out.size(), &size, nullptr));
    EXPECT_EQ(big, std::string(out.data(), size));
    ASSERT_EQ(0, remote_send(b, nullptr, wait_msecs, 2, "b", 1, nullptr, &result, out.data(),
                             out.size(), &size, nullptr));
    EXPECT_EQ(2, result);
    // An answer above the caller's limit is refused by the receiver's limit.
    ASSERT_EQ(0, remote_send(b, nullptr, wait_msecs, 3, "abcdef", 6, nullptr, &result, out.data(),
                             2, &size, nullptr));
    EXPECT_EQ(std::string("ab"), std::string(out.data(), size));
    (*a)->release(a);
    (*b)->release(b);
    EXPECT_TRUE(all_connections_gone());
}

// The formatted send packs, sends, converts the answer and unpacks; after
// an error the outputs are zeroed.
TEST(RemoteSync, SendFormat)
{
    struct Adder {
        remote_receive_i vtbl;
    };
    static const remote_receive_i_vtbl_t table = {
        [](remote_receive_i*) {},
        [](remote_receive_i*, int) {},
        [](remote_receive_i*, int, size_t*, size_t*) {},
        [](remote_receive_i*, remote_req_i* req) {
            int a = 0, b = 0;
            char* name = nullptr;
            qp_scratch_pool pool;
            int err = remote_unpack_vals_d(pool.ma(), (*req)->input(req), (*req)->input_size(req),
                                           "iiz", &a, &b, &name);
            char out[64];
            size_t size = 0;
            if (!err) {
                err = remote_pack_vals_2(out, sizeof out, &size, "iz", a + b, name);
            }
            // The code chooses how the answer fails.
            int code = (*req)->code(req);
            (*req)->complete(req, code == 2 ? err_access_denied : 0,
                             code == 3 ? perr_not_found : 0, out, code == 2 ? 0 : size);
        },
    };
    Adder adder{&table};
    remote_receive_i* receive = &adder.vtbl;
    int fa, fb;
    ASSERT_EQ(0, file_create_socket(&fa, &fb));
    remote_i *server, *client;
    ASSERT_EQ(0, remote_factory_d(&server, nullptr, remote_flag_receive, &fa, nullptr, &receive));
    ASSERT_EQ(0, remote_factory_d(&client, nullptr, remote_flag_send, &fb, nullptr, nullptr));

    qp_scratch_pool pool;
    int sum = 0;
    char* name = nullptr;
    ASSERT_EQ(0, remote_send_format(client, pool.ma(), nullptr, 1, "iiz", "iz", 40, 2, "sum",
                                    &sum, &name));
    EXPECT_EQ(42, sum);
    EXPECT_STREQ("sum", name);
    EXPECT_EQ(err_access_denied, remote_send_format(client, pool.ma(), nullptr, 2, "iiz", "iz", 1,
                                                    2, "x", &sum, &name));
    EXPECT_EQ(0, sum);
    EXPECT_EQ(nullptr, name);
    EXPECT_EQ(err_not_found, remote_send_format(client, pool.ma(), nullptr, 3, "iiz", "iz", 1, 2,
                                                "x", &sum, &name));
    EXPECT_EQ(3, sum); // data of a failing answer is still unpacked
    (*client)->release(client);
    (*server)->release(server);
    EXPECT_TRUE(all_connections_gone());
}

// Non-serialized descriptor channels: the server end makes them, and
// descriptors travel both ways while requests cross.
TEST(RemoteSync, DescriptorChannels)
{
    Echo echo;
    remote_receive_i* receive = &echo.vtbl;
    int fa, fb;
    ASSERT_EQ(0, file_create_socket(&fa, &fb));
    remote_i *server, *client;
    const int fd_flags = remote_flag_send_fd | remote_flag_receive_fd;
    ASSERT_EQ(0, remote_factory_d(&server, nullptr, remote_flag_receive | remote_flag_server | fd_flags,
                                  &fa, nullptr, &receive));
    ASSERT_EQ(0, remote_factory_d(&client, nullptr, remote_flag_send | fd_flags, &fb, nullptr,
                                  nullptr));
    int p[2];
    ASSERT_EQ(0, file_create_pipe(&p[0], &p[1]));
    for (int round = 0; round < 3; round++) {
        int in_fds[remote_max_fd_count] = {p[0], -1, -1, -1, -1, -1, -1, p[1]};
        int out_fds[remote_max_fd_count];
        size_t size;
        int result;
        char out[8];
        ASSERT_EQ(0, remote_send(client, nullptr, wait_msecs, round, "fd", 2, in_fds, &result, out,
                                 sizeof out, &size, out_fds));
        EXPECT_EQ(inode_of(p[0]), inode_of(out_fds[7]));
        EXPECT_EQ(inode_of(p[1]), inode_of(out_fds[0]));
        fd_close(out_fds[0]);
        fd_close(out_fds[7]);
    }
    (*client)->release(client);
    (*server)->release(server);
    EXPECT_TRUE(all_connections_gone());
    fd_close(p[0]);
    fd_close(p[1]);
}

} // namespace
