/*
 * qpsync.h - atomics, locks, holds, wait queues, semaphores, threads and
 * clocks of the base runtime.
 *
 * One header for both builds (user mode and the kernel module); the portable
 * logic lives in base/qpsync*.c, the platform side behind a few small
 * functions (base/qpsyncnix.cpp in user mode).
 *
 * Locks. A sync_t is a non-recursive lock of two words: the owner's thread
 * identity (null when free) and the lock word. In user mode sync_lock is a
 * sleeping lock whose word is 0 (free), the owner's identity (held, nobody
 * waiting) or the newest waiter's sync_link_t; waiters are chained newest to
 * oldest, the oldest one's next holds the owner's identity, and unlock hands
 * the lock to the oldest waiter, which wakes up already owning it. The spin
 * lock (spinner_t) uses the word as tickets:
 *   bits 0-7 saved preemption state, bits 8-18 now serving, bits 20-30 next
 *   ticket, bits 19 and 31 always 0.
 * sync_is_locked is true only for the owner. A mux_t is the sleeping lock
 * made recursive; the pool locks give mutual exclusion per address without
 * storage (a thread holds at most one pool lock at a time).
 *
 * Holds. A hold_t is a one-shot wake-up for exactly one waiter:
 *   count 0 idle, 1 signalled before anyone waited, -1 a waiter sleeps,
 *   99 terminated.
 * Signal and wait are lock-free when they do not meet; otherwise they meet
 * under one of 64 mutex lines chosen by hashing the hold's address.
 *
 *   hold_t h; hold_init(&h);
 *   ... hand &h to the signaller ...; hold_wait(&h, -1); hold_term(&h);
 *
 * Timeouts are milliseconds; -1 and 0x7FFFFFFF or more mean none. A timeout
 * or a cancellation is a result (0), never an error.
 */
#ifndef QPSYNC_H
#define QPSYNC_H

#include "qpbase.h"

#ifndef __KERNEL__
#include <pthread.h>
#else
/* The kernel has a sema_init of its own: ours takes another name there,
 * whichever header comes first. */
#include <linux/semaphore.h>
#define sema_init qp_sema_init
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
    bits_cache_line_size = 64,
    thread_stack_size_default = 0,
    thread_stack_size_small = 0x30000,
    thread_stack_size_medium = 0x60000, /* the alarm thread */
    hold_line_count = 64,
    lookaside_line_count = 32,
    sleep_pool_count = 16,
    /* timeouts at or above this value mean no timeout */
    sync_timeout_none = 0x7FFFFFFF,
};

/* ---- atomics ------------------------------------------------------- */

/* Return the new value. */
int sync_inc(int* value);
int sync_dec(int* value);
size_t sync_add_size(size_t* value, size_t add);
size_t sync_sub_size(size_t* value, size_t sub);
/* Store new_value when *value equals old_value; returns whether it did. */
int sync_xchg(int* value, int old_value, int new_value);
int sync_xchg_size(size_t* value, size_t old_value, size_t new_value);
int sync_xchg_ptr(void** value, void* old_value, void* new_value);

void sync_barrier(void);  /* full memory fence */
void sync_compiler(void); /* compiler fence */
void sync_idle(void);     /* processor pause inside spin loops */

/* ---- threads: identity --------------------------------------------- */

/* A non-null identity of the calling thread, stable for its lifetime and
 * never the address of a sync_link_t. */
void* thread_self(void);
/* Platform side: the identity and giving up the processor. */
void* thread_self_(void);
void thread_yield_(void);

/* ---- pin interface (the rest is in qppin.h) ------------------------- */

typedef struct pin_wire_t pin_wire_t;
/* Called once per attachment when the pin fires; the handler's last use of
 * the wire is pin_handler_complete(wire). Handlers must not block. */
typedef void (*pin_handler_t)(pin_wire_t* wire);
struct pin_wire_t {
    pin_handler_t handler; /* cleared by pin_handler_complete */
    pin_wire_t** prev;     /* the pointer that points at this wire; null when not linked */
    pin_wire_t* next;
};

