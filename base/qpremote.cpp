/*
 * qpremote.cpp - the remote request protocol: one connection (remote_t)
 * carrying requests and results both ways over one stream.
 *
 * Layout. A connection runs two pumps over its transport (by default the
 * asynchronous descriptor I/O): the write pump sends the packets of the
 * write FIFO one at a time (header, data and padding in one send, then the
 * descriptors), the read pump reads one packet at a time (header, data,
 * descriptors) and delivers it. Sent requests wait for their results in
 * center_send, a red-black tree keyed by cookie.
 *
 * Pumps. A pump runs on whatever thread calls it or completes one of its
 * I/Os. pump_busy (compare-and-swap) admits one runner; a caller that finds
 * it busy sets pump_touch, and the runner loops again. io_busy marks the
 * transport operation in flight of each direction; its completion stores
 * the outcome and runs the pump, which takes the next step.
 *
 * Serialized mode (half duplex, descriptors on the main connection): the
 * turn belongs to one side at a time. The read side hands it over as soon
 * as a packet is whole, before delivering it; the write side hands it back
 * once everything queued is written and a result is awaited (or this end
 * receives requests and has none in progress).
 *
 * Requests. A request completes exactly once: the first of result,
 * time-out and cancellation stores its error (err leaves -1 by
 * compare-and-swap) and drops the "outcome" busy reference; the completion
 * is called when the busy count reaches 0 (the caller holds the other one
 * until send_async returns). A completed request may stay in center_send,
 * so that a late result is recognised and discarded. Memory is held by
 * ref_count: the completion, the FIFO or tree, the read pump, and each
 * armed wire and alarm hold one reference.
 *
 * Reading. Where no descriptor can follow a packet on the main connection
 * (everywhere but a serialized end that receives descriptors: a plain read
 * would discard them), the read pump reads ahead into a small buffer, so a
 * header and small data come with one read. Data goes into a buffer that
 * grows as it arrives (from 64 KiB, at least doubling).
 *
 * Bad input. Every header field is checked before use; a violation cancels
 * the connection with err_bad_format. Nothing a peer sends makes this end
 * allocate more than max_sizes allowed plus one header, nor more than twice
 * what it actually sent. A result is read only once the write side is done
 * with its request's packet (a peer may answer before it has read it all).
 * A transfer that completes short (the peer closed in mid-packet) is a
 * broken connection (err_broken_pipe).
 *
 * Locks. lock guards center_send, the write FIFO, last_cookie, the cancel
 * state and the keep-alive alarm; completions, dispatch and transport calls
 * run without it. Counts are atomic.
 */
#include "qpremote.h"

#include "bitops.h"
#include "qpalarm.h"
#include "qperr.h"
#include "qppin.h"
#include "qpsocket.h"
#include "rblink.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/socket.h>

int g_qp_remote_count;

