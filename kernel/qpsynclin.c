/*
 * qpsynclin.c - the kernel build of the synchronisation layer, as far as the
 * module uses it: atomics, the thread identity, the ticket spin lock (both
 * sync_t and spinner_t), the monotonic counters and the module-life hooks.
 *
 * In the kernel a sync_t is the ticket spin lock, never a sleeping lock: code
 * holding one must not sleep. Lock word (32 bits used):
 *   bits 0-7   saved state: 0xFF while held (the kernel keeps the preemption
 *              count itself, the byte only marks a holder)
 *   bits 8-18  now-serving ticket     bits 20-30 next ticket
 *   bits 19, 31 always 0, so each 11-bit field wraps on its own.
 * Taking a ticket adds 0x100000; release adds 0x100 and clears the byte.
 * Up to 2047 waiters can queue; they are served in arrival order. Taking
 * the lock disables preemption until it is released.
 *
 * The owner field (the holder's task) is written only by the holder, so
 * sync_is_locked is true only for it.
 *
 * Holds and pins. The pins themselves are the portable ones (qpsync2.c);
 * here are the holds they wait in and the interrupt wires. A hold records
 * the task that sets it up, which alone waits in it; the signaller wakes
 * it. Both meet under one of 64 spin locks chosen by the hold's address, so
 * the waiter cannot return (and its hold on the stack vanish) while a
 * signaller still uses it.
 * Timeouts are the scheduler's timer. A waiting task whose interrupt wire is
 * attached sleeps interruptibly; a signal then fires the wire's pin once
 * (outside every lock), and the wait goes on unless that pin ends it. Other
 * waits sleep as idle tasks, so signals and the hung-task watch leave them
 * alone. The attached wires are a list under interrupt_wires_lock.
 *
 * The kernel build keeps no global state (sync_global stays null), and it
 * has no pipes, so pollable wires cannot be made there.
 */
#include <linux/atomic.h>
#include <linux/preempt.h>
#include <linux/sched.h>
#include <linux/timekeeping.h>
#include <linux/processor.h>
#include <linux/spinlock.h>
#include <linux/delay.h>
#include <linux/sched/signal.h>
#include <linux/jiffies.h>

#include "qpsyncint.h"
#include "bitops.h"

enum {
    spin_saved_mask = 0xFF,
    spin_saved_held = 0xFF,
    spin_serving_one = 0x100,
    spin_serving_mask = 0x7FF00,
    spin_ticket_one = 0x100000,
    spin_ticket_mask = 0x7FF00000,
    spin_guard_bits = 0x80080000
};

/* ---- atomics ------------------------------------------------------------ */

/* The kernel's own atomics (full barriers when they return a value); an
 * int is laid out as an atomic_t, a size_t as an atomic_long_t. */
int sync_inc(int* value)
{
    return atomic_inc_return((atomic_t*)value);
}

int sync_dec(int* value)
{
    return atomic_dec_return((atomic_t*)value);
}

size_t sync_add_size(size_t* value, size_t add)
{
    return (size_t)atomic_long_add_return((long)add, (atomic_long_t*)value);
}

size_t sync_sub_size(size_t* value, size_t sub)
{
    return (size_t)atomic_long_sub_return((long)sub, (atomic_long_t*)value);
}

int sync_xchg(int* value, int old_value, int new_value)
{
    return cmpxchg(value, old_value, new_value) == old_value;
}

int sync_xchg_size(size_t* value, size_t old_value, size_t new_value)
{
    return cmpxchg(value, old_value, new_value) == old_value;
}

int sync_xchg_ptr(void** value, void* old_value, void* new_value)
{
    return cmpxchg(value, old_value, new_value) == old_value;
}

void sync_barrier(void)
{
    smp_mb();
}

void sync_compiler(void)
{
    barrier();
}

void sync_idle(void)
{
    cpu_relax();
}

/* ---- thread identity ---------------------------------------------------- */

void* thread_self_(void)
{
    return current;
}

void* thread_self(void)
{
    return current;
}

void thread_yield_(void)
{
    cond_resched();
}

/* ---- ticket spin lock ------------------------------------------------------ */

static size_t spin_word(const sync_t* s)
{
    return smp_load_acquire(&s->state);
}

