/*
 * qpalarm.c - the alarm schedule, the alarm thread, alarm wires and pins,
 * and pin timeouts.
 *
 * Layout. One red-black tree, alarm_center, holds every scheduled alarm
 * ordered by `when`; its comparison never reports equality, so an alarm goes
 * behind every alarm due at the same time (first scheduled, first
 * delivered). An alarm is scheduled exactly while its link is in the tree.
 *
 * States of an alarm:
 *   unlinked   --schedule-->  scheduled  (handler set, linked)
 *   scheduled  --cancel-->    unlinked   (handler cleared, never runs)
 *   scheduled  --taken-->     running    (unlinked, handler set)
 *   running    --alarm_handler_complete--> unlinked (handler cleared)
 * A signal may schedule a running alarm again; completing it then leaves
 * the handler set, because the alarm is scheduled once more.
 *
 * States of the machinery: uninitialised -> running (thread started) ->
 * exiting (collection started: alarm_exiting) -> exited (the thread ended,
 * alarm_thread_exited set, every remaining handler run, alarm_exited) ->
 * terminated at process exit.
 *
 * Locks. alarm_sync is a spinner, the only lock that signal handlers may
 * take. Every holder blocks all signals of its thread first (the alarm
 * thread has them blocked for good), so no thread is ever interrupted by a
 * signal handler while it holds the lock, and the holder never waits for
 * anything but the tree operation. The wake-up event is the platform's
 * signal-safe counting semaphore. Handlers run outside the lock.
 *
 * The thread: take every due alarm and run it, reusing the time read before
 * the pass, so alarms due together go out in one pass; then wait on the
 * event until the first alarm is due (capped at the longest timed wait) or
 * for ever, and read the clock again. Scheduling posts the event only when
 * the new alarm became the first. At collection the thread ends once its
 * schedule is empty (and the exit hook agrees); its terminator refuses
 * further scheduling and runs every handler still scheduled, so none is
 * lost.
 */
#include "qpalarm.h"

#include "qperr.h"

int (*alarm_thread_exit_check)(void);

static int alarm_initialized;
static int alarm_thread_exited; /* written under alarm_sync */
static qpsync_pin_t alarm_exiting;
static qpsync_pin_t alarm_exited;
static pin_wire_t alarm_collecting_wire;
static spinner_t alarm_sync;
static sync_t alarm_gate;
static rblink_t* alarm_center;

static inline alarm_t* alarm_of(rblink_t* link)
{
    return (alarm_t*)((char*)link - offsetof(alarm_t, link));
}

static inline alarm_handler_t alarm_handler_load(const alarm_t* alarm)
{
    return __atomic_load_n(&alarm->handler, __ATOMIC_ACQUIRE);
}

static inline void alarm_handler_store(alarm_t* alarm, alarm_handler_t handler)
{
    __atomic_store_n(&alarm->handler, handler, __ATOMIC_RELEASE);
}

/* The spinner alone, for signal handlers. */
static void alarm_lock_from_signal(alarm_sigmask_t* saved)
{
    alarm_os_block_signals(saved);
    spinner_lock(&alarm_sync);
}

static void alarm_unlock_from_signal(const alarm_sigmask_t* saved)
{
    spinner_unlock(&alarm_sync);
    alarm_os_restore_signals(saved);
}

/* Ordinary callers pass the gate first, so the spinner never has more than
 * one of them to spin against. */
static void alarm_lock(alarm_sigmask_t* saved)
{
    sync_lock(&alarm_gate);
    alarm_lock_from_signal(saved);
}

static void alarm_unlock(const alarm_sigmask_t* saved)
{
    alarm_unlock_from_signal(saved);
    sync_unlock(&alarm_gate);
}

static inline int alarm_is_scheduled(const alarm_t* alarm)
{
    return rblink_is_linked(alarm_center, &alarm->link);
}

/* Never equal: a new alarm goes behind every alarm due at the same time. */
static int alarm_comp_when(const void* param, const rblink_t* link)
{
    return *(const uint64_t*)param >= alarm_of((rblink_t*)link)->when ? 1 : -1;
}

/* Links the alarm behind every alarm due no later; lock held. Returns
 * whether it is now the first to be delivered. */
static int alarm_insert_locked(alarm_t* alarm, alarm_handler_t handler, uint64_t when)
{
    QP_ASSERT(!alarm_is_scheduled(alarm));
    alarm_handler_store(alarm, handler);
    alarm->when = when;
    rblink_find_insert(&alarm_center, alarm_comp_when, &alarm->when, &alarm->link);
    return rblink_first(alarm_center) == &alarm->link;
}

void alarm_init(alarm_t* alarm)
{
    alarm->handler = 0;
    alarm->link.top = 0;
    alarm->link.sides[0] = alarm->link.sides[1] = 0;
    alarm->when = 0;
}

