/*
 * consolepump.c - copies bytes from one descriptor to another on a thread
 * of its own until the input ends, an error happens or the pump is
 * cancelled; optionally turning carriage returns into line feeds and
 * switching terminal echo off on the read side while it runs.
 *
 * The pump works on its own duplicates of the two descriptors. References
 * (atomic): the owner's, the thread's while it runs, and one for the
 * attachment to an outside cancel pin while attached. cancel_pin is
 * signalled when the pump is cancelled or has ended (so it doubles as the
 * pin to wait for its end); stopped_pin when the thread has finished.
 *
 * Line feeds: every carriage return and every line feed ends a line that
 * is written with one line feed; a line feed directly after a carriage
 * return, also across reads, is dropped. CR, LF and CR LF each become LF.
 */
#include "qpsocket.h"

#include "qperr.h"

typedef struct tty_pump_t {
    tty_pump_i vtbl;
    pin_i* ext_cancel_pin;
    pin_wire_t cancel_wire;
    pin_t cancel_pin;
    pin_t stopped_pin;
    int ref_count;
    int read_handle;
    int write_handle;
    uint8_t read_handle_mode;
    uint8_t write_handle_mode;
    char fix_line_feeds;
    char echo_off;
    char after_cr; /* the last byte pumped was a carriage return */
} tty_pump_t;

static tty_pump_t* tty_pump_vcast(tty_pump_i* pump)
{
    return (tty_pump_t*)pump;
}

static void tty_pump_retain(tty_pump_i* pump)
{
    sync_inc(&tty_pump_vcast(pump)->ref_count);
}

static void tty_pump_release(tty_pump_i* pump)
{
    tty_pump_t* p = tty_pump_vcast(pump);
    if (sync_dec(&p->ref_count)) {
        return;
    }
    fd_close(p->read_handle);
    fd_close(p->write_handle);
    pin_term(&p->cancel_pin);
    pin_term(&p->stopped_pin);
    free_d(p);
}

static void tty_pump_cancel(tty_pump_i* pump)
{
    tty_pump_t* p = tty_pump_vcast(pump);
    if (!p->ext_cancel_pin) {
        pin_signal(&p->cancel_pin);
    } else if (pin_i_detach(p->ext_cancel_pin, &p->cancel_wire)) {
        pin_signal(&p->cancel_pin);
        tty_pump_release(pump); /* the attachment's reference */
    }
    /* else the outside pin's handler has run or runs and does the same */
}

static void tty_pump_ext_cancel_handler(pin_wire_t* wire)
{
    tty_pump_t* p = (tty_pump_t*)((char*)wire - offsetof(tty_pump_t, cancel_wire));
    pin_signal(&p->cancel_pin);
    pin_handler_complete(wire);
    tty_pump_release(&p->vtbl);
}

static void tty_pump_drain(tty_pump_i* pump)
{
    pin_wait(&tty_pump_vcast(pump)->stopped_pin.vtbl, 0, -1);
}

static pin_i* tty_pump_pin(tty_pump_i* pump)
{
    return &tty_pump_vcast(pump)->cancel_pin.vtbl;
}

static const tty_pump_i_vtbl_t tty_pump_vtbl = {tty_pump_retain, tty_pump_release,
                                                tty_pump_cancel, tty_pump_drain, tty_pump_pin};

/* Rewrites a chunk in place by the line-feed rule; returns its new length. */
static size_t tty_pump_fix_line_feeds(tty_pump_t* p, char* data, size_t size)
{
    size_t in, out = 0;
    for (in = 0; in < size; in++) {
        char c = data[in];
        if (c == '\n' && p->after_cr) {
            p->after_cr = 0;
            continue;
        }
        p->after_cr = c == '\r';
        data[out++] = c == '\r' ? '\n' : c;
    }
    return out;
}

static void tty_pump_thread_main(void* param)
{
    tty_pump_t* p = (tty_pump_t*)param;
    pin_buf_x_t stop;
    pin_i* cancel = pin_buf_x_output(&stop);
    char* buffer = (char*)malloc_d(tty_pump_buffer_size);
    int echo_switched = p->echo_off && !file_echo_off(p->read_handle, p->read_handle_mode);

    /* The collection at exit ends the pump too, so that it cannot hold the
     * process up. */
    pin_buf_x_init_(&stop, &p->cancel_pin.vtbl, procsig_pin(FILE_SIGNAL_COLLECTING), 0, 0, 0);

    while (buffer) {
        size_t got, sent;
        if (fd_recv(p->read_handle, p->read_handle_mode, cancel, -1, buffer, 1,
                    tty_pump_buffer_size, &got)) {
            break;
        }
        if (p->fix_line_feeds) {
            got = tty_pump_fix_line_feeds(p, buffer, got);
        }
        if (got && fd_send(p->write_handle, p->write_handle_mode, cancel, -1, buffer, got, &sent)) {
            break;
        }
    }
    pin_buf_x_term_(&stop);
    free_d(buffer);
    if (echo_switched) {
        file_echo_on(p->read_handle, p->read_handle_mode);
    }
    tty_pump_cancel(&p->vtbl);
    pin_signal(&p->stopped_pin);
    tty_pump_release(&p->vtbl);
}

int tty_pump_factory_dh(const char* file, int line, tty_pump_i** out_pump, pin_i* cancel_pin,
                        int read_fd, int write_fd, int flags)
{
    tty_pump_t* p;
    int err;

    *out_pump = 0;
    p = (tty_pump_t*)calloc_dh(file, line, 1, sizeof *p);
    if (!p) {
        return err_no_mem;
    }
    p->vtbl = &tty_pump_vtbl;
    p->ref_count = 1;
    p->read_handle = p->write_handle = -1;
    pin_init(&p->cancel_pin);
    pin_init(&p->stopped_pin);
    p->fix_line_feeds = (flags & tty_pump_flag_fix_line_feeds) != 0;
    p->echo_off = (flags & tty_pump_flag_echo_off) != 0;
    err = file_duplicate_dh(file, line, &p->read_handle, read_fd);
    if (!err) {
        err = file_duplicate_dh(file, line, &p->write_handle, write_fd);
    }
    if (!err && cancel_pin) {
        /* Attached before the thread starts, so that its end detaches. */
        p->ext_cancel_pin = cancel_pin;
        sync_inc(&p->ref_count);
        if (!pin_i_attach(cancel_pin, tty_pump_ext_cancel_handler, &p->cancel_wire)) {
            pin_signal(&p->cancel_pin);
            sync_dec(&p->ref_count);
        }
    }
    if (!err) {
        sync_inc(&p->ref_count);
        if (!thread_start(tty_pump_thread_main, p)) {
            sync_dec(&p->ref_count);
            err = err_no_mem;
        }
    }
    if (err) {
        pin_signal(&p->stopped_pin);
        tty_pump_cancel(&p->vtbl);
        tty_pump_release(&p->vtbl);
        return err;
    }
    *out_pump = &p->vtbl;
    return 0;
}