static int spin_exchange(sync_t* s, size_t old_word, size_t new_word)
{
    return sync_xchg_size((size_t*)&s->state, old_word, new_word);
}

void sync_spin_lock(sync_t* s, void* self)
{
    size_t word, ticket;

    preempt_disable();
    for (;;) {
        word = spin_word(s);
        ticket = (word & spin_ticket_mask) >> 12; /* aligned with the serving field */
        if (ticket == (word & spin_serving_mask)) {
            QP_ASSERT((word & spin_saved_mask) == 0);
            if (spin_exchange(s, word, ((word + spin_ticket_one) & ~(size_t)spin_guard_bits) |
                                           spin_saved_held))
                break;
        } else if (spin_exchange(s, word, (word + spin_ticket_one) & ~(size_t)spin_guard_bits)) {
            while ((spin_word(s) & spin_serving_mask) != ticket)
                cpu_relax();
            /* The previous holder cleared the byte in its release. */
            do {
                word = spin_word(s);
                QP_ASSERT((word & spin_saved_mask) == 0);
            } while (!spin_exchange(s, word, word | spin_saved_held));
            break;
        }
    }
    QP_ASSERT(!s->owner);
    s->owner = self;
}

void sync_spin_unlock(sync_t* s)
{
    size_t word, irql;

    QP_ASSERT(s->owner == current);
    s->owner = 0;
    do {
        word = spin_word(s);
        irql = word & spin_saved_mask;
        QP_ASSERT(irql == 0xFF);
    } while (!spin_exchange(s, word,
                            ((word + spin_serving_one) & ~(size_t)(spin_guard_bits | spin_saved_mask))));
    preempt_enable();
}

void sync_init(sync_t* s)
{
    s->owner = 0;
    s->state = 0;
}

void sync_term(sync_t* s)
{
    QP_ASSERT(!s->owner);
}

void sync_lock(sync_t* s)
{
    sync_spin_lock(s, current);
}

void sync_unlock(sync_t* s)
{
    sync_spin_unlock(s);
}

int sync_is_locked(const sync_t* s)
{
    return s->owner == current;
}

void spinner_init(spinner_t* sp)
{
    sync_init(&sp->sync);
}

void spinner_term(spinner_t* sp)
{
    sync_term(&sp->sync);
}

void spinner_lock(spinner_t* sp)
{
    sync_spin_lock(&sp->sync, current);
}

void spinner_unlock(spinner_t* sp)
{
    sync_spin_unlock(&sp->sync);
}

/* ---- clocks ---------------------------------------------------------------- */

uint64_t counter_usec(void)
{
    return ktime_get_ns() / 1000;
}

uint64_t counter_msec(void)
{
    return ktime_get_ns() / 1000000;
}

uint64_t counter_125msec(void)
{
    return ktime_get_ns() / 125000000;
}

uint64_t counter_sec(void)
{
    return ktime_get_ns() / 1000000000;
}

/* ---- holds ----------------------------------------------------------------- */

static spinlock_t hold_lines[hold_line_count] = {
    [0 ... hold_line_count - 1] = __SPIN_LOCK_UNLOCKED(hold_lines),
};

static spinlock_t* hold_line(hold_t* h)
{
    uint32_t hash = READ_ONCE(h->hash);

    if (!hash) {
        hash = bits_hash_ptr(h) | 0x80000000u;
        WRITE_ONCE(h->hash, hash);
    }
    return &hold_lines[hash & (hold_line_count - 1)];
}

/* The task that will wait is the one that sets the hold up. */
void hold_init(hold_t* h)
{
    h->count = 0;
    h->hash = 0;
    h->task = get_current();
}

void hold_term(hold_t* h)
{
    int count = qp_load(&h->count);
    QP_ASSERT_AS(count >= -1 && count <= 1, "h->count >= -1 && h->count <= 1");
    qp_store(&h->count, 99);
}

void hold_signal(hold_t* h)
{
    spinlock_t* line;

    QP_ASSERT_AS(qp_load(&h->count) != 99, "h->count != 99");
    if (qp_cas(&h->count, 0, 1))
        return;
    QP_ASSERT_AS(qp_load(&h->count) != 1, "h->count != 1");
    line = hold_line(h);
    spin_lock(line);
    if (sync_inc((int*)&h->count) == 0)
        wake_up_process((struct task_struct*)h->task);
    spin_unlock(line);
}

