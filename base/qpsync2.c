/*
 * qpsync2.c - pins, wires, pin waits, pin buffers, relays and pollable
 * wires: the portable part (user mode and kernel).
 *
 * A standard pin is its flag, its lock and a list of wires. A linked wire's
 * prev points at the pointer that points at it; an unlinked wire has a null
 * prev. Invariants, all under the pin's lock:
 *   - a linked wire belongs to an unsignalled pin (attach fails on a
 *     signalled pin, and setting the pin unlinks every wire);
 *   - a wire is unlinked either by detach (its handler will not run) or by
 *     the pin operation (its handler runs exactly once, outside the lock).
 * A handler ends with pin_handler_complete, which clears the wire's handler
 * field; pin_detach_2 that finds the wire already unlinked waits for that,
 * so the wire's memory is free for reuse once detach returns.
 *
 * Locks: a pin's lock is never held while handlers run, so a handler may
 * signal other pins, attach and detach. Handlers must not block.
 *
 * A pin buffer counts its inputs down and signals its output at zero;
 * `busy` counts the input wires whose handler may still run, and the buffer
 * is gone only once it is 0. Pollable wires are recycled through 32 free
 * lists (spin locks in the global state) chosen by hashing the thread.
 */
#include "qpsyncint.h"

#include "bitops.h"

#define container_of_field(ptr, type, field) ((type*)((char*)(ptr) - __builtin_offsetof(type, field)))

/* ---- standard and tied pins ------------------------------------------------------ */

static qpsync_pin_t* pin_of(pin_i* pin)
{
    return container_of_field(pin, qpsync_pin_t, vtbl);
}

/* Sets the value, unlinks every wire, releases the lock and then calls each
 * unlinked wire's handler. A wire's next is read before its handler runs:
 * afterwards the wire may already be reused. */
static void pin_set_unlock(qpsync_pin_t* p, int signalled)
{
    pin_wire_t* fired = p->first_wire;
    pin_wire_t* wire;

    qp_store(&p->signalled, signalled);
    p->first_wire = 0;
    for (wire = fired; wire; wire = wire->next) {
        wire->prev = 0;
    }
    sync_unlock(&p->sync);
    while (fired) {
        wire = fired;
        fired = wire->next;
        wire->handler(wire);
    }
}

void qpsync_pin_signal(pin_i* pin)
{
    qpsync_pin_t* p = pin_of(pin);
    if (qp_load(&p->signalled)) {
        return;
    }
    sync_lock(&p->sync);
    pin_set_unlock(p, 1);
}

void qpsync_pin_reset(pin_i* pin)
{
    qpsync_pin_t* p = pin_of(pin);
    sync_lock(&p->sync);
    pin_set_unlock(p, 0);
}

void qpsync_pin_signal_unlock(qpsync_pin_t* p)
{
    QP_ASSERT(sync_is_locked(&p->sync));
    pin_set_unlock(p, 1);
}

int qpsync_pin_attach(pin_i* pin, pin_handler_t handler, pin_wire_t* wire)
{
    qpsync_pin_t* p = pin_of(pin);
    int attached = 0;

    wire->handler = handler;
    wire->prev = 0;
    sync_lock(&p->sync);
    if (!p->signalled) {
        wire->next = p->first_wire;
        if (wire->next) {
            wire->next->prev = &wire->next;
        }
        wire->prev = &p->first_wire;
        p->first_wire = wire;
        attached = 1;
    }
    sync_unlock(&p->sync);
    return attached;
}

int qpsync_pin_detach(pin_i* pin, pin_wire_t* wire)
{
    qpsync_pin_t* p = pin_of(pin);
    int detached = 0;

    sync_lock(&p->sync);
    if (wire->prev) {
        QP_ASSERT(!p->signalled);
        *wire->prev = wire->next;
        if (wire->next) {
            wire->next->prev = wire->prev;
        }
        wire->prev = 0;
        wire->next = 0;
        detached = 1;
    }
    sync_unlock(&p->sync);
    return detached;
}

int qpsync_pin_poll(pin_i* pin)
{
    return qp_load(&pin_of(pin)->signalled);
}

static void pin_tied_ignore(pin_i* pin)
{
    (void)pin;
}

const pin_i_vtbl_t qpsync_pin_vtbl = {
    qpsync_pin_signal, qpsync_pin_reset, qpsync_pin_attach, qpsync_pin_detach, qpsync_pin_poll,
};

/* A tied pin keeps wires attached to its unsignalled value until they are
 * detached; they never fire. */
const pin_i_vtbl_t qpsync_pin_tied_vtbl = {
    pin_tied_ignore, pin_tied_ignore, qpsync_pin_attach, qpsync_pin_detach, qpsync_pin_poll,
};

void pin_init(qpsync_pin_t* p)
{
    p->vtbl = &qpsync_pin_vtbl;
    p->signalled = 0;
    sync_init(&p->sync);
    p->first_wire = 0;
}

void pin_term(qpsync_pin_t* p)
{
    QP_ASSERT(!p->first_wire);
    sync_term(&p->sync);
}

