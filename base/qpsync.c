/*
 * qpsync.c - atomics, the global state, locks, holds, wait queues,
 * semaphores and clocks: the portable part (user mode and kernel).
 *
 * Sleeping lock (sync_lock in user mode, mux_lock and the pool locks). The
 * word is 0 (free), the owner's identity (held, nobody waiting) or the
 * address of the newest waiter's sync_link_t. Each link's next points at the
 * next older waiter; the oldest waiter's next holds the identity of the
 * thread that owned the lock when that waiter queued, which is always the
 * current owner (the lock is handed down the chain):
 *
 *   word -> C -> B -> A(identity of owner A)
 *
 * A new waiter pushes itself with one exchange of the word [L1] and sleeps
 * on the hold in its link. Unlock first tries owner -> 0 [U1]; otherwise it
 * walks to the link whose next is the owner (B) and exchanges the pointer at
 * that link (C.next, or the word when B is the newest) for B's identity
 * [U2], so the chain now ends in B's identity and B owns the lock; then it
 * signals B's hold. Only pushes change the word concurrently with the owner,
 * so only [U2] on the word can fail, and the walk is then retried. Waiters
 * are served in arrival order and wake already owning the lock.
 *
 * Spin lock word (32 bits used): bits 0-7 the preemption state saved by the
 * owner, 8-18 the ticket being served, 20-30 the next ticket; bits 19 and 31
 * absorb the carries and are cleared by every exchange.
 *
 * Holds (one waiter, one signal): count 0 idle, 1 signalled first, -1 a
 * waiter sleeps, 99 terminated. A signal that finds 0 and a wait that finds
 * 1 finish with one exchange; otherwise both sides meet under the mutex line
 * selected by the hold's address hash, where the waiter sleeps on the hold's
 * condition until the count returns to 0. A wait that times out puts the
 * count back to 0, so a later signal is kept for the next wait.
 *
 * Wait queues: a FIFO of links under the queue's own sync_t; waiters sleep
 * without the lock. Semaphores change their count lock-free while it stays
 * non-negative; the waiters (negative count) are queued under the lock.
 *
 * Global state: created on first use (sync_global_get), installed with an
 * exchange, freed by qpsync_terminator at exit. While it cannot be created,
 * locks only record their owner; once freed at exit, the locks keep their
 * full behaviour and holds meet under the platform's fallback line, so exit
 * handlers that run later may still wait and lock. The creation must not take a lock: palloc
 * and the platform line initialisation take none.
 */
#include "qpsyncint.h"

#include "bitops.h"
#include "qperr.h"

sync_global_t* volatile sync_global;
int sync_global_initialized;
/* Set when the state was freed at exit: the locks go on working (holds then
 * meet under the platform's fallback line) instead of falling back to the
 * owner-only mode, which would strand a waiter of a lock held at that time. */
static int sync_global_terminated;

/* Locks only record their owner: the global state never came to exist. */
static int sync_owner_only(void)
{
    return !qp_load(&sync_global) && !sync_global_get() && !qp_load(&sync_global_terminated);
}

/* ---- atomics ---------------------------------------------------------------- */

int sync_inc(int* value)
{
    return __atomic_add_fetch(value, 1, __ATOMIC_SEQ_CST);
}

int sync_dec(int* value)
{
    return __atomic_sub_fetch(value, 1, __ATOMIC_SEQ_CST);
}

size_t sync_add_size(size_t* value, size_t add)
{
    return __atomic_add_fetch(value, add, __ATOMIC_SEQ_CST);
}

size_t sync_sub_size(size_t* value, size_t sub)
{
    return __atomic_sub_fetch(value, sub, __ATOMIC_SEQ_CST);
}

int sync_xchg(int* value, int old_value, int new_value)
{
    return qp_cas(value, old_value, new_value);
}

int sync_xchg_size(size_t* value, size_t old_value, size_t new_value)
{
    return qp_cas(value, old_value, new_value);
}

int sync_xchg_ptr(void** value, void* old_value, void* new_value)
{
    return qp_cas(value, old_value, new_value);
}

