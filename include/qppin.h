/*
 * qppin.h - pins: signalable events with attachable callbacks (wires).
 *
 * A pin is anything behind the interface pin_i (qpsync.h). The standard pin
 * qpsync_pin_t is a flag, a lock and a list of wires. Signalling or resetting
 * it sets the flag, unlinks every wire under the lock and then, outside the
 * lock, calls each unlinked wire's handler once. Reset therefore fires the
 * wires attached at that moment without leaving the pin signalled (a pulse).
 * Attaching to a signalled pin fails (pin_attach_2 then calls the handler
 * itself). A handler's last use of its wire is pin_handler_complete; a wire
 * may be reused only once pin_detach_2 (or a completed handler) is done.
 *
 *   pin_t done; pin_init(&done);
 *   ... another thread: pin_signal(&done); ...
 *   if (pin_wait(&done.vtbl, cancel_pin, 500)) { ...fired... }
 *
 * Tied pins have a fixed value: signal and reset do nothing.
 *
 * Pin buffers fire their output pin once a given number of their inputs
 * fired; pin_buf_x_t fires when any of up to five pins fires. A relay signals
 * its output when its input fires. A pollable wire turns a pin's firing into
 * one byte on a pipe, so that the read end can be polled with descriptors.
 *
 * Process-signal pins: procsig_pin(n) for the numbered signals below; 0 is
 * tied unsignalled, numbers above procsig_max_signum share a tied signalled
 * pin, FILE_SIGNAL_RESUME starts signalled.
 */
#ifndef QPPIN_H
#define QPPIN_H

#include "qpsync.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- standard pins ------------------------------------------------------ */

typedef struct qpsync_pin_t {
    pin_i vtbl;
    volatile int signalled;
    sync_t sync;
    pin_wire_t* first_wire;
} qpsync_pin_t;

typedef qpsync_pin_t pin_t;

extern const pin_i_vtbl_t qpsync_pin_vtbl;
extern const pin_i_vtbl_t qpsync_pin_tied_vtbl;

void qpsync_pin_signal(pin_i* pin);
void qpsync_pin_reset(pin_i* pin);
int qpsync_pin_attach(pin_i* pin, pin_handler_t handler, pin_wire_t* wire);
int qpsync_pin_detach(pin_i* pin, pin_wire_t* wire);
int qpsync_pin_poll(pin_i* pin);
/* The caller holds p->sync: signal and release the lock in one step. */
void qpsync_pin_signal_unlock(qpsync_pin_t* p);

void pin_init(qpsync_pin_t* p);
void pin_term(qpsync_pin_t* p);
void pin_signal(qpsync_pin_t* p);
void pin_reset(qpsync_pin_t* p);
int pin_poll(qpsync_pin_t* p);
/* Makes the pin a constant of the given value. */
void pin_tie(qpsync_pin_t* p, int signalled);

/* ---- through the interface ---------------------------------------------- */

static inline void pin_i_signal(pin_i* pin)
{
    (*pin)->signal(pin);
}
static inline void pin_i_reset(pin_i* pin)
{
    (*pin)->reset(pin);
}
/* Fires the attached wires without leaving the pin signalled. */
static inline void pin_i_pulse(pin_i* pin)
{
    (*pin)->reset(pin);
}
static inline int pin_i_attach(pin_i* pin, pin_handler_t handler, pin_wire_t* wire)
{
    return (*pin)->attach(pin, handler, wire);
}
static inline int pin_i_detach(pin_i* pin, pin_wire_t* wire)
{
    return (*pin)->detach(pin, wire);
}
static inline int pin_i_poll(pin_i* pin)
{
    return (*pin)->poll(pin);
}

/* Attach, or call the handler at once when the pin is already signalled. */
void pin_attach_2(pin_i* pin, pin_handler_t handler, pin_wire_t* wire);
/* Detach, or wait until the handler has completed. Returns what detach did
 * (1 detached before firing, 0 the handler ran). */
int pin_detach_2(pin_i* pin, pin_wire_t* wire);
/* The last thing a handler does with its wire. */
void pin_handler_complete(pin_wire_t* wire);
/* Waits until the handler of a fired wire has completed. */
void pin_wire_wait_complete(pin_wire_t* wire);

/* A waiter on the stack of pin_wait. */
typedef struct pin_waiter_t {
    hold_t hold;
    pin_wire_t signal_wire;
    pin_wire_t cancel_wire;
    int hold_signalled;
    int signalled;
} pin_waiter_t;

/* 1 when the pin fired, 0 when the cancel pin fired or the time ran out.
 * The cancel pin may be null. */
int pin_wait(pin_i* pin, pin_i* cancel_pin, int timeout_msecs);

/* ---- pin buffers ----------------------------------------------------------- */

typedef struct pin_buf_wire_t pin_buf_wire_t;
typedef struct pin_buf_t {
    qpsync_pin_t output;
    pin_buf_wire_t* input;
    int count; /* inputs still to fire */
    int busy;  /* wires whose handler may still run */
} pin_buf_t;

struct pin_buf_wire_t {
    pin_buf_t* buf;
    pin_buf_wire_t* next;
    pin_i* pin;
    pin_wire_t wire;
};

enum { pin_buf_x_count = 5 };

typedef struct pin_buf_x_t {
    pin_buf_t buf;
    pin_buf_wire_t wires[pin_buf_x_count];
} pin_buf_x_t;

void pin_buf_init_(pin_buf_t* buf, int signal_at_count);
/* Adds pin as an input; an input already signalled counts down at once. */
void pin_buf_wire_init(pin_buf_wire_t* bw, pin_buf_t* buf, pin_i* pin);
void pin_buf_term_(pin_buf_t* buf);
pin_i* pin_buf_output(pin_buf_t* buf);

