// qpasyncnix.cpp - asynchronous receive and send on descriptors, served by
// a small pool of worker threads, and the poll set they wait with.
//
// Workers (fda_thread_t) sit in one global list under fda_list_lock. An
// I/O reserves a place on the first worker with fewer than
// fda_thread_max_io_count reserved places (a new worker is made when none
// has room) and holds a reference to it until its completion has run. The
// worker's queue (first_io .. last_io) is guarded by the worker's own spin
// lock, held only to change the queue and to set up a pass; anyone
// appends, only the worker thread unlinks.
//
// One pass of a worker: take its pings; under its lock, put its ping pipe
// and every queued I/O into the poll set and wire the I/Os' cancel pins
// into one pin buffer whose output writes to a pollable wire in the set;
// poll until something is ready, a pin fires or the earliest deadline
// passes; then visit the I/Os that were polled, in queue order: past the
// deadline -> 110; not ready -> 125 when cancelled, else stays; ready ->
// one non-blocking read or write, then the I/O continues (queued again, or
// completed). Appending from another thread pings the worker.
//
// The ping goes straight into the ping pipe (an eventfd), not through a pin:
// a pin's handler runs on the pinging thread, and the worker would have to
// wait for it to finish before reusing its wire, which stalls the worker
// whenever the pinging thread is preempted in between. `pinged` keeps
// repeated pings to one write per pass.
//
// Completions run without any lock held, exactly once per I/O: on the
// caller's thread when the I/O fails or completes at once, else on the
// worker. An error is reported only when no byte moved.
//
// At FILE_SIGNAL_COLLECTING every worker is told to stop: it leaves the
// list, fails what is still queued with 125 and ends; I/Os offered to a
// stopping worker, or after collection began, fail with 125.
//
// Every step writes a line on the trace channel "qppacket".
#include "qpsocket.h"

#include "qperr.h"
#include "qpsysnix.hpp"
#include "qptraces.h"

#include <cerrno>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>

struct fda_thread_t;

struct fda_io_t {
    pin_buf_wire_t cancel_buf_wire;
    fda_io_t* prev;
    fda_io_t* next;
    fd_async_complete_t complete;
    void* param;
    int transfer; // qp_io_direction_*
    int fd;
    pin_i* cancel_pin;
    uint64_t deadline; // counter_msec, all ones for none
    char* data;        // data_read or data_write
    size_t min_data_size;
    size_t max_data_size;
    int err;
    size_t data_size; // moved so far
    fda_thread_t* thread;
    int poll_pos; // position in the worker's current poll set, -1 when not in it
};

struct fda_thread_t {
    spinner_t lock;
    int ping_fd;           // the ping pipe: an eventfd
    int pinged;            // a ping is in the pipe or on its way
    pin_io_wire_t* cancel_pipe; // readable once a cancel pin of the pass fired
    void* thread;          // the worker's identity once it runs
    int stop;
    fda_thread_t* prev;
    fda_thread_t* next;
    int ref_count;
    int io_count; // reserved places
    fda_io_t* first_io;
    fda_io_t* last_io;
};

