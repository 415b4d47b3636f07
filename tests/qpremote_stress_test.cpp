// Stress test of the remote protocol: two ends send requests to each other
// from several threads at once, with descriptors, random cancels and short
// time-outs, while a responder on each end answers in its own time. Every
// completion must come exactly once, answers must be whole, and nothing
// may leak. Also run under the thread sanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "qperr.h"
#include "qppin.h"
#include "qpremote.h"
#include "qpsocket.h"
#include "qpremote_testutil.h"

namespace {

constexpr int senders_per_end = 3;
constexpr auto run_time = std::chrono::milliseconds(2500);

// An end's receive interface: requests go to a responder thread, which
// answers each with its input, the code as result and the input
// descriptor as output descriptor, after a short random delay.
struct Responder {
    remote_receive_i vtbl;
    std::mutex lock;
    std::condition_variable changed;
    std::deque<remote_req_i*> queue;
    bool stopping = false;
    std::atomic<int> released{0};
    std::thread thread;

    Responder();
    void run()
    {
        std::minstd_rand random(std::hash<std::thread::id>()(std::this_thread::get_id()));
        std::unique_lock<std::mutex> guard(lock);
        for (;;) {
            changed.wait(guard, [&] { return stopping || !queue.empty(); });
            if (queue.empty()) {
                return;
            }
            remote_req_i* req = queue.front();
            queue.pop_front();
            guard.unlock();
            if (random() % 4 == 0) {
                std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
            }
            int fd = (*req)->input_fd(req, 0);
            if (fd != -1) {
                (*req)->output_fd(req, 1, &fd);
            }
            (*req)->complete(req, 0, (*req)->code(req), (*req)->input(req),
                             (*req)->input_size(req));
            guard.lock();
        }
    }
    void stop()
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            stopping = true;
            changed.notify_all();
        }
        thread.join();
    }
};

Responder* responder_of(remote_receive_i* r)
{
    return (Responder*)((char*)r - offsetof(Responder, vtbl));
}

const remote_receive_i_vtbl_t responder_vtbl = {
    [](remote_receive_i* r) { responder_of(r)->released++; },
    [](remote_receive_i*, int) {},
    [](remote_receive_i*, int, size_t*, size_t*) {},
    [](remote_receive_i* r, remote_req_i* req) {
        Responder* rs = responder_of(r);
        std::lock_guard<std::mutex> guard(rs->lock);
        rs->queue.push_back(req);
        rs->changed.notify_all();
    },
};

Responder::Responder() : vtbl(&responder_vtbl), thread([this] { run(); }) {}

// One request in flight, checked by its completion.
struct Request {
    std::string input;
    int code = 0;
    ino_t fd_inode = 0; // of the descriptor sent, 0 for none
    bool cancellable = false;
    pin_t cancel;
    std::atomic<int> calls{0};
    std::atomic<int> err{-1};
    std::atomic<bool> whole{false};
};

void on_complete(void* param, int err, int result, void* output, size_t output_size,
                 int* output_fds)
{
    Request* r = (Request*)param;
    bool whole = false;
    if (err == 0) {
        whole = result == r->code && output_size == r->input.size() &&
                memcmp(output, r->input.data(), output_size) == 0 &&
                (r->fd_inode ? inode_of(output_fds[1]) == r->fd_inode : output_fds[1] == -1);
    }
    r->whole = whole;
    r->err = err;
    r->calls++;
}

struct Totals {
    std::atomic<long> sent{0};
    std::atomic<long> ok{0};
    std::atomic<long> cancelled{0};
    std::atomic<long> timed_out{0};
};

