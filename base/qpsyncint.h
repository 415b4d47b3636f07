/*
 * qpsyncint.h - shared inside the sync units: the global state, the thread
 * records, relaxed atomic accessors and the platform functions.
 *
 * The portable units (qpsync.c, qpsync2.c, qpsyncthread.c, procsig.c) reach
 * the machine only through the qpsync_os_* functions below; qpsyncnix.cpp
 * implements them for user mode, the kernel module implements the same set.
 *
 * The global state lives in one page allocation (aligned to 64 bytes) made on
 * first use and freed by qpsync_terminator at exit. While it cannot be
 * allocated, locks only record their owner; after exit freed it, holds meet
 * under the platform's fallback line.
 */
#ifndef QPSYNCINT_H
#define QPSYNCINT_H

#include "qppin.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- relaxed and ordered accessors of shared fields --------------------- */

#define qp_load(p)        __atomic_load_n((p), __ATOMIC_ACQUIRE)
#define qp_load_relaxed(p) __atomic_load_n((p), __ATOMIC_RELAXED)
#define qp_store(p, v)    __atomic_store_n((p), (v), __ATOMIC_RELEASE)
#define qp_store_relaxed(p, v) __atomic_store_n((p), (v), __ATOMIC_RELAXED)
/* Full-barrier compare-and-exchange: whether *p was old_value and is now new_value. */
#define qp_cas(p, old_value, new_value) __sync_bool_compare_and_swap((p), (old_value), (new_value))

/* An assertion over a field other threads change atomically: the condition
 * reads it atomically, the report shows the field as written in the text. */
#define QP_ASSERT_AS(cond, text) ((cond) ? (void)0 : qp_assert_failed(__FILE__, __LINE__, text))

/* ---- thread identity ------------------------------------------------------- */

/* The identity thread_self_ returns, inline for the lock fast paths. User
 * mode: the thread pointer (the thread's control block), unique among live
 * threads and never an address on a stack. */
#ifdef __KERNEL__
#define qpsync_self() ((void*)get_current())
#else
#define qpsync_self() __builtin_thread_pointer()
#endif

/* ---- global state ------------------------------------------------------------ */

/* A mutex padded to a cache line; holds meet under line hash & 63. */
typedef union hold_line_t {
#ifndef __KERNEL__
    pthread_mutex_t mutex;
#endif
    char pad[bits_cache_line_size];
} hold_line_t;

typedef union lookaside_line_t {
    struct {
        spinner_t lock;
        pin_io_wire_t* first_io_wire; /* recycled pollable wires */
    };
    char pad[bits_cache_line_size];
} lookaside_line_t;

typedef struct thread_ref_t thread_ref_t;

typedef struct sync_global_t {
    lookaside_line_t lookaside_lines[lookaside_line_count];
    void* mem; /* the page allocation holding this record and the lines */
    size_t mem_size;
    hold_line_t* hold_lines;
    int hold_line_extra_count;
    int thread_ref_count;      /* listed thread records */
    int thread_finished_count; /* listed records whose thread finished */
    int collecting;            /* fast threads: no more parking */
    thread_ref_t* thread_ref_first;
    sync_t thread_ref_lock; /* the list and both counts */
} sync_global_t;

extern sync_global_t* volatile sync_global;
extern int sync_global_initialized;

/* The global state, created on first use; null when it cannot be made or
 * has been freed at exit. */
sync_global_t* sync_global_get(void);

/* ---- thread records -------------------------------------------------------- */

struct thread_ref_t {
    thread_ref_t* next;
    thread_main_t main;
    void* param1;
    thread_main_t terminator;
    void* param2;
    uintptr_t thread; /* platform handle, 0 until created */
    int finished;
    char cancel_on_collect;
};

/* Runs a started thread's work and marks it finished (the platform's thread
 * entry calls it). */
void qpsync_thread_run(thread_ref_t* ref);

/* One step of waiting for another thread to finish a short piece of work:
 * the first steps yield the processor, later ones sleep 10 ms. */
void qpsync_backoff(int* step);

/* Frees a free list of recycled pollable wires (at termination). */
void qpsync_io_wires_free(pin_io_wire_t* first);

/* ---- platform functions -------------------------------------------------- */

typedef struct qpsync_deadline_t {
    int64_t sec;
    long nsec;
} qpsync_deadline_t;

void qpsync_os_line_init(hold_line_t* line);
void qpsync_os_line_term(hold_line_t* line);
void qpsync_os_line_lock(hold_line_t* line);
/* A statically initialised line for holds when no global state exists. */
hold_line_t* qpsync_os_fallback_line(void);
void qpsync_os_line_unlock(hold_line_t* line);

void qpsync_os_hold_init(hold_t* h);
void qpsync_os_hold_term(hold_t* h);
/* Wakes the waiter sleeping in qpsync_os_hold_sleep (line locked). */
void qpsync_os_hold_wake(hold_t* h);
/* Sleeps once with the line locked (released while asleep); returns 1 when
 * the deadline passed, 0 on a wake-up (possibly spurious). */
int qpsync_os_hold_sleep(hold_t* h, hold_line_t* line, const qpsync_deadline_t* deadline);
/* The deadline timeout_msecs from now on the clock the holds sleep on. */
void qpsync_os_deadline(qpsync_deadline_t* deadline, int timeout_msecs);

/* One step of a spin lock's wait for its ticket; spins counts the steps.
 * User mode yields the processor once the wait grows long, since the thread
 * being served may have been preempted; the kernel only pauses. */
void qpsync_os_spin_pause(unsigned spins);

/* Preemption state saved by the spin lock (user mode: always 0). */
int qpsync_os_preempt_disable(void);
void qpsync_os_preempt_restore(int state);

/* Threads: 1 created, 0 failed. The new thread stores its own handle in
 * ref->thread before it calls qpsync_thread_run(ref). A stack size the
 * system refuses falls back to the default. */
int qpsync_os_thread_create(size_t stack_size, thread_ref_t* ref);
void qpsync_os_thread_join(uintptr_t thread);
int qpsync_os_thread_is_self(uintptr_t thread);
void qpsync_os_thread_cancel(uintptr_t thread);
void qpsync_os_sleep_msec(int msecs);

/* Pollable wires: 1 made, 0 failed; the byte operations return the system
 * call's result. */
int qpsync_os_pipe_open(int fds[2]);
void qpsync_os_pipe_close(int fds[2]);
int qpsync_os_pipe_write_byte(int fd, unsigned char data);
int qpsync_os_pipe_read_byte(int fd, unsigned char* data);

void qpsync_os_atexit(void (*func)(void));

/* Clocks. */
uint64_t qpsync_os_monotonic_nsec(void);
void qpsync_os_realtime(int64_t* sec, long* nsec);

#ifdef __cplusplus
}
#endif

#endif