namespace {

sync_t fda_list_lock = SYNC_INIT;
fda_thread_t* fda_first_thread;
int fda_initialized;
int fda_collecting;
pin_wire_t fda_collecting_wire;
TRCHANNEL qppacket_channel;

// Records of finished I/Os kept for reuse, so that a steady stream of
// transfers does not take the heap's lock on two threads at once. Emptied
// when collection begins; later records go straight back to the heap.
spinner_t fda_io_cache_lock = SPINNER_INIT;
fda_io_t* fda_io_cache;
int fda_io_cache_count;
const int fda_io_cache_max = 64;

// The channel is 0 (nothing traced) until the first worker is wanted.
#define qppacket_trace(format, ...)                                                                \
    trprintf(__atomic_load_n(&qppacket_channel, __ATOMIC_ACQUIRE), "0x%P %s " format,              \
             thread_self(), __func__, __VA_ARGS__)

// ---- workers ----------------------------------------------------------------

void fda_thread_release(fda_thread_t* ft)
{
    if (sync_dec(&ft->ref_count))
        return;
    // Every queued I/O holds a reference, so nothing can be queued here.
    QP_ASSERT(!ft->first_io);
    pin_io_wire_release(ft->cancel_pipe);
    close(ft->ping_fd);
    spinner_term(&ft->lock);
    free_d(ft);
}

void fda_thread_ping(fda_thread_t* ft)
{
    qppacket_trace("ping ft=0x%P\n", (void*)ft);
    if (!__atomic_exchange_n(&ft->pinged, 1, __ATOMIC_ACQ_REL)) {
        const uint64_t one = 1;
        ssize_t res;
        do
            res = write(ft->ping_fd, &one, sizeof(one));
        while (res < 0 && errno == EINTR);
    }
}

// Takes the pings of the last pass; a ping after this reaches the next one.
// The pipe is emptied only when the last poll found it readable: a ping
// still on its way is then found by the next poll. The pipe is read before
// `pinged` is cleared: cleared first, a ping written in between would be
// read here while `pinged` stays set, and every later ping would skip its
// write while the worker sleeps. Read first, a ping that finds `pinged` set
// queued its I/O before the clear, so the coming pass sees that I/O.
void fda_thread_take_pings(fda_thread_t* ft, bool pipe_readable)
{
    uint64_t count;
    qppacket_trace("ping reset ft=0x%P\n", (void*)ft);
    if (pipe_readable)
        while (read(ft->ping_fd, &count, sizeof(count)) < 0 && errno == EINTR)
            ;
    __atomic_store_n(&ft->pinged, 0, __ATOMIC_RELEASE);
}

// Tells a worker to stop; the caller holds fda_list_lock and has unlinked it.
void fda_thread_stop(fda_thread_t* ft)
{
    spinner_lock(&ft->lock);
    __atomic_store_n(&ft->stop, 1, __ATOMIC_RELEASE);
    spinner_unlock(&ft->lock);
    fda_thread_ping(ft);
}

fda_io_t* fda_io_alloc()
{
    spinner_lock(&fda_io_cache_lock);
    fda_io_t* io = fda_io_cache;
    if (io) {
        fda_io_cache = io->next;
        fda_io_cache_count--;
    }
    spinner_unlock(&fda_io_cache_lock);
    if (!io)
        return static_cast<fda_io_t*>(calloc_d(1, sizeof(fda_io_t)));
    memset(io, 0, sizeof(*io));
    return io;
}

void fda_io_free(fda_io_t* io)
{
    spinner_lock(&fda_io_cache_lock);
    if (!__atomic_load_n(&fda_collecting, __ATOMIC_ACQUIRE) &&
        fda_io_cache_count < fda_io_cache_max) {
        io->next = fda_io_cache;
        fda_io_cache = io;
        fda_io_cache_count++;
        io = nullptr;
    }
    spinner_unlock(&fda_io_cache_lock);
    free_d(io);
}

void fda_io_cache_empty()
{
    spinner_lock(&fda_io_cache_lock);
    fda_io_t* io = fda_io_cache;
    fda_io_cache = nullptr;
    fda_io_cache_count = 0;
    spinner_unlock(&fda_io_cache_lock);
    while (io) {
        fda_io_t* next = io->next;
        free_d(io);
        io = next;
    }
}

void fda_collecting_handler(pin_wire_t* wire)
{
    fda_thread_t* stopped;
    sync_lock(&fda_list_lock);
    __atomic_store_n(&fda_collecting, 1, __ATOMIC_RELEASE);
    stopped = fda_first_thread;
    fda_first_thread = nullptr;
    for (fda_thread_t* ft = stopped; ft; ft = ft->next)
        fda_thread_stop(ft);
    sync_unlock(&fda_list_lock);
    fda_io_cache_empty();
    while (stopped) {
        fda_thread_t* next = stopped->next;
        fda_thread_release(stopped); // the list's reference
        stopped = next;
    }
    pin_handler_complete(wire);
}

// Opens the trace channel and attaches to the collection, once; no lock is
// held meanwhile (the trace library is loaded on the way). A caller arriving
// during the set-up waits for it.
void fda_initialize_once()
{
    enum { none, busy, ready };
    if (__atomic_load_n(&fda_initialized, __ATOMIC_ACQUIRE) == ready)
        return;
    if (!sync_xchg(&fda_initialized, none, busy)) {
        while (__atomic_load_n(&fda_initialized, __ATOMIC_ACQUIRE) != ready)
            thread_wait(1);
        return;
    }
    __atomic_store_n(&qppacket_channel, tropen("qppacket"), __ATOMIC_RELEASE);
    pin_attach_2(procsig_pin(FILE_SIGNAL_COLLECTING), fda_collecting_handler,
                 &fda_collecting_wire);
    __atomic_store_n(&fda_initialized, ready, __ATOMIC_RELEASE);
}

void fda_complete(fda_io_t* io);
void fda_continue(fda_io_t* io);
void fda_thread_main(void* param);

// A new worker with references for the list and for its thread, or null.
fda_thread_t* fda_thread_new()
{
    fda_thread_t* ft = static_cast<fda_thread_t*>(calloc_d(1, sizeof(fda_thread_t)));
    if (!ft)
        return nullptr;
    ft->cancel_pipe = pin_io_wire_factory();
    ft->ping_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!ft->cancel_pipe || ft->ping_fd < 0) {
        pin_io_wire_release(ft->cancel_pipe);
        if (ft->ping_fd >= 0)
            close(ft->ping_fd);
        free_d(ft);
        return nullptr;
    }
    spinner_init(&ft->lock);
    ft->ref_count = 2;
    return ft;
}