void pin_signal(qpsync_pin_t* p)
{
    pin_i_signal(&p->vtbl);
}

void pin_reset(qpsync_pin_t* p)
{
    pin_i_reset(&p->vtbl);
}

int pin_poll(qpsync_pin_t* p)
{
    return pin_i_poll(&p->vtbl);
}

void pin_tie(qpsync_pin_t* p, int signalled)
{
    QP_ASSERT(!p->vtbl || p->vtbl == &qpsync_pin_vtbl);
    if (!p->vtbl) {
        pin_init(p);
    }
    QP_ASSERT(!p->first_wire);
    p->signalled = signalled ? 1 : 0;
    p->vtbl = &qpsync_pin_tied_vtbl;
}

/* ---- attaching, detaching, completing --------------------------------------------- */

void qpsync_backoff(int* step)
{
    if (++*step < 64) {
        thread_yield_();
    } else {
        qpsync_os_sleep_msec(10);
    }
}

void pin_attach_2(pin_i* pin, pin_handler_t handler, pin_wire_t* wire)
{
    if (!pin_i_attach(pin, handler, wire)) {
        wire->handler = handler;
        handler(wire);
    }
}

void pin_handler_complete(pin_wire_t* w)
{
    QP_ASSERT(w->handler);
    qp_store(&w->handler, (pin_handler_t)0);
}

void pin_wire_wait_complete(pin_wire_t* wire)
{
    int step = 0;
    while (qp_load(&wire->handler)) {
        qpsync_backoff(&step);
    }
}

int pin_detach_2(pin_i* pin, pin_wire_t* wire)
{
    if (pin_i_detach(pin, wire)) {
        return 1;
    }
    pin_wire_wait_complete(wire);
    return 0;
}

/* ---- waiting on a pin ---------------------------------------------------------------- */

static void pin_waiter_wake(pin_waiter_t* w)
{
    if (qp_cas(&w->hold_signalled, 0, 1)) {
        hold_signal(&w->hold);
    }
}

static void pin_waiter_signal_handler(pin_wire_t* wire)
{
    pin_waiter_t* w = container_of_field(wire, pin_waiter_t, signal_wire);
    qp_store(&w->signalled, 1);
    pin_waiter_wake(w);
    pin_handler_complete(wire);
}

static void pin_waiter_cancel_handler(pin_wire_t* wire)
{
    pin_waiter_wake(container_of_field(wire, pin_waiter_t, cancel_wire));
    pin_handler_complete(wire);
}

int pin_wait(pin_i* pin, pin_i* cancel_pin, int timeout_msecs)
{
    pin_waiter_t w;
    int fired;

    if (pin_i_poll(pin)) {
        return 1;
    }
    hold_init(&w.hold);
    w.hold_signalled = 0;
    w.signalled = 0;
    pin_attach_2(pin, pin_waiter_signal_handler, &w.signal_wire);
    if (cancel_pin) {
        pin_attach_2(cancel_pin, pin_waiter_cancel_handler, &w.cancel_wire);
    }
    hold_wait(&w.hold, timeout_msecs);
    pin_detach_2(pin, &w.signal_wire);
    if (cancel_pin) {
        pin_detach_2(cancel_pin, &w.cancel_wire);
    }
    fired = qp_load(&w.signalled);
    hold_term(&w.hold);
    return fired;
}

/* ---- pin buffers ---------------------------------------------------------------------- */

static void pin_buf_handler(pin_wire_t* wire)
{
    pin_buf_t* buf = container_of_field(wire, pin_buf_wire_t, wire)->buf;
    if (sync_dec(&buf->count) == 0) {
        pin_signal(&buf->output);
    }
    pin_handler_complete(wire);
    sync_dec(&buf->busy); /* the buffer may be gone from here on */
}

void pin_buf_init_(pin_buf_t* buf, int signal_at_count)
{
    QP_ASSERT(signal_at_count > 0);
    pin_init(&buf->output);
    buf->input = 0;
    buf->count = signal_at_count;
    buf->busy = 0;
}

void pin_buf_wire_init(pin_buf_wire_t* bw, pin_buf_t* buf, pin_i* pin)
{
    bw->buf = buf;
    bw->pin = pin;
    bw->next = buf->input;
    buf->input = bw;
    sync_inc(&buf->busy);
    pin_attach_2(pin, pin_buf_handler, &bw->wire);
}

void pin_buf_term_(pin_buf_t* buf)
{
    pin_buf_wire_t* bw;
    int step = 0;

    for (bw = buf->input; bw; bw = bw->next) {
        if (pin_i_detach(bw->pin, &bw->wire)) {
            sync_dec(&buf->busy);
        }
    }
    while (qp_load(&buf->busy)) {
        qpsync_backoff(&step);
    }
    buf->input = 0;
    pin_term(&buf->output);
}

pin_i* pin_buf_output(pin_buf_t* buf)
{
    return &buf->output.vtbl;
}