namespace {

constexpr int fd_slot_count = 2 * remote_max_fd_count;
constexpr int output_fd_base = remote_max_fd_count;
/* Bytes read ahead when the main connection carries packets only. */
constexpr size_t read_ahead_size = 2048;
/* The first allocation for received data; it grows as the data arrives. */
constexpr size_t data_chunk_size = 0x10000;
static_assert(read_ahead_size <= data_chunk_size, "read-ahead data fits the first allocation");
/* The exit wait gives up after this many 20 ms steps (a leaked connection
 * is then reported by the leak check instead of hanging the exit). */
constexpr int exit_wait_steps = 250;

std::atomic<int> keepalive_send_interval{remote_keepalive_send_interval};
std::atomic<int> keepalive_poll_delay_override{0};

size_t align16(size_t n)
{
    return (n + 15) & ~(size_t)15;
}

int timeout_is_none(int timeout)
{
    return timeout < 0 || timeout >= sync_timeout_none;
}

enum read_state_t {
    rs_idle,        /* next: read a header */
    rs_fill,        /* read into the read-ahead buffer in flight */
    rs_header,      /* header read in flight */
    rs_wait_write,  /* result header: waiting until its request is written */
    rs_data,        /* data read in flight */
    rs_fds,         /* descriptor transfer in flight */
    rs_stopped,     /* cancelled: reads no more */
};

enum write_state_t {
    ws_idle,
    ws_packet, /* packet send in flight */
    ws_fds,    /* descriptor transfer in flight */
    ws_flush,  /* flush in flight */
};

enum turn_t { turn_both, turn_read, turn_write };

struct remote_t;

struct remote_req_t {
    remote_req_i vtbl; /* received requests only */
    remote_t* rm;
    remote_req_t* next; /* write FIFO */
    remote_req_t* prev;
    remote_packet_t* packet; /* inline_packet or a grown buffer */
    std::atomic<int> ref_count;
    std::atomic<int> busy_count;
    std::atomic<int> err; /* -1 while open */
    size_t max_output_size;
    size_t max_data_size; /* data capacity of the packet buffer */
    std::atomic<int> packet_complete; /* the write side is done with the packet */
    int is_result;       /* queued as the answer to a received request */
    int result_received; /* the result won: set before the outcome is dropped */
    int fds[fd_slot_count]; /* 0..7 input, 8..15 output; -1 none */
    union {
        struct {
            alignas(16) uint64_t scratch[remote_req_scratch_size / 8];
        } receive;
        struct {
            rblink_t link;
            alarm_t timeout_alarm;
            pin_wire_t rm_cancel_wire;
            pin_wire_t req_cancel_wire;
            pin_i* req_cancel_pin;
            int timeout;
            int alarm_armed;
            remote_complete_t complete;
            void* complete_param;
        } send;
    };
    alignas(16) remote_packet_t inline_packet;
    /* inline data follows */
};

struct fd_job_t {
    remote_t* rm;
    int channel;
    int* fds;       /* the eight slots to fill or send */
    int fd_mask;
    int receive;    /* receive (else send) */
    void (*complete)(remote_t* rm, int err);
};

/* What the two pumps have alike: the one-runner guard, the I/O in flight
 * and its outcome, the step the side is at. */
struct pump_side_t {
    std::atomic<int> pump_touch;
    std::atomic<int> pump_busy;
    std::atomic<int> io_busy;
    int io_err;
    size_t io_size;
    size_t io_expected; /* bytes the I/O must move */
    std::atomic<int> state;
};

struct remote_t {
    remote_i vtbl;
    qp_transport_i transport_vtbl;
    remote_receive_i receive_vtbl;
    sync_t lock;
    pin_t cancel_pin;
    pin_wire_t cancel_wire;
    pin_i* ext_cancel_pin;
    struct {
        alarm_t alarm;
        int armed;
        int poll_delay;
        std::atomic<uint64_t> last_send;
        std::atomic<uint64_t> last_recv;
    } keepalive;
    int flags;
    int fd;
    int fd_recv_fd;
    int fd_send_fd;
    uint8_t fd_mode;
    uint8_t fd_recv_fd_mode;
    uint8_t fd_send_fd_mode;
    qp_transport_i* transport;
    remote_receive_i* receive;
    std::atomic<int> err; /* first error that cancelled the connection; -1 none */
    std::atomic<int> ref_count;
    std::atomic<int> vtbl_ref_count;
    std::atomic<int> recv_ref_count; /* received requests not yet answered */
    std::atomic<int> started;        /* descriptor channels ready: pumps may run */
    std::atomic<int> turn;
    int receive_cancelled;
    int finalized;
    uint64_t last_cookie;
    rblink_t* center_send;
    struct read_side_t {
        pump_side_t pump;
        remote_packet_t packet; /* header being read */
        remote_req_t* req;
        size_t data_done;  /* data bytes of the packet read so far */
        size_t data_total; /* padded data size of the packet */
        fd_job_t job;
        /* Read-ahead: a header and small data arrive with one read. Only
         * where no descriptor can follow a packet on the main connection (a
         * plain read would discard it). */
        int ahead;
        size_t ahead_start;
        size_t ahead_end;
        alignas(16) unsigned char ahead_buf[read_ahead_size];
    } read;
    struct write_side_t {
        pump_side_t pump;
        int committed;
        remote_req_t* first_req;
        remote_req_t* last_req;
        remote_req_t* req;
        fd_job_t job;
    } write;
};

remote_t* remote_vcast(remote_i* rm)
{
    return (remote_t*)((char*)rm - offsetof(remote_t, vtbl));
}

remote_req_t* req_vcast(remote_req_i* req)
{
    return (remote_req_t*)((char*)req - offsetof(remote_req_t, vtbl));
}

unsigned char* req_data(remote_req_t* req)
{
    return (unsigned char*)(req->packet + 1);
}

int is_cancelled(remote_t* rm)
{
    return rm->err.load() != -1;
}

void write_pump(remote_t* rm);
void read_pump(remote_t* rm);
void remote_cancel(remote_t* rm, int err);

/* ---- connection references ------------------------------------------------ */

void rm_retain(remote_t* rm)
{
    rm->ref_count.fetch_add(1);
}

void rm_release(remote_t* rm)
{
    if (rm->ref_count.fetch_sub(1) != 1) {
        return;
    }
    fd_close(rm->fd);
    if (rm->fd_recv_fd != rm->fd) {
        fd_close(rm->fd_recv_fd);
    }
    if (rm->fd_send_fd != rm->fd && rm->fd_send_fd != rm->fd_recv_fd) {
        fd_close(rm->fd_send_fd);
    }
    pin_term(&rm->cancel_pin);
    sync_term(&rm->lock);
    rm->~remote_t();
    free_d(rm);
    sync_dec(&g_qp_remote_count);
}

/* ---- requests: memory -------------------------------------------------------- */

/* A request with data capacity for input and answer, one reference. */
remote_req_t* req_new(remote_t* rm, size_t input_size, size_t max_output_size)
{
    size_t want = max_output_size < (size_t)remote_max_inline_data_size ? max_output_size
                                                                : (size_t)remote_max_inline_data_size;
    size_t capacity = align16(input_size > want ? input_size : want);
    void* mem = malloc_d(sizeof(remote_req_t) + capacity + remote_zero_tail_size);
    if (!mem) {
        return 0;
    }
    remote_req_t* req = new (mem) remote_req_t;
    req->vtbl = 0;
    req->rm = rm;
    req->next = req->prev = 0;
    req->packet = &req->inline_packet;
    memset(req->packet, 0, sizeof(remote_packet_t));
    req->ref_count = 1;
    req->busy_count = 0;
    req->err = -1;
    req->max_output_size = max_output_size;
    req->max_data_size = capacity;
    req->packet_complete = 0;
    req->is_result = 0;
    req->result_received = 0;
    for (int& fd : req->fds) {
        fd = -1;
    }
    rm_retain(rm);
    return req;
}

void req_retain(remote_req_t* req)
{
    req->ref_count.fetch_add(1);
}

void req_release(remote_req_t* req)
{
    if (req->ref_count.fetch_sub(1) != 1) {
        return;
    }
    remote_t* rm = req->rm;
    for (int fd : req->fds) {
        fd_close(fd);
    }
    if (req->packet != &req->inline_packet) {
        free_d(req->packet);
    }
    req->~remote_req_t();
    free_d(req);
    rm_release(rm);
}

/* Makes room for size bytes of data (plus the zero tail); the old data is
 * kept up to keep bytes. 0 or err_no_mem. */
int req_grow(remote_req_t* req, size_t size, size_t keep)
{
    if (size <= req->max_data_size) {
        return 0;
    }
    size_t capacity = align16(size);
    remote_packet_t* grown =
        (remote_packet_t*)malloc_d(sizeof(remote_packet_t) + capacity + remote_zero_tail_size);
    if (!grown) {
        return err_no_mem;
    }
    memcpy(grown, req->packet, sizeof(remote_packet_t) + keep);
    if (req->packet != &req->inline_packet) {
        free_d(req->packet);
    }
    req->packet = grown;
    req->max_data_size = capacity;
    return 0;
}

/* Zero padding after size bytes of data up to the next multiple of 16, and
 * at least the zero tail. */
void req_zero_tail(remote_req_t* req, size_t size)
{
    size_t end = align16(size);
    if (end < size + remote_zero_tail_size) {
        end = size + remote_zero_tail_size;
    }
    memset(req_data(req) + size, 0, end - size);
}

/* ---- sent requests: completion ----------------------------------------------- */

void req_drop_busy(remote_req_t* req);

/* The first outcome wins; later ones are ignored. */
void req_try_complete(remote_req_t* req, int err)
{
    int open = -1;
    if (req->err.compare_exchange_strong(open, err)) {
        req_drop_busy(req);
    }
}

void req_detach_triggers(remote_req_t* req)
{
    remote_t* rm = req->rm;
    if (pin_i_detach(&rm->cancel_pin.vtbl, &req->send.rm_cancel_wire)) {
        req_release(req);
    }
    if (req->send.req_cancel_pin &&
        pin_i_detach(req->send.req_cancel_pin, &req->send.req_cancel_wire)) {
        req_release(req);
    }
    if (req->send.alarm_armed && alarm_cancel(&req->send.timeout_alarm)) {
        req_release(req);
    }
}

/* A completion without an answer: no data and eight -1 descriptors. */
void call_without_answer(remote_complete_t complete, void* param, int err)
{
    int fds[remote_max_fd_count];
    for (int& fd : fds) {
        fd = -1;
    }
    complete(param, err, 0, 0, 0, fds);
}

void req_call_completion(remote_req_t* req)
{
    int err = req->err.load();
    int deliver =
        err == 0 || (req->result_received && (req->rm->flags & remote_flag_err_output));

    if (req->send.complete) {
        if (deliver) {
            req->send.complete(req->send.complete_param, err, req->packet->result, req_data(req),
                               req->packet->data_size, req->fds + output_fd_base);
        } else {
            call_without_answer(req->send.complete, req->send.complete_param, err);
        }
    }
}

void req_drop_busy(remote_req_t* req)
{
    if (req->busy_count.fetch_sub(1) != 1) {
        return;
    }
    req_detach_triggers(req);
    req_call_completion(req);
    req_release(req);
}

/* A cancel pin of the request fired: the handler's last use of its wire,
 * then its reference goes. */
void req_cancel_fired(remote_req_t* req, pin_wire_t* wire)
{
    req_try_complete(req, err_cancelled);
    pin_handler_complete(wire);
    req_release(req);
}

void on_req_rm_cancel(pin_wire_t* wire)
{
    req_cancel_fired((remote_req_t*)((char*)wire - offsetof(remote_req_t, send.rm_cancel_wire)),
                     wire);
}

void on_req_cancel(pin_wire_t* wire)
{
    req_cancel_fired((remote_req_t*)((char*)wire - offsetof(remote_req_t, send.req_cancel_wire)),
                     wire);
}

void on_req_timeout(alarm_t* alarm)
{
    remote_req_t* req = (remote_req_t*)((char*)alarm - offsetof(remote_req_t, send.timeout_alarm));
    req_try_complete(req, err_timeout);
    alarm_handler_complete(alarm);
    req_release(req);
}

/* ---- write FIFO --------------------------------------------------------------- */

/* Appends req (the FIFO takes one reference from the caller). */
void fifo_append_locked(remote_t* rm, remote_req_t* req)
{
    req->next = 0;
    req->prev = rm->write.last_req;
    if (rm->write.last_req) {
        rm->write.last_req->next = req;
    } else {
        rm->write.first_req = req;
    }
    rm->write.last_req = req;
    rm->write.committed = 0;
}

remote_req_t* fifo_take_locked(remote_t* rm)
{
    remote_req_t* req = rm->write.first_req;
    if (req) {
        rm->write.first_req = req->next;
        if (req->next) {
            req->next->prev = 0;
        } else {
            rm->write.last_req = 0;
        }
        req->next = 0;
    }
    return req;
}

/* ---- center_send --------------------------------------------------------------- */

int comp_cookie(const void* param, const rblink_t* link)
{
    uint64_t cookie = *(const uint64_t*)param;
    const remote_req_t* req =
        (const remote_req_t*)((const char*)link - offsetof(remote_req_t, send.link));
    uint64_t other = req->packet->cookie;
    return cookie < other ? -1 : cookie > other;
}

remote_req_t* center_take_locked(remote_t* rm, uint64_t cookie)
{
    rblink_t* link = rblink_find(&rm->center_send, comp_cookie, &cookie);
    if (!link) {
        return 0;
    }
    rblink_remove(&rm->center_send, link);
    return (remote_req_t*)((char*)link - offsetof(remote_req_t, send.link));
}

/* ---- descriptor transfer --------------------------------------------------------- */

void fd_job_main(void* param)
{
    fd_job_t* job = (fd_job_t*)param;
    remote_t* rm = job->rm;
    int err = 0;
    uint8_t mode = job->receive ? rm->fd_recv_fd_mode : rm->fd_send_fd_mode;

    for (int i = 0; i < remote_max_fd_count && !err; i++) {
        if (!(job->fd_mask & (1 << i))) {
            continue;
        }
        if (job->receive) {
            err = file_receive_fd_v2_dh(__FILE__, __LINE__, job->channel, mode,
                                        &rm->cancel_pin.vtbl, &job->fds[i],
                                        rm->flags & remote_flag_trusted);
        } else {
            err = file_send_fd_v2(job->channel, mode, &rm->cancel_pin.vtbl, job->fds[i]);
        }
    }
    job->complete(rm, err);
}

void fd_job_start(fd_job_t* job, remote_t* rm, int receive, int* fds, int fd_mask,
                  void (*complete)(remote_t* rm, int err))
{
    job->rm = rm;
    job->channel = receive ? rm->fd_recv_fd : rm->fd_send_fd;
    job->fds = fds;
    job->fd_mask = fd_mask;
    job->receive = receive;
    job->complete = complete;
    if (!thread_start_fast(fd_job_main, job)) {
        complete(rm, err_no_mem);
    }
}

int fd_mask_of(const int* fds)
{
    int mask = 0;
    for (int i = 0; i < remote_max_fd_count; i++) {
        if (fds[i] != -1) {
            mask |= 1 << i;
        }
    }
    return mask;
}

/* ---- the built-in descriptor transport --------------------------------------------- */

remote_t* transport_vcast(qp_transport_i* tr)
{
    return (remote_t*)((char*)tr - offsetof(remote_t, transport_vtbl));
}

void fdt_release(qp_transport_i*) {}

void fdt_recv_async(qp_transport_i* tr, pin_i* cancel_pin, int timeout,
                    qp_transport_complete_t complete, void* param, void* data, size_t min_size,
                    size_t max_size)
{
    remote_t* rm = transport_vcast(tr);
    fd_recv_async(rm->fd, rm->fd_mode, cancel_pin, timeout, complete, param, data, min_size,
                  max_size);
}

void fdt_send_async(qp_transport_i* tr, pin_i* cancel_pin, int timeout,
                    qp_transport_complete_t complete, void* param, const void* data, size_t size)
{
    remote_t* rm = transport_vcast(tr);
    fd_send_async(rm->fd, rm->fd_mode, cancel_pin, timeout, complete, param, data, size);
}

void fdt_flush_async(qp_transport_i* tr, pin_i* cancel_pin, qp_transport_complete_t complete,
                     void* param)
{
    remote_t* rm = transport_vcast(tr);
    fd_send_async(rm->fd, rm->fd_mode, cancel_pin, sync_timeout_none, complete, param, "", 0);
}

void fdt_shutdown_recv(qp_transport_i* tr)
{
    shutdown(transport_vcast(tr)->fd, SHUT_RD);
}

void fdt_shutdown_send(qp_transport_i* tr)
{
    shutdown(transport_vcast(tr)->fd, SHUT_WR);
}

const qp_transport_i_vtbl_t fd_transport_vtbl = {
    fdt_release, fdt_recv_async, fdt_send_async, fdt_flush_async, fdt_shutdown_recv,
    fdt_shutdown_send,
};

/* ---- the default receive interface ------------------------------------------------- */

void nrcv_release(remote_receive_i*) {}
void nrcv_cancel(remote_receive_i*, int) {}
void nrcv_max_sizes(remote_receive_i*, int, size_t*, size_t*) {}
void nrcv_dispatch(remote_receive_i*, remote_req_i* req)
{
    (*req)->complete(req, err_not_implemented, 0, 0, 0);
}

const remote_receive_i_vtbl_t default_receive_vtbl = {
    nrcv_release, nrcv_cancel, nrcv_max_sizes, nrcv_dispatch,
};

/* ---- pumps --------------------------------------------------------------------------- */

/* One runner at a time: a caller that finds the pump busy leaves a touch
 * and the runner goes round once more. */
void pump_run(remote_t* rm, pump_side_t& side, void (*body)(remote_t* rm))
{
    side.pump_touch.store(1);
    for (;;) {
        int idle = 0;
        if (!side.pump_busy.compare_exchange_strong(idle, 1)) {
            return;
        }
        while (side.pump_touch.exchange(0)) {
            body(rm);
        }
        side.pump_busy.store(0);
        if (!side.pump_touch.load()) {
            return;
        }
    }
}

/* I/O completions hold a connection reference for their I/O: the outcome
 * is stored, the side's pump takes the next step, the reference goes. */
void io_end(remote_t* rm, pump_side_t& side, int err, size_t size, void (*pump)(remote_t* rm))
{
    side.io_err = err;
    side.io_size = size;
    side.io_busy.store(0);
    pump(rm);
    rm_release(rm);
}

void on_read_io(void* param, int err, size_t size)
{
    remote_t* rm = (remote_t*)param;
    io_end(rm, rm->read.pump, err, size, read_pump);
}

void on_write_io(void* param, int err, size_t size)
{
    remote_t* rm = (remote_t*)param;
    io_end(rm, rm->write.pump, err, size, write_pump);
}

void on_read_fds(remote_t* rm, int err)
{
    on_read_io(rm, err, 0);
}

void on_write_fds(remote_t* rm, int err)
{
    on_write_io(rm, err, 0);
}

/* The outcome of the last I/O of a side: its error; a transfer reported
 * successful but short can never complete its packet, so it is a broken
 * connection. */
int io_outcome(const pump_side_t& side)
{
    if (side.io_err) {
        return side.io_err;
    }
    return side.io_size < side.io_expected ? err_broken_pipe : 0;
}

void io_begin(remote_t* rm, pump_side_t& side, int state, size_t expected)
{
    side.state = state;
    side.io_expected = expected;
    side.io_busy.store(1);
    rm_retain(rm);
}

/* ---- write pump ------------------------------------------------------------------------ */

void turn_to(remote_t* rm, int turn)
{
    rm->turn.store(turn);
    if (turn == turn_read) {
        read_pump(rm);
    } else {
        write_pump(rm);
    }
}

/* The write side is done with the packet of req: results and dropped
 * requests go; a sent request waits in center_send, and a read that waits
 * for it goes on. */
void write_finish_req(remote_t* rm, remote_req_t* req)
{
    req->packet_complete.store(1);
    if (!req->is_result) {
        read_pump(rm);
    }
    req_release(req);
}

/* Once cancelled and committed: tell the receive interface, and when the
 * read side has stopped release the transport and the receive interface. */
void write_finalize(remote_t* rm)
{
    qp_transport_i* transport = 0;
    remote_receive_i* receive = 0;
    int tell_receive = 0;

    sync_lock(&rm->lock);
    if (!rm->receive_cancelled) {
        rm->receive_cancelled = 1;
        tell_receive = 1;
        receive = rm->receive;
    }
    sync_unlock(&rm->lock);
    if (tell_receive) {
        (*receive)->cancel(receive, err_cancelled);
        receive = 0;
    }
    if (rm->read.pump.state != rs_stopped || rm->read.pump.io_busy.load() || rm->finalized) {
        return;
    }
    rm->finalized = 1;
    transport = rm->transport;
    receive = rm->receive;
    rm->transport = &rm->transport_vtbl;
    rm->receive = &rm->receive_vtbl;
    (*transport)->release(transport);
    (*receive)->release(receive);
    rm_release(rm); /* the reference of the live pumps */
}

void write_start_packet(remote_t* rm, remote_req_t* req)
{
    int* fds = req->is_result ? req->fds + output_fd_base : req->fds;
    req->packet->fd_mask = (uint8_t)fd_mask_of(fds);
    rm->write.req = req;
    size_t size = remote_packet_header_size + align16(req->packet->data_size);
    io_begin(rm, rm->write.pump, ws_packet, size);
    (*rm->transport)->send_async(rm->transport, &rm->cancel_pin.vtbl, sync_timeout_none,
                                 on_write_io, rm, req->packet, size);
}

/* Takes the next packet to write, or null. Completed requests of this end
 * and everything after cancellation are dropped. */
remote_req_t* write_take_next(remote_t* rm)
{
    for (;;) {
        sync_lock(&rm->lock);
        remote_req_t* req = fifo_take_locked(rm);
        if (req && (is_cancelled(rm) || (!req->is_result && req->err.load() != -1))) {
            sync_unlock(&rm->lock);
            req->packet_complete.store(1);
            req_release(req);
            continue;
        }
        if (req && !req->is_result) {
            /* The FIFO's reference moves to the tree; the write holds one. */
            rblink_find_insert(&rm->center_send, comp_cookie, &req->packet->cookie,
                               &req->send.link);
            req_retain(req);
        }
        sync_unlock(&rm->lock);
        return req;
    }
}

void write_pump_body(remote_t* rm)
{
    for (;;) {
        if (rm->write.pump.io_busy.load() || !rm->started.load() ||
            (rm->turn.load() == turn_read && !is_cancelled(rm))) {
            return;
        }
        int state = rm->write.pump.state;
        if (state != ws_idle) {
            /* An I/O completed: a failure ends the connection. */
            int err = io_outcome(rm->write.pump);
            remote_req_t* req = rm->write.req;
            rm->write.pump.state = ws_idle;
            if (err) {
                remote_cancel(rm, err);
            } else if (state == ws_packet) {
                rm->keepalive.last_send.store(counter_msec());
                if (req->packet->fd_mask) {
                    int* fds = req->is_result ? req->fds + output_fd_base : req->fds;
                    io_begin(rm, rm->write.pump, ws_fds, 0);
                    fd_job_start(&rm->write.job, rm, 0, fds, req->packet->fd_mask, on_write_fds);
                    continue;
                }
            }
            if (req) {
                rm->write.req = 0;
                write_finish_req(rm, req);
            }
            continue;
        }
        remote_req_t* req = write_take_next(rm);
        if (req) {
            write_start_packet(rm, req);
            continue;
        }
        sync_lock(&rm->lock);
        int committed = rm->write.committed;
        rm->write.committed = 1;
        int awaiting = rm->center_send != 0;
        sync_unlock(&rm->lock);
        if (!committed && !is_cancelled(rm)) {
            io_begin(rm, rm->write.pump, ws_flush, 0);
            (*rm->transport)->flush_async(rm->transport, &rm->cancel_pin.vtbl, on_write_io, rm);
            continue;
        }
        if (is_cancelled(rm)) {
            write_finalize(rm);
            return;
        }
        if (rm->flags & remote_flag_serialize) {
            if (awaiting ||
                ((rm->flags & remote_flag_receive) && rm->recv_ref_count.load() == 0)) {
                turn_to(rm, turn_read);
            }
        }
        return;
    }
}

void write_pump(remote_t* rm)
{
    pump_run(rm, rm->write.pump, write_pump_body);
}

/* ---- received requests: remote_req_i ------------------------------------------------------ */

void* rreq_scratch(remote_req_i* r)
{
    return req_vcast(r)->receive.scratch;
}

pin_i* rreq_cancel_pin(remote_req_i* r)
{
    return &req_vcast(r)->rm->cancel_pin.vtbl;
}

int rreq_code(remote_req_i* r)
{
    return req_vcast(r)->packet->code;
}

void* rreq_input(remote_req_i* r)
{
    return req_data(req_vcast(r));
}

size_t rreq_input_size(remote_req_i* r)
{
    return req_vcast(r)->packet->data_size;
}

int rreq_input_fd(remote_req_i* r, int index)
{
    if (index < 0 || index >= remote_max_fd_count) {
        return -1;
    }
    remote_req_t* req = req_vcast(r);
    int fd = req->fds[index];
    req->fds[index] = -1;
    return fd;
}

size_t rreq_max_output_size(remote_req_i* r)
{
    return req_vcast(r)->max_output_size;
}

void rreq_output_fd(remote_req_i* r, int index, int* fd)
{
    remote_req_t* req = req_vcast(r);
    QP_ASSERT(index >= 0 && index < remote_max_fd_count);
    int* slot = &req->fds[output_fd_base + index];
    fd_close(*slot);
    *slot = *fd;
    *fd = -1;
    if (!(req->rm->flags & remote_flag_send_fd)) {
        /* No descriptor channel to send it on. */
        fd_close(*slot);
        *slot = -1;
    }
}

void rreq_complete(remote_req_i* r, int err, int result, const void* output, size_t output_size)
{
    remote_req_t* req = req_vcast(r);
    remote_t* rm = req->rm;

    QP_ASSERT(output_size <= req->max_output_size);
    for (int i = 0; i < remote_max_fd_count; i++) {
        fd_close(req->fds[i]); /* input descriptors not taken */
        req->fds[i] = -1;
    }
    if (req_grow(req, output_size, 0)) {
        /* No room for the answer: it goes out as an error without data. */
        err = err_no_mem;
        output_size = 0;
    } else if (output_size) {
        memmove(req_data(req), output, output_size);
    }
    remote_packet_t* p = req->packet;
    uint64_t cookie = p->cookie;
    memset(p, 0, sizeof *p);
    p->cookie = cookie;
    p->flags = remote_packet_flag_result;
    p->perr = err_to_perr(err);
    p->result = result;
    p->data_size = (uint32_t)output_size;
    req_zero_tail(req, output_size);
    req->is_result = 1;
    sync_lock(&rm->lock);
    fifo_append_locked(rm, req); /* takes the dispatch's reference */
    sync_unlock(&rm->lock);
    rm->recv_ref_count.fetch_sub(1);
    rm_retain(rm);
    write_pump(rm);
    rm_release(rm);
}

const remote_req_i_vtbl_t received_req_vtbl = {
    rreq_scratch,   rreq_cancel_pin,      rreq_code,      rreq_input,    rreq_input_size,
    rreq_input_fd,  rreq_max_output_size, rreq_output_fd, rreq_complete,
};

/* ---- read pump --------------------------------------------------------------------------- */

/* Completes every request still awaiting a result with err_cancelled. */
void read_drain_cancelled(remote_t* rm)
{
    for (;;) {
        sync_lock(&rm->lock);
        rblink_t* link = rm->center_send;
        if (link) {
            rblink_remove(&rm->center_send, link);
        }
        sync_unlock(&rm->lock);
        if (!link) {
            return;
        }
        remote_req_t* req = (remote_req_t*)((char*)link - offsetof(remote_req_t, send.link));
        req_try_complete(req, err_cancelled);
        req_release(req);
    }
}

/* A received request is handed to the receive interface (or answered here
 * when it is a keep-alive). */
void deliver_request(remote_t* rm, remote_req_t* req)
{
    if (req->packet->flags & remote_packet_flag_keepalive) {
        req->vtbl->complete(&req->vtbl, 0, 0, 0, 0);
        return;
    }
    remote_receive_i* receive = rm->receive;
    (*receive)->dispatch(receive, &req->vtbl);
}

/* A result completes its request unless a time-out or cancellation came
 * first; then it is discarded. */
void deliver_result(remote_req_t* req)
{
    int open = -1;
    if (req->err.compare_exchange_strong(open, perr_to_err(req->packet->perr))) {
        req->result_received = 1;
        req_drop_busy(req);
    }
    req_release(req); /* the read pump's reference (from the tree) */
}

/* The packet in rm->read.req is whole: hand the turn over, then deliver. */
void read_deliver(remote_t* rm)
{
    remote_req_t* req = rm->read.req;
    rm->read.req = 0;
    rm->read.pump.state = rs_idle;
    rm->keepalive.last_recv.store(counter_msec());
    memset(req_data(req) + req->packet->data_size, 0, remote_zero_tail_size);
    if (req->vtbl) {
        /* Until answered; in serialized mode it keeps the write side's turn. */
        rm->recv_ref_count.fetch_add(1);
    }
    if (rm->flags & remote_flag_serialize) {
        turn_to(rm, turn_write);
    }
    if (req->vtbl) {
        deliver_request(rm, req);
    } else {
        deliver_result(req);
    }
}

/* A read failed or the peer broke the protocol: the packet in progress
 * goes, and the connection is cancelled. */
void read_abort(remote_t* rm, int err)
{
    remote_req_t* req = rm->read.req;
    rm->read.req = 0;
    rm->read.pump.state = rs_idle;
    remote_cancel(rm, err);
    if (req) {
        if (!req->vtbl) {
            req_try_complete(req, err_cancelled);
        }
        req_release(req);
    }
}

/* Reads the rest of the packet's data into a buffer that grows as the
 * data arrives (at least doubling), so a peer must send the bytes it
 * announces before this end holds memory for them. */
void read_more_data(remote_t* rm)
{
    remote_req_t* req = rm->read.req;
    size_t done = rm->read.data_done;
    size_t total = rm->read.data_total;
    if (done == total) {
        rm->read.pump.state = rs_data;
        rm->read.pump.io_err = 0;
        rm->read.pump.io_size = rm->read.pump.io_expected = 0;
        return;
    }
    size_t target = done * 2 > data_chunk_size ? done * 2 : data_chunk_size;
    if (target > total) {
        target = total;
    }
    if (req_grow(req, target, done)) {
        read_abort(rm, err_no_mem);
        return;
    }
    io_begin(rm, rm->read.pump, rs_data, target - done);
    (*rm->transport)->recv_async(rm->transport, &rm->cancel_pin.vtbl, sync_timeout_none,
                                 on_read_io, rm, req_data(req) + done, target - done,
                                 target - done);
}

void read_start_data(remote_t* rm)
{
    remote_req_t* req = rm->read.req;
    size_t total = align16(req->packet->data_size);
    size_t buffered = rm->read.ahead_end - rm->read.ahead_start;
    size_t taken = buffered < total ? buffered : total;
    /* The first allocation holds at least one chunk or the whole data, and
     * the read-ahead buffer is smaller than a chunk. */
    memcpy(req_data(req), rm->read.ahead_buf + rm->read.ahead_start, taken);
    rm->read.ahead_start += taken;
    rm->read.data_done = taken;
    rm->read.data_total = total;
    read_more_data(rm);
}

/* The next header: from the read-ahead buffer when it holds one (returns
 * 1), else a read is started. */
int read_next_header(remote_t* rm)
{
    size_t buffered = rm->read.ahead_end - rm->read.ahead_start;
    if (buffered >= remote_packet_header_size) {
        memcpy(&rm->read.packet, rm->read.ahead_buf + rm->read.ahead_start,
               remote_packet_header_size);
        rm->read.ahead_start += remote_packet_header_size;
        rm->read.pump.io_err = 0;
        rm->read.pump.io_size = rm->read.pump.io_expected = 0;
        rm->read.pump.state = rs_header;
        return 1;
    }
    if (rm->read.ahead) {
        memmove(rm->read.ahead_buf, rm->read.ahead_buf + rm->read.ahead_start, buffered);
        rm->read.ahead_start = 0;
        rm->read.ahead_end = buffered;
        io_begin(rm, rm->read.pump, rs_fill, remote_packet_header_size - buffered);
        (*rm->transport)->recv_async(rm->transport, &rm->cancel_pin.vtbl, sync_timeout_none,
                                     on_read_io, rm, rm->read.ahead_buf + buffered,
                                     remote_packet_header_size - buffered,
                                     read_ahead_size - buffered);
        return 0;
    }
    io_begin(rm, rm->read.pump, rs_header, remote_packet_header_size);
    (*rm->transport)->recv_async(rm->transport, &rm->cancel_pin.vtbl, sync_timeout_none,
                                 on_read_io, rm, &rm->read.packet, remote_packet_header_size,
                                 remote_packet_header_size);
    return 0;
}

/* A request header: check it against the limits and make its request. */
int read_take_request(remote_t* rm)
{
    remote_packet_t* h = &rm->read.packet;
    int keepalive = h->flags & remote_packet_flag_keepalive;
    size_t max_input = remote_max_data_size;
    size_t max_output =
        h->max_output_size < (size_t)remote_max_data_size ? h->max_output_size : (size_t)remote_max_data_size;

    if (keepalive) {
        if (h->data_size || h->fd_mask) {
            return err_bad_format;
        }
        max_output = 0;
    } else {
        if (!(rm->flags & remote_flag_receive)) {
            return err_bad_format;
        }
        size_t sender_max_output = max_output;
        remote_receive_i* receive = rm->receive;
        (*receive)->max_sizes(receive, h->code, &max_input, &max_output);
        /* The limits may only be lowered. */
        if (max_output > sender_max_output) {
            max_output = sender_max_output;
        }
        if (max_input > remote_max_data_size) {
            max_input = remote_max_data_size;
        }
    }
    if (h->data_size > max_input) {
        return err_bad_format;
    }
    remote_req_t* req =
        req_new(rm, h->data_size < data_chunk_size ? h->data_size : data_chunk_size, max_output);
    if (!req) {
        return err_no_mem;
    }
    req->vtbl = &received_req_vtbl;
    *req->packet = *h;
    rm->read.req = req;
    return 0;
}

/* A result header: find its request; it is read once the write side is
 * done with the request's packet. */
int read_take_result(remote_t* rm)
{
    remote_packet_t* h = &rm->read.packet;
    sync_lock(&rm->lock);
    remote_req_t* req = center_take_locked(rm, h->cookie);
    sync_unlock(&rm->lock);
    if (!req) {
        return err_bad_format;
    }
    rm->read.req = req; /* the tree's reference moves to the read pump */
    if (h->data_size > req->max_output_size) {
        req_try_complete(req, err_bad_format);
        return err_bad_format;
    }
    rm->read.pump.state = rs_wait_write;
    return 0;
}

int read_check_header(remote_t* rm)
{
    const remote_packet_t* h = &rm->read.packet;
    if (h->flags & ~(remote_packet_flag_result | remote_packet_flag_keepalive) ||
        h->flags == (remote_packet_flag_result | remote_packet_flag_keepalive) || !h->cookie ||
        h->data_size > remote_max_data_size) {
        return err_bad_format;
    }
    if (h->fd_mask && !(rm->flags & remote_flag_receive_fd)) {
        return err_bad_format;
    }
    return 0;
}

void read_pump_body(remote_t* rm)
{
    for (;;) {
        if (rm->read.pump.io_busy.load() || !rm->started.load() ||
            (rm->turn.load() == turn_write && !is_cancelled(rm))) {
            return;
        }
        int err = 0;
        int state = rm->read.pump.state;
        if (state == rs_fill || state == rs_header || state == rs_data || state == rs_fds) {
            err = io_outcome(rm->read.pump);
            if (err) {
                read_abort(rm, err);
                continue;
            }
        }
        switch (state) {
        case rs_stopped:
            return;
        case rs_idle:
            if (is_cancelled(rm)) {
                read_drain_cancelled(rm);
                rm->read.pump.state = rs_stopped;
                if (rm->flags & remote_flag_serialize) {
                    rm->turn.store(turn_write);
                }
                write_pump(rm);
                return;
            }
            read_next_header(rm);
            continue;
        case rs_fill:
            rm->read.ahead_end += rm->read.pump.io_size;
            rm->read.pump.state = rs_idle;
            continue;
        case rs_header:
            err = read_check_header(rm);
            if (!err) {
                err = rm->read.packet.flags & remote_packet_flag_result ? read_take_result(rm)
                                                                         : read_take_request(rm);
            }
            if (err) {
                read_abort(rm, err);
                continue;
            }
            if (rm->read.pump.state != rs_wait_write) {
                read_start_data(rm);
            }
            continue;
        case rs_wait_write: {
            remote_req_t* req = rm->read.req;
            if (!req->packet_complete.load()) {
                return; /* the write side runs the pump when it is done */
            }
            /* The result replaces the request's packet. */
            size_t first = rm->read.packet.data_size;
            if (req_grow(req, first < data_chunk_size ? first : data_chunk_size, 0)) {
                read_abort(rm, err_no_mem);
                continue;
            }
            *req->packet = rm->read.packet;
            read_start_data(rm);
            continue;
        }
        case rs_data: {
            remote_req_t* req = rm->read.req;
            rm->read.data_done += rm->read.pump.io_size;
            if (rm->read.data_done < rm->read.data_total) {
                read_more_data(rm);
                continue;
            }
            if (req->packet->fd_mask) {
                int* fds = req->vtbl ? req->fds : req->fds + output_fd_base;
                io_begin(rm, rm->read.pump, rs_fds, 0);
                fd_job_start(&rm->read.job, rm, 1, fds, req->packet->fd_mask, on_read_fds);
                continue;
            }
            read_deliver(rm);
            continue;
        }
        case rs_fds:
            read_deliver(rm);
            continue;
        }
    }
}

void read_pump(remote_t* rm)
{
    pump_run(rm, rm->read.pump, read_pump_body);
}

/* ---- cancellation ------------------------------------------------------------------------------ */

void remote_cancel(remote_t* rm, int err)
{
    int none = -1;
    int keepalive_taken = 0;
    pin_i* ext = 0;

    sync_lock(&rm->lock);
    if (!rm->err.compare_exchange_strong(none, err)) {
        sync_unlock(&rm->lock);
        return;
    }
    ext = rm->ext_cancel_pin;
    rm->ext_cancel_pin = 0;
    if (rm->keepalive.armed && alarm_cancel(&rm->keepalive.alarm)) {
        keepalive_taken = 1;
    }
    rm->keepalive.armed = 0;
    sync_unlock(&rm->lock);
    rm_retain(rm);
    pin_signal(&rm->cancel_pin);
    if (ext && pin_i_detach(ext, &rm->cancel_wire)) {
        rm_release(rm);
    }
    if (keepalive_taken) {
        rm_release(rm);
    }
    write_pump(rm);
    read_pump(rm);
    rm_release(rm);
}

void on_ext_cancel(pin_wire_t* wire)
{
    remote_t* rm = (remote_t*)((char*)wire - offsetof(remote_t, cancel_wire));
    remote_cancel(rm, err_cancelled);
    pin_handler_complete(wire);
    rm_release(rm);
}

/* ---- sending ------------------------------------------------------------------------------------- */

void send_request(remote_t* rm, pin_i* cancel_pin, int timeout, int code, int packet_flags,
                  const void* input, size_t input_size, const int* input_fds,
                  size_t max_output_size, remote_complete_t complete, void* complete_param)
{
    int err = 0;

    if (!(rm->flags & remote_flag_send) && !(packet_flags & remote_packet_flag_keepalive)) {
        err = err_not_implemented;
    } else if (input_size > remote_max_data_size || (input_size && !input)) {
        err = err_bad_parameter;
    } else if (input_fds && fd_mask_of(input_fds) && !(rm->flags & remote_flag_send_fd)) {
        err = err_bad_parameter;
    }
    if (max_output_size > remote_max_data_size) {
        max_output_size = remote_max_data_size;
    }
    remote_req_t* req = err ? 0 : req_new(rm, input_size, max_output_size);
    if (!req) {
        if (complete) {
            call_without_answer(complete, complete_param, err ? err : err_no_mem);
        }
        return;
    }
    /* One busy reference for the caller (until the request is queued), one
     * for the outcome; one memory reference for the completion. */
    req->busy_count = 2;
    req->send.complete = complete;
    req->send.complete_param = complete_param;
    req->send.req_cancel_pin = cancel_pin;
    req->send.timeout = timeout;
    req->send.alarm_armed = 0;
    alarm_init(&req->send.timeout_alarm);
    req->send.rm_cancel_wire = pin_wire_t();
    req->send.req_cancel_wire = pin_wire_t();
    req_retain(req);
    pin_attach_2(&rm->cancel_pin.vtbl, on_req_rm_cancel, &req->send.rm_cancel_wire);
    if (cancel_pin) {
        req_retain(req);
        pin_attach_2(cancel_pin, on_req_cancel, &req->send.req_cancel_wire);
    }
    if (!timeout_is_none(timeout)) {
        req_retain(req);
        req->send.alarm_armed = 1;
        alarm_schedule_2(&req->send.timeout_alarm, on_req_timeout, alarm_now() + (uint64_t)timeout);
    }

    remote_packet_t* p = req->packet;
    p->flags = (uint8_t)packet_flags;
    p->code = code;
    p->data_size = (uint32_t)input_size;
    p->max_output_size = (uint32_t)max_output_size;
    if (input_size) {
        memcpy(req_data(req), input, input_size);
    }
    req_zero_tail(req, input_size);
    for (int i = 0; input_fds && i < remote_max_fd_count && !err; i++) {
        if (input_fds[i] != -1) {
            err = file_duplicate_dh(__FILE__, __LINE__, &req->fds[i], input_fds[i]);
        }
    }
    if (err) {
        req_try_complete(req, err);
    } else {
        sync_lock(&rm->lock);
        p->cookie = ++rm->last_cookie;
        req_retain(req);
        fifo_append_locked(rm, req);
        sync_unlock(&rm->lock);
        write_pump(rm);
    }
    req_drop_busy(req);
}

/* ---- keep-alive -------------------------------------------------------------------------------- */

void keepalive_fire(alarm_t* alarm);

/* Arms the alarm, which holds a connection reference, unless the
 * connection is cancelled or the alarm thread has ended (at exit); then
 * the reference goes. */
void keepalive_arm(remote_t* rm)
{
    sync_lock(&rm->lock);
    int armed = 0;
    if (!is_cancelled(rm)) {
        alarm_init(&rm->keepalive.alarm);
        armed = alarm_schedule_(&rm->keepalive.alarm, keepalive_fire,
                                alarm_now() + (uint64_t)rm->keepalive.poll_delay);
    }
    rm->keepalive.armed = armed;
    sync_unlock(&rm->lock);
    if (!armed) {
        rm_release(rm);
    }
}

void on_keepalive_complete(void* param, int err, int, void*, size_t, int*)
{
    remote_t* rm = (remote_t*)param;
    if (err) {
        remote_cancel(rm, err);
    }
    keepalive_arm(rm);
}

/* Every poll_delay: a keep-alive request when nothing was sent for the
 * send interval; its completion re-arms the alarm. */
void keepalive_fire(alarm_t* alarm)
{
    remote_t* rm = (remote_t*)((char*)alarm - offsetof(remote_t, keepalive.alarm));
    uint64_t now = counter_msec();
    int due = now >= rm->keepalive.last_send.load() + (uint64_t)keepalive_send_interval.load();

    sync_lock(&rm->lock);
    rm->keepalive.armed = 0;
    sync_unlock(&rm->lock);
    alarm_handler_complete(alarm);
    if (!due || is_cancelled(rm)) {
        keepalive_arm(rm);
        return;
    }
    rm->keepalive.last_send.store(now);
    send_request(rm, 0, remote_keepalive_timeout, 0, remote_packet_flag_keepalive, 0, 0, 0, 0,
                 on_keepalive_complete, rm);
}

/* ---- remote_i -------------------------------------------------------------------------------- */

void rm_v_retain(remote_i* r)
{
    remote_vcast(r)->vtbl_ref_count.fetch_add(1);
}

void rm_v_release(remote_i* r)
{
    remote_t* rm = remote_vcast(r);
    if (rm->vtbl_ref_count.fetch_sub(1) == 1) {
        remote_cancel(rm, 0);
        rm_release(rm);
    }
}

void rm_v_cancel(remote_i* r)
{
    remote_cancel(remote_vcast(r), err_cancelled);
}

void rm_v_send_async(remote_i* r, pin_i* cancel_pin, int timeout, int code, const void* input,
                     size_t input_size, const int* input_fds, size_t max_output_size,
                     remote_complete_t complete, void* complete_param)
{
    send_request(remote_vcast(r), cancel_pin, timeout, code, 0, input, input_size, input_fds,
                 max_output_size, complete, complete_param);
}

const remote_i_vtbl_t remote_vtbl = {rm_v_retain, rm_v_release, rm_v_cancel, rm_v_send_async};

/* ---- creation ------------------------------------------------------------------------------------ */

void remote_exit_wait()
{
    for (int i = 0; i < exit_wait_steps && __atomic_load_n(&g_qp_remote_count, __ATOMIC_ACQUIRE);
         i++) {
        thread_wait(20);
    }
}

void remote_register_exit_wait()
{
    static std::atomic<int> registered;
    int no = 0;
    if (registered.compare_exchange_strong(no, 1)) {
        atexit(remote_exit_wait);
    }
}

int check_factory_parameters(int flags, int* fd, qp_transport_i** transport,
                             remote_receive_i** receive)
{
    int with_fd = fd && *fd != -1;
    int with_transport = transport && *transport;
    int fd_flags = flags & (remote_flag_receive_fd | remote_flag_send_fd);

    if (!(flags & (remote_flag_receive | remote_flag_send))) {
        return err_bad_parameter;
    }
    if ((flags & remote_flag_serialize) && (flags & remote_flag_receive) &&
        (flags & remote_flag_send)) {
        return err_bad_parameter;
    }
    if (with_fd == with_transport || (fd_flags && with_transport)) {
        return err_bad_parameter;
    }
    if (receive && *receive && !(flags & remote_flag_receive)) {
        return err_bad_parameter;
    }
    if ((flags & remote_flag_keepalive) && ((flags & remote_flag_serialize) || fd_flags)) {
        return err_bad_parameter;
    }
    return 0;
}

/* Non-serialized descriptor channels: the server end makes a socket pair
 * per direction and sends the far end over the main connection. */
int set_up_channels(remote_t* rm)
{
    pin_i* cancel = &rm->cancel_pin.vtbl;
    int err = 0;
    int server = rm->flags & remote_flag_server;
    int trusted = rm->flags & remote_flag_trusted;
    int want_recv = rm->flags & remote_flag_receive_fd;
    int want_send = rm->flags & remote_flag_send_fd;

    if (server) {
        int* mine[2] = {&rm->fd_recv_fd, &rm->fd_send_fd};
        int want[2] = {want_recv, want_send};
        for (int i = 0; i < 2 && !err; i++) {
            int far = -1;
            if (!want[i]) {
                continue;
            }
            err = file_create_socket_dh(__FILE__, __LINE__, mine[i], &far);
            if (!err) {
                err = file_send_fd_v2(rm->fd, rm->fd_mode, cancel, far);
                fd_close(far);
            }
        }
    } else {
        if (want_send) {
            err = file_receive_fd_v2_dh(__FILE__, __LINE__, rm->fd, rm->fd_mode, cancel,
                                        &rm->fd_send_fd, trusted);
        }
        if (!err && want_recv) {
            err = file_receive_fd_v2_dh(__FILE__, __LINE__, rm->fd, rm->fd_mode, cancel,
                                        &rm->fd_recv_fd, trusted);
        }
    }
    return err;
}

void start_pumps(remote_t* rm)
{
    rm->started.store(1);
    write_pump(rm);
    read_pump(rm);
}

void channel_init_main(void* param)
{
    remote_t* rm = (remote_t*)param;
    int err = set_up_channels(rm);
    if (err) {
        remote_cancel(rm, err);
    }
    start_pumps(rm);
    rm_release(rm);
}

} // namespace