/* A locked read-modify-write is a full fence on x86, and one the thread
 * sanitizer understands (it rejects stand-alone fences). */
void sync_barrier(void)
{
    int fence = 0;
    __atomic_fetch_add(&fence, 0, __ATOMIC_SEQ_CST);
}

void sync_compiler(void)
{
    __atomic_signal_fence(__ATOMIC_SEQ_CST);
}

void sync_idle(void)
{
    __builtin_ia32_pause();
}

void* thread_self(void)
{
    return thread_self_();
}

/* ---- global state ------------------------------------------------------------ */

static uintptr_t align_up(uintptr_t value, uintptr_t alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

static sync_global_t* sync_global_create(void)
{
    size_t size = align_up(sizeof(sync_global_t), bits_cache_line_size) +
                  hold_line_count * sizeof(hold_line_t) + bits_cache_line_size;
    char* mem = (char*)palloc(size, 0);
    sync_global_t* g;
    int i;

    if (!mem) {
        return 0;
    }
    g = (sync_global_t*)align_up((uintptr_t)mem, bits_cache_line_size);
    __builtin_memset(g, 0, sizeof *g);
    g->mem = mem;
    g->mem_size = size;
    g->hold_lines = (hold_line_t*)align_up((uintptr_t)(g + 1), bits_cache_line_size);
    for (i = 0; i < hold_line_count; i++) {
        qpsync_os_line_init(&g->hold_lines[i]);
    }
    for (i = 0; i < lookaside_line_count; i++) {
        spinner_init(&g->lookaside_lines[i].lock);
    }
    sync_init(&g->thread_ref_lock);
    return g;
}

static void sync_global_destroy(sync_global_t* g)
{
    int i;
    for (i = 0; i < lookaside_line_count; i++) {
        qpsync_io_wires_free(g->lookaside_lines[i].first_io_wire);
    }
    for (i = 0; i < hold_line_count; i++) {
        qpsync_os_line_term(&g->hold_lines[i]);
    }
    pfree(g->mem, g->mem_size, 0);
}

static sync_global_t* sync_global_install(void)
{
    sync_global_t* fresh = sync_global_create();
    if (!fresh) {
        /* No memory: the primitives stay in their owner-only mode. */
        qp_store(&sync_global_initialized, 1);
        return 0;
    }
    if (!qp_cas(&sync_global, (sync_global_t*)0, fresh)) {
        sync_global_destroy(fresh);
        return qp_load(&sync_global);
    }
    qp_store(&sync_global_initialized, 1);
    procsig_pins_init();
    qpsync_os_atexit(qpsync_terminator);
    return fresh;
}

sync_global_t* sync_global_get(void)
{
    sync_global_t* g = qp_load(&sync_global);
    if (g || qp_load(&sync_global_initialized)) {
        return g;
    }
    return sync_global_install();
}

int qpsync_initializer(void)
{
    return sync_global_get() ? 0 : err_no_mem;
}

void qpsync_terminator(void)
{
    sync_global_t* g = qp_load(&sync_global);
    if (!g) {
        return;
    }
    thread_collect_all();
    qp_store(&sync_global_terminated, 1);
    qp_store(&sync_global, (sync_global_t*)0);
    sync_global_destroy(g);
}

/* ---- sleeping lock -------------------------------------------------------------- */

void sync_init(sync_t* s)
{
    s->owner = 0;
    s->state = 0;
}

void sync_term(sync_t* s)
{
    QP_ASSERT(!s->owner);
    s->state = 0;
}

static void sync_take_owner(sync_t* s, void* self)
{
    QP_ASSERT(!s->owner);
    qp_store_relaxed(&s->owner, self);
}

static void sync_sleep_lock(sync_t* s, void* self)
{
    sync_link_t link;
    void* word;

    if (qp_cas(&s->list, (void*)0, self)) {
        sync_take_owner(s, self);
        return;
    }
    link.self = self;
    hold_init(&link.hold);
    for (;;) {
        word = qp_load(&s->list);
        qp_store_relaxed(&link.next, (sync_link_t*)word);
        if (!word) {
            if (qp_cas(&s->list, (void*)0, self)) {
                break;
            }
        } else if (qp_cas(&s->list, word, (void*)&link)) { /* [L1] */
            int woke = hold_wait(&link.hold, -1);
            QP_ASSERT(woke);
            break;
        }
    }
    hold_term(&link.hold);
    sync_take_owner(s, self);
}

static void sync_sleep_unlock(sync_t* s, void* self)
{
    sync_link_t* oldest;
    void* volatile* at;

    qp_store_relaxed(&s->owner, (void*)0);
    if (qp_cas(&s->list, self, (void*)0)) { /* [U1] */
        return;
    }
    do {
        at = &s->list;
        oldest = (sync_link_t*)qp_load(at);
        while (qp_load(&oldest->next) != (sync_link_t*)self) {
            at = (void* volatile*)&oldest->next;
            oldest = (sync_link_t*)qp_load(at);
        }
    } while (!qp_cas(at, (void*)oldest, oldest->self)); /* [U2] */
    QP_ASSERT(oldest->next == self);
    hold_signal(&oldest->hold);
}

void sync_lock(sync_t* s)
{
    void* self = qpsync_self();
    QP_ASSERT_AS(qp_load_relaxed(&s->owner) != self, "s->owner != self");
    if (sync_owner_only()) {
        sync_take_owner(s, self);
        return;
    }
    sync_sleep_lock(s, self);
}

void sync_unlock(sync_t* s)
{
    void* self = qpsync_self();
    QP_ASSERT(s->owner == self);
    if (sync_owner_only()) {
        qp_store_relaxed(&s->owner, (void*)0);
        return;
    }
    sync_sleep_unlock(s, self);
}

int sync_is_locked(const sync_t* s)
{
    return qp_load_relaxed(&s->owner) == qpsync_self();
}

/* ---- ticket spin lock --------------------------------------------------------------- */

#define SPIN_STATE_MASK   0xFFu
#define SPIN_SERVING_ONE  0x100u
#define SPIN_SERVING_MASK 0x7FF00u
#define SPIN_NEXT_ONE     0x100000u
#define SPIN_NEXT_MASK    0x7FF00000u
#define SPIN_CARRY_BITS   0x80080000u

static unsigned spin_serving(size_t word)
{
    return (unsigned)((word & SPIN_SERVING_MASK) >> 8);
}

static unsigned spin_next(size_t word)
{
    return (unsigned)((word & SPIN_NEXT_MASK) >> 20);
}

void sync_spin_lock(sync_t* s, void* self)
{
    int state;
    unsigned ticket, spins;
    size_t word, taken;

    QP_ASSERT_AS(self == qpsync_self(), "self == thread_self_()");
    QP_ASSERT_AS(qp_load_relaxed(&s->owner) != self, "s->owner != self");
    if (sync_owner_only()) {
        sync_take_owner(s, self);
        return;
    }
    state = qpsync_os_preempt_disable();
    do {
        word = qp_load(&s->state);
        ticket = spin_next(word);
        taken = (word + SPIN_NEXT_ONE) & ~(size_t)SPIN_CARRY_BITS;
        if (ticket == spin_serving(word)) {
            QP_ASSERT(!(word & SPIN_STATE_MASK));
            taken |= (size_t)state;
        }
    } while (!qp_cas(&s->state, word, taken));
    for (spins = 0; spin_serving(qp_load(&s->state)) != ticket; spins++) {
        qpsync_os_spin_pause(spins);
    }
    do {
        word = qp_load(&s->state);
        if ((int)(word & SPIN_STATE_MASK) == state) {
            break;
        }
        QP_ASSERT(!(word & SPIN_STATE_MASK));
    } while (!qp_cas(&s->state, word, word | (size_t)state));
    sync_take_owner(s, self);
}

void sync_spin_unlock(sync_t* s)
{
    size_t word;
    int state;

    QP_ASSERT_AS(s->owner == qpsync_self() || !sync_global,
                 "s->owner == thread_self_() || !sync_global");
    qp_store_relaxed(&s->owner, (void*)0);
    if (sync_owner_only()) {
        return;
    }
    do {
        word = qp_load(&s->state);
        state = (int)(word & SPIN_STATE_MASK);
    } while (!qp_cas(&s->state, word,
                     (word + SPIN_SERVING_ONE) & ~(size_t)(SPIN_CARRY_BITS | SPIN_STATE_MASK)));
    qpsync_os_preempt_restore(state);
}

void spinner_init(spinner_t* sp)
{
    sync_init(&sp->sync);
}

void spinner_lock(spinner_t* sp)
{
    sync_spin_lock(&sp->sync, qpsync_self());
}

void spinner_unlock(spinner_t* sp)
{
    sync_spin_unlock(&sp->sync);
}

void spinner_term(spinner_t* sp)
{
    sync_term(&sp->sync);
}

/* ---- recursive lock and pool locks ----------------------------------------------------- */

void mux_init(mux_t* m)
{
    sync_init(&m->sync);
    m->count = 0;
}

void mux_term(mux_t* m)
{
    QP_ASSERT(!m->count);
    sync_term(&m->sync);
}

void mux_lock(mux_t* m)
{
    void* self = qpsync_self();
    if (qp_load_relaxed(&m->sync.owner) == self) {
        m->count++;
        return;
    }
    sync_lock(&m->sync);
    QP_ASSERT(m->sync.owner == self);
    QP_ASSERT(m->count == 0);
    m->count = 1;
}

void mux_unlock(mux_t* m)
{
    QP_ASSERT_AS(m->sync.owner == qpsync_self() && m->count,
                 "m->sync.owner == thread_self_() && m->count");
    if (!--m->count) {
        sync_unlock(&m->sync);
    }
}

int mux_is_locked(const mux_t* m)
{
    return sync_is_locked(&m->sync);
}

static sync_t sleep_pool_locks[sleep_pool_count];

static sync_t* sleep_pool_lock(const void* key)
{
    return &sleep_pool_locks[bits_hash_ptr(key) & (sleep_pool_count - 1)];
}

void mux_pool_key_lock(const void* key)
{
    sync_lock(sleep_pool_lock(key));
}

void mux_pool_key_unlock(const void* key)
{
    sync_unlock(sleep_pool_lock(key));
}

void sync_pool_key_lock(const void* key)
{
    mux_pool_key_lock(key);
}

void sync_pool_key_unlock(const void* key)
{
    mux_pool_key_unlock(key);
}

void singleton_lock(const void* key)
{
    mux_pool_key_lock(key);
}

void singleton_unlock(const void* key)
{
    mux_pool_key_unlock(key);
}

/* ---- holds ------------------------------------------------------------------------- */

static hold_line_t* hold_line(hold_t* h)
{
    sync_global_t* g = sync_global_get();
    uint32_t hash = qp_load_relaxed(&h->hash);
    if (!g) {
        return qpsync_os_fallback_line();
    }
    if (!hash) {
        hash = bits_hash_ptr(h) | 0x80000000u;
        qp_store_relaxed(&h->hash, hash);
    }
    return &g->hold_lines[hash & (hold_line_count - 1)];
}

void hold_init(hold_t* h)
{
    h->count = 0;
    h->hash = 0;
    qpsync_os_hold_init(h);
}

void hold_term(hold_t* h)
{
    int count = qp_load(&h->count);
    QP_ASSERT_AS(count >= -1 && count <= 1, "h->count >= -1 && h->count <= 1");
    qp_store(&h->count, 99);
    qpsync_os_hold_term(h);
}

void hold_signal(hold_t* h)
{
    hold_line_t* line;

    QP_ASSERT_AS(qp_load(&h->count) != 99, "h->count != 99");
    if (qp_cas(&h->count, 0, 1)) {
        return;
    }
    QP_ASSERT_AS(qp_load(&h->count) != 1, "h->count != 1");
    line = hold_line(h);
    qpsync_os_line_lock(line);
    if (sync_inc((int*)&h->count) == 0) {
        qpsync_os_hold_wake(h);
    }
    qpsync_os_line_unlock(line);
}

int hold_wait(hold_t* h, int timeout_msecs)
{
    qpsync_deadline_t deadline;
    const qpsync_deadline_t* until = 0;
    hold_line_t* line;
    int count, woke = 1;

    if (qp_cas(&h->count, 1, 0)) {
        return 1;
    }
    if (!timeout_msecs) {
        return 0;
    }
    if (timeout_msecs > 0 && timeout_msecs < sync_timeout_none) {
        qpsync_os_deadline(&deadline, timeout_msecs);
        until = &deadline;
    }
    line = hold_line(h);
    qpsync_os_line_lock(line);
    count = sync_dec((int*)&h->count);
    QP_ASSERT(count == 0 || count == -1);
    while (qp_load(&h->count)) {
        if (qpsync_os_hold_sleep(h, line, until) && qp_load(&h->count)) {
            qp_store(&h->count, 0);
            woke = 0;
            break;
        }
    }
    qpsync_os_line_unlock(line);
    return woke;
}

/* ---- wait queues -------------------------------------------------------------------- */

void wait_queue_init(qp_wait_queue_t* q)
{
    sync_init(&q->sync);
    q->first = 0;
    q->last = 0;
}

void wait_queue_term(qp_wait_queue_t* q)
{
    QP_ASSERT(!q->first && !q->last);
    sync_term(&q->sync);
}

void wait_queue_link_init(qp_wait_link_t* link, qp_wait_queue_t* q)
{
    __builtin_memset(link, 0, sizeof *link);
    link->q = q;
    link->signalled = 1;
    hold_init(&link->hold);
}

void wait_link_term(qp_wait_link_t* link)
{
    QP_ASSERT(!link->prev && !link->next);
    hold_term(&link->hold);
}

void wait_queue_link_last(qp_wait_queue_t* q, qp_wait_link_t* link)
{
    QP_ASSERT(sync_is_locked(&q->sync));
    QP_ASSERT(!q->first == !q->last);
    QP_ASSERT(link->signalled);
    link->signalled = 0;
    link->next = 0;
    link->prev = q->last;
    if (q->last) {
        q->last->next = link;
    } else {
        q->first = link;
    }
    q->last = link;
}

void wait_queue_unlink(qp_wait_queue_t* q, qp_wait_link_t* link)
{
    QP_ASSERT(sync_is_locked(&q->sync));
    if (link->prev) {
        QP_ASSERT(link->prev->next == link);
        link->prev->next = link->next;
    } else {
        QP_ASSERT(q->first == link);
        q->first = link->next;
    }
    if (link->next) {
        QP_ASSERT(link->next->prev == link);
        link->next->prev = link->prev;
    } else {
        QP_ASSERT(q->last == link);
        q->last = link->prev;
    }
    link->prev = 0;
    link->next = 0;
}

qp_wait_link_t* wait_queue_unlink_first(qp_wait_queue_t* q)
{
    qp_wait_link_t* link;
    QP_ASSERT(sync_is_locked(&q->sync));
    QP_ASSERT(q->first && q->last);
    link = q->first;
    wait_queue_unlink(q, link);
    return link;
}

static void wait_link_signal_hold(qp_wait_link_t* link)
{
    if (qp_cas(&link->hold_signalled, 0, 1)) {
        hold_signal(&link->hold);
    }
}

qp_wait_link_t* wait_queue_signal_first(qp_wait_queue_t* q)
{
    qp_wait_link_t* link;
    if (!q->first) {
        return 0;
    }
    link = wait_queue_unlink_first(q);
    link->signalled = 1;
    wait_link_signal_hold(link);
    return link;
}

static void wait_link_cancel_handler(pin_wire_t* wire)
{
    wait_link_signal_hold(
        (qp_wait_link_t*)((char*)wire - __builtin_offsetof(qp_wait_link_t, cancel_wire)));
    pin_handler_complete(wire);
}

int wait_queue_wait(qp_wait_queue_t* q, qp_wait_link_t* link, pin_i* cancel_pin,
                    int timeout_msecs)
{
    QP_ASSERT(sync_is_locked(&q->sync));
    sync_unlock(&q->sync);
    if (cancel_pin) {
        pin_attach_2(cancel_pin, wait_link_cancel_handler, &link->cancel_wire);
    }
    hold_wait(&link->hold, timeout_msecs);
    if (cancel_pin) {
        pin_detach_2(cancel_pin, &link->cancel_wire);
    }
    sync_lock(&q->sync);
    if (!link->signalled) {
        wait_queue_unlink(q, link);
    }
    return link->signalled;
}

/* ---- semaphores --------------------------------------------------------------------- */

void sema_init(sema_t* a, int count)
{
    wait_queue_init(&a->queue);
    a->count = count;
}

void sema_term(sema_t* a)
{
    QP_ASSERT(a->count >= 0);
    wait_queue_term(&a->queue);
}

void sema_signal(sema_t* a)
{
    int count;
    for (count = qp_load(&a->count); count >= 0; count = qp_load(&a->count)) {
        if (qp_cas(&a->count, count, count + 1)) {
            return;
        }
    }
    sync_lock(&a->queue.sync);
    if (sync_inc(&a->count) <= 0) {
        wait_queue_signal_first(&a->queue);
    }
    sync_unlock(&a->queue.sync);
}

int sema_wait(sema_t* a, pin_i* cancel_pin, int timeout_msecs)
{
    qp_wait_link_t link;
    int count, acquired;

    for (count = qp_load(&a->count); count > 0; count = qp_load(&a->count)) {
        if (qp_cas(&a->count, count, count - 1)) {
            return 1;
        }
    }
    sync_lock(&a->queue.sync);
    if (sync_dec(&a->count) >= 0) {
        sync_unlock(&a->queue.sync);
        return 1;
    }
    wait_queue_link_init(&link, &a->queue);
    wait_queue_link_last(&a->queue, &link);
    acquired = wait_queue_wait(&a->queue, &link, cancel_pin, timeout_msecs);
    if (!acquired) {
        /* atomic: lock-free signals may change the count at any time */
        QP_ASSERT_AS(qp_load(&a->count) < 0, "a->count < 0");
        sync_inc(&a->count);
    }
    sync_unlock(&a->queue.sync);
    wait_link_term(&link);
    return acquired;
}

/* ---- clocks ----------------------------------------------------------------------------- */

#define NSEC_PER_SEC       1000000000ll
#define SEC_TO_100NSEC     10000000ll
#define EPOCH_1601_100NSEC 116444736000000000ll
#define EPOCH_1601_SEC     11644473600ll

uint64_t counter_usec(void)
{
    return qpsync_os_monotonic_nsec() / 1000u;
}

uint64_t counter_msec(void)
{
    return qpsync_os_monotonic_nsec() / 1000000u;
}

uint64_t counter_125msec(void)
{
    return qpsync_os_monotonic_nsec() / (NSEC_PER_SEC / 8);
}

uint64_t counter_sec(void)
{
    return qpsync_os_monotonic_nsec() / NSEC_PER_SEC;
}

int64_t time_sec(void)
{
    int64_t sec;
    long nsec;
    qpsync_os_realtime(&sec, &nsec);
    return sec;
}

int time_nsec(int64_t* sec)
{
    long nsec;
    qpsync_os_realtime(sec, &nsec);
    return (int)nsec;
}

int time_usec(int64_t* sec)
{
    return time_nsec(sec) / 1000;
}

int64_t time_100nsec(void)
{
    int64_t sec;
    long nsec;
    qpsync_os_realtime(&sec, &nsec);
    return sec * SEC_TO_100NSEC + nsec / 100 + EPOCH_1601_100NSEC;
}

int64_t time_100nsec_to_sec(int64_t t)
{
    return t / SEC_TO_100NSEC - EPOCH_1601_SEC;
}

int64_t time_sec_to_100nsec(int64_t s)
{
    return s * SEC_TO_100NSEC + EPOCH_1601_100NSEC;
}