typedef struct pin_i_vtbl_t pin_i_vtbl_t;
typedef const pin_i_vtbl_t* pin_i;
struct pin_i_vtbl_t {
    void (*signal)(pin_i* pin);
    void (*reset)(pin_i* pin); /* also the pulse: fires the attached wires */
    /* 1 attached, 0 the pin is signalled (the caller runs the handler) */
    int (*attach)(pin_i* pin, pin_handler_t handler, pin_wire_t* wire);
    /* 1 detached, 0 the handler has been or is being called */
    int (*detach)(pin_i* pin, pin_wire_t* wire);
    int (*poll)(pin_i* pin);
};

/* ---- holds ----------------------------------------------------------- */

typedef struct hold_t {
    volatile int count; /* 0 idle, 1 signalled, -1 waiter sleeps, 99 terminated */
    uint32_t hash;      /* 0, or the address hash with bit 31 set */
#ifdef __KERNEL__
    void* task; /* the sleeping task */
#else
    pthread_cond_t cond;
#endif
} hold_t;

void hold_init(hold_t* h);
void hold_term(hold_t* h);
void hold_signal(hold_t* h);
/* 1 signalled, 0 timed out. */
int hold_wait(hold_t* h, int timeout_msecs);

/* ---- locks ----------------------------------------------------------- */

typedef struct sync_t {
    void* volatile owner;
    union {
        void* volatile list;   /* sleeping lock: 0, owner, or newest waiter */
        volatile size_t state; /* spin lock: tickets and saved state */
    };
} sync_t;

#define SYNC_INIT {0, {0}}

/* A waiter of the sleeping lock, on the waiter's stack. */
typedef struct sync_link_t {
    void* self;
    struct sync_link_t* volatile next; /* older waiter, or the owner's identity */
    hold_t hold;
} sync_link_t;

void sync_init(sync_t* s);
void sync_term(sync_t* s);
void sync_lock(sync_t* s);
void sync_unlock(sync_t* s);
int sync_is_locked(const sync_t* s);

/* Ticket spin lock. */
typedef struct spinner_t {
    sync_t sync;
} spinner_t;

#define SPINNER_INIT {SYNC_INIT}

void sync_spin_lock(sync_t* s, void* self);
void sync_spin_unlock(sync_t* s);
void spinner_init(spinner_t* sp);
void spinner_lock(spinner_t* sp);
void spinner_unlock(spinner_t* sp);
void spinner_term(spinner_t* sp);

/* Recursive lock. */
typedef struct mux_t {
    sync_t sync;
    int count; /* recursion depth */
} mux_t;

#define MUX_INIT {SYNC_INIT, 0}

void mux_init(mux_t* m);
void mux_term(mux_t* m);
void mux_lock(mux_t* m);
void mux_unlock(mux_t* m);
int mux_is_locked(const mux_t* m);

/* Pool locks: one of 16 sleeping locks chosen by hashing the key. */
void mux_pool_key_lock(const void* key);
void mux_pool_key_unlock(const void* key);
void sync_pool_key_lock(const void* key);
void sync_pool_key_unlock(const void* key);
void singleton_lock(const void* key);
void singleton_unlock(const void* key);

/* ---- wait queues and semaphores --------------------------------------- */

typedef struct qp_wait_link_t qp_wait_link_t;
typedef struct qp_wait_queue_t {
    sync_t sync;
    qp_wait_link_t* first;
    qp_wait_link_t* last;
} qp_wait_queue_t;

struct qp_wait_link_t {
    qp_wait_queue_t* q;
    pin_wire_t cancel_wire;
    qp_wait_link_t* prev;
    qp_wait_link_t* next;
    hold_t hold;
    int hold_signalled; /* once-only guard for signalling the hold */
    int signalled;      /* 1 fresh or signalled, 0 queued */
    void* owner;        /* exclusive waiters of a gate */
};

void wait_queue_init(qp_wait_queue_t* q);
void wait_queue_term(qp_wait_queue_t* q);
void wait_queue_link_init(qp_wait_link_t* link, qp_wait_queue_t* q);
void wait_link_term(qp_wait_link_t* link);
/* The queue's lock is held by the caller for these four. */
void wait_queue_link_last(qp_wait_queue_t* q, qp_wait_link_t* link);
qp_wait_link_t* wait_queue_unlink_first(qp_wait_queue_t* q);
void wait_queue_unlink(qp_wait_queue_t* q, qp_wait_link_t* link);
qp_wait_link_t* wait_queue_signal_first(qp_wait_queue_t* q);
/* Called with the lock held and the link queued; sleeps without the lock and
 * returns with it held. 1 signalled, 0 cancelled or timed out (the link is
 * then unlinked). */
