/*
 * qpalarm.h - alarms: timed callbacks run by one alarm thread per process
 * (and one in the kernel module).
 *
 * An alarm is a record the caller owns: it asks the alarm thread to call a
 * handler once the monotonic millisecond counter (counter_msec) reaches its
 * time. Scheduling, cancelling and delivery never allocate. Alarms due at the
 * same time are delivered in the order they were scheduled.
 *
 * Life of an alarm: unlinked -> scheduled -> taken for delivery (unlinked,
 * handler still set) -> completed (handler cleared by alarm_handler_complete,
 * the last thing the handler does with the alarm). alarm_cancel returns 1
 * while the alarm is still scheduled (its handler will not run) and 0 once it
 * has been taken; a caller that reuses the alarm after a 0 waits for the
 * handler to complete.
 *
 * Handlers run on the alarm thread, one at a time, outside every lock; they
 * must not block for long, since every timeout of the process waits behind
 * them. Once the alarm thread has ended, scheduling is refused; the _2 form
 * then runs the handler at once, so a handler runs exactly once either way.
 *
 *     alarm_t a; alarm_init(&a);
 *     alarm_schedule_2(&a, on_time, alarm_now() + 500);
 *     ... if (alarm_cancel(&a)) { never ran } else { ran or running } ...
 *
 * alarm_schedule_sig may be called inside an operating-system signal
 * handler, once the machinery is initialised (alarm_initializer).
 *
 * On top: alarm wires (signal a pin at a time), alarm pins (a pin signalled
 * at a time) and pin timeouts (a pin that fires when a given pin fires or a
 * timeout expires).
 */
#ifndef QPALARM_H
#define QPALARM_H

#include "qppin.h"
#include "rblink.h"

#ifdef __cplusplus
extern "C" {
#endif

/* thread_stack_size_medium (the alarm thread's stack) is defined once, in
 * qpsync.h, with the other stack sizes. */
enum {
    /* milliseconds: a timeout above this means none */
    alarm_timeout_max = 0x7FFFFFFE,
};

typedef struct alarm_t alarm_t;
typedef void (*alarm_handler_t)(alarm_t* alarm);

struct alarm_t {
    alarm_handler_t handler; /* set from scheduling until the handler completes */
    rblink_t link;           /* in the schedule, ordered by when */
    uint64_t when;           /* counter_msec time */
};

/* Marks the alarm unlinked (and not running). */
void alarm_init(alarm_t* alarm);

static inline uint64_t alarm_now(void)
{
    return counter_msec();
}

/* 1 scheduled, 0 refused because the alarm thread has ended. The alarm must
 * not be scheduled already. */
int alarm_schedule_(alarm_t* alarm, alarm_handler_t handler, uint64_t when);

/* Schedules, or runs the handler at once when scheduling is refused. */
static inline void alarm_schedule_2(alarm_t* alarm, alarm_handler_t handler, uint64_t when)
{
    if (!alarm_schedule_(alarm, handler, when)) {
        alarm->handler = handler;
        handler(alarm);
    }
}

/* 1 removed before delivery (the handler will not run), 0 already taken. */
int alarm_cancel(alarm_t* alarm);

/* The handler's last use of its alarm. */
void alarm_handler_complete(alarm_t* alarm);

/* Waits until the handler of a taken alarm has completed. */
void alarm_wait_complete(alarm_t* alarm);

/* Signal-safe: schedules for "now" (time 0, behind other alarms due at 0)
 * and wakes the thread, unless the alarm is already scheduled, in which case
 * it stays as it is: repeated signals coalesce into one delivery. Returns 0
 * when refused because the alarm thread has ended. */
int alarm_schedule_sig(alarm_t* alarm, alarm_handler_t handler);

/* Sets the machinery up once and starts the alarm thread. */
void alarm_initializer(void);
/* alarm_initializer unless done; every scheduling operation calls it. */
void alarm_auto_initializer(void);

/* Optional hook: consulted before the alarm thread ends at collection; it
 * keeps running while the hook returns 0. */
extern int (*alarm_thread_exit_check)(void);

/* ---- alarm wires and alarm pins ------------------------------------------- */

typedef struct alarm_wire_t {
    alarm_t alarm;
    pin_i* pin; /* signalled at the time; null once cancelled */
} alarm_wire_t;

void alarm_wire_init(alarm_wire_t* aw, pin_i* pin, uint64_t when);
/* Cancels; returns once the wire's handler can no longer run. */
void alarm_wire_term(alarm_wire_t* aw);

typedef struct alarm_pin_t {
    qpsync_pin_t pin;
    alarm_wire_t wire;
} alarm_pin_t;

void alarm_pin_init(alarm_pin_t* ap, uint64_t when);
void alarm_pin_term(alarm_pin_t* ap);

/* ---- pin timeouts ----------------------------------------------------------- */

typedef struct pin_timeout_t {
    pin_i* pin;  /* the pin to wait on */
    int timeout; /* milliseconds; negative or above alarm_timeout_max: none */
    pin_buf_t buf;
    alarm_pin_t timeout_pin;
    pin_buf_wire_t pin_wire;
    pin_buf_wire_t timeout_wire;
} pin_timeout_t;

/* pt->pin fires when pin fires or timeout expires. Without a timeout it is
 * pin itself; with a null pin, the alarm pin. */
void pin_timeout_init(pin_timeout_t* pt, pin_i* pin, int timeout);
/* Ends it; when *err is err_cancelled and the timeout expired, *err becomes
 * err_timeout. err may be null. */
void pin_timeout_term(pin_timeout_t* pt, int* err);

/* ---- platform side ------------------------------------------------------------ */

/* Signals of the calling thread, saved and blocked around every use of the
 * alarm lock; the storage holds the platform's mask. */
typedef struct alarm_sigmask_t {
    uint64_t bits[16];
} alarm_sigmask_t;
void alarm_os_block_signals(alarm_sigmask_t* saved);
void alarm_os_restore_signals(const alarm_sigmask_t* saved);

/* The wake-up of the alarm thread: a signal-safe counting event. */
void alarm_os_event_init(void);
void alarm_os_event_term(void);
void alarm_os_event_post(void);
/* Waits for a post or the timeout (negative: forever). */
void alarm_os_event_wait(int timeout_msecs);
/* Runs func when the program (or module) ends. */
void alarm_os_atexit(void (*func)(void));

#ifdef __cplusplus
}
#endif

#endif