// A worker with a place reserved and a reference for the caller, or null
// (out of memory, or collection has begun).
fda_thread_t* fda_thread_factory()
{
    sync_lock(&fda_list_lock);
    fda_thread_t* ft = nullptr;
    if (!__atomic_load_n(&fda_collecting, __ATOMIC_ACQUIRE)) {
        for (ft = fda_first_thread; ft; ft = ft->next)
            if (__atomic_load_n(&ft->io_count, __ATOMIC_ACQUIRE) < fda_thread_max_io_count)
                break;
        if (!ft) {
            ft = fda_thread_new();
            if (ft) {
                ft->next = fda_first_thread;
                if (fda_first_thread)
                    fda_first_thread->prev = ft;
                fda_first_thread = ft;
                if (!thread_start(fda_thread_main, ft)) {
                    fda_first_thread = ft->next;
                    if (fda_first_thread)
                        fda_first_thread->prev = nullptr;
                    sync_unlock(&fda_list_lock);
                    sync_dec(&ft->ref_count); // the thread's, never started
                    fda_thread_release(ft);
                    return nullptr;
                }
            }
        }
        if (ft) {
            sync_inc(&ft->io_count);
            sync_inc(&ft->ref_count);
        }
    }
    sync_unlock(&fda_list_lock);
    return ft;
}

// ---- one I/O -------------------------------------------------------------------

void fda_complete(fda_io_t* io)
{
    fda_thread_t* ft = io->thread;
    int err = io->data_size ? 0 : io->err;
    size_t size = io->data_size;
    fd_async_complete_t complete = io->complete;
    void* param = io->param;
    qppacket_trace("complete io=0x%P err=%d siz=%u\n", (void*)io, err, (unsigned)size);
    fda_io_free(io);
    complete(param, err, size);
    if (ft) {
        sync_dec(&ft->io_count);
        fda_thread_release(ft);
    }
}

// Queues the I/O on its worker; false when the worker is stopping.
bool fda_queue(fda_io_t* io)
{
    fda_thread_t* ft = io->thread;
    spinner_lock(&ft->lock);
    if (ft->stop) {
        spinner_unlock(&ft->lock);
        return false;
    }
    io->poll_pos = -1;
    io->next = nullptr;
    io->prev = ft->last_io;
    if (ft->last_io)
        ft->last_io->next = io;
    else
        ft->first_io = io;
    ft->last_io = io;
    spinner_unlock(&ft->lock);
    if (__atomic_load_n(&ft->thread, __ATOMIC_ACQUIRE) != thread_self())
        fda_thread_ping(ft);
    return true;
}