void pin_buf_x_init_(pin_buf_x_t* bufx, pin_i* p0, pin_i* p1, pin_i* p2, pin_i* p3, pin_i* p4)
{
    pin_i* pins[pin_buf_x_count] = {p0, p1, p2, p3, p4};
    int i;

    pin_buf_init_(&bufx->buf, 1);
    for (i = 0; i < pin_buf_x_count; i++) {
        if (pins[i]) {
            pin_buf_wire_init(&bufx->wires[i], &bufx->buf, pins[i]);
        }
    }
}

void pin_buf_x_term_(pin_buf_x_t* bufx)
{
    pin_buf_term_(&bufx->buf);
}

pin_i* pin_buf_x_output(pin_buf_x_t* bufx)
{
    return pin_buf_output(&bufx->buf);
}

void pin_wait_x_(pin_i* p0, pin_i* p1, pin_i* p2, pin_i* p3, pin_i* p4)
{
    pin_buf_x_t bufx;
    pin_buf_x_init_(&bufx, p0, p1, p2, p3, p4);
    pin_wait(pin_buf_x_output(&bufx), 0, -1);
    pin_buf_x_term_(&bufx);
}

/* ---- relays ------------------------------------------------------------------------------ */

void pin_relay_handler(pin_wire_t* wire)
{
    pin_i_signal(container_of_field(wire, pin_relay_t, wire)->output);
    pin_handler_complete(wire);
}

void pin_relay_init(pin_relay_t* relay, pin_i* input, pin_i* output)
{
    relay->input = input;
    relay->output = output;
    pin_attach_2(input, pin_relay_handler, &relay->wire);
}

void pin_relay_term(pin_relay_t* relay)
{
    pin_detach_2(relay->input, &relay->wire);
}

/* ---- pollable wires ---------------------------------------------------------------------- */

#define IO_WIRE_IN_USE ((pin_io_wire_t*)~(uintptr_t)0)

static lookaside_line_t* io_wire_line(sync_global_t* g)
{
    return &g->lookaside_lines[bits_hash_ptr(thread_self_()) & (lookaside_line_count - 1)];
}

static void io_wire_free(pin_io_wire_t* iow)
{
    qpsync_os_pipe_close(iow->fds);
    free_d(iow);
}

void qpsync_io_wires_free(pin_io_wire_t* first)
{
    while (first) {
        pin_io_wire_t* next = first->next;
        io_wire_free(first);
        first = next;
    }
}

static void io_wire_handler(pin_wire_t* wire)
{
    pin_io_wire_t* iow = container_of_field(wire, pin_io_wire_t, wire);
    qpsync_os_pipe_write_byte(iow->fds[1], 0xFF);
    qp_store(&iow->detached, 1);
    pin_handler_complete(wire);
}

/* The wire fired: wait for its handler, then take its byte off the pipe. */
static void io_wire_take_byte(pin_io_wire_t* iow)
{
    unsigned char data = 0;
    int res;

    pin_wire_wait_complete(&iow->wire);
    res = qpsync_os_pipe_read_byte(iow->fds[0], &data);
    QP_ASSERT(res == 1 && data == 0xFF);
    iow->attached = 0;
}

pin_io_wire_t* pin_io_wire_factory(void)
{
    sync_global_t* g = sync_global_get();
    pin_io_wire_t* iow = 0;

    if (g) {
        lookaside_line_t* line = io_wire_line(g);
        spinner_lock(&line->lock);
        iow = line->first_io_wire;
        if (iow) {
            line->first_io_wire = iow->next;
        }
        spinner_unlock(&line->lock);
    }
    if (!iow) {
        iow = (pin_io_wire_t*)calloc_d(1, sizeof *iow);
        if (!iow) {
            return 0;
        }
        if (!qpsync_os_pipe_open(iow->fds)) {
            free_d(iow);
            return 0;
        }
    }
    iow->attached = 0;
    iow->detached = 0;
    iow->next = IO_WIRE_IN_USE;
    return iow;
}

void pin_io_wire_release(pin_io_wire_t* iow)
{
    sync_global_t* g;
    lookaside_line_t* line;

    if (!iow) {
        return;
    }
    QP_ASSERT_AS(!iow->attached || qp_load(&iow->detached), "!iow->attached || iow->detached");
    if (iow->attached) {
        /* Fired but never detached: its byte must not reach the next user. */
        io_wire_take_byte(iow);
    }
    g = qp_load(&sync_global);
    if (!g) {
        io_wire_free(iow);
        return;
    }
    line = io_wire_line(g);
    spinner_lock(&line->lock);
    iow->next = line->first_io_wire;
    line->first_io_wire = iow;
    spinner_unlock(&line->lock);
}

int pin_io_wire_fd(pin_io_wire_t* iow)
{
    return iow ? iow->fds[0] : -1;
}

void pin_io_wire_attach(pin_io_wire_t* iow, pin_i* pin)
{
    QP_ASSERT(!iow->attached);
    iow->attached = 1;
    iow->detached = 0;
    pin_attach_2(pin, io_wire_handler, &iow->wire);
}

void pin_io_wire_detach(pin_io_wire_t* iow, pin_i* pin)
{
    if (!iow->attached) {
        return;
    }
    if (pin_i_detach(pin, &iow->wire)) {
        iow->attached = 0;
    } else {
        io_wire_take_byte(iow);
    }
}