int alarm_schedule_(alarm_t* alarm, alarm_handler_t handler, uint64_t when)
{
    alarm_sigmask_t saved;
    int first = 0;
    int scheduled = 0;

    QP_ASSERT(alarm && handler);
    alarm_auto_initializer();
    alarm_lock(&saved);
    if (!alarm_thread_exited) {
        first = alarm_insert_locked(alarm, handler, when);
        scheduled = 1;
    }
    alarm_unlock(&saved);
    if (first)
        alarm_os_event_post();
    return scheduled;
}

int alarm_schedule_sig(alarm_t* alarm, alarm_handler_t handler)
{
    alarm_sigmask_t saved;
    int scheduled = 1;

    QP_ASSERT(alarm && handler);
    alarm_auto_initializer();
    alarm_lock_from_signal(&saved);
    if (alarm_thread_exited) {
        scheduled = 0;
    } else if (alarm_is_scheduled(alarm)) {
        QP_ASSERT(alarm->handler == handler);
        QP_ASSERT(alarm->when == 0);
    } else {
        (void)alarm_insert_locked(alarm, handler, 0);
    }
    alarm_unlock_from_signal(&saved);
    if (scheduled)
        alarm_os_event_post();
    return scheduled;
}

int alarm_cancel(alarm_t* alarm)
{
    alarm_sigmask_t saved;
    int cancelled = 0;

    alarm_lock(&saved);
    if (alarm_is_scheduled(alarm)) {
        rblink_remove(&alarm_center, &alarm->link);
        alarm_handler_store(alarm, 0);
        cancelled = 1;
    }
    alarm_unlock(&saved);
    return cancelled;
}

void alarm_handler_complete(alarm_t* alarm)
{
    alarm_sigmask_t saved;

    /* atomic: a signal may schedule the alarm again meanwhile */
    if (!alarm_handler_load(alarm))
        qp_assert_failed(__FILE__, __LINE__, "alarm->handler");
    alarm_lock(&saved);
    if (!alarm_is_scheduled(alarm))
        alarm_handler_store(alarm, 0);
    alarm_unlock(&saved);
}

void alarm_wait_complete(alarm_t* alarm)
{
    while (alarm_handler_load(alarm))
        thread_yield_();
}

/* ---- the alarm thread ---------------------------------------------------- */

/* Unlinks the first alarm when it is due at now; lock held. */
static alarm_t* alarm_take_due_locked(uint64_t now, alarm_handler_t* handler)
{
    rblink_t* first = rblink_first(alarm_center);
    alarm_t* alarm;

    if (!first)
        return 0;
    alarm = alarm_of(first);
    if (alarm->when > now)
        return 0;
    rblink_remove(&alarm_center, first);
    *handler = alarm->handler;
    return alarm;
}

/* How long to wait for the first alarm, -1 for ever; lock held. Returns 0
 * with *ended set when the thread may end. The wait is capped at the
 * longest timed wait and re-evaluated, so any distant time is fine. */
static int alarm_wait_time_locked(uint64_t now, int* ended)
{
    rblink_t* first = rblink_first(alarm_center);
    uint64_t until;

    if (first) {
        until = alarm_of(first)->when - now;
        return until > alarm_timeout_max ? alarm_timeout_max : (int)until;
    }
    if (pin_poll(&alarm_exiting) && (!alarm_thread_exit_check || alarm_thread_exit_check())) {
        alarm_thread_exited = 1;
        *ended = 1;
        return 0;
    }
    return -1;
}

static void alarm_thread_main(void* param)
{
    alarm_sigmask_t entry_mask;
    alarm_sigmask_t saved;
    uint64_t now = 0;
    int have_now = 0;
    int ended = 0;

    (void)param;
    /* for good: no signal handler ever runs on the alarm thread */
    alarm_os_block_signals(&entry_mask);
    while (!ended) {
        alarm_handler_t handler;
        alarm_t* alarm;
        int timeout;

        if (!have_now) {
            now = counter_msec();
            have_now = 1;
        }
        alarm_lock(&saved);
        alarm = alarm_take_due_locked(now, &handler);
        if (alarm) {
            alarm_unlock(&saved);
            handler(alarm);
            continue;
        }
        timeout = alarm_wait_time_locked(now, &ended);
        alarm_unlock(&saved);
        if (!ended) {
            alarm_os_event_wait(timeout);
            have_now = 0;
        }
    }
    QP_ASSERT(pin_poll(&alarm_exiting));
    QP_ASSERT(!alarm_thread_exit_check || alarm_thread_exit_check());
}

/* Runs on the alarm thread as it ends, also when its loop was cut short:
 * refuses all later scheduling and runs every handler still scheduled. */
static void alarm_thread_terminator(void* param)
{
    alarm_sigmask_t saved;

    (void)param;
    pin_signal(&alarm_exiting);
    for (;;) {
        alarm_handler_t handler;
        alarm_t* alarm;

        alarm_lock(&saved);
        alarm_thread_exited = 1;
        alarm = alarm_take_due_locked(~(uint64_t)0, &handler);
        alarm_unlock(&saved);
        if (!alarm)
            break;
        handler(alarm);
    }
    pin_signal(&alarm_exited);
}