int wait_queue_wait(qp_wait_queue_t* q, qp_wait_link_t* link, pin_i* cancel_pin,
                    int timeout_msecs);

typedef struct sema_t {
    qp_wait_queue_t queue;
    int count; /* negative: the number of waiters */
} sema_t;

void sema_init(sema_t* a, int count);
void sema_term(sema_t* a);
void sema_signal(sema_t* a);
/* 1 acquired, 0 cancelled or timed out. The cancel pin may be null. */
int sema_wait(sema_t* a, pin_i* cancel_pin, int timeout_msecs);

/* ---- threads ----------------------------------------------------------- */

typedef void (*thread_main_t)(void* param);

/* 1 started, 0 the thread could not be created. Every thread started here
 * is joined by a later start (once finished) or by thread_collect_all. */
int thread_start(thread_main_t thread_main, void* param);
int thread_start_2(thread_main_t thread_main, void* param1, thread_main_t terminator, void* param2,
                   size_t stack_size);
/* Small stack; cancelled by the collection at exit if still running. */
int thread_start_cancel_on_collect(thread_main_t thread_main, void* param);
/* Runs main on an idle pooled thread (small stack), or on a new one. */
int thread_start_fast(thread_main_t thread_main, void* param);
/* Sleeps. */
void thread_wait(int msecs);
/* Signals FILE_SIGNAL_COLLECTING, joins every started thread (cancelling the
 * cancel-on-collect ones), then signals FILE_SIGNAL_COLLECTED. */
void thread_collect_all(void);
void thread_prioritize_burst(void);
void thread_prioritize_cpu(void);

/* Queued procedure calls: a call made inside a running queued call is
 * appended to that thread's queue and run after the current one returns,
 * so chains of completions run iteratively on one stack. */
typedef struct thread_queued_proc_t thread_queued_proc_t;
typedef void (*thread_queued_proc_fn)(thread_queued_proc_t* link);
struct thread_queued_proc_t {
    thread_queued_proc_t* next;
    thread_queued_proc_fn proc;
};

typedef struct qp_tqp_head_t qp_tqp_head_t;
typedef struct qp_tqp_thread_t {
    void* thread; /* owning thread; null while fenced */
    qp_tqp_head_t* head;
    struct qp_tqp_thread_t* next;
    struct qp_tqp_thread_t* prev;
    thread_queued_proc_t* first;
    thread_queued_proc_t* last;
} qp_tqp_thread_t;

void thread_queued_proc_call(thread_queued_proc_t* link, thread_queued_proc_fn proc);
/* Detaches the caller's running queue (null when there is none), so that
 * calls until the fence ends run at once in a loop of their own. */
qp_tqp_thread_t* thread_queued_proc_fence_start(void);
void thread_queued_proc_fence_end_(qp_tqp_thread_t* top);
static inline void thread_queued_proc_fence_end(qp_tqp_thread_t* top)
{
    if (top) {
        thread_queued_proc_fence_end_(top);
    }
}

/* ---- clocks -------------------------------------------------------------- */

/* Monotonic counters. */
uint64_t counter_usec(void);
uint64_t counter_msec(void);
uint64_t counter_125msec(void); /* eighths of a second */
uint64_t counter_sec(void);

/* Wall clock: seconds since 1970; the _usec/_nsec forms store the seconds
 * and return the sub-second part. */
int64_t time_sec(void);
int time_usec(int64_t* sec);
int time_nsec(int64_t* sec);
/* 100-nanosecond units since 1601-01-01. */
int64_t time_100nsec(void);
int64_t time_100nsec_to_sec(int64_t t);
int64_t time_sec_to_100nsec(int64_t s);

/* ---- module life --------------------------------------------------------- */

/* Creates the global state (also done on first use); 0 or err_no_mem. */
int qpsync_initializer(void);
/* Collects all threads and frees the global state (registered for exit). */
void qpsync_terminator(void);

#ifdef __cplusplus
}
#endif

#endif