// The caller holds the worker's lock.
void fda_unlink(fda_thread_t* ft, fda_io_t* io)
{
    if (io->prev)
        io->prev->next = io->next;
    else
        ft->first_io = io->next;
    if (io->next)
        io->next->prev = io->prev;
    else
        ft->last_io = io->prev;
    io->prev = io->next = nullptr;
}

void fda_continue(fda_io_t* io)
{
    if (io->fd == -1 && !io->err)
        io->err = err_bad_fd;
    if (io->data_size < io->min_data_size && !io->err) {
        if (fda_queue(io))
            return;
        io->err = err_cancelled;
    }
    fda_complete(io);
}

// One non-blocking read or write at the current position.
void fda_transfer(fda_io_t* io)
{
    ssize_t moved = qpfd::transfer_once(io->fd, io->transfer, io->data + io->data_size,
                                        io->max_data_size - io->data_size);
    int err = moved < 0 ? qpfd::last_error() : 0;
    if (err == EINTR || err == EAGAIN)
        err = 0;
    else if (err)
        io->err = err;
    else if (moved == 0 && io->data_size < io->min_data_size)
        io->err = err_broken_pipe;
    if (moved > 0)
        io->data_size += static_cast<size_t>(moved);
    qppacket_trace("transfer io=0x%P fd=%d err=%d siz=%u\n", (void*)io, io->fd, err,
                   (unsigned)(moved > 0 ? moved : 0));
}

void fda_start(fda_io_t* io)
{
    if (io->fd == -1) {
        io->err = err_bad_fd;
        fda_complete(io);
        return;
    }
    if (io->data_size >= io->min_data_size) {
        fda_complete(io); // nothing to move
        return;
    }
    io->thread = fda_thread_factory();
    if (!io->thread) {
        io->err = err_cancelled;
        fda_complete(io);
        return;
    }
    fda_continue(io);
}

fda_io_t* fda_io_new(int fd, pin_i* cancel_pin, int timeout, fd_async_complete_t complete,
                     void* param, int transfer, void* data, size_t min_size, size_t max_size)
{
    fda_initialize_once();
    fda_io_t* io = fda_io_alloc();
    if (!io) {
        complete(param, err_no_mem, 0);
        return nullptr;
    }
    io->complete = complete;
    io->param = param;
    io->transfer = transfer;
    io->fd = fd;
    io->cancel_pin = cancel_pin;
    io->deadline = qpfd::deadline_of(timeout);
    io->data = static_cast<char*>(data);
    io->min_data_size = min_size;
    io->max_data_size = max_size;
    io->poll_pos = -1;
    return io;
}

// ---- the worker thread ------------------------------------------------------------

// Builds the poll set over the queue and wires the cancel pins into buf;
// returns the earliest deadline and whether buf has inputs. The caller
// holds the worker's lock.
uint64_t fda_prepare_pass(fda_thread_t* ft, fd_wait_t* set, pin_buf_t* buf, bool* out_cancels)
{
    uint64_t deadline = UINT64_MAX;
    *out_cancels = false;
    fd_wait_reset(set);
    fd_wait_add(set, ft->ping_fd, qp_io_direction_recv);
    fd_wait_add(set, pin_io_wire_fd(ft->cancel_pipe), qp_io_direction_recv);
    pin_buf_init_(buf, 1);
    for (fda_io_t* io = ft->first_io; io; io = io->next) {
        io->poll_pos = static_cast<int>(fd_wait_add(set, io->fd, io->transfer));
        if (io->cancel_pin) {
            pin_buf_wire_init(&io->cancel_buf_wire, buf, io->cancel_pin);
            *out_cancels = true;
        }
        if (io->deadline < deadline)
            deadline = io->deadline;
    }
    return deadline;
}