/* Collection has begun: end the thread once its schedule is empty. */
static void alarm_collecting(pin_wire_t* wire)
{
    pin_signal(&alarm_exiting);
    alarm_os_event_post();
    pin_handler_complete(wire);
}

static void alarm_terminator(void)
{
    thread_collect_all();
    (void)pin_wait(&alarm_exited.vtbl, 0, -1);
    pin_term(&alarm_exited);
    pin_term(&alarm_exiting);
    spinner_term(&alarm_sync);
    sync_term(&alarm_gate);
    alarm_os_event_term();
}

void alarm_initializer(void)
{
    mux_pool_key_lock(&alarm_initialized);
    if (!__atomic_load_n(&alarm_initialized, __ATOMIC_ACQUIRE)) {
        spinner_init(&alarm_sync);
        sync_init(&alarm_gate);
        alarm_os_event_init();
        pin_init(&alarm_exiting);
        pin_init(&alarm_exited);
        __atomic_store_n(&alarm_initialized, 1, __ATOMIC_RELEASE);
        alarm_os_atexit(alarm_terminator);
        pin_attach_2(procsig_pin(FILE_SIGNAL_COLLECTING), alarm_collecting,
                     &alarm_collecting_wire);
        if (!thread_start_2(alarm_thread_main, 0, alarm_thread_terminator, 0,
                            thread_stack_size_medium)) {
            alarm_thread_exited = 1;
            pin_signal(&alarm_exited);
            mux_pool_key_unlock(&alarm_initialized);
            qp_assert_failed(__FILE__, __LINE__,
                             "Resource exhaustion initializing alarm thread.\n");
        }
    }
    mux_pool_key_unlock(&alarm_initialized);
}

void alarm_auto_initializer(void)
{
    if (!__atomic_load_n(&alarm_initialized, __ATOMIC_ACQUIRE))
        alarm_initializer();
}

/* ---- alarm wires and alarm pins ---------------------------------------------- */

static void alarm_wire_handler(alarm_t* alarm)
{
    alarm_wire_t* aw = (alarm_wire_t*)((char*)alarm - offsetof(alarm_wire_t, alarm));
    if (aw->pin)
        pin_i_signal(aw->pin);
    alarm_handler_complete(alarm);
}

void alarm_wire_init(alarm_wire_t* aw, pin_i* pin, uint64_t when)
{
    aw->pin = pin;
    alarm_init(&aw->alarm);
    alarm_schedule_2(&aw->alarm, alarm_wire_handler, when);
}

void alarm_wire_term(alarm_wire_t* aw)
{
    if (alarm_cancel(&aw->alarm))
        return;
    /* taken for delivery: the pin may still be signalled, and the wire's
     * memory must outlive the handler */
    alarm_wait_complete(&aw->alarm);
}

void alarm_pin_init(alarm_pin_t* ap, uint64_t when)
{
    pin_init(&ap->pin);
    alarm_wire_init(&ap->wire, &ap->pin.vtbl, when);
}

void alarm_pin_term(alarm_pin_t* ap)
{
    alarm_wire_term(&ap->wire);
    pin_term(&ap->pin);
}

/* ---- pin timeouts -------------------------------------------------------------- */

static inline int pin_timeout_is_none(int timeout)
{
    return timeout < 0 || timeout > alarm_timeout_max;
}

void pin_timeout_init(pin_timeout_t* pt, pin_i* pin, int timeout)
{
    pt->timeout = timeout;
    if (pin_timeout_is_none(timeout)) {
        pt->pin = pin;
        return;
    }
    alarm_pin_init(&pt->timeout_pin, counter_msec() + (uint64_t)timeout);
    if (!pin) {
        pt->pin = &pt->timeout_pin.pin.vtbl;
        return;
    }
    pin_buf_init_(&pt->buf, 1);
    (void)handle_alloced_d(&pt->buf);
    pin_buf_wire_init(&pt->pin_wire, &pt->buf, pin);
    pin_buf_wire_init(&pt->timeout_wire, &pt->buf, &pt->timeout_pin.pin.vtbl);
    pt->pin = pin_buf_output(&pt->buf);
}

void pin_timeout_term(pin_timeout_t* pt, int* err)
{
    if (pin_timeout_is_none(pt->timeout))
        return;
    if (pt->pin == pin_buf_output(&pt->buf)) {
        pin_buf_term_(&pt->buf);
        debugheap_handlefreed(&pt->buf);
    }
    if (pt->pin != pin_buf_output(&pt->buf) && pt->pin != &pt->timeout_pin.pin.vtbl)
        qp_assert_failed(__FILE__, __LINE__,
                         "pt->pin == pin_buf_output(&pt->buf) || "
                         "pt->pin == pin_vtbl(&pt->timeout_pin.pin)");
    if (err && *err == err_cancelled && pin_poll(&pt->timeout_pin.pin))
        *err = err_timeout;
    alarm_pin_term(&pt->timeout_pin);
}