/* ---- interrupt wires ---------------------------------------------------------- */

static DEFINE_SPINLOCK(interrupt_wires_lock);
static pin_interrupt_wire_t* interrupt_wires;

void pin_interrupt_wire_attach(pin_interrupt_wire_t* iw, pin_i* pin)
{
    iw->task = current;
    iw->pin = pin;
    iw->fired = 0;
    spin_lock(&interrupt_wires_lock);
    iw->next = interrupt_wires;
    interrupt_wires = iw;
    spin_unlock(&interrupt_wires_lock);
}

void pin_interrupt_wire_detach(pin_interrupt_wire_t* iw)
{
    pin_interrupt_wire_t** link;

    QP_ASSERT(iw->task == current);
    spin_lock(&interrupt_wires_lock);
    for (link = &interrupt_wires; *link != iw; link = &(*link)->next)
        QP_ASSERT(*link);
    *link = iw->next;
    spin_unlock(&interrupt_wires_lock);
}

/* The calling task's newest wire that has not fired, or null. Only the
 * task itself fires or detaches its wires. */
static pin_interrupt_wire_t* interrupt_wire_armed(void)
{
    pin_interrupt_wire_t* iw;

    spin_lock(&interrupt_wires_lock);
    for (iw = interrupt_wires; iw && iw->task != current; iw = iw->next)
        ;
    spin_unlock(&interrupt_wires_lock);
    return iw && !iw->fired ? iw : NULL;
}

static void interrupt_wire_fire(pin_interrupt_wire_t* iw)
{
    iw->fired = 1;
    pin_i_signal(iw->pin);
}

int hold_wait(hold_t* h, int timeout_msecs)
{
    long remaining = MAX_SCHEDULE_TIMEOUT;
    spinlock_t* line;
    int count, woke = 1;

    if (qp_cas(&h->count, 1, 0))
        return 1;
    if (!timeout_msecs)
        return 0;
    if (timeout_msecs > 0 && timeout_msecs < sync_timeout_none)
        remaining = (long)msecs_to_jiffies(timeout_msecs);
    QP_ASSERT(h->task == get_current());
    line = hold_line(h);
    spin_lock(line);
    count = sync_dec((int*)&h->count);
    QP_ASSERT(count == 0 || count == -1);
    while (qp_load(&h->count)) {
        pin_interrupt_wire_t* iw;

        spin_unlock(line);
        iw = interrupt_wire_armed();
        if (iw && signal_pending(current)) {
            interrupt_wire_fire(iw);
        } else {
            spin_lock(line);
            if (!qp_load(&h->count))
                break;
            set_current_state(iw ? TASK_INTERRUPTIBLE : TASK_IDLE);
            spin_unlock(line);
            remaining = schedule_timeout(remaining);
        }
        spin_lock(line);
        if (!remaining && qp_load(&h->count)) {
            qp_store(&h->count, 0);
            woke = 0;
            break;
        }
    }
    spin_unlock(line);
    return woke;
}

/* ---- what the portable pins need --------------------------------------------- */

sync_global_t* volatile sync_global;

sync_global_t* sync_global_get(void)
{
    return NULL;
}

void qpsync_os_sleep_msec(int msecs)
{
    msleep(msecs);
}

int qpsync_os_pipe_open(int fds[2])
{
    fds[0] = fds[1] = -1;
    return 0;
}

void qpsync_os_pipe_close(int fds[2])
{
    (void)fds;
}

int qpsync_os_pipe_write_byte(int fd, unsigned char data)
{
    (void)fd;
    (void)data;
    return -1;
}

int qpsync_os_pipe_read_byte(int fd, unsigned char* data)
{
    (void)fd;
    (void)data;
    return -1;
}

/* ---- module life ----------------------------------------------------------- */

/* The kernel build keeps no global state: the spin lock needs none and the
 * module starts no threads. */
int qpsync_initializer(void)
{
    return 0;
}

void qpsync_terminator(void)
{
}

void thread_collect_all(void)
{
}
