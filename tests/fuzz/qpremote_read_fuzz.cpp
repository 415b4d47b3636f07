// Fuzz target of the remote protocol's read side: the input is the byte
// stream a hostile peer writes, taken by a sending end (with three requests
// waiting) or by a receiving end (answering what it is sent), in either
// mode. Whatever arrives, every waiting request completes exactly once, the
// connection ends when the stream does, and nothing leaks (the debug heap's
// exit check and the sanitizers see the rest).
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "qperr.h"
#include "qpremote.h"
#include "qpsocket.h"

namespace {

constexpr int waiting_requests = 3;
constexpr size_t max_input_allowed = 0x10000;

struct Answerer {
    remote_receive_i vtbl;
    std::atomic<int> released{0};
};

Answerer* answerer_of(remote_receive_i* r)
{
    return (Answerer*)((char*)r - offsetof(Answerer, vtbl));
}

const remote_receive_i_vtbl_t answerer_vtbl = {
    [](remote_receive_i* r) { answerer_of(r)->released++; },
    [](remote_receive_i*, int) {},
    [](remote_receive_i*, int, size_t* max_input, size_t*) {
        if (*max_input > max_input_allowed) {
            *max_input = max_input_allowed;
        }
    },
    [](remote_receive_i*, remote_req_i* req) {
        // Use every call of the request once; the answer echoes what fits.
        size_t size = (*req)->input_size(req);
        size_t max_output = (*req)->max_output_size(req);
        for (int i = 0; i < remote_max_fd_count; i++) {
            int fd = (*req)->input_fd(req, i);
            if (fd != -1 && i % 2) {
                (*req)->output_fd(req, i, &fd);
            }
            fd_close(fd);
        }
        memset((*req)->scratch(req), 0, remote_req_scratch_size);
        (*req)->complete(req, (*req)->code(req) & 1 ? err_access_denied : 0, (*req)->code(req),
                         (*req)->input(req), size < max_output ? size : max_output);
    },
};

void on_complete(void* param, int, int, void*, size_t, int*)
{
    std::atomic<int>* calls = (std::atomic<int>*)param;
    calls->fetch_add(1);
}

void wait_until(const std::function<bool()>& done)
{
    for (int i = 0; !done(); i++) {
        QP_ASSERT(i < 100000); // 10 s
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    // The first byte chooses the end and its flags.
    uint8_t choice = *data++;
    size--;
    bool sending = choice & 1;
    int flags = sending ? remote_flag_send : remote_flag_receive;
    if (choice & 2) {
        flags |= remote_flag_serialize | remote_flag_receive_fd | remote_flag_send_fd;
    }
    if (choice & 4) {
        flags |= remote_flag_err_output;
    }

    int mine = -1, peer = -1;
    QP_ASSERT(file_create_socket(&mine, &peer) == 0);
    Answerer answerer{&answerer_vtbl};
    remote_receive_i* receive = sending ? nullptr : &answerer.vtbl;
    remote_i* rm;
    QP_ASSERT(remote_factory_d(&rm, nullptr, flags, &mine, nullptr, receive ? &receive : nullptr) ==
              0);

    std::atomic<int> calls[waiting_requests] = {};
    if (sending) {
        for (int i = 0; i < waiting_requests; i++) {
            (*rm)->send_async(rm, nullptr, sync_timeout_none, i, "request", 7, nullptr,
                              i == 1 ? 0 : 4096, on_complete, &calls[i]);
        }
    }
    // The peer writes the stream and ends it; what this end writes back is
    // read and dropped.
    std::thread writer([&] {
        size_t done = 0;
        while (done < size) {
            ssize_t n = send(peer, data + done, size - done, MSG_NOSIGNAL);
            if (n <= 0) {
                break;
            }
            done += (size_t)n;
        }
        shutdown(peer, SHUT_WR);
    });
    std::thread drainer([&] {
        char sink[4096];
        while (read(peer, sink, sizeof sink) > 0) {
        }
    });

    if (sending) {
        wait_until([&] {
            return calls[0].load() && calls[1].load() && calls[2].load();
        });
    } else {
        wait_until([&] { return answerer.released.load() != 0; });
    }
    (*rm)->release(rm);
    wait_until([] { return __atomic_load_n(&g_qp_remote_count, __ATOMIC_ACQUIRE) == 0; });
    writer.join();
    shutdown(peer, SHUT_RDWR);
    drainer.join();
    fd_close(peer);
    for (auto& c : calls) {
        QP_ASSERT(c.load() == (sending ? 1 : 0));
    }
    QP_ASSERT(answerer.released.load() == (sending ? 0 : 1));
    return 0;
}
