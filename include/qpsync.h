/*
 * qpsync.h - atomics and the basic lock of the base runtime.
 *
 * One header for both builds (user mode and the kernel module). The atomics
 * are full barriers. A sync_t is a non-recursive lock of two words: the
 * owner's thread identity (null when free) and the lock word, used as the
 * waiter list of the sleeping lock or as the ticket state of the spin lock.
 * sync_is_locked is true only for the thread that owns the lock.
 */
#ifndef QPSYNC_H
#define QPSYNC_H

#include "qpbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- atomics ------------------------------------------------------- */

/* Return the new value. */
int sync_inc(int* value);
int sync_dec(int* value);
size_t sync_add_size(size_t* value, size_t add);
size_t sync_sub_size(size_t* value, size_t sub);
/* Store new_value when *value equals old_value; returns whether it did. */
int sync_xchg(int* value, int old_value, int new_value);
int sync_xchg_size(size_t* value, size_t old_value, size_t new_value);

void sync_barrier(void);  /* full memory fence */
void sync_compiler(void); /* compiler fence */
void sync_idle(void);     /* processor pause inside spin loops */

/* ---- threads ------------------------------------------------------- */

/* A non-null identity of the calling thread, stable for its lifetime. */
void* thread_self(void);
/* Platform side: the identity and giving up the processor. */
void* thread_self_(void);
void thread_yield_(void);

/* ---- lock ---------------------------------------------------------- */

typedef struct sync_t {
    void* volatile owner;
    union {
        void* volatile list;   /* sleeping lock: 0, owner, or newest waiter */
        volatile size_t state; /* spin lock: tickets and saved state */
    };
} sync_t;

#define SYNC_INIT {0, {0}}

void sync_init(sync_t* s);
void sync_term(sync_t* s);
void sync_lock(sync_t* s);
void sync_unlock(sync_t* s);
int sync_is_locked(const sync_t* s);

#ifdef __cplusplus
}
#endif

#endif