void remote_keepalive_set_intervals_(int send_interval, int poll_delay)
{
    keepalive_send_interval = send_interval > 0 ? send_interval : remote_keepalive_send_interval;
    keepalive_poll_delay_override = poll_delay > 0 ? poll_delay : 0;
}

int remote_factory_dh(const char* file, int line, remote_i** out_rm, pin_i* cancel_pin, int flags,
                      int* fd, qp_transport_i** transport, remote_receive_i** receive)
{
    *out_rm = 0;
    int err = check_factory_parameters(flags, fd, transport, receive);
    void* mem = err ? 0 : malloc_dh(file, line, sizeof(remote_t));
    if (!mem) {
        if (fd) {
            fd_close(*fd);
            *fd = -1;
        }
        if (transport && *transport) {
            (**transport)->release(*transport);
            *transport = 0;
        }
        if (receive && *receive) {
            (**receive)->release(*receive);
            *receive = 0;
        }
        return err ? err : err_no_mem;
    }
    remote_register_exit_wait();
    sync_inc(&g_qp_remote_count);

    remote_t* rm = new (mem) remote_t;
    rm->vtbl = &remote_vtbl;
    rm->transport_vtbl = &fd_transport_vtbl;
    rm->receive_vtbl = &default_receive_vtbl;
    sync_init(&rm->lock);
    pin_init(&rm->cancel_pin);
    rm->cancel_wire = pin_wire_t();
    rm->ext_cancel_pin = 0;
    alarm_init(&rm->keepalive.alarm);
    rm->keepalive.armed = 0;
    rm->keepalive.poll_delay =
        keepalive_poll_delay_override.load()
            ? keepalive_poll_delay_override.load()
            : remote_keepalive_poll_delay_min +
                  (int)(((bits_hash_ptr(rm) & 0xFFFF) *
                         (remote_keepalive_poll_delay_max - remote_keepalive_poll_delay_min)) >>
                        16);
    rm->keepalive.last_send = rm->keepalive.last_recv = counter_msec();
    rm->flags = flags;
    rm->fd = fd ? *fd : -1;
    if (fd) {
        *fd = -1;
    }
    int serialized = flags & remote_flag_serialize;
    rm->fd_recv_fd = rm->fd_send_fd = serialized ? rm->fd : -1;
    rm->fd_mode = rm->fd_recv_fd_mode = rm->fd_send_fd_mode = 0;
    rm->transport = transport && *transport ? *transport : &rm->transport_vtbl;
    if (transport) {
        *transport = 0;
    }
    rm->receive = receive && *receive ? *receive : &rm->receive_vtbl;
    if (receive) {
        *receive = 0;
    }
    rm->err = -1;
    /* References: the interface, the live pumps (until finalized). */
    rm->ref_count = 2;
    rm->vtbl_ref_count = 1;
    rm->recv_ref_count = 0;
    rm->receive_cancelled = 0;
    rm->finalized = 0;
    rm->last_cookie = 0;
    rm->center_send = 0;
    rm->read.pump.pump_touch = rm->read.pump.pump_busy = rm->read.pump.io_busy = 0;
    rm->read.pump.state = rs_idle;
    rm->read.req = 0;
    rm->read.ahead = !(serialized && (flags & remote_flag_receive_fd));
    rm->read.ahead_start = rm->read.ahead_end = 0;
    rm->write.pump.pump_touch = rm->write.pump.pump_busy = rm->write.pump.io_busy = 0;
    rm->write.pump.state = ws_idle;
    rm->write.committed = 1;
    rm->write.first_req = rm->write.last_req = rm->write.req = 0;
    rm->turn = serialized ? ((flags & remote_flag_receive) ? turn_read : turn_write) : turn_both;
    int channels = !serialized && (flags & (remote_flag_receive_fd | remote_flag_send_fd));
    rm->started = !channels;

    if (cancel_pin) {
        rm_retain(rm);
        rm->ext_cancel_pin = cancel_pin;
        pin_attach_2(cancel_pin, on_ext_cancel, &rm->cancel_wire);
    }
    if (flags & remote_flag_keepalive) {
        rm_retain(rm);
        keepalive_arm(rm);
    }
    if (channels) {
        rm_retain(rm);
        if (!thread_start_fast(channel_init_main, rm)) {
            remote_cancel(rm, err_no_mem);
            start_pumps(rm);
            rm_release(rm);
        }
    } else {
        start_pumps(rm);
    }
    *out_rm = &rm->vtbl;
    return 0;
}