/* Fires when any of the given pins fires; null pins are skipped. */
void pin_buf_x_init_(pin_buf_x_t* bufx, pin_i* p0, pin_i* p1, pin_i* p2, pin_i* p3, pin_i* p4);
void pin_buf_x_term_(pin_buf_x_t* bufx);
pin_i* pin_buf_x_output(pin_buf_x_t* bufx);
/* Waits without timeout until any of the given pins fires. */
void pin_wait_x_(pin_i* p0, pin_i* p1, pin_i* p2, pin_i* p3, pin_i* p4);

/* ---- relays ----------------------------------------------------------------- */

typedef struct pin_relay_t {
    pin_wire_t wire;
    pin_i* input;
    pin_i* output;
} pin_relay_t;

/* Signals the relay's output, then completes. */
void pin_relay_handler(pin_wire_t* wire);
/* Wires the relay to its input (firing at once when it is signalled). */
void pin_relay_init(pin_relay_t* relay, pin_i* input, pin_i* output);
void pin_relay_term(pin_relay_t* relay);

/* ---- pollable wires ------------------------------------------------------------ */

typedef struct pin_io_wire_t {
    pin_wire_t wire;
    int fds[2]; /* a pipe: read end first */
    char attached;
    char detached; /* set when the pin fired */
    struct pin_io_wire_t* next; /* free-list link; all ones while in use */
} pin_io_wire_t;

/* A recycled or new wire, or null when no pipe could be made. */
pin_io_wire_t* pin_io_wire_factory(void);
void pin_io_wire_release(pin_io_wire_t* iow);
/* The read descriptor, readable once the attached pin fired; -1 for null. */
int pin_io_wire_fd(pin_io_wire_t* iow);
void pin_io_wire_attach(pin_io_wire_t* iow, pin_i* pin);
void pin_io_wire_detach(pin_io_wire_t* iow, pin_i* pin);

#ifdef __KERNEL__
/* ---- interrupt wires (kernel build) ------------------------------------------- */

/* Ties the calling task to a pin: while the wire is attached, a signal to
 * the task fires the pin once, as soon as the task waits in a hold (or is
 * already waiting). The wire lives on the task's stack; the task attaches
 * and detaches it itself. Waits of a task without a wire, and after its
 * wire fired, ignore signals. */
typedef struct pin_interrupt_wire_t {
    void* task;
    pin_i* pin;
    int fired;
    struct pin_interrupt_wire_t* next;
} pin_interrupt_wire_t;

void pin_interrupt_wire_attach(pin_interrupt_wire_t* iw, pin_i* pin);
void pin_interrupt_wire_detach(pin_interrupt_wire_t* iw);
#endif

/* ---- process-signal pins ------------------------------------------------------ */

enum {
    FILE_SIGNAL_STOP = 1,
    FILE_SIGNAL_PAUSE = 2,
    FILE_SIGNAL_RESUME = 3,
    FILE_SIGNAL_REFRESH = 4,
    FILE_SIGNAL_COLLECTING = 5,
    FILE_SIGNAL_COLLECTED = 6,
    FILE_SIGNAL_TERMINATING = 7,
    procsig_max_signum = 20,
    procsig_pin_count = procsig_max_signum + 2,
};

extern qpsync_pin_t procsig_pins[procsig_pin_count];

/* The pin of signal n (the shared signalled pin for n above 20). */
pin_i* procsig_pin(int n);
/* Sets the pins up once (also done by procsig_pin and the global state). */
void procsig_pins_init(void);

/* ---- process signals (user mode) ------------------------------------------------ */
#ifndef __KERNEL__

/* Turns SIGTERM and SIGINT into FILE_SIGNAL_STOP, SIGTSTP into
 * FILE_SIGNAL_PAUSE, SIGCONT into FILE_SIGNAL_RESUME and SIGHUP and SIGWINCH
 * into a pulse of FILE_SIGNAL_REFRESH; once per process, later calls do
 * nothing. The pins change on the alarm thread, never in a handler. */
void procsig_start(void);

/* Applies a process-signal number to the pins: 2 signals pause and resets
 * resume, 3 the reverse, 4 pulses refresh, any other signals pin n. */
void procsig_apply(int signum);

/* Listens for process signals on a named local socket (owned by the real
 * user, mode 0600): one byte per connection, the signal number. Listening
 * ends when FILE_SIGNAL_COLLECTING is signalled or through stop. */
typedef struct procsig_listen_i_vtbl_t procsig_listen_i_vtbl_t;
typedef const procsig_listen_i_vtbl_t* procsig_listen_i;
struct procsig_listen_i_vtbl_t {
    void (*release)(procsig_listen_i* pl);
    void (*stop)(procsig_listen_i* pl);
};

int procsig_listen(const char* socket_name);
int procsig_listen_factory(procsig_listen_i** out_pl, const char* socket_name);

/* Sends one signal number to the process listening on socket_name.
 * complete(param, err) is called exactly once: 0, the connection or write
 * error, or 110 when the timeout cancelled the send. The cancel pin
 * defaults to FILE_SIGNAL_STOP. */
typedef void (*procsig_send_complete_t)(void* param, int err);
void procsig_send_async(pin_i* cancel_pin, int timeout, const char* socket_name, int signum,
                        procsig_send_complete_t complete, void* complete_param);
int procsig_send(pin_i* cancel_pin, int timeout, const char* socket_name, int signum);

#endif

#ifdef __cplusplus
}
#endif

#endif