// Sends requests until the time is up; every one is checked once all its
// completions are in.
void sender(remote_i* rm, int seed, int pipe_fd, Totals* totals,
            std::chrono::steady_clock::time_point end)
{
    std::minstd_rand random(seed);
    std::vector<std::unique_ptr<Request>> requests;
    while (std::chrono::steady_clock::now() < end) {
        auto r = std::make_unique<Request>();
        r->code = (int)(random() % 100000);
        r->input.assign(random() % 3 ? random() % 200 : random() % 5000, (char)('a' + random() % 26));
        int fds[remote_max_fd_count] = {-1, -1, -1, -1, -1, -1, -1, -1};
        if (random() % 4 == 0) {
            fds[0] = pipe_fd;
            r->fd_inode = inode_of(pipe_fd);
        }
        int choice = (int)(random() % 10);
        int timeout = choice == 0 ? (int)(random() % 3) : sync_timeout_none;
        r->cancellable = choice == 1;
        pin_init(&r->cancel);
        (*rm)->send_async(rm, r->cancellable ? &r->cancel.vtbl : nullptr, timeout, r->code,
                          r->input.data(), r->input.size(), fds, r->input.size(), on_complete,
                          r.get());
        if (r->cancellable && random() % 2) {
            pin_signal(&r->cancel);
        }
        requests.push_back(std::move(r));
        totals->sent++;
        if (requests.size() > 64) {
            // Keep the number in flight bounded: wait for the oldest.
            Request* oldest = requests[requests.size() - 65].get();
            while (!oldest->calls.load()) {
                std::this_thread::yield();
            }
        }
    }
    for (auto& r : requests) {
        if (r->cancellable) {
            pin_signal(&r->cancel);
        }
        while (!r->calls.load()) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    for (auto& r : requests) {
        EXPECT_EQ(1, r->calls.load());
        int err = r->err.load();
        if (err == 0) {
            EXPECT_TRUE(r->whole.load());
            totals->ok++;
        } else if (err == err_timeout) {
            totals->timed_out++;
        } else {
            EXPECT_EQ(err_cancelled, err);
            totals->cancelled++;
        }
        pin_term(&r->cancel);
    }
}

// Two full-duplex ends with descriptor channels, senders on both.
TEST(RemoteStress, BothEndsConcurrently)
{
    Responder server_responder, client_responder;
    remote_receive_i* server_receive = &server_responder.vtbl;
    remote_receive_i* client_receive = &client_responder.vtbl;
    int fa, fb;
    ASSERT_EQ(0, file_create_socket(&fa, &fb));
    const int flags = remote_flag_send | remote_flag_receive | remote_flag_send_fd |
                      remote_flag_receive_fd;
    remote_i *server, *client;
    ASSERT_EQ(0, remote_factory_d(&server, nullptr, flags | remote_flag_server, &fa, nullptr,
                                  &server_receive));
    ASSERT_EQ(0, remote_factory_d(&client, nullptr, flags, &fb, nullptr, &client_receive));
    int p[2];
    ASSERT_EQ(0, file_create_pipe(&p[0], &p[1]));

    Totals totals;
    auto end = std::chrono::steady_clock::now() + run_time;
    std::vector<std::thread> threads;
    for (int i = 0; i < senders_per_end; i++) {
        threads.emplace_back(sender, server, 2 * i + 1, p[0], &totals, end);
        threads.emplace_back(sender, client, 2 * i + 2, p[1], &totals, end);
    }
    for (auto& t : threads) {
        t.join();
    }
    (*client)->release(client);
    (*server)->release(server);
    server_responder.stop();
    client_responder.stop();
    ASSERT_TRUE(all_connections_gone());
    EXPECT_EQ(1, server_responder.released.load());
    EXPECT_EQ(1, client_responder.released.load());
    EXPECT_GT(totals.ok.load(), 100);
    EXPECT_EQ(totals.sent.load(), totals.ok + totals.cancelled + totals.timed_out);
    fd_close(p[0]);
    fd_close(p[1]);
    printf("sent %ld: %ld answered, %ld cancelled, %ld timed out\n", totals.sent.load(),
           totals.ok.load(), totals.cancelled.load(), totals.timed_out.load());
}

// Many one-shot serialized connections at once against serving ends, and
// a connection cancelled while its requests are in flight.
TEST(RemoteStress, SerializedOneShotsAndCancel)
{
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; t++) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 40; i++) {
                Responder responder;
                remote_receive_i* receive = &responder.vtbl;
                int fa, fb;
                if (file_create_socket(&fa, &fb)) {
                    failures++;
                    return;
                }
                remote_i* server;
                const int flags = remote_flag_receive | remote_flag_serialize |
                                  remote_flag_receive_fd | remote_flag_send_fd |
                                  remote_flag_server;
                if (remote_factory_d(&server, nullptr, flags, &fa, nullptr, &receive)) {
                    failures++;
                    return;
                }
                char out[16];
                size_t size = 0;
                int result = 0;
                int in_fds[remote_max_fd_count] = {fb, -1, -1, -1, -1, -1, -1, -1};
                int out_fds[remote_max_fd_count];
                int dup = -1;
                file_duplicate(&dup, fb);
                int err = remote_send_single(&dup, nullptr, 5000, t * 100 + i, "x", 1,
                                             i % 2 ? in_fds : nullptr, &result, out, sizeof out,
                                             &size, out_fds);
                if (err || result != t * 100 + i || size != 1) {
                    failures++;
                }
                if (i % 2) {
                    fd_close(out_fds[1]);
                }
                if (i % 5 == 0) {
                    (*server)->cancel(server);
                }
                (*server)->release(server);
                fd_close(fb);
                while (!responder.released.load()) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                }
                responder.stop();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(0, failures.load());
    EXPECT_TRUE(all_connections_gone());
}

} // namespace