// Waits until something of the queue is ready, a pin fires or a deadline
// passes.
void fda_wait_pass(fda_thread_t* ft, fd_wait_t* set)
{
    int err;
    do {
        pin_buf_t buf;
        bool cancels;
        spinner_lock(&ft->lock);
        uint64_t deadline = fda_prepare_pass(ft, set, &buf, &cancels);
        spinner_unlock(&ft->lock);
        if (cancels)
            pin_io_wire_attach(ft->cancel_pipe, pin_buf_output(&buf));
        err = fd_wait_wait(set, &deadline, -1);
        if (cancels)
            pin_io_wire_detach(ft->cancel_pipe, pin_buf_output(&buf));
        pin_buf_term_(&buf);
    } while (err == err_retry);
    QP_ASSERT(!err || err == err_timeout);
}

// Takes the I/Os of the last poll set that are done waiting off the queue,
// in queue order, under one hold of the lock: past the deadline (err 110),
// ready (err 0), or cancelled (err 125). Returns them as a list.
fda_io_t* fda_take_polled(fda_thread_t* ft, fd_wait_t* set)
{
    uint64_t now = counter_msec();
    fda_io_t *taken = nullptr, **tail = &taken;
    spinner_lock(&ft->lock);
    for (fda_io_t *io = ft->first_io, *next; io; io = next) {
        next = io->next;
        int pos = io->poll_pos;
        io->poll_pos = -1;
        if (pos < 0)
            continue;
        if (io->deadline <= now)
            io->err = err_timeout;
        else if (fd_wait_check(set, static_cast<unsigned>(pos), io->fd, io->transfer))
            io->err = 0;
        else if (io->cancel_pin && pin_i_poll(io->cancel_pin))
            io->err = err_cancelled;
        else
            continue;
        fda_unlink(ft, io);
        *tail = io;
        tail = &io->next;
    }
    spinner_unlock(&ft->lock);
    return taken;
}

// Completes or transfers what the last pass found.
void fda_visit_polled(fda_thread_t* ft, fd_wait_t* set)
{
    fda_io_t* next;
    for (fda_io_t* io = fda_take_polled(ft, set); io; io = next) {
        next = io->next;
        io->next = nullptr;
        if (io->err == err_timeout) {
            qppacket_trace("timeout io=0x%P\n", (void*)io);
            fda_complete(io);
        } else if (io->err) {
            qppacket_trace("cancel io=0x%P fd=%d\n", (void*)io, io->fd);
            fda_complete(io);
        } else {
            qppacket_trace("ready io=0x%P fd=%d\n", (void*)io, io->fd);
            fda_transfer(io);
            fda_continue(io);
        }
    }
}

// Fails what is still queued on a stopped worker.
void fda_fail_queued(fda_thread_t* ft)
{
    for (;;) {
        spinner_lock(&ft->lock);
        fda_io_t* io = ft->first_io;
        if (io)
            fda_unlink(ft, io);
        spinner_unlock(&ft->lock);
        if (!io)
            return;
        io->err = err_cancelled;
        fda_complete(io);
    }
}

void fda_thread_main(void* param)
{
    fda_thread_t* ft = static_cast<fda_thread_t*>(param);
    fd_wait_t set;
    fd_wait_init(&set);
    __atomic_store_n(&ft->thread, thread_self(), __ATOMIC_RELEASE);
    bool pinged = false;
    for (;;) {
        fda_thread_take_pings(ft, pinged);
        if (__atomic_load_n(&ft->stop, __ATOMIC_ACQUIRE))
            break;
        fda_wait_pass(ft, &set);
        if (__atomic_load_n(&ft->stop, __ATOMIC_ACQUIRE))
            break;
        pinged = fd_wait_check(&set, 0, ft->ping_fd, qp_io_direction_recv);
        fda_visit_polled(ft, &set);
    }
    fda_fail_queued(ft);
    fd_wait_term(&set);
    fda_thread_release(ft);
}

} // namespace

// ---- asynchronous calls ----------------------------------------------------------------