/* ---- synchronous sends -------------------------------------------------------------------------- */

namespace {

/* A synchronous send waits on a hold: one signal (the completion) for one
 * waiter, which wakes with a single hand-over. */
struct remote_send_sync_t {
    hold_t done;
    malloc_i* ma; /* allocates the output when set */
    int err;
    int result;
    void* output;
    size_t max_output_size;
    size_t output_size;
    int* output_fds;
};

void on_send_sync(void* param, int err, int result, void* output, size_t output_size,
                  int* output_fds)
{
    remote_send_sync_t* s = (remote_send_sync_t*)param;
    s->err = err;
    s->result = result;
    if (output_size > s->max_output_size) {
        output_size = s->max_output_size;
    }
    if (s->ma && output) {
        void* copy = ma_alloc(s->ma, output_size + 1);
        if (copy) {
            memcpy(copy, output, output_size);
        } else if (!err) {
            s->err = err_no_mem;
            output_size = 0;
        }
        s->output = copy;
    } else if (output && output_size) {
        memcpy(s->output, output, output_size);
    }
    s->output_size = output ? output_size : 0;
    if (s->output_fds) {
        for (int i = 0; i < remote_max_fd_count; i++) {
            s->output_fds[i] = output_fds[i];
            output_fds[i] = -1;
        }
    }
    hold_signal(&s->done);
}

int send_sync(remote_i* rm, pin_i* cancel_pin, int timeout, int code, const void* input,
              size_t input_size, const int* input_fds, remote_send_sync_t* s)
{
    hold_init(&s->done);
    s->err = 0;
    s->result = 0;
    s->output_size = 0;
    (*rm)->send_async(rm, cancel_pin, timeout, code, input, input_size, input_fds,
                      s->max_output_size, on_send_sync, s);
    hold_wait(&s->done, sync_timeout_none);
    hold_term(&s->done);
    return s->err;
}

} // namespace