void fd_recv_async(int fd, uint8_t /*mode*/, pin_i* cancel_pin, int timeout,
                   fd_async_complete_t complete, void* param, void* data, size_t min_size,
                   size_t max_size)
{
    fda_io_t* io = fda_io_new(fd, cancel_pin, timeout, complete, param, qp_io_direction_recv,
                              data, min_size, max_size);
    if (!io)
        return;
    qppacket_trace("recv io=0x%P siz=%u\n", (void*)io, (unsigned)max_size);
    fda_start(io);
}

void fd_send_async(int fd, uint8_t /*mode*/, pin_i* cancel_pin, int timeout,
                   fd_async_complete_t complete, void* param, const void* data, size_t size)
{
    file_ignore_sigpipe();
    fda_io_t* io = fda_io_new(fd, cancel_pin, timeout, complete, param, qp_io_direction_send,
                              const_cast<void*>(data), size, size);
    if (!io)
        return;
    qppacket_trace("send io=0x%P siz=%u\n", (void*)io, (unsigned)size);
    fda_start(io);
}

// ---- poll set -------------------------------------------------------------------------------

void fd_wait_init(fd_wait_t* w)
{
    memset(w, 0, sizeof(*w));
    w->fd_table = w->inline_fd_table;
    w->max_fd_count = fd_wait_inline_fd_table_count;
}

void fd_wait_reset(fd_wait_t* w)
{
    w->fd_count = 0;
    w->need_reset = 0;
}

unsigned fd_wait_add(fd_wait_t* w, int fd, int direction)
{
    unsigned pos = w->fd_count++;
    if (pos < w->max_fd_count) {
        w->fd_table[pos].fd = fd;
        w->fd_table[pos].events = direction == qp_io_direction_send ? POLLOUT : POLLIN;
        w->fd_table[pos].revents = 0;
    } else {
        w->need_reset = 1;
    }
    return pos;
}

namespace {

// Room for every entry added; the entries beyond the old table are lost,
// so the caller adds them again.
int fd_wait_grow(fd_wait_t* w)
{
    unsigned count = w->fd_count * 2;
    struct pollfd* table = static_cast<struct pollfd*>(calloc_d(count, sizeof(struct pollfd)));
    if (!table)
        return err_no_mem;
    free_d(w->expansion);
    w->expansion = w->fd_table = table;
    w->max_fd_count = count;
    w->fd_count = 0;
    w->need_reset = 0;
    return err_retry;
}

} // namespace

int fd_wait_wait(fd_wait_t* w, uint64_t* deadline, int timeout)
{
    qppacket_trace("poll fd_count=%u\n", w->fd_count);
    if (w->need_reset)
        return fd_wait_grow(w);
    uint64_t end = qpfd::deadline_of(timeout);
    if (*deadline < end)
        end = *deadline;
    *deadline = end;
    int res;
    do {
        int wait = -1;
        if (end != UINT64_MAX) {
            uint64_t now = counter_msec();
            wait = now >= end ? 0 : (end - now > INT32_MAX ? INT32_MAX : static_cast<int>(end - now));
        }
        res = poll(w->fd_table, w->fd_count, wait);
    } while (res < 0 && errno == EINTR);
    qppacket_trace("poll res=%u errno=%d\n", (unsigned)res, res < 0 ? errno : 0);
    if (res < 0)
        return qpfd::last_error();
    return res == 0 ? err_timeout : 0;
}

int fd_wait_check(fd_wait_t* w, unsigned position, int fd, int direction)
{
    QP_ASSERT(position < w->fd_count && position < w->max_fd_count);
    QP_ASSERT(w->fd_table[position].fd == fd);
    short wanted = (direction == qp_io_direction_send ? POLLOUT : POLLIN) | POLLERR | POLLHUP |
                   POLLNVAL;
    return (w->fd_table[position].revents & wanted) != 0;
}

void fd_wait_term(fd_wait_t* w)
{
    free_d(w->expansion);
    w->expansion = nullptr;
    w->fd_table = w->inline_fd_table;
    w->max_fd_count = fd_wait_inline_fd_table_count;
    w->fd_count = 0;
}