int remote_send(remote_i* rm, pin_i* cancel_pin, int timeout, int code, const void* input,
                size_t input_size, const int* input_fds, int* out_result, void* output,
                size_t max_output_size, size_t* out_output_size, int* output_fds)
{
    remote_send_sync_t s;
    s.ma = 0;
    s.output = output;
    s.max_output_size = output ? max_output_size : 0;
    s.output_fds = output_fds;
    int err = send_sync(rm, cancel_pin, timeout, code, input, input_size, input_fds, &s);
    if (out_result) {
        *out_result = s.result;
    }
    if (out_output_size) {
        *out_output_size = s.output_size;
    }
    return err;
}

int remote_send_ma(remote_i* rm, malloc_i* ma, pin_i* cancel_pin, int timeout, int code,
                   const void* input, size_t input_size, int* out_result, void** out_output,
                   size_t* out_output_size)
{
    remote_send_sync_t s;
    s.ma = ma;
    s.output = 0;
    s.max_output_size = remote_send_ma_max_output_size;
    s.output_fds = 0;
    int err = send_sync(rm, cancel_pin, timeout, code, input, input_size, 0, &s);
    *out_result = s.result;
    *out_output = s.output;
    *out_output_size = s.output_size;
    return err;
}

int remote_send_single(int* fd, pin_i* cancel_pin, int timeout, int code, const void* input,
                       size_t input_size, const int* input_fds, int* out_result, void* output,
                       size_t max_output_size, size_t* out_output_size, int* output_fds)
{
    remote_i* rm;
    int flags = remote_flag_send | remote_flag_serialize;
    if (input_fds) {
        flags |= remote_flag_send_fd;
    }
    if (output_fds) {
        flags |= remote_flag_receive_fd;
    }
    int err = remote_factory_d(&rm, 0, flags, fd, 0, 0);
    if (err) {
        if (out_result) {
            *out_result = 0;
        }
        if (out_output_size) {
            *out_output_size = 0;
        }
        for (int i = 0; output_fds && i < remote_max_fd_count; i++) {
            output_fds[i] = -1;
        }
        return err;
    }
    err = remote_send(rm, cancel_pin, timeout, code, input, input_size, input_fds, out_result,
                      output, max_output_size, out_output_size, output_fds);
    (*rm)->release(rm);
    return err;
}
